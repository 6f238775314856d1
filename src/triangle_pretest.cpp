#include "triangle_pretest.h"

#include <algorithm>
#include <cmath>

#include "wide_tree.h"

void pretest_rows(float *leaf, int count, int k, const Vector3 &a, const Vector3 &b, const Vector3 &c,
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
    leaf[9 * count + k] = float_up(e * (1.0 + 0x1p-20));
}

TrianglePretest::TrianglePretest(const Vector3 &centre, double coord, double reach, const Ray &ray)
{
    const double lim = 0x1p40;
    double ox = ray.origin.x - centre.x, oy = ray.origin.y - centre.y, oz = ray.origin.z - centre.z;
    double x = std::max(std::fabs(ox), std::max(std::fabs(oy), std::fabs(oz)));
    double d1 = (std::fabs(ray.dir.x) + std::fabs(ray.dir.y)) + std::fabs(ray.dir.z);
    // NaN fails these.
    usable = coord >= 0.0 && x <= lim && d1 <= lim;
    if (!usable) {
        return;
    }
    x += coord;
    double m = d1 * (1.7321 * reach + 96.0 * 0x1p-24 * x) * 1.0101;
    const float fo[3] = {static_cast<float>(ox), static_cast<float>(oy), static_cast<float>(oz)};
    const float fd[3] = {static_cast<float>(ray.dir.x), static_cast<float>(ray.dir.y), static_cast<float>(ray.dir.z)};
    // Rounded up without a branch: the nearest float is at most 2^-24 below
    // (2^-150 for a subnormal), and the product's rounding takes at most
    // another 2^-24.
    float fm = static_cast<float>(m) * (1.0f + 0x1p-20f) + 0x1p-149f;
#if defined(__SSE2__)
    for (int a = 0; a < 3; a++) {
        o[a] = _mm_set1_ps(fo[a]);
        d[a] = _mm_set1_ps(fd[a]);
    }
    scale = _mm_set1_ps(fm);
#else
    for (int a = 0; a < 3; a++) {
        o[a] = fo[a];
        d[a] = fd[a];
    }
    scale = fm;
#endif
}
