#include "vector.h"

#include <cstdio>

void Vector3::printv() const
{
    printf("%f\t%f\t%f\n", x, y, z);
}
