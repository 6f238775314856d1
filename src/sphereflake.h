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
    // The same, with the ray's reciprocals worked out already.
    bool intersection(const Ray &ray, const RaySlabs &slabs, IntInfo *i_info) const;
    // Also indexes the spheres below for a faster walk (see set_accelerated);
    // the parts must not change after it.
    void calc_bbox() override;
    // A point on the central sphere; draws nothing when there is none.
    Vector3 sample() const override;

    // On (the default), calc_bbox also builds a hierarchy of boxes over all
    // the spheres below, which intersection walks nearest first; off, the
    // recursion of boxes is walked level by level. The answers are the same
    // bit for bit; the switch is for comparing.
    void set_accelerated(bool on) { accelerated = on; }
    bool is_indexed() const { return index != nullptr; }

    Sphere *sph = nullptr;                 // owned
    SphereFlake *subflakes[6] = {nullptr}; // owned
    Vector3 center;
    double radius;

  private:
    struct Index;
    struct Walk;

    bool any_hit(const Ray &ray, const RaySlabs &slabs) const;
    bool indexed_intersection(const Ray &ray, const RaySlabs &slabs, IntInfo *i_info) const;
    void build_index();

    bool accelerated = true;
    Index *index = nullptr; // owned
};

// Builds a flake of iter levels; null for iter <= 0. The caller owns it.
SphereFlake *create_sflake(const Vector3 &center, double radius, int iter);

#endif
