#ifndef RT_COLOR_H
#define RT_COLOR_H

#include "vector.h"

// Linear RGB, 1.0 being full intensity. Nothing here clamps.
typedef Vector3 Color;

#endif
