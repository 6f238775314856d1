#ifndef RT_NUMERIC_FLOATS_H
#define RT_NUMERIC_FLOATS_H

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>

// The bits of IEEE numbers, and single precision rounded either way: the
// small facts of floating point that the hierarchies, the state files and
// the picture files rest on, written once.

// The bits of a double or a float, and the number of given bits; memcpy is
// the one way C++17 defines.
inline uint64_t bits_of(double d)
{
    uint64_t u;
    std::memcpy(&u, &d, sizeof u);
    return u;
}

inline uint32_t bits_of(float f)
{
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

inline double double_of(uint64_t u)
{
    double d;
    std::memcpy(&d, &u, sizeof d);
    return d;
}

inline float float_of(uint32_t u)
{
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}

// The next float above (below) a finite float: the neighbouring bit pattern,
// toward the larger magnitude when it moves away from zero.
inline float float_step(float f, bool up)
{
    if (f == 0.0f) {
        return up ? 0x1p-149f : -0x1p-149f;
    }
    uint32_t bits = bits_of(f);
    bits += (f > 0.0f) == up ? 1 : -1;
    return float_of(bits);
}

// Single precision, rounded down or up (beyond its range: infinite).
inline float float_down(double x)
{
    if (!(x <= FLT_MAX)) {
        return x > 0.0 ? FLT_MAX : -HUGE_VALF;
    }
    if (x < -FLT_MAX) {
        return -HUGE_VALF;
    }
    float f = static_cast<float>(x);
    return static_cast<double>(f) > x ? float_step(f, false) : f;
}

inline float float_up(double x)
{
    if (!(x >= -FLT_MAX)) {
        return x < 0.0 ? -FLT_MAX : HUGE_VALF;
    }
    if (x > FLT_MAX) {
        return HUGE_VALF;
    }
    float f = static_cast<float>(x);
    return static_cast<double>(f) < x ? float_step(f, true) : f;
}

// A float below (above) x, a step or two away, without the comparison of
// float_down (float_up), whose answer is hard to foresee: the nearest float
// f lies within half a step of x, and |f| 2^-23 + 2^-149 is at least a step,
// so f moved by that lies beyond x whatever the roundings. Values near the
// end of the float range take float_down (float_up).
inline float float_below(double x)
{
    if (!(std::fabs(x) <= 1e38)) {
        return float_down(x);
    }
    float f = static_cast<float>(x);
    return f - (std::fabs(f) * 0x1p-23f + 0x1p-149f);
}

inline float float_above(double x)
{
    if (!(std::fabs(x) <= 1e38)) {
        return float_up(x);
    }
    float f = static_cast<float>(x);
    return f + (std::fabs(f) * 0x1p-23f + 0x1p-149f);
}

#endif
