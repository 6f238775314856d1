#include "plane.h"

#include <cmath>

bool Plane::intersection(const Ray &ray, IntInfo *i_info) const
{
    if (ignore) {
        return false;
    }

    double n_dot_dir = dot(ray.dir, normal);
    if (std::fabs(n_dot_dir) < 1e-6) {
        return false; // parallel, or as good as
    }

    Vector3 v = normal * distance;
    Vector3 vorigin = v - ray.origin;
    double n_dot_vo = dot(vorigin, normal);
    double t = n_dot_vo / n_dot_dir;
    if (t < 1e-6 || t > 1.0) {
        return false;
    }
    if (i_info == nullptr) {
        return true;
    }

    i_info->t = t;
    i_info->i_point = ray.origin + ray.dir * t;
    i_info->object = this;
    i_info->normal = normal; // either side; the shader turns it
    return true;
}

void Plane::calc_bbox()
{
    // The root cube of the scene, whatever the plane's place.
    bbox.max = Vector3(10000.0, 10000.0, 10000.0);
    bbox.min = -bbox.max;
}

Vector3 Plane::sample() const
{
    return normal * distance;
}
