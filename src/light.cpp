#include "light.h"

bool PointLight::intersection(const Ray &, IntInfo *) const
{
    return false;
}

bool PointLight::is_light() const
{
    return true;
}

void PointLight::calc_bbox()
{
    bbox.min = position;
    bbox.max = position;
}

Vector3 PointLight::sample() const
{
    return position;
}
