#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "matrix.h"
#include "vector.h"

namespace
{

Vector3 transformed(Vector3 v, const Matrix4x4 &m)
{
    v.transform(m);
    return v;
}

void expect_near(const Vector3 &got, const Vector3 &want, double tol = 0.0)
{
    EXPECT_NEAR(got.x, want.x, tol);
    EXPECT_NEAR(got.y, want.y, tol);
    EXPECT_NEAR(got.z, want.z, tol);
}

} // namespace

TEST(Matrix, IdentityAndSetters)
{
    Matrix4x4 id;
    for (int i = 0; i < 4; i++) {
        for (int j = 0; j < 4; j++) {
            EXPECT_EQ(id.matrix[i][j], i == j ? 1.0 : 0.0) << i << "," << j;
        }
    }
    expect_near(transformed(Vector3(-2.5, 3, 1e10), id), Vector3(-2.5, 3, 1e10));

    Matrix4x4 t;
    t.set_translation(Vector3(1, 2, 3));
    expect_near(transformed(Vector3(0, 0, 0), t), Vector3(1, 2, 3));
    expect_near(transformed(Vector3(1, 1, 1), t), Vector3(2, 3, 4));

    Matrix4x4 s;
    s.set_scaling(Vector3(2, 3, 4));
    expect_near(transformed(Vector3(1, 1, 1), s), Vector3(2, 3, 4));

    // Each setter writes only its own entries: scaling after rotation
    // overwrites the diagonal, rotation keeps translation and row 3.
    Matrix4x4 m;
    m.set_translation(Vector3(1, 2, 3));
    m.set_rotation(Vector3(0, 0, 1), 0.5);
    m.set_scaling(Vector3(2, 2, 2));
    EXPECT_EQ(m.matrix[0][0], 2.0);
    EXPECT_EQ(m.matrix[0][1], -std::sin(0.5));
    EXPECT_EQ(m.matrix[2][3], 3.0);
    EXPECT_EQ(m.matrix[3][0], 0.0);
    EXPECT_EQ(m.matrix[3][3], 1.0);
}

TEST(Matrix, Rotation)
{
    struct Case {
        Vector3 axis, in, want;
    } cases[] = {
        {{0, 0, 1}, {1, 0, 0}, {0, 1, 0}},
        {{0, 1, 0}, {1, 0, 0}, {0, 0, -1}},
        {{0, 1, 0}, {0, 0, 1}, {1, 0, 0}},
        {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}},
    };
    for (const Case &c : cases) {
        Matrix4x4 m;
        m.set_rotation(c.axis, 1.5707963267948966);
        SCOPED_TRACE(testing::Message() << "axis " << c.axis.x << " " << c.axis.y << " " << c.axis.z);
        expect_near(transformed(c.in, m), c.want, 1e-15);
    }

    // Angle 0 gives the identity block for any unit axis.
    Matrix4x4 zero;
    zero.set_rotation(normalize(Vector3(1, 2, 3)), 0.0);
    for (int i = 0; i < 3; i++) {
        for (int j = 0; j < 3; j++) {
            EXPECT_NEAR(zero.matrix[i][j], i == j ? 1.0 : 0.0, 1e-15) << i << "," << j;
        }
    }

    // A general rotation keeps the axis and lengths.
    Vector3 axis = normalize(Vector3(1, -2, 2));
    Matrix4x4 g;
    g.set_rotation(axis, 0.7);
    expect_near(transformed(axis, g), axis, 1e-15);
    EXPECT_NEAR(length(transformed(Vector3(3, 1, -4), g)), length(Vector3(3, 1, -4)), 1e-14);
}

TEST(Matrix, TransformArithmetic)
{
    // Row 3 is never read.
    Matrix4x4 m;
    m.matrix[3][0] = m.matrix[3][1] = m.matrix[3][2] = std::numeric_limits<double>::quiet_NaN();
    m.matrix[3][3] = 0.0;
    expect_near(transformed(Vector3(1, 2, 3), m), Vector3(1, 2, 3));

    // ((m00 x + m01 y) + m02 z) + m03: 2^53 + 1 + 1 stays 2^53 in this order.
    const double big = 9007199254740992.0;
    Matrix4x4 sum;
    sum.matrix[0][1] = sum.matrix[0][2] = 1.0;
    EXPECT_EQ(transformed(Vector3(big, 1, 1), sum).x, big);

    // The zero translation is still added: -0.0 comes out as +0.0.
    Vector3 z = transformed(Vector3(-0.0, -0.0, -0.0), Matrix4x4());
    EXPECT_FALSE(std::signbit(z.x) || std::signbit(z.y) || std::signbit(z.z));
}

TEST(Matrix, TransposeAndPrint)
{
    Matrix4x4 m;
    m.set_translation(Vector3(1.5, -2, 0));
    Matrix4x4 orig = m;
    m.transpose();
    EXPECT_EQ(m.matrix[3][0], 1.5);
    EXPECT_EQ(m.matrix[3][1], -2.0);
    EXPECT_EQ(m.matrix[0][3], 0.0);
    m.transpose();
    EXPECT_EQ(std::memcmp(m.matrix, orig.matrix, sizeof m.matrix), 0);

    testing::internal::CaptureStdout();
    m.print();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n"
                                                      "1.000000\t0.000000\t0.000000\t1.500000\n"
                                                      "0.000000\t1.000000\t0.000000\t-2.000000\n"
                                                      "0.000000\t0.000000\t1.000000\t0.000000\n"
                                                      "0.000000\t0.000000\t0.000000\t1.000000\n"
                                                      "\n");
}
