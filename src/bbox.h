#ifndef RT_BBOX_H
#define RT_BBOX_H

#include <vector>

#include "accel/ray_slabs.h"
#include "ray.h"
#include "vector.h"

class Object;
struct IntInfo;

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
    // misses it is answered false at once. The hierarchy is built on up to
    // `threads` threads, and is the same whatever their number.
    void build_hierarchy(const std::vector<Object *> &objs, size_t count, int threads);

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
