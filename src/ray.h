#ifndef RT_RAY_H
#define RT_RAY_H

#include "vector.h"

// The segment from origin to origin + dir: every intersection measures t in
// units of dir and accepts hits only up to t = 1, so dir carries the reach.
struct Ray {
    Vector3 origin;
    Vector3 dir;
};

#endif
