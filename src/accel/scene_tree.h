#ifndef RT_ACCEL_SCENE_TREE_H
#define RT_ACCEL_SCENE_TREE_H

#include <cmath>
#include <cstdint>
#include <vector>

#include "accel/ray_slabs.h"
#include "accel/wide_tree.h"
#include "intinfo.h"
#include "ray.h"

class Object;

// The scene's own hierarchy: a four-wide tree over the objects that test
// their own box first (spheres, sphere flakes, meshes), named by their places
// in the scene's list, and beside it the root's own list of the others
// (planes, objects of unknown kinds, unusable boxes), asked for every ray.
//
// The flat walk asks every object in the scene's order and keeps the first
// of the nearest hits. This tree gives the same answer for every ray:
//
// - An object is asked exactly as the flat walk asks it (same routine, same
//   ray), so its answer and record are bit for bit the same; only which
//   objects are asked, and in which order, changes.
// - A node is skipped when the ray misses its box. Every object below it
//   tests its own box first, and slab_reach accepts every ray that
//   BBox::intersection accepts for any box inside the node's, so a skipped
//   object would have answered no.
// - Candidates are compared by (t, place in the scene's list): the least
//   wins, which is the flat walk's first nearest hit whatever the order of
//   asking. A NaN t never wins, as it never passes the flat walk's test.
// - A node whose entry parameter exceeds the best t so far is skipped too,
//   for tame rays within the caps (origin_cap and reach_cap): there every
//   hit parameter of an object lies at or beyond the entry of its node (the
//   boxes are padded by sphere_slack, or are a mesh's reach_bounds), so
//   nothing in the node could win or tie.
// - A yes/no query stops at the first hit that the flat walk would count.
//
// The tree knows no kind of object: the scene, which knows them all, says
// of each object how it is asked and fills in the boxes and bounds
// (Scene::build_tree), and gives the walk, compiled with its kinds
// (accel/scene_walk.h).
class SceneTree
{
  public:
    // How an object is asked: its kind, whose routine is called without the
    // virtual call, and how a yes/no question is put to it.
    enum Kind : unsigned char { SPHERE, FLAKE, MESH, OTHER };
    enum Ask : unsigned char {
        ASK_WITH_RECORD, // only a record tells a real hit from a NaN parameter
        ASK_BARE,        // its own null-record answer is exact
        ASK_BARE_TAME,   // exact for rays with finite, moderate values
    };
    struct Entry {
        const Object *obj;
        int order; // place in the scene's list
        Kind kind;
        Ask ask;
    };
    // A place's byte in `how` when the object is not in the hierarchy.
    static constexpr unsigned char NOT_PLACED = 0xff;
    static unsigned char how_of(Kind kind, Ask ask) { return static_cast<unsigned char>(kind << 2 | ask); }

    // The nearest hit of the objects, or with a null record whether there is
    // one; skip, if any, is not asked at all.
    bool intersection(const Ray &ray, const RaySlabs &slabs, IntInfo *inf, const Object *skip) const
    {
        return walker(*this, ray, slabs, inf, skip);
    }
    // The objects in the hierarchy, and the tree's bytes.
    size_t size() const;
    size_t bytes() const;

    // Filled by the scene's builder; read by the walk.
    double origin_cap = HUGE_VAL; // hits lie inside the boxes for |origin| up to this
    double sphere_coord = -1.0;   // bounds |corner|_inf of every sphere's box; below 0: no sphere
    double sphere_radius = 0.0;   // the largest radius
    double reach_cap = HUGE_VAL;  // ... and |origin| + |dir| up to this
    bool unknown = false;         // an object of a kind whose hit record might lack its object
    std::vector<Entry> loose;     // the root's own list, asked first
    WideTree tree;                // over places in the scene's list
    const std::vector<Object *> *objs = nullptr;
    std::vector<unsigned char> how; // per place: how_of(kind, ask), or NOT_PLACED

    // The walk compiled with the scene's kinds of object.
    using Walker = bool (*)(const SceneTree &tree, const Ray &ray, const RaySlabs &slabs, IntInfo *inf,
                            const Object *skip);
    Walker walker = nullptr;
};

inline size_t SceneTree::size() const
{
    if (tree.empty()) {
        return 0;
    }
    size_t n = 0;
    for (unsigned char h : how) {
        n += h != NOT_PLACED;
    }
    return n;
}

inline size_t SceneTree::bytes() const
{
    return tree.bytes() + how.capacity() + loose.capacity() * sizeof(Entry);
}

#endif
