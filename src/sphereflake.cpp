#include "sphereflake.h"

static const Vector3 offs[6] = {
    Vector3(1.0, 0.0, 0.0),  Vector3(-1.0, 0.0, 0.0), Vector3(0.0, 1.0, 0.0),
    Vector3(0.0, -1.0, 0.0), Vector3(0.0, 0.0, 1.0),  Vector3(0.0, 0.0, -1.0),
};

SphereFlake::~SphereFlake()
{
    for (SphereFlake *sub : subflakes) {
        delete sub;
    }
    delete sph;
}

bool SphereFlake::intersection(const Ray &ray, IntInfo *i_info) const
{
    if (ignore) {
        return false;
    }
    if (!bbox.intersection(ray)) {
        return false;
    }

    if (i_info == nullptr) {
        return any_hit(ray);
    }

    IntInfo minsect;
    minsect.t = 3.4028234663852886e+38;
    minsect.object = nullptr;

    IntInfo tmp;
    if (sph->intersection(ray, &tmp) && minsect.t > tmp.t) {
        minsect = tmp;
    }
    for (const SphereFlake *sub : subflakes) {
        if (sub == nullptr) {
            continue;
        }
        IntInfo sub_info;
        if (sub->intersection(ray, &sub_info) && minsect.t > sub_info.t) {
            minsect = sub_info;
        }
    }

    if (minsect.object == nullptr) {
        return false;
    }
    i_info->normal = minsect.normal;
    i_info->i_point = minsect.i_point;
    i_info->t = minsect.t;
    i_info->object = this;
    return true;
}

// The yes/no answer of the nearest-hit search above, found at the first hit
// that search would keep: one whose t is below the starting FLT_MAX (a NaN
// t never is, so the sphere is asked with a record). Past the box test.
bool SphereFlake::any_hit(const Ray &ray) const
{
    IntInfo tmp;
    if (sph->intersection(ray, &tmp) && 3.4028234663852886e+38 > tmp.t) {
        return true;
    }
    for (const SphereFlake *sub : subflakes) {
        if (sub != nullptr && sub->intersection(ray, nullptr)) {
            return true;
        }
    }
    return false;
}

void SphereFlake::calc_bbox()
{
    // Sub-flake centres lie 1.5 radii out and each level halves the radius,
    // so no depth reaches past 1.5 r (1 + 1/2 + 1/4 + ...) = 3 r.
    double max_rad = 3.0 * radius;
    Vector3 r(max_rad, max_rad, max_rad);
    bbox.max = center + r;
    bbox.min = center - r;
}

Vector3 SphereFlake::sample() const
{
    if (sph == nullptr) {
        return Vector3();
    }
    return sph->sample();
}

SphereFlake *create_sflake(const Vector3 &center, double radius, int iter)
{
    if (iter <= 0) {
        return nullptr;
    }

    SphereFlake *sflake = new SphereFlake(center, radius);
    sflake->calc_bbox();
    sflake->sph = new Sphere(center, radius);
    sflake->sph->calc_bbox();

    double d = radius + radius * 0.5;
    for (int i = 0; i < 6; i++) {
        Vector3 sub_pos = center + offs[i] * d;
        sflake->subflakes[i] = create_sflake(sub_pos, radius * 0.5, iter - 1);
    }
    return sflake;
}
