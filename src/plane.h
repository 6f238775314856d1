#ifndef RT_PLANE_H
#define RT_PLANE_H

#include "object.h"

// The points p with dot(normal, p) = distance.
class Plane : public Object
{
  public:
    Plane() {}
    // The normal is normalised; the distance is kept as given.
    Plane(const Vector3 &normal, double distance) : normal(normalize(normal)), distance(distance) {}

    bool intersection(const Ray &ray, IntInfo *i_info) const override;
    void calc_bbox() override;
    // The plane's point nearest the world origin; draws nothing.
    Vector3 sample() const override;

    Vector3 normal = Vector3(0.0, 1.0, 0.0);
    double distance = 0.0;
};

#endif
