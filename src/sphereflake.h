#ifndef RT_SPHEREFLAKE_H
#define RT_SPHEREFLAKE_H

#include "object.h"
#include "sphere.h"

// One level of a sphere flake: a sphere and up to six half-size sub-flakes
// touching it along the axes. Every hit inside the tree is reported as a hit
// on the flake whose intersection was called.
class SphereFlake : public Object
{
  public:
    SphereFlake(const Vector3 &center, double radius) : center(center), radius(radius) {}
    ~SphereFlake() override;

    bool intersection(const Ray &ray, IntInfo *i_info) const override;
    void calc_bbox() override;
    // A point on the central sphere; draws nothing when there is none.
    Vector3 sample() const override;

    Sphere *sph = nullptr;                 // owned
    SphereFlake *subflakes[6] = {nullptr}; // owned
    Vector3 center;
    double radius;

  private:
    bool any_hit(const Ray &ray) const;
};

// Builds a flake of iter levels; null for iter <= 0. The caller owns it.
SphereFlake *create_sflake(const Vector3 &center, double radius, int iter);

#endif
