#ifndef RT_BBOX_H
#define RT_BBOX_H

#include <vector>

#include "ray.h"
#include "vector.h"

class Object;
struct IntInfo;

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

struct BBox {
    Vector3 min;
    Vector3 max;

    BBox() {}
    BBox(const Vector3 &min, const Vector3 &max) : min(min), max(max) {}

    // True when the ray starts strictly inside, or when its segment
    // 0 < t < 1 meets the box.
    bool intersection(const Ray &ray) const;
    // The same, with the reciprocals of the ray's direction worked out
    // already (the same divisions, so the same answer).
    bool intersection(const Ray &ray, const RaySlabs &slabs) const;
};

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

inline bool slab_reach(const BBox &box, const RaySlabs &r, double limit, double *near)
{
    return slab_reach(box.min.x, box.min.y, box.min.z, box.max.x, box.max.y, box.max.z, r, limit, near);
}

// A node of the box tree: a box, child nodes (owned) and objects (borrowed).
//
// A node made by hand (add_child, add_object) is walked as listed: children
// first, then its objects, the first of equal hits winning. The scene's
// accelerated tree comes from build_hierarchy instead: there every object
// carries its place in the scene's order, the nearest hit wins and of equal
// hits the earliest place, whatever the walk's order.
class BBoxNode
{
  public:
    explicit BBoxNode(const BBox &bbox) : bbox(bbox) {}
    ~BBoxNode();
    BBoxNode(const BBoxNode &) = delete;
    BBoxNode &operator=(const BBoxNode &) = delete;

    void add_child(BBoxNode *node);
    void add_object(Object *obj);

    // Nearest hit below this node; inf may be null for a yes/no query. The
    // object skip, if any, is not asked at all, as if it were ignored: a
    // shadow ray passes through its own light that way without the light's
    // shared ignore flag, so that threads can trace at once.
    bool intersection(const Ray &ray, IntInfo *inf, const Object *skip = nullptr) const;

    // Fills this empty node with objs[0] .. objs[count - 1], in that order of
    // precedence, under a four-wide bounding volume hierarchy. Every
    // object's calc_bbox must have run, and objs must outlive the node (it
    // is read, not copied). Objects whose own intersection does not test
    // their box (planes, unknown kinds) or whose box is unusable stay in
    // this node's own list. This node's box keeps its role: a ray that
    // misses it is answered false at once.
    void build_hierarchy(const std::vector<Object *> &objs, size_t count);

    const BBox &get_bbox() const { return bbox; }
    const std::vector<BBoxNode *> &get_children() const { return children; }
    const std::vector<Object *> &get_objects() const { return objects; }
    // The objects of a built tree that sit in its hierarchy, and its bytes.
    size_t hierarchy_size() const;
    size_t hierarchy_bytes() const;

  private:
    struct Built;
    struct Walk;

    bool walk_built(const Ray &ray, const RaySlabs &slabs, IntInfo *inf, const Object *skip) const;

    BBox bbox;
    std::vector<BBoxNode *> children;
    std::vector<Object *> objects;
    Built *built = nullptr; // the root of a built tree; owned
};

#endif
