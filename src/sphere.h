#ifndef RT_SPHERE_H
#define RT_SPHERE_H

#include "object.h"

class Sphere : public Object
{
  public:
    Sphere() {}
    Sphere(const Vector3 &center, double radius) : center(center), radius(radius) {}

    bool intersection(const Ray &ray, IntInfo *i_info) const override;
    // The same, with the ray's reciprocals worked out already.
    bool intersection(const Ray &ray, const RaySlabs &slabs, IntInfo *i_info) const;
    void calc_bbox() override;
    // A point spread uniformly over the surface.
    Vector3 sample() const override;

    Vector3 center;
    double radius = 1.0;
};

#endif
