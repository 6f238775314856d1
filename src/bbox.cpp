#include "bbox.h"

bool BBox::intersection(const Ray &ray) const
{
    return intersection(ray, RaySlabs(ray));
}

bool BBox::intersection(const Ray &ray, const RaySlabs &slabs) const
{
    if (ray.origin > min && ray.origin < max) {
        return true;
    }

    const Vector3 *bbox[2] = {&min, &max};
    const double t0 = 0.0, t1 = 1.0;

    // The sign comes from the component itself: 1.0 / -0.0 is -inf, but a
    // -0.0 component still counts as not negative. A zero component gives an
    // infinite reciprocal, so the slab is open from inside and shut from
    // outside; an origin exactly in a slab plane gives 0 * inf = NaN, which
    // every comparison below treats as false.
    int xsign = ray.dir.x < 0.0;
    double invdirx = slabs.ix; // 1.0 / ray.dir.x
    double tmin = (bbox[xsign]->x - ray.origin.x) * invdirx;
    double tmax = (bbox[1 - xsign]->x - ray.origin.x) * invdirx;

    int ysign = ray.dir.y < 0.0;
    double invdiry = slabs.iy;
    double tymin = (bbox[ysign]->y - ray.origin.y) * invdiry;
    double tymax = (bbox[1 - ysign]->y - ray.origin.y) * invdiry;

    if (tmin > tymax || tymin > tmax) {
        return false;
    }
    if (tymin > tmin) {
        tmin = tymin;
    }
    if (tymax < tmax) {
        tmax = tymax;
    }

    int zsign = ray.dir.z < 0.0;
    double invdirz = slabs.iz;
    double tzmin = (bbox[zsign]->z - ray.origin.z) * invdirz;
    double tzmax = (bbox[1 - zsign]->z - ray.origin.z) * invdirz;

    if (tmin > tzmax || tzmin > tmax) {
        return false;
    }
    if (tzmin > tmin) {
        tmin = tzmin;
    }
    if (tzmax < tmax) {
        tmax = tzmax;
    }

    return tmin < t1 && tmax > t0;
}
