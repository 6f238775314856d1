#ifndef RT_WIDE_TREE_H
#define RT_WIDE_TREE_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bbox.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// A box in single precision; the builders round every bound outwards, so it
// holds the double box it was made from.
struct FloatBox {
    float lo[3];
    float hi[3];
};

// Single precision, rounded outwards (beyond its range: infinite).
float float_down(double x);
float float_up(double x);
FloatBox float_box(const BBox &b);

// A node of a four-wide bounding volume hierarchy: the boxes of its four
// children side by side, axis by axis, so that one pass tests all four. A
// child is another node, a leaf (a run of items of the tree's order), or
// empty.
struct WideNode {
    float lo[3][4];
    float hi[3][4];
    uint32_t child[4];
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
    static constexpr int MAX_LEAF = 8;
    // The walk's stack: a node replaces itself by at most four children.
    static constexpr int STACK = 256;

    // Builds the hierarchy over boxes[0 .. n - 1] by the binned surface-area
    // heuristic, leaves of up to max_leaf items in ascending order: a range
    // that fits is a leaf unless splitting it costs less, an item costing
    // item_cost box tests (0: it always is). Always deterministic. False,
    // leaving the tree empty, for more than MAX_ITEMS items or a tree too
    // deep for the walk's stack (not expected).
    bool build(const std::vector<FloatBox> &boxes, int max_leaf, double item_cost);
    // Gives item i the name names[i], an ascending renaming keeping every
    // leaf in order.
    void rename(const std::vector<uint32_t> &names);
    void clear();
    bool empty() const { return nodes.empty(); }
    size_t bytes() const { return nodes.size() * sizeof(WideNode) + order.size() * sizeof(uint32_t); }
    // The union of every item's box; only for a tree that is not empty.
    BBox bounds() const;

    std::vector<WideNode> nodes; // nodes[0] is the root
    std::vector<uint32_t> order; // the items, leaf by leaf
};

// The box test of a node's four children: bit i of the result is set when
// child i's box meets the parameter interval [0, limit] (slab_reach, lane by
// lane, with the same double arithmetic: the single-precision bounds widen
// exactly), and near[i] is then its entry.
#if defined(__GNUC__)
__attribute__((always_inline))
#endif
inline unsigned
wide_reach(const WideNode &node, const RaySlabs &r, double limit, double near[4])
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

// Walks the tree for one ray, nearer children first (a yes/no question meets
// its first hit sooner so too). The visitor says how far the ray may still
// reach (limit(): boxes entered beyond it are skipped, now and when a waiting
// child comes off the stack) and tests a leaf's items (leaf(items, count),
// true to stop).
template <class Visitor> void walk_wide(const WideTree &tree, const RaySlabs &r, Visitor &v)
{
    if (tree.nodes.empty()) {
        return;
    }
    uint32_t stack[WideTree::STACK];
    double stack_near[WideTree::STACK];
    int depth = 0;
    uint32_t ref = 0;
    for (;;) {
        if (ref & WideTree::LEAF) {
            uint32_t first = ref & (WideTree::MAX_ITEMS - 1);
            int count = static_cast<int>((ref >> WideTree::COUNT_SHIFT) & 7) + 1;
            if (v.leaf(count == 1 ? &first : &tree.order[first], count)) {
                return;
            }
        } else {
            const WideNode &node = tree.nodes[ref];
            double near[4];
            RT_COUNT(box_tests);
            unsigned mask = wide_reach(node, r, v.limit(), near);
            // The nearest goes on at once, the others wait on the stack,
            // farthest first.
            uint32_t refs[4];
            double dist[4];
            int n = 0;
            for (int k = 0; k < 4; k++) {
                if ((mask >> k & 1) && node.child[k] != WideTree::EMPTY) {
                    int j = n++;
                    while (j > 0 && dist[j - 1] < near[k]) {
                        refs[j] = refs[j - 1];
                        dist[j] = dist[j - 1];
                        j--;
                    }
                    refs[j] = node.child[k];
                    dist[j] = near[k];
                }
            }
            if (n > 0) {
                for (int k = 0; k < n - 1; k++) {
                    stack[depth] = refs[k];
                    stack_near[depth++] = dist[k];
                }
                ref = refs[n - 1];
                continue;
            }
        }
        // The next waiting child whose entry is not beyond the limit.
        for (;;) {
            if (depth == 0) {
                return;
            }
            depth--;
            if (stack_near[depth] <= v.limit()) {
                ref = stack[depth];
                break;
            }
        }
    }
}

#endif
