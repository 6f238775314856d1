#ifndef RT_ACCEL_RAY_SLABS_H
#define RT_ACCEL_RAY_SLABS_H

#include "ray.h"

// Counters of the work ray queries do, compiled in only for the benchmark
// (RT_QUERY_COUNTERS): in every other build RT_COUNT is empty and the hot
// paths pay nothing.
#ifdef RT_QUERY_COUNTERS
struct QueryCounters {
    unsigned long long queries;      // Scene::intersection calls
    unsigned long long box_tests;    // node boxes and the boxes of meshes
    unsigned long long object_tests; // Object::intersection calls made by the tree
    unsigned long long face_tests;   // mesh face tests
};
extern QueryCounters query_counters;
#define RT_COUNT(field) (++query_counters.field)
#else
#define RT_COUNT(field) ((void)0)
#endif

// A ray prepared for many box tests: the reciprocals of its direction and,
// per axis, whether the far plane is met first.
struct RaySlabs {
    explicit RaySlabs(const Ray &ray);

    double ox, oy, oz;
    double ix, iy, iz;
    bool nx, ny, nz;
};

inline RaySlabs::RaySlabs(const Ray &ray)
    : ox(ray.origin.x), oy(ray.origin.y), oz(ray.origin.z), ix(1.0 / ray.dir.x), iy(1.0 / ray.dir.y),
      iz(1.0 / ray.dir.z)
{
    // The sign of the reciprocal, so that a -0.0 component (reciprocal -inf)
    // takes its near bound from the top of the slab.
    nx = ix < 0.0;
    ny = iy < 0.0;
    nz = iz < 0.0;
}

// The box test of the hierarchies, looser than BBox::intersection on
// purpose: it accepts every ray that BBox::intersection accepts for any box
// inside (lo, hi), so pruning with it never loses a hit. True when the
// parameter interval [0, limit] meets every slab; *near is then the start of
// that meeting, never above a hit parameter inside the box. A bound that
// comes out NaN (0 * inf: the origin on a slab plane of an axis the ray runs
// along) limits nothing; a zero direction component gives an infinite
// reciprocal, so that slab is open from inside and shut from outside.
inline bool slab_reach(double lox, double loy, double loz, double hix, double hiy, double hiz, const RaySlabs &r,
                       double limit, double *near)
{
    double t0x = ((r.nx ? hix : lox) - r.ox) * r.ix;
    double t1x = ((r.nx ? lox : hix) - r.ox) * r.ix;
    double t0y = ((r.ny ? hiy : loy) - r.oy) * r.iy;
    double t1y = ((r.ny ? loy : hiy) - r.oy) * r.iy;
    double t0z = ((r.nz ? hiz : loz) - r.oz) * r.iz;
    double t1z = ((r.nz ? loz : hiz) - r.oz) * r.iz;
    double tmin = 0.0, tmax = limit;
    // Written so that a NaN on the right never replaces the bound.
    tmin = t0x > tmin ? t0x : tmin;
    tmin = t0y > tmin ? t0y : tmin;
    tmin = t0z > tmin ? t0z : tmin;
    tmax = t1x < tmax ? t1x : tmax;
    tmax = t1y < tmax ? t1y : tmax;
    tmax = t1z < tmax ? t1z : tmax;
    *near = tmin;
    return tmin <= tmax;
}

#endif
