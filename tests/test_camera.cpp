#include <gtest/gtest.h>

#include <cmath>

#include "camera.h"
#include "matrix.h"

namespace
{

const double pi = 3.141592653589793;

// The primary ray computed from scratch, as the camera did before it kept
// its frame: the kept frame must give the same bits.
Ray fresh_ray(const Vector3 &position, const Vector3 &target, double fov, double x, double y)
{
    Vector3 dir(x, y, 1.0 / std::tan(0.5 * fov));
    Vector3 d = normalize(target - position);
    Vector3 i = cross(Vector3(0, 1, 0), d);
    const Vector3 cols[3] = {i, cross(d, i), d};
    Matrix4x4 m;
    for (int c = 0; c < 3; c++) {
        m.matrix[0][c] = cols[c].x;
        m.matrix[1][c] = cols[c].y;
        m.matrix[2][c] = cols[c].z;
    }
    dir.transform(m);
    return Ray{position, dir * 10000.0};
}

bool same_bits(const Vector3 &a, const Vector3 &b)
{
    return a.x == b.x && a.y == b.y && a.z == b.z && std::signbit(a.x) == std::signbit(b.x) &&
           std::signbit(a.y) == std::signbit(b.y) && std::signbit(a.z) == std::signbit(b.z);
}

} // namespace

TEST(Camera, KnownRays)
{
    Camera cam(Vector3(0, 0, 0), Vector3(0, 0, 5));
    cam.set_fov(pi / 2);
    Ray r = cam.get_primary_ray(0, 0);
    EXPECT_TRUE(r.dir.x == 0.0 && r.dir.y == 0.0);
    EXPECT_NEAR(r.dir.z, 10000.0, 1e-9);
    r = cam.get_primary_ray(1, 0);
    EXPECT_NEAR(r.dir.x, r.dir.z, 1e-9);
    EXPECT_NEAR(length(r.dir), 10000.0 * std::sqrt(2.0), 1e-9);
    r = cam.get_primary_ray(-1, 1); // left edge, top edge
    EXPECT_TRUE(r.dir.x < 0.0 && r.dir.y > 0.0);

    // Only the direction towards the target matters.
    Camera far(Vector3(0, 0, 0), Vector3(0, 0, 7));
    far.set_fov(pi / 2);
    EXPECT_TRUE(same_bits(far.get_primary_ray(0.3, -0.7).dir, cam.get_primary_ray(0.3, -0.7).dir));

    Camera def;
    EXPECT_EQ(def.get_primary_ray(0, 0).dir.z, 1.0 / std::tan(pi / 8) * 10000.0);

    // Looking backwards, x = 1 points towards -x; up stays up.
    Camera back(Vector3(0, 0, 0), Vector3(0, 0, -1));
    r = back.get_primary_ray(1, 0);
    EXPECT_TRUE(r.dir.x < 0.0 && r.dir.y == 0.0 && r.dir.z < 0.0);
    EXPECT_GT(back.get_primary_ray(0, 1).dir.y, 0.0);

    // 60 degrees above the horizon i and j have length sin 30 = 0.5: the ray
    // at x = 1 makes the angle atan(0.5 tan(fov / 2)) with the view.
    Vector3 view(0, std::sin(pi / 3), std::cos(pi / 3));
    Camera tilted(Vector3(0, 0, 0), view);
    tilted.set_fov(pi / 3);
    double angle = std::acos(dot(normalize(tilted.get_primary_ray(1, 0).dir), normalize(view)));
    EXPECT_NEAR(angle, std::atan(0.5 * std::tan(pi / 6)), 1e-12);
}

TEST(Camera, StraightUpOrDownIgnoresTheImagePoint)
{
    for (double dy : {5.0, -5.0}) {
        Camera cam(Vector3(1, 2, 3), Vector3(1, 2 + dy, 3));
        Ray centre = cam.get_primary_ray(0, 0);
        EXPECT_TRUE(same_bits(centre.dir, Vector3(0, (dy > 0 ? 1 : -1) / std::tan(pi / 8) * 10000.0, 0)));
        for (double x : {-1.0, 0.5, 1.0}) {
            for (double y : {-1.0, 0.25}) {
                EXPECT_TRUE(same_bits(cam.get_primary_ray(x, y).dir, centre.dir)) << dy << " " << x << " " << y;
            }
        }
    }
}

TEST(Camera, KeptFrameMatchesFreshComputation)
{
    struct Case {
        Vector3 position, target;
        double fov;
    } cases[] = {
        {{0, 0, 0}, {0, 0, 1}, 0.7853981633974483},
        {{0, 0, 0}, {0, 0, -1}, 1.2},
        {{1, 2, 3}, {-4, 0.5, 7}, 0.9},
        {{0, 3, 0}, {0, -2, 0}, 0.7},
        {{2, 1, -3}, {2.1, 9, -3.2}, 1.9},
        {{0.1, 0.2, 0.3}, {0.1, 0.2, 0.3}, 0.8}, // no view direction: NaN everywhere
    };
    const double points[][2] = {{0, 0}, {1, 1}, {-1, -1}, {0.37, -0.91}, {-0.0, 0.5}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "target " << c.target.x << " " << c.target.y << " " << c.target.z);
        // Built in one go, and built from other values with each setter last.
        Camera direct(c.position, c.target);
        direct.set_fov(c.fov);
        Camera retargeted(c.position, Vector3(-9, 0, 4));
        retargeted.set_fov(c.fov);
        retargeted.set_target(c.target);
        Camera moved(Vector3(9, 9, 9), c.target);
        moved.set_fov(c.fov);
        moved.set_position(c.position);
        for (const auto &p : points) {
            Ray want = fresh_ray(c.position, c.target, c.fov, p[0], p[1]);
            for (const Camera *cam : {&direct, &retargeted, &moved}) {
                Ray got = cam->get_primary_ray(p[0], p[1]);
                EXPECT_TRUE(same_bits(got.origin, want.origin));
                if (std::isnan(want.dir.x)) {
                    EXPECT_TRUE(std::isnan(got.dir.x) && std::isnan(got.dir.y) && std::isnan(got.dir.z));
                } else {
                    EXPECT_TRUE(same_bits(got.dir, want.dir)) << p[0] << " " << p[1];
                }
            }
        }
    }
}
