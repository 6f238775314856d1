#include "accel/triangle_pretest.h"

#include <algorithm>
#include <cmath>

#include "accel/numerics.h"

TrianglePretest::TrianglePretest(const Vector3 &centre, double coord, double reach, const Ray &ray)
{
    const double lim = FLOAT_TEST_LIMIT;
    const Vector3 o_rel = ray.origin - centre;
    double x = max_abs(o_rel);
    double d1 = (std::fabs(ray.dir.x) + std::fabs(ray.dir.y)) + std::fabs(ray.dir.z);
    // NaN fails these.
    usable = coord >= 0.0 && x <= lim && d1 <= lim;
    if (!usable) {
        return;
    }
    x += coord;
    double m = d1 * (1.7321 * reach + 96.0 * 0x1p-24 * x) * 1.0101;
    const float fo[3] = {static_cast<float>(o_rel.x), static_cast<float>(o_rel.y), static_cast<float>(o_rel.z)};
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
