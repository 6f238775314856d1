#include "bbox.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <typeinfo>

#include "accel/blocker_cache.h"
#include "accel/numerics.h"
#include "intinfo.h"
#include "mesh.h"
#include "object.h"
#include "plane.h"
#include "sphere.h"
#include "sphereflake.h"
#include "accel/wide_tree.h"

bool BBox::intersection(const Ray &ray) const
{
    return intersection(ray, RaySlabs(ray));
}

bool BBox::intersection(const Ray &ray, const RaySlabs &slabs) const
{
    if (ray.origin > min && ray.origin < max) {
        return true;
    }

    const Vector3 *bbox[2] = {&min, &max};
    const double t0 = 0.0, t1 = 1.0;

    // The sign comes from the component itself: 1.0 / -0.0 is -inf, but a
    // -0.0 component still counts as not negative. A zero component gives an
    // infinite reciprocal, so the slab is open from inside and shut from
    // outside; an origin exactly in a slab plane gives 0 * inf = NaN, which
    // every comparison below treats as false.
    int xsign = ray.dir.x < 0.0;
    double invdirx = slabs.ix; // 1.0 / ray.dir.x
    double tmin = (bbox[xsign]->x - ray.origin.x) * invdirx;
    double tmax = (bbox[1 - xsign]->x - ray.origin.x) * invdirx;

    int ysign = ray.dir.y < 0.0;
    double invdiry = slabs.iy;
    double tymin = (bbox[ysign]->y - ray.origin.y) * invdiry;
    double tymax = (bbox[1 - ysign]->y - ray.origin.y) * invdiry;

    if (tmin > tymax || tymin > tmax) {
        return false;
    }
    if (tymin > tmin) {
        tmin = tymin;
    }
    if (tymax < tmax) {
        tmax = tymax;
    }

    int zsign = ray.dir.z < 0.0;
    double invdirz = slabs.iz;
    double tzmin = (bbox[zsign]->z - ray.origin.z) * invdirz;
    double tzmax = (bbox[1 - zsign]->z - ray.origin.z) * invdirz;

    if (tmin > tzmax || tzmin > tmax) {
        return false;
    }
    if (tzmin > tmin) {
        tmin = tzmin;
    }
    if (tzmax < tmax) {
        tmax = tzmax;
    }

    return tmin < t1 && tmax > t0;
}

// ---- the box tree node ----

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
        return walk_built(ray, slabs, inf, skip);
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

// ---- the accelerated tree ----
//
// The flat walk asks every object in the scene's order and keeps the first
// of the nearest hits. The built tree gives the same answer for every ray:
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
//   for tame rays within the caps (Built::origin_cap and reach_cap): there
//   every hit parameter of an object lies at or beyond the entry of its node
//   (the boxes are padded by sphere_slack, or are a mesh's reach_bounds), so
//   nothing in the node could win or tie.
// - A yes/no query stops at the first hit that the flat walk would count.

namespace
{

// Objects per leaf of the hierarchy, each testing its own box: up to two (a
// node's single-precision test is cheaper than a sphere's pre-test), and up
// to eight in scenes so big that the tree's memory matters more.
const int OBJECT_LEAF = 2;
const int BIG_SCENE_LEAF = 8;
const size_t BIG_SCENE = 100000;

bool usable_box(const BBox &b)
{
    const Vector3 *c[2] = {&b.min, &b.max};
    for (const Vector3 *v : c) {
        if (!(std::fabs(v->x) <= BIG_COORD && std::fabs(v->y) <= BIG_COORD && std::fabs(v->z) <= BIG_COORD)) {
            return false; // NaN fails too
        }
    }
    return b.min.x <= b.max.x && b.min.y <= b.max.y && b.min.z <= b.max.z;
}

void grow(BBox *box, const BBox &other)
{
    box->min.x = std::min(box->min.x, other.min.x);
    box->min.y = std::min(box->min.y, other.min.y);
    box->min.z = std::min(box->min.z, other.min.z);
    box->max.x = std::max(box->max.x, other.max.x);
    box->max.y = std::max(box->max.y, other.max.y);
    box->max.z = std::max(box->max.z, other.max.z);
}

double max_abs(const BBox &b)
{
    return std::max(max_abs(b.min), max_abs(b.max));
}

BBox padded(const BBox &b, double pad)
{
    return BBox(b.min - Vector3(pad, pad, pad), b.max + Vector3(pad, pad, pad));
}

} // namespace

// What a built tree holds besides the root's own list.
struct BBoxNode::Built {
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

    double origin_cap = HUGE_VAL; // hits lie inside the boxes for |origin| up to this
    double sphere_coord = -1.0;   // bounds |corner|_inf of every sphere's box; below 0: no sphere
    double sphere_radius = 0.0;   // the largest radius
    double reach_cap = HUGE_VAL;  // ... and |origin| + |dir| up to this
    bool unknown = false;         // an object of a kind whose hit record might lack its object
    std::vector<Entry> loose;     // the root's own list, asked first
    WideTree tree;                // over places in the scene's list
    const std::vector<Object *> *objs = nullptr;
    std::vector<unsigned char> how; // per place: kind << 2 | ask
};

BBoxNode::~BBoxNode()
{
    for (BBoxNode *child : children) {
        delete child;
    }
    delete built;
}

namespace
{
// The items of the leaf whose object answered yes.
struct ItemsHint {
    uint32_t items[WideTree::MAX_LEAF];
    int count;
};
} // namespace

struct BBoxNode::Walk {
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
    const Built *built;
    ItemsHint blocking = {}; // the leaf whose item answered yes (count 0: none did)

    Walk(const Ray &ray, const RaySlabs &slabs, const Object *skip, bool any, const Built *built)
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
    bool ask(const Object *obj, Built::Kind kind, IntInfo *rec) const
    {
        RT_COUNT(object_tests);
        switch (kind) {
        case Built::SPHERE:
            return static_cast<const Sphere *>(obj)->intersection(ray, slabs, rec);
        case Built::MESH:
            return static_cast<const Mesh *>(obj)->intersection(ray, slabs, rec);
        case Built::FLAKE:
            return static_cast<const SphereFlake *>(obj)->intersection(ray, slabs, rec);
        default:
            return obj->intersection(ray, rec);
        }
    }

    // True only when the sphere's own test surely answers no: its hits lie
    // within sphere_slack of the sphere (for this ray's origin, as the cap),
    // so on a line passing within that of the centre; the line's distance
    // is |(c - o) x d| / |d|, computed with a relative error of a few eps,
    // far below the slack, and sphere_pad is twice the slack.
    bool surely_missed(const Sphere *s) const
    {
        const Vector3 &o = ray.origin, &d = ray.dir, &c = s->center;
        Vector3 w = cross(c - o, d);
        double reach = s->radius + sphere_pad;
        // Underflow only makes |w| smaller; a bound that underflows could
        // pass over a hit, so only a normal one is trusted.
        double bound = reach * reach * dir_len2;
        return bound >= 1e-250 && dot(w, w) > bound;
    }

    RT_ALWAYS_INLINE
    void offer(const Object *obj, int order, Built::Kind kind, Built::Ask how)
    {
        if (obj == skip) {
            return;
        }
        if (any) {
            if (how == Built::ASK_BARE || (how == Built::ASK_BARE_TAME && tame)) {
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
            if (built->how[order] >> 2 == Built::SPHERE && sphere_pretest) {
                missed = surely_missed(static_cast<const Sphere *>(objs[order]));
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
        offer(objs[order], static_cast<int>(order), static_cast<Built::Kind>(how >> 2),
              static_cast<Built::Ask>(how & 3));
        return done;
    }
};

bool BBoxNode::walk_built(const Ray &ray, const RaySlabs &slabs, IntInfo *inf, const Object *skip) const
{
    // With an object of unknown kind the answer to a yes/no question hangs
    // on the record of the nearest hit, so it is found in full.
    Walk w(ray, slabs, skip, inf == nullptr && !built->unknown, built);

    const Vector3 &d = ray.dir;
    const RaySize size(ray);
    w.tame = size.tame();
    w.ordered = w.tame && size.origin <= built->origin_cap && size.origin + size.dir <= built->reach_cap;
    if (w.tame && built->sphere_coord >= 0.0) {
        w.sphere_pretest = true;
        w.sphere_pad = 2.0 * sphere_slack(built->sphere_coord, built->sphere_radius, size.origin);
        w.dir_len2 = dot(d, d);
    }

    // The root's own list, then the hierarchy.
    auto walk = [&]() RT_INLINE_LAMBDA {
        for (const Built::Entry &e : built->loose) {
            w.offer(e.obj, e.order, e.kind, e.ask);
            if (w.done) {
                return;
            }
        }
        walk_wide(built->tree, slabs, w);
    };
    if (w.any) {
        // Any objects of the tree will do as a hint.
        auto ask_hint = [&](const ItemsHint &hint) RT_INLINE_LAMBDA {
            bool valid = true;
            for (int k = 0; k < hint.count; k++) {
                valid = valid && hint.items[k] < built->how.size() && built->how[hint.items[k]] != 0xff;
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
        return BlockerCache<ItemsHint>::ask(built, d, ask_hint, walk_rest);
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

size_t BBoxNode::hierarchy_size() const
{
    if (built == nullptr || built->tree.empty()) {
        return 0;
    }
    size_t n = 0;
    for (unsigned char how : built->how) {
        n += how != 0xff;
    }
    return n;
}

size_t BBoxNode::hierarchy_bytes() const
{
    if (built == nullptr) {
        return 0;
    }
    return built->tree.bytes() + built->how.capacity() + built->loose.capacity() * sizeof(Built::Entry);
}

void BBoxNode::build_hierarchy(const std::vector<Object *> &objs, size_t count, int threads)
{
    delete built;
    built = nullptr;
    Built *b = new Built;
    built = b;
    count = std::min(count, objs.size());
    b->objs = &objs;
    b->how.assign(count, 0xff); // 0xff: not in the hierarchy

    // Which objects go into the hierarchy, and how they are asked.
    size_t placed = 0;
    double sphere_coord = 0.0;
    for (size_t i = 0; i < count; i++) {
        Object *obj = objs[i];
        const std::type_info &type = typeid(*obj);
        // Only these exact kinds are known to test their own box before
        // anything else; a derived class may have changed that.
        if (type == typeid(Sphere) || type == typeid(SphereFlake)) {
            if (usable_box(obj->get_bbox())) {
                b->how[i] = type == typeid(Sphere) ? Built::SPHERE << 2 | Built::ASK_BARE_TAME
                                                   : Built::FLAKE << 2 | Built::ASK_BARE;
                placed++;
                sphere_coord = std::max(sphere_coord, max_abs(obj->get_bbox()));
                if (type == typeid(Sphere)) {
                    b->sphere_coord = std::max(b->sphere_coord, max_abs(obj->get_bbox()));
                    b->sphere_radius = std::max(b->sphere_radius, static_cast<const Sphere *>(obj)->radius);
                }
                continue;
            }
        } else if (type == typeid(Mesh)) {
            const Mesh *mesh = static_cast<const Mesh *>(obj);
            BBox reach;
            double origin_cap, reach_cap;
            if (usable_box(mesh->get_bbox()) && mesh->reach_bounds(&reach, &origin_cap, &reach_cap) &&
                usable_box(reach)) {
                b->how[i] = Built::MESH << 2 | Built::ASK_BARE;
                placed++;
                b->origin_cap = std::min(b->origin_cap, origin_cap);
                b->reach_cap = std::min(b->reach_cap, reach_cap);
                continue;
            }
        } else if (type != typeid(Plane)) {
            b->unknown = true;
        }
        // Planes, unknown kinds and unusable boxes: asked for every ray
        // that meets this node, with a record for yes/no questions.
        b->loose.push_back({obj, static_cast<int>(i), Built::OTHER, Built::ASK_WITH_RECORD});
        objects.push_back(obj);
    }

    // A handful of objects is walked faster as a list.
    if (placed < 4) {
        std::vector<Built::Entry> listed;
        for (size_t i = 0; i < count; i++) {
            unsigned char how = b->how[i];
            if (how == 0xff) {
                continue;
            }
            listed.push_back(
                {objs[i], static_cast<int>(i), static_cast<Built::Kind>(how >> 2), static_cast<Built::Ask>(how & 3)});
            b->how[i] = 0xff;
        }
        // In the scene's order with the others, as the flat walk asks.
        std::vector<Built::Entry> merged;
        std::merge(b->loose.begin(), b->loose.end(), listed.begin(), listed.end(), std::back_inserter(merged),
                   [](const Built::Entry &x, const Built::Entry &y) { return x.order < y.order; });
        b->loose.swap(merged);
        objects.clear();
        for (const Built::Entry &e : b->loose) {
            objects.push_back(const_cast<Object *>(e.obj));
        }
        std::vector<unsigned char>().swap(b->how);
        return;
    }

    // Spheres: hit points within sphere_slack of the sphere for origins up
    // to sphere_cap. A flake's inner spheres are smaller than its own, their
    // centres lie within 3 r of its centre, and they lie within its box but
    // for the rounding of their centres (a few eps per level, ten levels at
    // most).
    double sphere_cap = sphere_origin_cap(sphere_coord);
    b->origin_cap = std::min(b->origin_cap, sphere_cap);
    // The objects in the hierarchy, named by their places in the scene's list.
    std::vector<WideTree::Item> items;
    items.reserve(placed);
    for (size_t i = 0; i < count; i++) {
        if (b->how[i] == 0xff) {
            continue;
        }
        const Object *obj = objs[i];
        BBox box = obj->get_bbox();
        if (b->how[i] >> 2 == Built::SPHERE) {
            const Sphere *s = static_cast<const Sphere *>(obj);
            box = padded(box, sphere_slack(max_abs(s->center), s->radius, sphere_cap));
        } else if (b->how[i] >> 2 == Built::FLAKE) {
            const SphereFlake *f = static_cast<const SphereFlake *>(obj);
            double coord = max_abs(f->center) + 3.0 * f->radius;
            double pad = sphere_slack(coord, f->radius, sphere_cap) + 64.0 * EPS * (coord + sphere_cap);
            box = padded(box, pad);
        } else {
            const Mesh *mesh = static_cast<const Mesh *>(obj);
            double origin_cap, reach_cap;
            mesh->reach_bounds(&box, &origin_cap, &reach_cap);
            grow(&box, mesh->get_bbox());
        }
        items.push_back(WideTree::Item{float_box(box.min, box.max), static_cast<uint32_t>(i)});
    }
    if (!b->tree.build(std::move(items), placed >= BIG_SCENE ? BIG_SCENE_LEAF : OBJECT_LEAF, 0.0, false,
                       WideTree::MAX_BINS, threads)) {
        // Not expected of the builder: every object is then asked in order.
        delete built;
        built = nullptr;
        objects.clear();
        for (size_t i = 0; i < count; i++) {
            objects.push_back(objs[i]);
        }
        return;
    }
}
