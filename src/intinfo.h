#ifndef RT_INTINFO_H
#define RT_INTINFO_H

#include "vector.h"

class Object;
struct SurfaceMaps;

// What an intersection routine reports about a hit.
struct IntInfo {
    Vector3 normal;  // as the shape defines it; the shader turns it toward the ray
    Vector3 i_point; // origin + dir * t
    double t = 0.0;
    const Object *object = nullptr; // the scene's object, never an inner part of it
    // The images that colour the surface and the texture coordinates of the
    // hit in them, from a mesh that has both; null for any other hit.
    const SurfaceMaps *maps = nullptr;
    double u = 0.0, v = 0.0;
};

#endif
