#include "vector.h"

#include <cstdio>

#include "matrix.h"

void Vector3::transform(const Matrix4x4 &tm)
{
    const double(*m)[4] = tm.matrix;
    // The translation column is added even when it is zero: x + 0.0 turns a
    // -0.0 into +0.0, and pictures depend on keeping that.
    double nx = ((m[0][0] * x + m[0][1] * y) + m[0][2] * z) + m[0][3];
    double ny = ((m[1][0] * x + m[1][1] * y) + m[1][2] * z) + m[1][3];
    double nz = ((m[2][0] * x + m[2][1] * y) + m[2][2] * z) + m[2][3];
    x = nx;
    y = ny;
    z = nz;
}

void Vector3::printv() const
{
    printf("%f\t%f\t%f\n", x, y, z);
}
