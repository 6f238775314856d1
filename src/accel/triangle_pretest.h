#ifndef RT_TRIANGLE_PRETEST_H
#define RT_TRIANGLE_PRETEST_H

#include "ray.h"
#include "vector.h"
#include "accel/wide_tree.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// A cheap test that a ray cannot be accepted by a mesh's exact test of a
// triangle, four triangles at a time: a lane is cleared only when that
// triangle surely misses.
//
// For a triangle (A, B, C) with edges e1 = B - A and e2 = C - A, and the
// line through q with direction d, let P = d x e2, det = e1 . P, F1 = (q -
// A) . P, F2 = d . ((q - A) x e1) and F0 = det - F1 - F2 (the unscaled
// weights of B, C and A in the Moller-Trumbore test). They do not change
// when q moves along the line; for a line through the point A + b e1 + c e2
// they are b det, c det and (1 - b - c) det, so for a line through a point
// of the triangle all three have one sign. Moving the line by s moves each
// by at most |s|_2 |d|_2 |e|_2 <= sqrt(3) |s|_2 |d|_1 E, e the edge it
// belongs to (e1, e2, C - B) and E the largest component of the three.
// The mesh bounds how far from the triangle a point that its exact test
// accepts can lie (reach, from the padding of its face boxes), so a line
// that some value puts beyond the bound below on one side and another beyond
// it on the other side is never accepted.
//
// The test works in single precision (u = 2^-24) on A less the mesh's
// centre, e1 and e2, each worked out in double and rounded to the nearest
// float, and E rounded up with room for the float edges (pretest_rows); on
// the origin less the centre and the direction, rounded likewise. With X =
// coord + |origin less the centre|_inf, in multiples of u |d|_1 X E:
// - the float triangle, taken exactly, has the exact one's weights at
//   corners moved by at most u coord + 1.01 u E <= 3.1 u X in each
//   component (E is at most 2 coord); the float origin moves the line by at
//   most 1.01 u X: together a move of the line by 7.1 u X in the 2-norm,
//   12.3 in all;
// - rounding q - A moves q by at most 1.01 u X per component: 2.1 on F1
//   and on F2, 4.1 on F0; rounding the direction (the values are linear in
//   it) costs 2.1 on F1 and F2, 8.1 on F0;
// - the cross products, the dot products and the two subtractions of F0
//   err by at most 10.2 on F1 and F2 and 54.5 on F0 (det's error, 20.1,
//   and F1's and F2's carried into it).
// So each computed value lies within |d|_1 E (1.7321 reach + 79 u X) of the
// exact one for a line through a point of the triangle; the margin is |d|_1
// E (1.7321 reach + 96 u X), taken 1.0101 times for its own rounding. Only
// rays and meshes whose values stay within 2^40 take the test, so nothing
// overflows; an underflow errs by 2^-149 at most, which the margin's 2^-100
// covers.

// Floats kept per triangle, in rows of a leaf's count: the x's of the
// first corners less the centre, their y's and z's, those of the edges to
// the second and the third corners, and the bounds of the edges'
// components.
const int PRETEST_ROWS = 10;

// Writes the triangle (a, b, c) as triangle k of a leaf of count triangles
// whose rows start at leaf.
inline void pretest_rows(float *leaf, int count, int k, const Vector3 &a, const Vector3 &b, const Vector3 &c,
                         const Vector3 &centre)
{
    const Vector3 rows[3] = {a - centre, b - a, c - a};
    for (int r = 0; r < 3; r++) {
        leaf[(3 * r) * count + k] = static_cast<float>(rows[r].x);
        leaf[(3 * r + 1) * count + k] = static_cast<float>(rows[r].y);
        leaf[(3 * r + 2) * count + k] = static_cast<float>(rows[r].z);
    }
    // Each difference lies within 2^-53 of the exact edge's component, and
    // the float edges within 2^-24 of those.
    const double e = std::max(max_abs(rows[1]), std::max(max_abs(rows[2]), max_abs(c - b)));
    leaf[9 * count + k] = float_above(e * (1.0 + 0x1p-20));
}

struct TrianglePretest {
    // For a ray and the triangles of a mesh whose corners lie within coord
    // of centre (in every component; below 0: none does, and no ray is
    // usable) and whose exact test accepts points within reach of them.
    TrianglePretest(const Vector3 &centre, double coord, double reach, const Ray &ray);

    // Bit k set unless triangle k of the leaf whose rows start at p surely
    // misses, for the first n (at most four) of them; count is the leaf's.
    inline unsigned maybe_hit(const float *p, int count, int n) const;

    bool usable; // the ray's and the mesh's values within 2^40
#if defined(__SSE2__)
    __m128 o[3], d[3], scale;
#else
    float o[3], d[3], scale;
#endif
};

inline unsigned TrianglePretest::maybe_hit(const float *p, int count, int n) const
{
    const float tiny = FLOAT_TINY;
#if defined(__SSE2__)
#define RT_ROW(r) _mm_loadu_ps(p + (r)*count)
    const __m128 tx = _mm_sub_ps(o[0], RT_ROW(0)), ty = _mm_sub_ps(o[1], RT_ROW(1)), tz = _mm_sub_ps(o[2], RT_ROW(2));
    const __m128 e1x = RT_ROW(3), e1y = RT_ROW(4), e1z = RT_ROW(5);
    const __m128 e2x = RT_ROW(6), e2y = RT_ROW(7), e2z = RT_ROW(8);
    const __m128 px = _mm_sub_ps(_mm_mul_ps(d[1], e2z), _mm_mul_ps(d[2], e2y));
    const __m128 py = _mm_sub_ps(_mm_mul_ps(d[2], e2x), _mm_mul_ps(d[0], e2z));
    const __m128 pz = _mm_sub_ps(_mm_mul_ps(d[0], e2y), _mm_mul_ps(d[1], e2x));
    const __m128 det = _mm_add_ps(_mm_add_ps(_mm_mul_ps(e1x, px), _mm_mul_ps(e1y, py)), _mm_mul_ps(e1z, pz));
    const __m128 f1 = _mm_add_ps(_mm_add_ps(_mm_mul_ps(tx, px), _mm_mul_ps(ty, py)), _mm_mul_ps(tz, pz));
    const __m128 qx = _mm_sub_ps(_mm_mul_ps(ty, e1z), _mm_mul_ps(tz, e1y));
    const __m128 qy = _mm_sub_ps(_mm_mul_ps(tz, e1x), _mm_mul_ps(tx, e1z));
    const __m128 qz = _mm_sub_ps(_mm_mul_ps(tx, e1y), _mm_mul_ps(ty, e1x));
    const __m128 f2 = _mm_add_ps(_mm_add_ps(_mm_mul_ps(d[0], qx), _mm_mul_ps(d[1], qy)), _mm_mul_ps(d[2], qz));
    const __m128 f0 = _mm_sub_ps(_mm_sub_ps(det, f1), f2);
    const __m128 m = _mm_add_ps(_mm_mul_ps(RT_ROW(9), scale), _mm_set1_ps(tiny));
#undef RT_ROW
    const __m128 nm = _mm_sub_ps(_mm_setzero_ps(), m);
    __m128 below = _mm_or_ps(_mm_or_ps(_mm_cmplt_ps(f0, nm), _mm_cmplt_ps(f1, nm)), _mm_cmplt_ps(f2, nm));
    __m128 above = _mm_or_ps(_mm_or_ps(_mm_cmpgt_ps(f0, m), _mm_cmpgt_ps(f1, m)), _mm_cmpgt_ps(f2, m));
    unsigned missed = static_cast<unsigned>(_mm_movemask_ps(_mm_and_ps(below, above)));
    return ~missed & ((1u << n) - 1);
#else
    unsigned mask = 0;
    for (int k = 0; k < n; k++) {
        float row[PRETEST_ROWS];
        for (int r = 0; r < PRETEST_ROWS; r++) {
            row[r] = p[r * count + k];
        }
        const float *e1 = row + 3, *e2 = row + 6;
        const float t[3] = {o[0] - row[0], o[1] - row[1], o[2] - row[2]};
        const float pv[3] = {d[1] * e2[2] - d[2] * e2[1], d[2] * e2[0] - d[0] * e2[2], d[0] * e2[1] - d[1] * e2[0]};
        const float qv[3] = {t[1] * e1[2] - t[2] * e1[1], t[2] * e1[0] - t[0] * e1[2], t[0] * e1[1] - t[1] * e1[0]};
        const float det = (e1[0] * pv[0] + e1[1] * pv[1]) + e1[2] * pv[2];
        float f[3];
        f[1] = (t[0] * pv[0] + t[1] * pv[1]) + t[2] * pv[2];
        f[2] = (d[0] * qv[0] + d[1] * qv[1]) + d[2] * qv[2];
        f[0] = (det - f[1]) - f[2];
        float m = row[9] * scale + tiny;
        bool below = f[0] < -m || f[1] < -m || f[2] < -m;
        bool above = f[0] > m || f[1] > m || f[2] > m;
        mask |= static_cast<unsigned>(!(below && above)) << k;
    }
    return mask;
#endif
}

#endif
