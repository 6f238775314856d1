#include "accel/walk8.h"

#if defined(__x86_64__)
void walk8_avx2(const WideTree &tree, const RaySlabs &r, Walk8 &w);
void walk8_avx512(const WideTree &tree, const RaySlabs &r, Walk8 &w);
unsigned leaf_pretest_avx2(const TrianglePretest &pretest, const float *rows, int count);
unsigned leaf_pretest_avx512(const TrianglePretest &pretest, const float *rows, int count);
#endif

Walk8Fn walk8_for(Isa isa)
{
#if defined(__x86_64__)
    if (isa == Isa::AVX512) {
        return walk8_avx512;
    }
    if (isa == Isa::AVX2) {
        return walk8_avx2;
    }
#endif
    (void)isa;
    return nullptr;
}

LeafPretestFn leaf_pretest_for(Isa isa)
{
#if defined(__x86_64__)
    if (isa == Isa::AVX512) {
        return leaf_pretest_avx512;
    }
    if (isa == Isa::AVX2) {
        return leaf_pretest_avx2;
    }
#endif
    (void)isa;
    return nullptr;
}
