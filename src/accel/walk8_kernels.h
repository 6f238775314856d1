// The eight-wide walk and its two single-precision tests, for the files that
// build them for one vector path each (walk8_avx2.cpp, walk8_avx512.cpp).
// Each includes every header it needs first and only then this, after
// naming its instructions with `#pragma GCC target`: so that only what is
// defined here is built for them, and in an unnamed namespace, so that no
// copy of it can stand in for another file's. Never included elsewhere.
//
// Every lane computes what a lane of the SSE2 tests computes (wide_reach_float
// in wide_tree.h, TrianglePretest::maybe_hit in triangle_pretest.h): the same
// float operations on the same operands in the same order, with no fused
// multiply-add (the build's -ffp-contract=off holds for these files too, and
// the intrinsics name each rounding). The proofs written beside those tests
// therefore hold lane by lane here, unchanged: a box is dropped only when the
// double box test would drop it, a triangle only when the exact test would
// miss it. The tree's boxes and leaves are the four-wide tree's own
// (WideTree::widen), and a box is skipped for a reason that holds of that box
// alone, whatever its place in the tree; the leaves' visitors decide hits in
// an order of their own (the least (t, item) wins; a yes/no answer does not
// depend on the order of asking). So the wider path finds the same answers,
// to the bit.

#include <immintrin.h>

namespace
{

// The ray for the eight-wide float box test: FloatSlabs' values (rounded as
// the proof beside it says), side by side eight times, and the offsets of
// the near and far planes in a WideNode8.
struct FloatSlabs8 {
    explicit FloatSlabs8(const RaySlabs &r, const FloatSlabs &s)
    {
        const bool flip[3] = {r.nx, r.ny, r.nz};
        for (int a = 0; a < 3; a++) {
            const unsigned lo = static_cast<unsigned>(offsetof(WideNode8, lo) + a * sizeof(float[8]));
            const unsigned hi = static_cast<unsigned>(offsetof(WideNode8, hi) + a * sizeof(float[8]));
            near_at[a] = flip[a] ? hi : lo;
            far_at[a] = flip[a] ? lo : hi;
            o_near[a] = _mm256_broadcastss_ps(s.o_near[a]);
            o_far[a] = _mm256_broadcastss_ps(s.o_far[a]);
            inv_near[a] = _mm256_broadcastss_ps(s.inv_near[a]);
            inv[a] = _mm256_broadcastss_ps(s.inv[a]);
        }
    }

    unsigned near_at[3], far_at[3];
    __m256 o_near[3], o_far[3], inv_near[3], inv[3];
};

// wide_reach_float, eight lanes: bit i set when child i may be met, near[i]
// its entry. Empty children (lo +inf, hi -inf) come out +inf and -inf, never
// met.
RT_ALWAYS_INLINE unsigned reach8_float(const WideNode8 &node, const FloatSlabs8 &s, float limit, float near[8])
{
    const char *base = reinterpret_cast<const char *>(&node);
#define RT_PLANES(at) _mm256_loadu_ps(reinterpret_cast<const float *>(base + (at)))
    const __m256 t0x = _mm256_mul_ps(_mm256_sub_ps(RT_PLANES(s.near_at[0]), s.o_near[0]), s.inv_near[0]);
    const __m256 t0y = _mm256_mul_ps(_mm256_sub_ps(RT_PLANES(s.near_at[1]), s.o_near[1]), s.inv_near[1]);
    const __m256 t0z = _mm256_mul_ps(_mm256_sub_ps(RT_PLANES(s.near_at[2]), s.o_near[2]), s.inv_near[2]);
    const __m256 t1x = _mm256_mul_ps(_mm256_sub_ps(RT_PLANES(s.far_at[0]), s.o_far[0]), s.inv[0]);
    const __m256 t1y = _mm256_mul_ps(_mm256_sub_ps(RT_PLANES(s.far_at[1]), s.o_far[1]), s.inv[1]);
    const __m256 t1z = _mm256_mul_ps(_mm256_sub_ps(RT_PLANES(s.far_at[2]), s.o_far[2]), s.inv[2]);
#undef RT_PLANES
    // max_ps and min_ps pick as their SSE forms do.
    const __m256 tmin = _mm256_max_ps(_mm256_max_ps(t0x, t0y), _mm256_max_ps(t0z, _mm256_setzero_ps()));
    const __m256 tmax = _mm256_min_ps(_mm256_min_ps(t1x, t1y), _mm256_min_ps(t1z, _mm256_set1_ps(limit)));
    const __m256 entry = _mm256_sub_ps(tmin, _mm256_set1_ps(FLOAT_TINY));
    _mm256_storeu_ps(near, entry);
    return static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(entry, tmax, _CMP_LE_OS)));
}

// For the rays the float test does not take: slab_reach per child, as the
// four-wide walk's wide_reach, empty children left out.
inline unsigned reach8_double(const WideNode8 &node, const RaySlabs &r, double limit, double near[8])
{
    unsigned mask = 0;
    for (int k = 0; k < 8; k++) {
        if (node.child[k] != WideTree::EMPTY && slab_reach(node.lo[0][k], node.lo[1][k], node.lo[2][k], node.hi[0][k],
                                                           node.hi[1][k], node.hi[2][k], r, limit, &near[k])) {
            mask |= 1u << k;
        }
    }
    return mask;
}

// TrianglePretest::maybe_hit for a whole leaf, up to eight triangles: the
// same ray values side by side, the same steps.
struct Pretest8 {
    explicit Pretest8(const TrianglePretest &p)
    {
        for (int a = 0; a < 3; a++) {
            o[a] = _mm256_broadcastss_ps(p.o[a]);
            d[a] = _mm256_broadcastss_ps(p.d[a]);
        }
        scale = _mm256_broadcastss_ps(p.scale);
    }

    RT_ALWAYS_INLINE unsigned maybe_hit(const float *p, int count) const
    {
#define RT_ROW(r) _mm256_loadu_ps(p + (r)*count)
        const __m256 tx = _mm256_sub_ps(o[0], RT_ROW(0)), ty = _mm256_sub_ps(o[1], RT_ROW(1)),
                     tz = _mm256_sub_ps(o[2], RT_ROW(2));
        const __m256 e1x = RT_ROW(3), e1y = RT_ROW(4), e1z = RT_ROW(5);
        const __m256 e2x = RT_ROW(6), e2y = RT_ROW(7), e2z = RT_ROW(8);
        const __m256 px = _mm256_sub_ps(_mm256_mul_ps(d[1], e2z), _mm256_mul_ps(d[2], e2y));
        const __m256 py = _mm256_sub_ps(_mm256_mul_ps(d[2], e2x), _mm256_mul_ps(d[0], e2z));
        const __m256 pz = _mm256_sub_ps(_mm256_mul_ps(d[0], e2y), _mm256_mul_ps(d[1], e2x));
        const __m256 det =
            _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(e1x, px), _mm256_mul_ps(e1y, py)), _mm256_mul_ps(e1z, pz));
        const __m256 f1 =
            _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(tx, px), _mm256_mul_ps(ty, py)), _mm256_mul_ps(tz, pz));
        const __m256 qx = _mm256_sub_ps(_mm256_mul_ps(ty, e1z), _mm256_mul_ps(tz, e1y));
        const __m256 qy = _mm256_sub_ps(_mm256_mul_ps(tz, e1x), _mm256_mul_ps(tx, e1z));
        const __m256 qz = _mm256_sub_ps(_mm256_mul_ps(tx, e1y), _mm256_mul_ps(ty, e1x));
        const __m256 f2 =
            _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(d[0], qx), _mm256_mul_ps(d[1], qy)), _mm256_mul_ps(d[2], qz));
        const __m256 f0 = _mm256_sub_ps(_mm256_sub_ps(det, f1), f2);
        const __m256 m = _mm256_add_ps(_mm256_mul_ps(RT_ROW(9), scale), _mm256_set1_ps(FLOAT_TINY));
#undef RT_ROW
        const __m256 nm = _mm256_sub_ps(_mm256_setzero_ps(), m);
        const __m256 below =
            _mm256_or_ps(_mm256_or_ps(_mm256_cmp_ps(f0, nm, _CMP_LT_OS), _mm256_cmp_ps(f1, nm, _CMP_LT_OS)),
                         _mm256_cmp_ps(f2, nm, _CMP_LT_OS));
        const __m256 above =
            _mm256_or_ps(_mm256_or_ps(_mm256_cmp_ps(f0, m, _CMP_GT_OS), _mm256_cmp_ps(f1, m, _CMP_GT_OS)),
                         _mm256_cmp_ps(f2, m, _CMP_GT_OS));
        const unsigned missed = static_cast<unsigned>(_mm256_movemask_ps(_mm256_and_ps(below, above)));
        return ~missed & ((1u << count) - 1);
    }

    __m256 o[3], d[3], scale;
};

// Its own copy of the loop, built for this file's instructions (the copy
// in wide_tree.h is not).
namespace here
{
#include "accel/walk_loop.inc"
}

// Walk8 as walk_nodes' visitor, with the leaf's triangles pre-tested first
// when pre is given (for trees built by slot, whose leaves' items lie in
// `order`, where the rows are found by place).
struct Walk8Visitor {
    Walk8 &w;
    const WideTree &tree;
    const Pretest8 *pre;

    double limit() const { return w.limit; }
    bool nearest_first() const { return w.nearest_first; }
    RT_ALWAYS_INLINE bool leaf(const uint32_t *items, int count)
    {
        const size_t slot = static_cast<size_t>(items - tree.order.data());
        const unsigned lanes = pre != nullptr ? pre->maybe_hit(w.rows + PRETEST_ROWS * slot, count) : (1u << count) - 1;
        return w.leaf(w.visitor, items, count, lanes);
    }
};

template <bool FLOAT>
void walk8_with(const WideTree &tree, const RaySlabs &r, const FloatSlabs8 *fs, const Pretest8 *pre, Walk8 &w)
{
    Walk8Visitor v{w, tree, pre};
    if constexpr (FLOAT) {
        auto reach = [&](const WideNode8 &node, double limit, float near[8])
                         RT_INLINE_LAMBDA { return reach8_float(node, *fs, static_cast<float>(limit), near); };
        here::walk_nodes<8, float>(tree, tree.nodes8.data(), reach, v);
    } else {
        auto reach = [&](const WideNode8 &node, double limit, double near[8])
                         RT_INLINE_LAMBDA { return reach8_double(node, r, limit, near); };
        here::walk_nodes<8, double>(tree, tree.nodes8.data(), reach, v);
    }
}

// The walk of the tree's eight-wide form, which is not empty.
inline void walk8(const WideTree &tree, const RaySlabs &r, Walk8 &w)
{
    if (tree.nodes8.empty()) {
        return;
    }
    const FloatSlabs fs(r);
    if (!fs.usable) {
        walk8_with<false>(tree, r, nullptr, nullptr, w);
        return;
    }
    const FloatSlabs8 fs8(r, fs);
    if (w.pretest != nullptr && w.pretest->usable) {
        const Pretest8 pre(*w.pretest);
        walk8_with<true>(tree, r, &fs8, &pre, w);
    } else {
        walk8_with<true>(tree, r, &fs8, nullptr, w);
    }
}

} // namespace
