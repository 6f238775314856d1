// Types and small helpers that every part of rt-import shares.
#ifndef RT_IMPORT_COMMON_H
#define RT_IMPORT_COMMON_H

#include <assimp/matrix3x3.h>
#include <assimp/matrix4x4.h>
#include <assimp/vector3.h>

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>

using Vec = aiVector3t<double>;
using Matrix4 = aiMatrix4x4t<double>;
using Matrix3 = aiMatrix3x3t<double>;

// What the key light gives a white surface facing it, in its brightest
// channel: bright, short of full. No emission of the model is brighter.
const double kKeyLight = 0.8;

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

// The shortest decimal text that reads back (as rt reads numbers, through
// a float) as the same float as the value rounded to single precision.
inline std::string format_number(double value)
{
    float f = static_cast<float>(value) + 0.0f; // + 0.0f turns -0 into 0
    char buf[32];
    std::to_chars_result end = std::to_chars(buf, buf + sizeof buf, f);
    return std::string(buf, end.ptr);
}

// A model's extension in lower case, with its dot; "" for none.
inline std::string model_extension(const std::string &model)
{
    size_t slash = model.rfind('/'), dot = model.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        return "";
    }
    std::string ext = model.substr(dot);
    for (char &c : ext) {
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    return ext;
}

inline std::string format_vector(const Vec &v)
{
    return format_number(v.x) + " " + format_number(v.y) + " " + format_number(v.z);
}

#endif
