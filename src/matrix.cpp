#include "matrix.h"

#include <cmath>
#include <cstdio>

Matrix4x4::Matrix4x4()
{
    for (int i = 0; i < 4; i++) {
        for (int j = 0; j < 4; j++) {
            matrix[i][j] = i == j ? 1.0 : 0.0;
        }
    }
}

void Matrix4x4::set_translation(const Vector3 &tr)
{
    matrix[0][3] = tr.x;
    matrix[1][3] = tr.y;
    matrix[2][3] = tr.z;
}

void Matrix4x4::set_scaling(const Vector3 &sc)
{
    matrix[0][0] = sc.x;
    matrix[1][1] = sc.y;
    matrix[2][2] = sc.z;
}

void Matrix4x4::set_rotation(const Vector3 &axis, double angle)
{
    double x = axis.x, y = axis.y, z = axis.z;
    double sina = std::sin(angle);
    double cosa = std::cos(angle);
    double invcosa = 1.0 - cosa;

    matrix[0][0] = (1.0 - x * x) * cosa + x * x;
    matrix[0][1] = x * y * invcosa - z * sina;
    matrix[0][2] = x * z * invcosa + y * sina;
    matrix[1][0] = x * y * invcosa + z * sina;
    matrix[1][1] = (1.0 - y * y) * cosa + y * y;
    matrix[1][2] = y * z * invcosa - x * sina;
    matrix[2][0] = x * z * invcosa - y * sina;
    matrix[2][1] = y * z * invcosa + x * sina;
    matrix[2][2] = (1.0 - z * z) * cosa + z * z;
}

void Matrix4x4::transpose()
{
    for (int i = 0; i < 4; i++) {
        for (int j = i + 1; j < 4; j++) {
            double tmp = matrix[i][j];
            matrix[i][j] = matrix[j][i];
            matrix[j][i] = tmp;
        }
    }
}

void Matrix4x4::print() const
{
    putchar('\n');
    for (int i = 0; i < 4; i++) {
        printf("%f\t%f\t%f\t%f\n", matrix[i][0], matrix[i][1], matrix[i][2], matrix[i][3]);
    }
    putchar('\n');
}

// A vector's image under a matrix: the vector type names it, the matrix
// module holds what it does.
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
