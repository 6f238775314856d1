#ifndef RT_MATRIX_H
#define RT_MATRIX_H

#include "vector.h"

// Column-vector convention: p' = M * (x, y, z, 1). Row 3 is carried along but
// never read by Vector3::transform. There is no matrix product: matrices are
// built from the identity by the setters, each writing only its own entries.
struct Matrix4x4 {
    double matrix[4][4];

    Matrix4x4();

    void set_translation(const Vector3 &tr);
    void set_scaling(const Vector3 &sc);
    // Axis-angle rotation, angle in radians; the axis is used as passed.
    void set_rotation(const Vector3 &axis, double angle);
    void transpose();
    void print() const;
};

#endif
