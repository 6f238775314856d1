#include "accel/walk8.h"

#if defined(__x86_64__)
void walk8_avx2(const WideTree &tree, const RaySlabs &r, Walk8 &w);
void walk8_avx512(const WideTree &tree, const RaySlabs &r, Walk8 &w);
unsigned leaf_pretest_avx2(const TrianglePretest &pretest, const float *rows, int count);
unsigned leaf_pretest_avx512(const TrianglePretest &pretest, const float *rows, int count);

Walk8Fn walk8_for(Isa isa)
{
    return isa == Isa::AVX512 ? walk8_avx512 : isa == Isa::AVX2 ? walk8_avx2 : nullptr;
}

LeafPretestFn leaf_pretest_for(Isa isa)
{
    return isa == Isa::AVX512 ? leaf_pretest_avx512 : isa == Isa::AVX2 ? leaf_pretest_avx2 : nullptr;
}
#else
// Other processors have no eight-wide path.
Walk8Fn walk8_for(Isa)
{
    return nullptr;
}

LeafPretestFn leaf_pretest_for(Isa)
{
    return nullptr;
}
#endif
