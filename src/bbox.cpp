#include "bbox.h"

#include <algorithm>
#include <cmath>
#include <typeinfo>

#include "intinfo.h"
#include "mesh.h"
#include "object.h"
#include "plane.h"
#include "sphere.h"
#include "sphereflake.h"

#ifdef RT_QUERY_COUNTERS
QueryCounters query_counters;
#endif

bool BBox::intersection(const Ray &ray) const
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
    double invdirx = 1.0 / ray.dir.x;
    double tmin = (bbox[xsign]->x - ray.origin.x) * invdirx;
    double tmax = (bbox[1 - xsign]->x - ray.origin.x) * invdirx;

    int ysign = ray.dir.y < 0.0;
    double invdiry = 1.0 / ray.dir.y;
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
    double invdirz = 1.0 / ray.dir.z;
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

RaySlabs::RaySlabs(const Ray &ray)
    : ox(ray.origin.x), oy(ray.origin.y), oz(ray.origin.z), ix(1.0 / ray.dir.x), iy(1.0 / ray.dir.y),
      iz(1.0 / ray.dir.z)
{
    // The sign of the reciprocal, so that a -0.0 component (reciprocal -inf)
    // takes its near bound from the top of the slab.
    nx = ix < 0.0;
    ny = iy < 0.0;
    nz = iz < 0.0;
}

// ---- building a hierarchy ----

namespace
{

double axis_of(const Vector3 &v, int axis)
{
    return axis == 0 ? v.x : axis == 1 ? v.y : v.z;
}

BBox empty_box()
{
    const double inf = HUGE_VAL;
    return BBox(Vector3(inf, inf, inf), Vector3(-inf, -inf, -inf));
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

// Half the surface area: the heuristic only compares ratios.
double half_area(const BBox &b)
{
    double dx = b.max.x - b.min.x, dy = b.max.y - b.min.y, dz = b.max.z - b.min.z;
    return dx * dy + dy * dz + dz * dx;
}

const int BINS = 16;
// Past this depth splits are by count alone, which bounds the depth.
const int SAH_DEPTH = 48;

struct Builder {
    const std::vector<BBox> &boxes;
    std::vector<Vector3> centers;
    std::vector<int> &order;
    std::vector<BuildNode> &nodes;
    int max_leaf;
    double item_cost;

    void make_leaf(int node, int begin, int end)
    {
        // Ascending indices: the items' own storage is visited in order.
        std::sort(order.begin() + begin, order.begin() + end);
        nodes[node].first = begin;
        nodes[node].count = end - begin;
        nodes[node].right = -1;
    }

    // The split of the best binned plane, or -1 when no plane separates
    // the centres. *cost is the summed area times count of the two sides.
    int best_bin(int begin, int end, const BBox &cb, int *axis_out, double *cost)
    {
        int best = -1;
        *cost = HUGE_VAL;
        for (int axis = 0; axis < 3; axis++) {
            double lo = axis_of(cb.min, axis);
            double extent = axis_of(cb.max, axis) - lo;
            if (!(extent > 0.0) || !std::isfinite(extent)) {
                continue;
            }
            double scale = BINS / extent;
            int counts[BINS] = {0};
            BBox bin_box[BINS];
            for (BBox &b : bin_box) {
                b = empty_box();
            }
            for (int i = begin; i < end; i++) {
                int b = static_cast<int>((axis_of(centers[order[i]], axis) - lo) * scale);
                b = std::min(std::max(b, 0), BINS - 1);
                counts[b]++;
                grow(&bin_box[b], boxes[order[i]]);
            }
            double left_cost[BINS];
            int left_count[BINS];
            BBox acc = empty_box();
            int n = 0;
            for (int b = 0; b < BINS - 1; b++) {
                grow(&acc, bin_box[b]);
                n += counts[b];
                left_count[b] = n;
                left_cost[b] = n > 0 ? half_area(acc) * n : 0.0;
            }
            acc = empty_box();
            n = 0;
            for (int b = BINS - 1; b > 0; b--) {
                grow(&acc, bin_box[b]);
                n += counts[b];
                if (n == 0 || left_count[b - 1] == 0) {
                    continue;
                }
                double c = left_cost[b - 1] + half_area(acc) * n;
                if (c < *cost) {
                    *cost = c;
                    best = b;
                    *axis_out = axis;
                }
            }
        }
        return best;
    }

    // Halves [begin, end) by centre along the widest axis, ties by index.
    int median_split(int begin, int end, const BBox &cb)
    {
        int axis = 0;
        double widest = -1.0;
        for (int a = 0; a < 3; a++) {
            double extent = axis_of(cb.max, a) - axis_of(cb.min, a);
            if (extent > widest) {
                widest = extent;
                axis = a;
            }
        }
        int mid = begin + (end - begin) / 2;
        std::nth_element(order.begin() + begin, order.begin() + mid, order.begin() + end, [&](int a, int b) {
            double ca = axis_of(centers[a], axis), cb2 = axis_of(centers[b], axis);
            return ca < cb2 || (ca == cb2 && a < b);
        });
        return mid;
    }

    void build(int begin, int end, int depth)
    {
        int node = static_cast<int>(nodes.size());
        nodes.push_back(BuildNode());
        BBox bounds = empty_box(), cb = empty_box();
        for (int i = begin; i < end; i++) {
            grow(&bounds, boxes[order[i]]);
            grow(&cb, BBox(centers[order[i]], centers[order[i]]));
        }
        nodes[node].box = bounds;
        int n = end - begin;
        if (n <= 1) {
            make_leaf(node, begin, end);
            return;
        }

        int axis = 0, bin = -1;
        double cost = HUGE_VAL;
        double area = half_area(bounds);
        bool sah = depth < SAH_DEPTH && area > 0.0 && std::isfinite(area);
        if (sah) {
            bin = best_bin(begin, end, cb, &axis, &cost);
        }
        bool split;
        if (bin >= 0) {
            // One box test for the node, then the two sides in proportion
            // to their area, against testing every item here.
            split = n > max_leaf || 1.0 + item_cost * cost / area < item_cost * n;
        } else {
            split = n > max_leaf;
        }
        if (!split) {
            make_leaf(node, begin, end);
            return;
        }

        int mid = begin;
        if (bin >= 0) {
            double lo = axis_of(cb.min, axis);
            double scale = BINS / (axis_of(cb.max, axis) - lo);
            mid = static_cast<int>(std::partition(order.begin() + begin, order.begin() + end,
                                                  [&](int item) {
                                                      int b =
                                                          static_cast<int>((axis_of(centers[item], axis) - lo) * scale);
                                                      return std::min(std::max(b, 0), BINS - 1) < bin;
                                                  }) -
                                   order.begin());
        }
        if (mid == begin || mid == end) {
            mid = median_split(begin, end, cb);
        }
        build(begin, mid, depth + 1);
        nodes[node].right = static_cast<int>(nodes.size());
        build(mid, end, depth + 1);
        nodes[node].first = 0;
        nodes[node].count = 0;
    }
};

} // namespace

void build_box_hierarchy(const std::vector<BBox> &boxes, int max_leaf, double item_cost, std::vector<BuildNode> *nodes,
                         std::vector<int> *order)
{
    nodes->clear();
    order->clear();
    if (boxes.empty()) {
        return;
    }
    Builder b{boxes, {}, *order, *nodes, std::max(max_leaf, 1), item_cost};
    b.centers.reserve(boxes.size());
    for (size_t i = 0; i < boxes.size(); i++) {
        b.centers.push_back((boxes[i].min + boxes[i].max) * 0.5);
        order->push_back(static_cast<int>(i));
    }
    nodes->reserve(2 * boxes.size());
    b.build(0, static_cast<int>(boxes.size()), 0);
}

// ---- the box tree node ----

BBoxNode::~BBoxNode()
{
    for (BBoxNode *child : children) {
        delete child;
    }
    delete limits;
}

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
    if (!bbox.intersection(ray)) {
        return false;
    }
    if (limits != nullptr) {
        return walk_built(ray, inf, skip);
    }

    IntInfo minsect;
    minsect.t = 3.4028234663852886e+38; // FLT_MAX, held as a double
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
//   for rays within the caps in Limits: there every hit parameter of an
//   object lies at or beyond the entry of its node (the boxes are padded by
//   the bounds below), so nothing in the node could win or tie.
// - A yes/no query stops at the first hit that the flat walk would count.

namespace
{

const double EPS = 2.220446049250313e-16; // 2^-52
const double BIG_COORD = 1e60;            // beyond this a box stays out of the tree
const double SQRT3 = 1.7320508075688772;

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

double max_abs(const Vector3 &v)
{
    return std::max(std::fabs(v.x), std::max(std::fabs(v.y), std::fabs(v.z)));
}

double max_abs(const BBox &b)
{
    return std::max(max_abs(b.min), max_abs(b.max));
}

BBox padded(const BBox &b, double pad)
{
    return BBox(b.min - Vector3(pad, pad, pad), b.max + Vector3(pad, pad, pad));
}

// How far outside its sphere a hit point of Sphere::intersection can lie,
// for a ray origin o with |o|_inf <= cap. The computed coefficients and
// roots are the exact roots of the quadratic of a slightly moved surface:
// their rounding errors, summed, move |q - c|^2 - r^2 at the root q = o + d t
// by at most about 44 eps S^2, with S = |c| + |o| + r (the direction's length
// cancels out). So |q - c| <= r + sqrt(44 eps) S; 16 sqrt(eps) leaves a
// factor above two. The hit of a grazing ray is where this is approached.
//
// coord bounds |c|_inf of every sphere concerned: a flake's inner spheres are
// smaller than its own and their centres lie within 3 r of its centre.
double sphere_slack(double coord, double r, double cap)
{
    double s = SQRT3 * (coord + cap) + r;
    // The second term covers the rounding of the node test and of the pad.
    return 2.4e-7 * s + 8.0 * EPS * s + 1e-300;
}

} // namespace

struct BBoxNode::Walk {
    const Ray &ray;
    const Object *skip;
    RaySlabs slabs;
    bool any;     // a yes/no question, answered at the first hit
    bool ordered; // nodes may be skipped by distance
    bool tame;    // ASK_BARE_TAME objects may be asked without a record
    bool done;
    IntInfo best;
    int best_order;

    Walk(const Ray &ray, const Object *skip, bool any)
        : ray(ray), skip(skip), slabs(ray), any(any), ordered(false), tame(false), done(false)
    {
        best.t = 3.4028234663852886e+38; // the flat walk's start, FLT_MAX
        best.object = nullptr;
        best_order = -1; // a t equal to the start never replaces it
    }

    double limit() const { return ordered && best.t < 1.0 ? best.t : 1.0; }

    void offer(const Entry &e)
    {
        if (e.obj == skip) {
            return;
        }
        RT_COUNT(object_tests);
        if (any) {
            if (e.ask == ASK_BARE || (e.ask == ASK_BARE_TAME && tame)) {
                done = e.obj->intersection(ray, nullptr);
            } else {
                // The flat walk counts a hit only if its t passes the test
                // against FLT_MAX, which a NaN fails.
                IntInfo tmp;
                done = e.obj->intersection(ray, &tmp) && tmp.t < 3.4028234663852886e+38;
            }
            return;
        }
        IntInfo tmp;
        if (e.obj->intersection(ray, &tmp) && (tmp.t < best.t || (tmp.t == best.t && e.order < best_order))) {
            best = tmp;
            best_order = e.order;
        }
    }

    // The node's box has been met.
    void visit(const BBoxNode *node)
    {
        for (const Entry &e : node->entries) {
            offer(e);
            if (done) {
                return;
            }
        }
        const std::vector<BBoxNode *> &ch = node->children;
        if (ch.size() == 2) {
            // Nearer child first; the other only if it can still hold a
            // hit no farther than the best.
            double near0, near1;
            RT_COUNT(box_tests);
            RT_COUNT(box_tests);
            bool hit0 = slab_reach(ch[0]->bbox, slabs, limit(), &near0);
            bool hit1 = slab_reach(ch[1]->bbox, slabs, limit(), &near1);
            if (hit0 && hit1) {
                int first = near1 < near0 ? 1 : 0;
                visit(ch[first]);
                double other_near = first == 1 ? near0 : near1;
                if (!done && (!ordered || other_near <= best.t)) {
                    visit(ch[1 - first]);
                }
            } else if (hit0) {
                visit(ch[0]);
            } else if (hit1) {
                visit(ch[1]);
            }
            return;
        }
        for (const BBoxNode *child : ch) {
            double near;
            RT_COUNT(box_tests);
            if (slab_reach(child->bbox, slabs, limit(), &near)) {
                visit(child);
                if (done) {
                    return;
                }
            }
        }
    }
};

bool BBoxNode::walk_built(const Ray &ray, IntInfo *inf, const Object *skip) const
{
    // With an object of unknown kind the answer to a yes/no question hangs
    // on the record of the nearest hit, so it is found in full.
    Walk w(ray, skip, inf == nullptr && !limits->unknown);

    const Vector3 &o = ray.origin, &d = ray.dir;
    // Sums bound the largest component and, unlike std::max, carry a NaN
    // along; the comparisons fail for NaN and infinity, so such rays are
    // neither tame nor ordered.
    double ao = (std::fabs(o.x) + std::fabs(o.y)) + std::fabs(o.z);
    double ad = (std::fabs(d.x) + std::fabs(d.y)) + std::fabs(d.z);
    double ad_max = std::fabs(d.x) > std::fabs(d.y) ? std::fabs(d.x) : std::fabs(d.y);
    ad_max = std::fabs(d.z) > ad_max ? std::fabs(d.z) : ad_max;
    w.tame = ao <= BIG_COORD && ad <= BIG_COORD && ad_max >= 1.0 / BIG_COORD;
    w.ordered = w.tame && ao <= limits->origin_cap && ao + ad <= limits->reach_cap;

    w.visit(this);
    if (inf == nullptr && !limits->unknown) {
        return w.done;
    }
    if (w.best.object == nullptr) {
        return false;
    }
    if (inf != nullptr) {
        *inf = w.best;
    }
    return true;
}

void BBoxNode::build_hierarchy(const std::vector<Object *> &objs, size_t count)
{
    delete limits;
    limits = new Limits{HUGE_VAL, HUGE_VAL, false};
    count = std::min(count, objs.size());

    enum Kind { SPHERE, FLAKE, MESH };
    struct Candidate {
        Object *obj;
        int order;
        Kind kind;
        BBox box;
    };
    std::vector<Candidate> cands;
    std::vector<Entry> loose;
    std::vector<Object *> loose_objs;
    double sphere_coord = 0.0;

    for (size_t i = 0; i < count; i++) {
        Object *obj = objs[i];
        int order = static_cast<int>(i);
        const std::type_info &type = typeid(*obj);
        // Only these exact kinds are known to test their own box before
        // anything else; a derived class may have changed that.
        if (type == typeid(Sphere) || type == typeid(SphereFlake)) {
            const BBox &b = obj->get_bbox();
            if (usable_box(b)) {
                cands.push_back({obj, order, type == typeid(Sphere) ? SPHERE : FLAKE, b});
                sphere_coord = std::max(sphere_coord, max_abs(b));
                continue;
            }
        } else if (type == typeid(Mesh)) {
            const Mesh *mesh = static_cast<const Mesh *>(obj);
            BBox reach;
            double origin_cap, reach_cap;
            if (usable_box(mesh->get_bbox()) && mesh->reach_bounds(&reach, &origin_cap, &reach_cap) &&
                usable_box(reach)) {
                grow(&reach, mesh->get_bbox());
                cands.push_back({obj, order, MESH, reach});
                limits->origin_cap = std::min(limits->origin_cap, origin_cap);
                limits->reach_cap = std::min(limits->reach_cap, reach_cap);
                continue;
            }
        } else if (type != typeid(Plane)) {
            limits->unknown = true;
        }
        // Planes, unknown kinds and unusable boxes: asked for every ray
        // that meets this node, with a record for yes/no questions.
        loose.push_back({obj, order, ASK_WITH_RECORD});
        loose_objs.push_back(obj);
    }

    // A handful of objects is walked faster as a list.
    if (cands.size() < 4) {
        for (const Candidate &c : cands) {
            loose.push_back({c.obj, c.order, c.kind == SPHERE ? ASK_BARE_TAME : ASK_BARE});
            loose_objs.push_back(c.obj);
        }
        cands.clear();
    }

    // Spheres: hit points within sphere_slack of the sphere for origins up
    // to sphere_cap; a flake's inner spheres lie within its box but for the
    // rounding of their centres (a few eps per level, ten levels at most).
    double sphere_cap = std::max(1024.0, 4.0 * sphere_coord);
    std::vector<BBox> boxes;
    for (Candidate &c : cands) {
        if (c.kind == SPHERE) {
            const Sphere *s = static_cast<const Sphere *>(c.obj);
            c.box = padded(c.box, sphere_slack(max_abs(s->center), s->radius, sphere_cap));
        } else if (c.kind == FLAKE) {
            const SphereFlake *f = static_cast<const SphereFlake *>(c.obj);
            double coord = max_abs(f->center) + 3.0 * f->radius;
            double pad = sphere_slack(coord, f->radius, sphere_cap) + 64.0 * EPS * (coord + sphere_cap);
            c.box = padded(c.box, pad);
        }
        boxes.push_back(c.box);
    }
    if (!cands.empty()) {
        limits->origin_cap = std::min(limits->origin_cap, sphere_cap);
    }

    for (size_t i = 0; i < loose.size(); i++) {
        objects.push_back(loose_objs[i]);
        entries.push_back(loose[i]);
    }
    if (cands.empty()) {
        return;
    }

    std::vector<BuildNode> nodes;
    std::vector<int> order;
    build_box_hierarchy(boxes, 4, 1.5, &nodes, &order);

    // The nodes become BBoxNodes, depth first.
    struct Maker {
        const std::vector<BuildNode> &nodes;
        const std::vector<int> &order;
        const std::vector<Candidate> &cands;
        BBoxNode *make(int index)
        {
            const BuildNode &bn = nodes[index];
            BBoxNode *node = new BBoxNode(bn.box);
            if (bn.count > 0) {
                for (int i = bn.first; i < bn.first + bn.count; i++) {
                    const Candidate &c = cands[order[i]];
                    node->objects.push_back(c.obj);
                    node->entries.push_back({c.obj, c.order, c.kind == SPHERE ? ASK_BARE_TAME : ASK_BARE});
                }
            } else {
                node->add_child(make(index + 1));
                node->add_child(make(bn.right));
            }
            return node;
        }
    };
    Maker maker{nodes, order, cands};
    add_child(maker.make(0));
}
