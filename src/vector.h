#ifndef RT_VECTOR_H
#define RT_VECTOR_H

#include <algorithm>
#include <cmath>

struct Matrix4x4;

// The one value type of geometry and colour. Every operation below is written
// component by component in a fixed order: pictures must match bit for bit.
struct Vector3 {
    double x, y, z;

    constexpr Vector3() : x(0.0), y(0.0), z(0.0) {}
    constexpr Vector3(double x, double y, double z) : x(x), y(y), z(z) {}

    // Replaces the vector by tm * (x, y, z, 1); defined with the matrix
    // (matrix.cpp).
    void transform(const Matrix4x4 &tm);
    void printv() const;
};

inline Vector3 operator+(const Vector3 &a, const Vector3 &b)
{
    return Vector3(a.x + b.x, a.y + b.y, a.z + b.z);
}

inline Vector3 operator-(const Vector3 &a, const Vector3 &b)
{
    return Vector3(a.x - b.x, a.y - b.y, a.z - b.z);
}

// A flip of each sign: a zero component becomes -0.0.
inline Vector3 operator-(const Vector3 &a)
{
    return Vector3(-a.x, -a.y, -a.z);
}

// Componentwise product, used to modulate colours.
inline Vector3 operator*(const Vector3 &a, const Vector3 &b)
{
    return Vector3(a.x * b.x, a.y * b.y, a.z * b.z);
}

inline Vector3 operator*(const Vector3 &a, double s)
{
    return Vector3(a.x * s, a.y * s, a.z * s);
}

inline Vector3 operator*(double s, const Vector3 &a)
{
    return Vector3(a.x * s, a.y * s, a.z * s);
}

// Three divisions, not a multiplication by 1/s: the results differ in the last bit.
inline Vector3 operator/(const Vector3 &a, double s)
{
    return Vector3(a.x / s, a.y / s, a.z / s);
}

inline const Vector3 &operator+=(Vector3 &a, const Vector3 &b)
{
    a.x += b.x;
    a.y += b.y;
    a.z += b.z;
    return a;
}

// Strict on all three axes; with a NaN anywhere both are false. These ask
// "is this point strictly inside a box", they are not an ordering.
inline bool operator<(const Vector3 &a, const Vector3 &b)
{
    return a.x < b.x && a.y < b.y && a.z < b.z;
}

inline bool operator>(const Vector3 &a, const Vector3 &b)
{
    return a.x > b.x && a.y > b.y && a.z > b.z;
}

inline double dot(const Vector3 &a, const Vector3 &b)
{
    return (a.x * b.x + a.y * b.y) + a.z * b.z;
}

inline Vector3 cross(const Vector3 &a, const Vector3 &b)
{
    return Vector3(a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x);
}

inline double length(const Vector3 &a)
{
    return std::sqrt((a.x * a.x + a.y * a.y) + a.z * a.z);
}

// The largest magnitude among the components (a bound of the vector, not
// its length).
inline double max_abs(const Vector3 &a)
{
    return std::max(std::fabs(a.x), std::max(std::fabs(a.y), std::fabs(a.z)));
}

// Which of the eight octants a points into, by the signs of its components
// (-0.0 and NaN count as not negative).
inline int octant(const Vector3 &a)
{
    return (a.x < 0.0) | (a.y < 0.0) << 1 | (a.z < 0.0) << 2;
}

// No guard for a zero vector: it normalises to NaN in every component.
inline Vector3 normalize(const Vector3 &vec)
{
    double mag = length(vec);
    return Vector3(vec.x / mag, vec.y / mag, vec.z / mag);
}

// Mirrors v about the line of n (n unit length, not normalised here).
inline Vector3 reflect(const Vector3 &v, const Vector3 &n)
{
    double d = dot(v, n);
    double d2 = d + d;
    return Vector3(n.x * d2 - v.x, n.y * d2 - v.y, n.z * d2 - v.z);
}

#endif
