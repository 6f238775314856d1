#ifndef RT_INTINFO_H
#define RT_INTINFO_H

#include "vector.h"

class Object;
struct SurfaceMaps;

// What an intersection routine reports about a hit. The walks copy it for
// every nearer hit they meet, so it stays within 80 bytes: at 88 the copies
// slowed every render by a sixth.
struct IntInfo {
    Vector3 normal;  // as the shape defines it; the shader turns it toward the ray
    Vector3 i_point; // origin + dir * t
    double t = 0.0;
    const Object *object = nullptr; // the scene's object, never an inner part of it
    // The images that colour the surface and the texture coordinates of the
    // hit in them (rounded to floats, a 16-millionth of the image across),
    // from a mesh that has both; null for any other hit.
    const SurfaceMaps *maps = nullptr;
    float u = 0.0f, v = 0.0f;
};
static_assert(sizeof(IntInfo) <= 80, "a larger hit record slows every walk");

#endif
