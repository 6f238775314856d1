// The eight-wide walk built for AVX2, taken only on processors that have it.
#include <cstddef>
#include <type_traits>

#include "accel/walk8.h"

#pragma GCC target("avx2")
#include "accel/walk8_kernels.h"

void walk8_avx2(const WideTree &tree, const RaySlabs &r, Walk8 &w)
{
    walk8(tree, r, w);
}

unsigned leaf_pretest_avx2(const TrianglePretest &pretest, const float *rows, int count)
{
    return Pretest8(pretest).maybe_hit(rows, count);
}
