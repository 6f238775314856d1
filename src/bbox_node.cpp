#include "bbox.h"

#include "accel/numerics.h"
#include "accel/scene_tree.h"
#include "intinfo.h"
#include "object.h"

// The box tree node asks the objects it lists, so it sits above them; the
// box itself (bbox.cpp) needs nothing but the vector types.

void BBoxNode::add_child(BBoxNode *node)
{
    children.push_back(node);
}

void BBoxNode::add_object(Object *obj)
{
    objects.push_back(obj);
}

bool BBoxNode::intersection(const Ray &ray, IntInfo *inf, const Object *skip) const
{
    RT_COUNT(box_tests);
    RaySlabs slabs(ray);
    if (!bbox.intersection(ray, slabs)) {
        return false;
    }
    if (built != nullptr) {
        return built->intersection(ray, slabs, inf, skip);
    }

    IntInfo minsect;
    minsect.t = NO_HIT_T;
    minsect.object = nullptr;

    // Strictly smaller t replaces: of equal hits the one found first stays,
    // children before objects, lower index before higher.
    for (const BBoxNode *child : children) {
        IntInfo tmp;
        if (child->intersection(ray, &tmp, skip) && tmp.t < minsect.t) {
            minsect = tmp;
        }
    }
    for (const Object *obj : objects) {
        if (obj == skip) {
            continue;
        }
        IntInfo tmp;
        RT_COUNT(object_tests);
        if (obj->intersection(ray, &tmp) && tmp.t < minsect.t) {
            minsect = tmp;
        }
    }

    if (minsect.object == nullptr) {
        return false;
    }
    if (inf != nullptr) {
        *inf = minsect;
    }
    return true;
}

void BBoxNode::set_tree(SceneTree *tree)
{
    delete built;
    built = tree;
}

BBoxNode::~BBoxNode()
{
    for (BBoxNode *child : children) {
        delete child;
    }
    delete built;
}

size_t BBoxNode::hierarchy_size() const
{
    return built != nullptr ? built->size() : 0;
}

size_t BBoxNode::hierarchy_bytes() const
{
    return built != nullptr ? built->bytes() : 0;
}
