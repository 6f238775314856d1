#include "sphere.h"

#include <cmath>

#include "sampling/random.h"

bool Sphere::intersection(const Ray &ray, IntInfo *i_info) const
{
    return intersection(ray, RaySlabs(ray), i_info);
}

bool Sphere::intersection(const Ray &ray, const RaySlabs &slabs, IntInfo *i_info) const
{
    if (ignore) {
        return false;
    }
    if (!bbox.intersection(ray, slabs)) {
        return false;
    }

    const Vector3 &o = ray.origin;
    const Vector3 &d = ray.dir;
    const Vector3 &c = center;

    double a = dot(d, d);
    double b = 2.0 * d.x * (o.x - c.x) + 2.0 * d.y * (o.y - c.y) + 2.0 * d.z * (o.z - c.z);
    double cc = (dot(c, c) + dot(o, o)) + 2.0 * dot(-c, o) - radius * radius;
    double discr = b * b + (-4.0 * a) * cc;
    if (discr < 0.0) {
        return false;
    }

    double sqrt_discr = std::sqrt(discr);
    double t1 = (sqrt_discr - b) / (2.0 * a);
    double t2 = (-b - sqrt_discr) / (2.0 * a);

    // The nearer root if it is in front of the origin, else the farther one.
    if (t1 < 1e-6) {
        t1 = t2;
    }
    if (t2 < 1e-6 || t2 > t1) {
        t2 = t1;
    }
    double t = t2;
    if (t < 1e-6 || t > 1.0) {
        return false;
    }
    if (i_info == nullptr) {
        return true;
    }

    i_info->t = t;
    i_info->i_point = o + d * t;
    // Divided by the radius rather than normalised: outward, even from inside.
    i_info->normal = (i_info->i_point - c) / radius;
    i_info->object = this;
    return true;
}

void Sphere::calc_bbox()
{
    Vector3 r(radius, radius, radius);
    bbox.max = center + r;
    bbox.min = center - r;
}

Vector3 Sphere::sample() const
{
    return center + random_direction() * radius;
}
