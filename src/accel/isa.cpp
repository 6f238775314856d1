#include "accel/isa.h"

#include <cstdlib>
#include <cstring>

namespace
{

// The value of RT_ISA as a path, or false when it names none. Unset or empty
// sets no bound.
bool isa_bound(Isa *bound)
{
    const char *v = std::getenv("RT_ISA");
    if (v == nullptr || v[0] == 0) {
        *bound = Isa::AVX512;
        return true;
    }
    for (Isa isa : {Isa::SSE2, Isa::AVX2, Isa::AVX512}) {
        if (std::strcmp(v, isa_name(isa)) == 0) {
            *bound = isa;
            return true;
        }
    }
    return false;
}

} // namespace

Isa widest_isa()
{
#if defined(__x86_64__) || defined(__i386__)
    // The eight-wide walk is built for x86-64 only: on 32-bit x86 the SSE2
    // path is the widest.
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl")) {
        return Isa::AVX512;
    }
    if (__builtin_cpu_supports("avx2")) {
        return Isa::AVX2;
    }
#endif
    return Isa::SSE2;
#else
    return Isa::PORTABLE;
#endif
}

namespace
{

Isa no_wider(Isa bound)
{
    const Isa widest = widest_isa();
    return widest < bound ? widest : bound;
}

Isa &current_isa()
{
    static Isa isa = [] {
        Isa bound = Isa::AVX512;
        // A value naming no path was refused at start-up; here it is the
        // narrowest, the path every x86-64 has.
        if (!isa_bound(&bound)) {
            bound = Isa::SSE2;
        }
        return no_wider(bound);
    }();
    return isa;
}

} // namespace

Isa active_isa()
{
    return current_isa();
}

Isa choose_isa(Isa wanted)
{
    return current_isa() = no_wider(wanted);
}

const char *isa_name(Isa isa)
{
    switch (isa) {
    case Isa::SSE2:
        return "sse2";
    case Isa::AVX2:
        return "avx2";
    case Isa::AVX512:
        return "avx512";
    case Isa::PORTABLE:
        break;
    }
    return "portable";
}

std::string isa_setting_error()
{
    Isa bound;
    if (isa_bound(&bound)) {
        return std::string();
    }
    return std::string("RT_ISA should be sse2, avx2 or avx512 (or unset for the widest the processor has), not \"") +
           std::getenv("RT_ISA") + "\"";
}
