#include "object.h"

bool Object::is_light() const
{
    // Strictly positive: a negative emission never makes a light.
    return material.ke.x > 0.0 || material.ke.y > 0.0 || material.ke.z > 0.0;
}
