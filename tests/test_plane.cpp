#include <gtest/gtest.h>

#include "intinfo.h"
#include "plane.h"
#include "support.h"

TEST(Plane, Hits)
{
    struct Case {
        const char *what;
        Vector3 normal;
        double distance;
        Vector3 origin, dir;
        double t;
        Vector3 point;
    } cases[] = {
        {"normal (0, 2, 0) is normalised, distance kept", {0, 2, 0}, 1, {0, 5, 0}, {0, -10, 0}, 0.4, {0, 1, 0}},
        {"from below: the stored normal is reported", {0, 1, 0}, 0, {0, -1, 0}, {0, 10, 0}, 0.1, {0, 0, 0}},
        {"exactly at t 1", {0, 1, 0}, 0, {0, 5, 0}, {0, -5, 0}, 1.0, {0, 0, 0}},
        {"distance along a negative normal", {0, -1, 0}, 2, {0, 0, 0}, {0, -10, 0}, 0.2, {0, -2, 0}},
        {"oblique", {0, 0, 1}, 4, {1, 1, 0}, {4, -4, 8}, 0.5, {3, -1, 4}},
        {"far outside the plane's own box", {0, 1, 0}, 0, {20000, 5, 0}, {0, -10, 0}, 0.5, {20000, 0, 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Plane p(c.normal, c.distance);
        p.calc_bbox();
        IntInfo rec;
        ASSERT_TRUE(p.intersection(Ray{c.origin, c.dir}, &rec));
        EXPECT_EQ(rec.t, c.t);
        EXPECT_EQ(rec.i_point.x, c.point.x);
        EXPECT_EQ(rec.i_point.y, c.point.y);
        EXPECT_EQ(rec.i_point.z, c.point.z);
        Vector3 n = normalize(c.normal);
        EXPECT_TRUE(rec.normal.x == n.x && rec.normal.y == n.y && rec.normal.z == n.z);
        EXPECT_EQ(rec.object, &p);
        EXPECT_TRUE(p.intersection(Ray{c.origin, c.dir}, nullptr));
    }

    // |dot(n, dir)| of exactly 1e-6 is not parallel yet.
    IntInfo rec;
    ASSERT_TRUE(Plane().intersection(Ray{Vector3(0, -2.5e-7, 0), Vector3(1, 1e-6, 0)}, &rec));
    EXPECT_DOUBLE_EQ(rec.t, 0.25);
}

TEST(Plane, Misses)
{
    struct Case {
        const char *what;
        Vector3 origin, dir;
    } cases[] = {
        {"lying in the plane", {0, 0, 0}, {10, 0, 0}},
        {"parallel above", {0, 1, 0}, {10, 0, 0}},
        {"|n.d| just below 1e-6", {0, -2.5e-7, 0}, {1, 9.99e-7, 0}},
        {"beyond the segment's end", {0, 5, 0}, {0, -4.9, 0}},
        {"behind the origin", {0, 5, 0}, {0, 10, 0}},
        {"origin on the plane: t 0", {0, 0, 0}, {0, 10, 0}},
    };
    Plane p;
    for (const Case &c : cases) {
        IntInfo rec;
        rec.t = -7.0;
        EXPECT_FALSE(p.intersection(Ray{c.origin, c.dir}, &rec)) << c.what;
        EXPECT_EQ(rec.t, -7.0) << c.what;
    }
    p.ignore = true;
    EXPECT_FALSE(p.intersection(Ray{Vector3(0, 5, 0), Vector3(0, -10, 0)}, nullptr));
}

TEST(Plane, BoxAndSample)
{
    Plane p(Vector3(1, 0, 0), 50000);
    p.calc_bbox();
    EXPECT_EQ(p.get_bbox().min.x, -10000.0);
    EXPECT_EQ(p.get_bbox().min.z, -10000.0);
    EXPECT_EQ(p.get_bbox().max.x, 10000.0);
    EXPECT_EQ(p.get_bbox().max.y, 10000.0);

    // The plane's point nearest the origin, without drawing.
    Plane wall(Vector3(0, 0, -2), 3);
    Vector3 s(9, 9, 9);
    EXPECT_EQ(count_draws([&] { s = wall.sample(); }), 0);
    EXPECT_EQ(s.x, 0.0);
    EXPECT_EQ(s.z, -3.0);
}
