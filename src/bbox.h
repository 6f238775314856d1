#ifndef RT_BBOX_H
#define RT_BBOX_H

#include <vector>

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
};

// A node of the box tree: a box, child nodes (owned) and objects (borrowed).
class BBoxNode
{
  public:
    explicit BBoxNode(const BBox &bbox) : bbox(bbox) {}
    ~BBoxNode();
    BBoxNode(const BBoxNode &) = delete;
    BBoxNode &operator=(const BBoxNode &) = delete;

    void add_child(BBoxNode *node);
    void add_object(Object *obj);

    // Nearest hit below this node; inf may be null for a yes/no query.
    bool intersection(const Ray &ray, IntInfo *inf) const;

  private:
    BBox bbox;
    std::vector<BBoxNode *> children;
    std::vector<Object *> objects;
};

#endif
