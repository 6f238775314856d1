#ifndef RT_WIDE_TREE_H
#define RT_WIDE_TREE_H

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "accel/inline.h"
#include "accel/numerics.h"
#include "accel/ray_slabs.h"
#include "numeric/floats.h"
#include "vector.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// A box in single precision; the builders round every bound outwards, so it
// holds the double box it was made from.
struct FloatBox {
    float lo[3];
    float hi[3];
};

// Holds the box from lo to hi, rounded outwards by a step or two.
inline FloatBox float_box(const Vector3 &lo, const Vector3 &hi)
{
    return FloatBox{{float_below(lo.x), float_below(lo.y), float_below(lo.z)},
                    {float_above(hi.x), float_above(hi.y), float_above(hi.z)}};
}

// A node of a four-wide bounding volume hierarchy: the boxes of its four
// children side by side, axis by axis, so that one pass tests all four. A
// child is another node, a leaf (a run of items of the tree's order), or
// empty.
struct WideNode {
    float lo[3][4];
    float hi[3][4];
    uint32_t child[4];
};

// The eight-wide form of a tree, for walks that test eight boxes at once:
// the same boxes and leaves, with some of the four-wide nodes passed over
// (WideTree::widen). Empty children have lo above hi, as in WideNode.
struct WideNode8 {
    float lo[3][8];
    float hi[3][8];
    uint32_t child[8];
};

class WideTree
{
  public:
    static constexpr uint32_t LEAF = 0x80000000u;
    static constexpr uint32_t EMPTY = 0xffffffffu;
    // A leaf reference: the leaf bit, count - 1 in the next three bits and
    // in the rest the first place in `order`, or for a leaf of one item the
    // item itself.
    static constexpr int COUNT_SHIFT = 28;
    static constexpr uint32_t MAX_ITEMS = 1u << COUNT_SHIFT;
    static uint32_t leaf_first(uint32_t ref) { return ref & (MAX_ITEMS - 1); }
    static int leaf_count(uint32_t ref) { return static_cast<int>((ref >> COUNT_SHIFT) & 7) + 1; }
    static constexpr int MAX_LEAF = 8;
    static constexpr int MAX_BINS = 16;
    // The walk's stack: a node replaces itself by at most four children.
    static constexpr int STACK = 256;

    // An item to build over: its box, and the name the tree gives it (in
    // `order` and leaves), below MAX_ITEMS.
    struct Item {
        FloatBox box;
        uint32_t id;
        // Made without a value, so that a large array of items is not
        // written once over before its items are (on several threads).
        Item() {}
        Item(const FloatBox &box, uint32_t id) : box(box), id(id) {}
    };

    // Builds the hierarchy over the items by the binned surface-area
    // heuristic, leaves of up to max_leaf items in ascending order of names:
    // a range that fits is a leaf unless splitting it costs less, an item
    // costing item_cost box tests (0: it always is). With by_slot every
    // leaf, even of one item, refers to its run of `order`, so that data
    // kept in leaf order can be found by place. Always deterministic. False,
    // leaving the tree empty, for more than MAX_ITEMS items, a name not
    // below it, or a tree too deep for the walk's stack (not expected).
    // Planes are tried at up to `bins` places per axis (at most MAX_BINS).
    // Large trees are built on up to `threads` threads; the nodes, their
    // order and `order` are the same whatever the number.
    bool build(std::vector<Item> items, int max_leaf, double item_cost, bool by_slot = false, int bins = MAX_BINS,
               int threads = 1);
    void clear();
    bool empty() const { return nodes.empty() && nodes8.empty(); }
    size_t bytes() const
    {
        return nodes.size() * sizeof(WideNode) + nodes8.size() * sizeof(WideNode8) + order.size() * sizeof(uint32_t);
    }
    // Puts the tree in its eight-wide form: each node takes, in place of
    // its inner children, their children while they fit in eight (the
    // largest box first), and the four-wide nodes are let go. Every box and
    // leaf of the tree stays as it was, so a walk skips a box for the same
    // reasons; a walk of the eight-wide form only tests fewer boxes on the
    // way. False, leaving the tree as it was, when the form's walk could
    // outgrow its stack (not expected).
    bool widen();
    // The references of every leaf, in either form.
    std::vector<uint32_t> leaves() const;
    // The eight-wide walk's stack: a node replaces itself by at most eight
    // children.
    static constexpr int STACK8 = 512;
    // The union of every item's box, from *lo to *hi; only for a tree that
    // is not empty.
    void bounds(Vector3 *lo, Vector3 *hi) const;

    std::vector<WideNode> nodes;   // nodes[0] is the root; empty once widened
    std::vector<WideNode8> nodes8; // the eight-wide form, once widened
    std::vector<uint32_t> order;   // the items, leaf by leaf
    bool by_slot = false;
};

// The box test of a node's four children: bit i of the result is set when
// child i's box meets the parameter interval [0, limit] (slab_reach, lane by
// lane, with the same double arithmetic: the single-precision bounds widen
// exactly), and near[i] is then its entry.
RT_ALWAYS_INLINE unsigned wide_reach(const WideNode &node, const RaySlabs &r, double limit, double near[4])
{
#if defined(__SSE2__)
    const __m128d ox = _mm_set1_pd(r.ox), oy = _mm_set1_pd(r.oy), oz = _mm_set1_pd(r.oz);
    const __m128d ix = _mm_set1_pd(r.ix), iy = _mm_set1_pd(r.iy), iz = _mm_set1_pd(r.iz);
    const __m128 nx = _mm_loadu_ps(r.nx ? node.hi[0] : node.lo[0]), fx = _mm_loadu_ps(r.nx ? node.lo[0] : node.hi[0]);
    const __m128 ny = _mm_loadu_ps(r.ny ? node.hi[1] : node.lo[1]), fy = _mm_loadu_ps(r.ny ? node.lo[1] : node.hi[1]);
    const __m128 nz = _mm_loadu_ps(r.nz ? node.hi[2] : node.lo[2]), fz = _mm_loadu_ps(r.nz ? node.lo[2] : node.hi[2]);
    // cvtps_pd widens two floats exactly (the low two; movehl brings up the
    // high two); max_pd(a, b) is a > b ? a : b, so a NaN bound never replaces
    // the running one, as in slab_reach.
    const __m128d zero = _mm_setzero_pd(), lim = _mm_set1_pd(limit);
    __m128d tmin0 = _mm_max_pd(_mm_mul_pd(_mm_sub_pd(_mm_cvtps_pd(nx), ox), ix), zero);
    __m128d tmin1 = _mm_max_pd(_mm_mul_pd(_mm_sub_pd(_mm_cvtps_pd(_mm_movehl_ps(nx, nx)), ox), ix), zero);
    __m128d tmax0 = _mm_min_pd(_mm_mul_pd(_mm_sub_pd(_mm_cvtps_pd(fx), ox), ix), lim);
    __m128d tmax1 = _mm_min_pd(_mm_mul_pd(_mm_sub_pd(_mm_cvtps_pd(_mm_movehl_ps(fx, fx)), ox), ix), lim);
    tmin0 = _mm_max_pd(_mm_mul_pd(_mm_sub_pd(_mm_cvtps_pd(ny), oy), iy), tmin0);
    tmin1 = _mm_max_pd(_mm_mul_pd(_mm_sub_pd(_mm_cvtps_pd(_mm_movehl_ps(ny, ny)), oy), iy), tmin1);
    tmax0 = _mm_min_pd(_mm_mul_pd(_mm_sub_pd(_mm_cvtps_pd(fy), oy), iy), tmax0);
    tmax1 = _mm_min_pd(_mm_mul_pd(_mm_sub_pd(_mm_cvtps_pd(_mm_movehl_ps(fy, fy)), oy), iy), tmax1);
    tmin0 = _mm_max_pd(_mm_mul_pd(_mm_sub_pd(_mm_cvtps_pd(nz), oz), iz), tmin0);
    tmin1 = _mm_max_pd(_mm_mul_pd(_mm_sub_pd(_mm_cvtps_pd(_mm_movehl_ps(nz, nz)), oz), iz), tmin1);
    tmax0 = _mm_min_pd(_mm_mul_pd(_mm_sub_pd(_mm_cvtps_pd(fz), oz), iz), tmax0);
    tmax1 = _mm_min_pd(_mm_mul_pd(_mm_sub_pd(_mm_cvtps_pd(_mm_movehl_ps(fz, fz)), oz), iz), tmax1);
    _mm_storeu_pd(near, tmin0);
    _mm_storeu_pd(near + 2, tmin1);
    return static_cast<unsigned>(_mm_movemask_pd(_mm_cmple_pd(tmin0, tmax0))) |
           static_cast<unsigned>(_mm_movemask_pd(_mm_cmple_pd(tmin1, tmax1))) << 2;
#else
    unsigned mask = 0;
    for (int k = 0; k < 4; k++) {
        if (slab_reach(node.lo[0][k], node.lo[1][k], node.lo[2][k], node.hi[0][k], node.hi[1][k], node.hi[2][k], r,
                       limit, &near[k])) {
            mask |= 1u << k;
        }
    }
    return mask;
#endif
}

// A ray prepared for the single-precision box test of the walk, for rays
// whose values keep that test simple: every origin component at most 2^40
// in magnitude, every direction component between 2^-40 and 2^40 (so every
// reciprocal is finite, a normal float, and no bound comes out NaN). Other
// rays (NaN, infinity, a zero component, ...) take wide_reach.
//
// The test (wide_reach_float) accepts every box that wide_reach accepts, and
// its entry is never above wide_reach's. Per axis, with i the double
// reciprocal and o the origin, wide_reach computes the near bound T0 =
// fl(fl(L - o) i) and the far bound T1 = fl(fl(H - o) i) (L, H: the
// near and far planes for the direction's sign). The float test computes
// t0 = fl(fl(L - o0) g) and t1 = fl(fl(H - o1) f) with f = fl(i) and g =
// fl(f (1 - 2^-20)), where o0 is a float at or beyond o in the direction's
// sense (so (L - o0) i <= (L - o) i exactly) and o1 one at or behind it
// ((H - o1) i >= (H - o) i). t1 carries at most three float roundings of
// relative size u = 2^-24, t0 four and the factor 1 - 2^-20 = 1 - 16 u, and
// T0, T1 two double roundings each; a product that underflows errs by at
// most 2^-149 in all. So t0 <= T0 (1 - 11.9 u) + 2^-149 where T0 >= 0, t0
// <= 2^-149 where T0 < 0, and t1 >= T1 (1 - 3.02 u) - 2^-149 where T1 >= 0,
// t1 < 0 only where T1 < 0; no value is NaN. With tmin, tmax the float
// test's clamped maximum and minimum (limit rounded to the nearest float, a
// relative error of u) and W, V wide_reach's (every T0 and 0; every T1 and
// the limit): tmin <= W (1 - 11.9 u) + 2^-149 and, where wide_reach accepts
// (W <= V), tmax >= V (1 - 3.02 u) - 2^-149. The test asks entry <= tmax,
// entry = fl(tmin - 2^-100): for V >= 2^-120 tmin lies below tmax and the
// entry at most at tmin; below that the entry is negative and tmax at least
// -2^-149. Likewise the entry lies at or below W, wide_reach's entry.
// Overflow only turns values beyond 1 into infinities of the same sign,
// which decide the same.
struct FloatSlabs {
    inline explicit FloatSlabs(const RaySlabs &r);

    bool usable;
    unsigned near_at[3], far_at[3]; // byte offsets of the planes in a WideNode
#if defined(__SSE2__)
    __m128 o_near[3], o_far[3], inv_near[3], inv[3];
#else
    float o_near[3], o_far[3], inv_near[3], inv[3];
#endif
};

inline FloatSlabs::FloatSlabs(const RaySlabs &r)
{
    // NaN fails these too.
    const double lim = FLOAT_TEST_LIMIT, low = 1.0 / FLOAT_TEST_LIMIT; // 2^40 and 2^-40, exactly
    usable = std::fabs(r.ox) <= lim && std::fabs(r.oy) <= lim && std::fabs(r.oz) <= lim && std::fabs(r.ix) >= low &&
             std::fabs(r.ix) <= lim && std::fabs(r.iy) >= low && std::fabs(r.iy) <= lim && std::fabs(r.iz) >= low &&
             std::fabs(r.iz) <= lim;
    if (!usable) {
        return;
    }
    const double o[3] = {r.ox, r.oy, r.oz}, inv[3] = {r.ix, r.iy, r.iz};
    const bool flip[3] = {r.nx, r.ny, r.nz};
    for (int a = 0; a < 3; a++) {
        unsigned lo = static_cast<unsigned>(offsetof(WideNode, lo) + a * sizeof(float[4]));
        unsigned hi = static_cast<unsigned>(offsetof(WideNode, hi) + a * sizeof(float[4]));
        near_at[a] = flip[a] ? hi : lo;
        far_at[a] = flip[a] ? lo : hi;
        // Rounded toward the direction for the near planes, away from it for
        // the far ones: neither moves a bound the wrong way. The nearest
        // float f lies within half a step of o, and |f| 2^-23 is at least a
        // step (2^-149 for zero and subnormals): f plus or minus that, even
        // rounded, lies on the wanted side. No branch: the sides are hard
        // to foresee.
        float f0 = static_cast<float>(o[a]);
        float step = std::fabs(f0) * 0x1p-23f + 0x1p-149f;
        float up = f0 + step, down = f0 - step;
        float on = flip[a] ? down : up, of = flip[a] ? up : down;
        float f = static_cast<float>(inv[a]);
        float g = f * (1.0f - 0x1p-20f);
#if defined(__SSE2__)
        o_near[a] = _mm_set1_ps(on);
        o_far[a] = _mm_set1_ps(of);
        inv_near[a] = _mm_set1_ps(g);
        this->inv[a] = _mm_set1_ps(f);
#else
        o_near[a] = on;
        o_far[a] = of;
        inv_near[a] = g;
        this->inv[a] = f;
#endif
    }
}

RT_ALWAYS_INLINE unsigned wide_reach_float(const WideNode &node, const FloatSlabs &s, float limit, float near[4])
{
    const char *base = reinterpret_cast<const char *>(&node);
    const float tiny = FLOAT_TINY;
#if defined(__SSE2__)
#define RT_PLANES(at) _mm_loadu_ps(reinterpret_cast<const float *>(base + (at)))
    __m128 t0x = _mm_mul_ps(_mm_sub_ps(RT_PLANES(s.near_at[0]), s.o_near[0]), s.inv_near[0]);
    __m128 t0y = _mm_mul_ps(_mm_sub_ps(RT_PLANES(s.near_at[1]), s.o_near[1]), s.inv_near[1]);
    __m128 t0z = _mm_mul_ps(_mm_sub_ps(RT_PLANES(s.near_at[2]), s.o_near[2]), s.inv_near[2]);
    __m128 t1x = _mm_mul_ps(_mm_sub_ps(RT_PLANES(s.far_at[0]), s.o_far[0]), s.inv[0]);
    __m128 t1y = _mm_mul_ps(_mm_sub_ps(RT_PLANES(s.far_at[1]), s.o_far[1]), s.inv[1]);
    __m128 t1z = _mm_mul_ps(_mm_sub_ps(RT_PLANES(s.far_at[2]), s.o_far[2]), s.inv[2]);
#undef RT_PLANES
    // max_ps(a, b) is a > b ? a : b and min_ps likewise; paired, so that
    // the answer waits for two steps rather than three (no value is NaN,
    // and the order of signed zeros decides nothing).
    __m128 tmin = _mm_max_ps(_mm_max_ps(t0x, t0y), _mm_max_ps(t0z, _mm_setzero_ps()));
    __m128 tmax = _mm_min_ps(_mm_min_ps(t1x, t1y), _mm_min_ps(t1z, _mm_set1_ps(limit)));
    __m128 entry = _mm_sub_ps(tmin, _mm_set1_ps(tiny));
    _mm_storeu_ps(near, entry);
    return static_cast<unsigned>(_mm_movemask_ps(_mm_cmple_ps(entry, tmax)));
#else
    unsigned mask = 0;
    for (int k = 0; k < 4; k++) {
        float tmin = 0.0f, tmax = limit;
        for (int a = 0; a < 3; a++) {
            float t0 = (reinterpret_cast<const float *>(base + s.near_at[a])[k] - s.o_near[a]) * s.inv_near[a];
            float t1 = (reinterpret_cast<const float *>(base + s.far_at[a])[k] - s.o_far[a]) * s.inv[a];
            tmin = t0 > tmin ? t0 : tmin;
            tmax = t1 < tmax ? t1 : tmax;
        }
        near[k] = tmin - tiny;
        mask |= static_cast<unsigned>(near[k] <= tmax) << k;
    }
    return mask;
#endif
}

// The index of the lowest set bit of bits, which is not 0.
inline int lowest_bit(unsigned bits)
{
    return __builtin_ctz(bits);
}

#include "accel/walk_loop.inc"

// Walks the tree for one ray. The visitor says how far the ray may still
// reach (limit(): boxes entered beyond it are skipped, now and when a waiting
// child comes off the stack), whether the nearer children are to come first
// (nearest_first(): so for the nearest hit; a yes/no question may instead
// take the farthest first and the others in their order, see walk_nodes) and
// tests a leaf's items (leaf(items, count), true to stop). FLOAT: boxes
// tested by wide_reach_float, else wide_reach; either accepts every box that
// wide_reach accepts.
template <bool FLOAT, class Visitor>
void walk_wide_with(const WideTree &tree, const RaySlabs &r, const FloatSlabs &fs, Visitor &v)
{
    if constexpr (FLOAT) {
        // An empty child's box (lo above hi) is never met here.
        auto reach = [&](const WideNode &node, double limit, float near[4])
                         RT_INLINE_LAMBDA { return wide_reach_float(node, fs, static_cast<float>(limit), near); };
        walk_nodes<4, float>(tree, tree.nodes.data(), reach, v);
    } else {
        auto reach = [&](const WideNode &node, double limit, double near[4]) RT_INLINE_LAMBDA {
            unsigned mask = wide_reach(node, r, limit, near);
            for (int k = 0; k < 4; k++) {
                mask &= ~(static_cast<unsigned>(node.child[k] == WideTree::EMPTY) << k);
            }
            return mask;
        };
        walk_nodes<4, double>(tree, tree.nodes.data(), reach, v);
    }
}

template <class Visitor> void walk_wide(const WideTree &tree, const RaySlabs &r, Visitor &v)
{
    if (tree.nodes.empty()) {
        return;
    }
    FloatSlabs fs(r);
    if (fs.usable) {
        walk_wide_with<true>(tree, r, fs, v);
    } else {
        walk_wide_with<false>(tree, r, fs, v);
    }
}

#endif
