#ifndef RT_BBOX_H
#define RT_BBOX_H

#include <vector>

#include "accel/ray_slabs.h"
#include "ray.h"
#include "vector.h"

class Object;
class SceneTree;
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
// accelerated tree is handed over by set_tree instead: there every object
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
    void clear_objects() { objects.clear(); }

    // Nearest hit below this node; inf may be null for a yes/no query. The
    // object skip, if any, is not asked at all, as if it were ignored: a
    // shadow ray passes through its own light that way without the light's
    // shared ignore flag, so that threads can trace at once.
    bool intersection(const Ray &ray, IntInfo *inf, const Object *skip = nullptr) const;

    // Hands the queries that pass this node's own box test to the scene's
    // tree (owned), which then answers for the objects it holds; the node's
    // own list holds those it does not (Scene::build_tree).
    void set_tree(SceneTree *tree);

    const BBox &get_bbox() const { return bbox; }
    const std::vector<BBoxNode *> &get_children() const { return children; }
    const std::vector<Object *> &get_objects() const { return objects; }
    // The objects of a built tree that sit in its hierarchy, and its bytes.
    size_t hierarchy_size() const;
    size_t hierarchy_bytes() const;

  private:
    BBox bbox;
    std::vector<BBoxNode *> children;
    std::vector<Object *> objects;
    SceneTree *built = nullptr; // the scene's tree below the root; owned
};

#endif
