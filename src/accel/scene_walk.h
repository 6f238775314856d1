#ifndef RT_ACCEL_SCENE_WALK_H
#define RT_ACCEL_SCENE_WALK_H

#include <algorithm>
#include <optional>

#include "accel/blocker_cache.h"
#include "accel/inline.h"
#include "accel/numerics.h"
#include "accel/scene_tree.h"

// The walk of the scene's tree (accel/scene_tree.h), compiled with the
// scene's kinds of object so that each is asked through its own routine,
// inlined into the walk. Kinds gives, for an object of the tree:
//
//   static bool ask(const Object *obj, SceneTree::Kind kind, const Ray &ray,
//                   const RaySlabs &slabs, IntInfo *rec);
//       the object's own intersection routine, as the flat walk asks it;
//   static const Vector3 &sphere_center(const Object *obj);
//   static double sphere_radius(const Object *obj);
//       of an object of kind SPHERE, for its pre-test.
namespace scene_walk
{

// The items of the leaf whose object answered yes.
struct ItemsHint {
    uint32_t items[WideTree::MAX_LEAF];
    int count;
};

template <class Kinds> struct Walk {
    const Ray &ray;
    const Object *skip;
    RaySlabs slabs;
    bool any;     // a yes/no question, answered at the first hit
    bool ordered; // nodes may be skipped by distance
    bool tame;    // ASK_BARE_TAME objects may be asked without a record
    bool done;
    // The spheres' pre-test, for tame rays: see surely_missed.
    bool sphere_pretest = false;
    double sphere_pad = 0.0, dir_len2 = 0.0;
    IntInfo best;
    int best_order;
    const SceneTree *built;
    ItemsHint blocking = {}; // the leaf whose item answered yes (count 0: none did)

    Walk(const Ray &ray, const RaySlabs &slabs, const Object *skip, bool any, const SceneTree *built)
        : ray(ray), skip(skip), slabs(slabs), any(any), ordered(false), tame(false), done(false), built(built)
    {
        best.t = NO_HIT_T; // the flat walk's start
        best.object = nullptr;
        best_order = -1; // a t equal to the start never replaces it
    }

    double limit() const { return ordered && best.t < 1.0 ? best.t : 1.0; }
    bool nearest_first() const { return !any; }

    // The object's own routine, as the flat walk asks it.
    RT_ALWAYS_INLINE
    bool ask(const Object *obj, SceneTree::Kind kind, IntInfo *rec) const
    {
        RT_COUNT(object_tests);
        return Kinds::ask(obj, kind, ray, slabs, rec);
    }

    // True only when the sphere's own test surely answers no: its hits lie
    // within sphere_slack of the sphere (for this ray's origin, as the cap),
    // so on a line passing within that of the centre; the line's distance
    // is |(c - o) x d| / |d|, computed with a relative error of a few eps,
    // far below the slack, and sphere_pad is twice the slack.
    bool surely_missed(const Object *sphere) const
    {
        const Vector3 &o = ray.origin, &d = ray.dir, &c = Kinds::sphere_center(sphere);
        Vector3 w = cross(c - o, d);
        double reach = Kinds::sphere_radius(sphere) + sphere_pad;
        // Underflow only makes |w| smaller; a bound that underflows could
        // pass over a hit, so only a normal one is trusted.
        double bound = reach * reach * dir_len2;
        return bound >= 1e-250 && dot(w, w) > bound;
    }

    RT_ALWAYS_INLINE
    void offer(const Object *obj, int order, SceneTree::Kind kind, SceneTree::Ask how)
    {
        if (obj == skip) {
            return;
        }
        if (any) {
            if (how == SceneTree::ASK_BARE || (how == SceneTree::ASK_BARE_TAME && tame)) {
                done = ask(obj, kind, nullptr);
            } else {
                // The flat walk counts a hit only if its t passes the test
                // against FLT_MAX, which a NaN fails.
                IntInfo tmp;
                done = ask(obj, kind, &tmp) && tmp.t < NO_HIT_T;
            }
            return;
        }
        IntInfo tmp;
        if (ask(obj, kind, &tmp) && (tmp.t < best.t || (tmp.t == best.t && order < best_order))) {
            best = tmp;
            best_order = order;
        }
    }

    RT_ALWAYS_INLINE
    bool leaf(const uint32_t *items, int count)
    {
        const Object *const *objs = built->objs->data();
        // The spheres' pre-tests first, with no branch on their answers
        // (hard to foresee), then the objects that remain, in order; a
        // yes/no question, which may stop at the first, takes each in turn.
        unsigned remain = 0;
        for (int k = 0; k < count; k++) {
            uint32_t order = items[k];
            bool missed = false;
            if (built->how[order] >> 2 == SceneTree::SPHERE && sphere_pretest) {
                missed = surely_missed(objs[order]);
            }
            if (any && !missed) {
                if (offer_item(objs, order)) {
                    std::copy(items, items + count, blocking.items);
                    blocking.count = count;
                    return true;
                }
                continue;
            }
            remain |= static_cast<unsigned>(!missed) << k;
        }
        for (; remain != 0 && !any; remain &= remain - 1) {
            offer_item(objs, items[lowest_bit(remain)]);
        }
        return false;
    }

    // True when the walk is done.
    RT_ALWAYS_INLINE
    bool offer_item(const Object *const *objs, uint32_t order)
    {
        unsigned char how = built->how[order];
        offer(objs[order], static_cast<int>(order), static_cast<SceneTree::Kind>(how >> 2),
              static_cast<SceneTree::Ask>(how & 3));
        return done;
    }
};

} // namespace scene_walk

// The nearest hit in the scene's tree, or with a null record whether there
// is one (SceneTree::Walker).
template <class Kinds>
bool walk_scene_tree(const SceneTree &built, const Ray &ray, const RaySlabs &slabs, IntInfo *inf, const Object *skip)
{
    using scene_walk::ItemsHint;
    // With an object of unknown kind the answer to a yes/no question hangs
    // on the record of the nearest hit, so it is found in full.
    scene_walk::Walk<Kinds> w(ray, slabs, skip, inf == nullptr && !built.unknown, &built);

    const Vector3 &d = ray.dir;
    const RaySize size(ray);
    w.tame = size.tame();
    w.ordered = w.tame && size.origin <= built.origin_cap && size.origin + size.dir <= built.reach_cap;
    if (w.tame && built.sphere_coord >= 0.0) {
        w.sphere_pretest = true;
        w.sphere_pad = 2.0 * sphere_slack(built.sphere_coord, built.sphere_radius, size.origin);
        w.dir_len2 = dot(d, d);
    }

    // The root's own list, then the hierarchy.
    auto walk = [&]() RT_INLINE_LAMBDA {
        for (const SceneTree::Entry &e : built.loose) {
            w.offer(e.obj, e.order, e.kind, e.ask);
            if (w.done) {
                return;
            }
        }
        walk_wide(built.tree, slabs, w);
    };
    if (w.any) {
        // Any objects of the tree will do as a hint.
        auto ask_hint = [&](const ItemsHint &hint) RT_INLINE_LAMBDA {
            bool valid = true;
            for (int k = 0; k < hint.count; k++) {
                valid = valid && hint.items[k] < built.how.size() && built.how[hint.items[k]] != SceneTree::NOT_PLACED;
            }
            return valid && w.leaf(hint.items, hint.count);
        };
        auto walk_rest = [&](std::optional<ItemsHint> *blocker) RT_INLINE_LAMBDA {
            walk();
            if (w.blocking.count > 0) {
                *blocker = w.blocking;
            }
            return w.done;
        };
        return BlockerCache<ItemsHint>::ask(&built, d, ask_hint, walk_rest);
    }
    walk();
    if (w.best.object == nullptr) {
        return false;
    }
    if (inf != nullptr) {
        *inf = w.best;
    }
    return true;
}

#endif
