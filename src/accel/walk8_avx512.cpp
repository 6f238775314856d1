// The eight-wide walk built for AVX-512 (F and VL: the same eight-lane
// operations, with its mask registers and encodings at the compiler's
// choice), taken only on processors that have it.
#include <cstddef>
#include <type_traits>

#include "accel/walk8.h"

#pragma GCC target("avx2,avx512f,avx512vl")
#include "accel/walk8_kernels.h"

void walk8_avx512(const WideTree &tree, const RaySlabs &r, Walk8 &w)
{
    walk8(tree, r, w);
}

unsigned leaf_pretest_avx512(const TrianglePretest &pretest, const float *rows, int count)
{
    return Pretest8(pretest).maybe_hit(rows, count);
}
