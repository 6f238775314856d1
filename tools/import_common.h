// Types and small helpers that every part of rt-import shares.
#ifndef RT_IMPORT_COMMON_H
#define RT_IMPORT_COMMON_H

#include <assimp/matrix3x3.h>
#include <assimp/matrix4x4.h>
#include <assimp/vector3.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

using Vec = aiVector3t<double>;
using Matrix4 = aiMatrix4x4t<double>;
using Matrix3 = aiMatrix3x3t<double>;

inline bool is_finite(const Vec &v)
{
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

inline double max_channel(const Vec &c)
{
    return std::fmax(c.x, std::fmax(c.y, c.z));
}

// The formats rt-import reads are right-handed; rt is left-handed, with +x to
// the right, +y up and the view along +z. Mirroring z takes a point, a
// direction or a normal from one frame to the other, so that a model seen
// from the same place shows the same picture and not its mirror image.
inline Vec to_rt_frame(const Vec &v)
{
    return Vec(v.x, v.y, -v.z);
}

// The shortest decimal text that rt's single-precision reading turns back
// into the same float as the value rounded to single precision; whole
// numbers below ten million without an exponent.
inline std::string format_number(double value)
{
    float f = static_cast<float>(value) + 0.0f; // + 0.0f turns -0 into 0
    char buf[32];
    if (f == std::nearbyint(f) && std::fabs(f) < 1e7f) {
        snprintf(buf, sizeof buf, "%.0f", f);
        return buf;
    }
    for (int digits = 1; digits <= 9; digits++) {
        snprintf(buf, sizeof buf, "%.*g", digits, f);
        if (strtof(buf, nullptr) == f) {
            break;
        }
    }
    return buf;
}

inline std::string format_vector(const Vec &v)
{
    return format_number(v.x) + " " + format_number(v.y) + " " + format_number(v.z);
}

#endif
