#ifndef RT_BENCH_SPHERE_FIELD_H
#define RT_BENCH_SPHERE_FIELD_H

#include <vector>

#include "color.h"
#include "vector.h"

// The benchmarks' field of spheres: `count` spheres of radius 0.12 to 0.37
// scattered over 14 x 5 x 14 units above the floor, each with a colour. A
// fixed generator of its own, so the renderer's random sequence stays
// untouched; centres and radii are single-precision values, so that a peer
// renderer that takes floats holds the same spheres.
struct FieldSphere {
    Vector3 centre;
    double radius;
    Color colour;
};

inline std::vector<FieldSphere> sphere_field(int count)
{
    unsigned state = 12345;
    auto next = [&] {
        state = state * 1664525u + 1013904223u;
        return (state >> 8) / 16777216.0;
    };
    std::vector<FieldSphere> field;
    for (int i = 0; i < count; i++) {
        FieldSphere s;
        float x = static_cast<float>(next() * 14 - 7);
        float y = static_cast<float>(next() * 5 + 0.3);
        float z = static_cast<float>(next() * 14 - 7);
        s.centre = Vector3(x, y, z);
        s.radius = static_cast<float>(0.12 + next() * 0.25);
        s.colour = Color(next(), next(), next()) * 0.8;
        field.push_back(s);
    }
    return field;
}

#endif
