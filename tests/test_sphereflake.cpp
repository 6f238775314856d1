#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <random>

#include "intinfo.h"
#include "sphereflake.h"
#include "support.h"

namespace
{

int count_flakes(const SphereFlake *f)
{
    if (f == nullptr) {
        return 0;
    }
    EXPECT_NE(f->sph, nullptr);
    int n = 1;
    for (const SphereFlake *sub : f->subflakes) {
        n += count_flakes(sub);
    }
    return n;
}

} // namespace

TEST(SphereFlake, BuildAndLayout)
{
    EXPECT_EQ(create_sflake(Vector3(), 1, 0), nullptr);
    EXPECT_EQ(create_sflake(Vector3(), 1, -1), nullptr);
    for (int iter = 1, flakes = 1; iter <= 4; iter++, flakes = flakes * 6 + 1) {
        std::unique_ptr<SphereFlake> f(create_sflake(Vector3(1, 2, 3), 2, iter));
        EXPECT_EQ(count_flakes(f.get()), flakes) << iter;
    }

    std::unique_ptr<SphereFlake> f(create_sflake(Vector3(0, 0, 0), 2, 2));
    expect_same(f->get_bbox().min, Vector3(-6, -6, -6));
    expect_same(f->get_bbox().max, Vector3(6, 6, 6));
    EXPECT_EQ(f->sph->radius, 2.0);
    expect_same(f->sph->get_bbox().max, Vector3(2, 2, 2)); // inner spheres get their box too
    const Vector3 offsets[6] = {{3, 0, 0}, {-3, 0, 0}, {0, 3, 0}, {0, -3, 0}, {0, 0, 3}, {0, 0, -3}};
    for (int i = 0; i < 6; i++) {
        const SphereFlake *sub = f->subflakes[i];
        ASSERT_NE(sub, nullptr);
        expect_same(sub->center, offsets[i]);
        EXPECT_EQ(sub->radius, 1.0);
        expect_same(sub->sph->center, offsets[i]);
        expect_same(sub->get_bbox().min, offsets[i] - Vector3(3, 3, 3));
        EXPECT_EQ(sub->subflakes[5], nullptr);
    }
}

TEST(SphereFlake, DepthOneHitsLikeItsSphere)
{
    std::unique_ptr<SphereFlake> f(create_sflake(Vector3(1, -2, 4), 1.5, 1));
    Sphere s(Vector3(1, -2, 4), 1.5);
    s.calc_bbox();
    const Ray rays[] = {
        {Vector3(1, -2, -10), Vector3(0, 0, 20)},
        {Vector3(-5, -1, 3.5), Vector3(20, 0, 1)},
        {Vector3(1, -2, 4), Vector3(3, 3, 3)}, // from the centre
    };
    for (const Ray &ray : rays) {
        IntInfo want, got;
        ASSERT_TRUE(s.intersection(ray, &want));
        ASSERT_TRUE(f->intersection(ray, &got));
        EXPECT_EQ(got.t, want.t);
        expect_same(got.i_point, want.i_point);
        expect_same(got.normal, want.normal);
        EXPECT_EQ(got.object, f.get());
    }

    // Inside the flake's box (centre +- 4.5) but beside the sphere.
    IntInfo rec;
    rec.t = -7.0;
    EXPECT_FALSE(f->intersection(Ray{Vector3(3, 0, -10), Vector3(0, 0, 20)}, &rec));
    EXPECT_EQ(rec.t, -7.0);
    f->ignore = true;
    EXPECT_FALSE(f->intersection(rays[0], nullptr));
}

TEST(SphereFlake, NearestOfSphereAndSubflakes)
{
    std::unique_ptr<SphereFlake> f(create_sflake(Vector3(0, 0, 0), 2, 2));
    struct Case {
        const char *what;
        Vector3 origin, dir;
        double t;
        Vector3 point, normal;
    } cases[] = {
        {"sub-flake at (3, 0, 0) first", {10, 0, 0}, {-20, 0, 0}, 0.3, {4, 0, 0}, {1, 0, 0}},
        {"sub-flake at (0, 0, -3) first", {0, 0, -10}, {0, 0, 20}, 0.3, {0, 0, -4}, {0, 0, -1}},
        // From inside, the central sphere and the sub-flake at (0, 3, 0) meet
        // at (0, 2, 0), both at t 0.2: the sphere is tested first and stays.
        {"tie at the touching point: the central sphere", {0, 0, 0}, {0, 10, 0}, 0.2, {0, 2, 0}, {0, 1, 0}},
        {"past the touching point: the sub-flake", {0, 2.5, 0}, {0, 10, 0}, 0.15, {0, 4, 0}, {0, 1, 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        IntInfo rec;
        ASSERT_TRUE(f->intersection(Ray{c.origin, c.dir}, &rec));
        EXPECT_EQ(rec.t, c.t);
        expect_same(rec.i_point, c.point);
        expect_same(rec.normal, c.normal);
        EXPECT_EQ(rec.object, f.get()); // the top flake, never an inner part
        EXPECT_TRUE(f->intersection(Ray{c.origin, c.dir}, nullptr));
    }

    // Between the sub-flakes onto the central sphere.
    IntInfo rec;
    ASSERT_TRUE(f->intersection(Ray{Vector3(1.6, 0, -10), Vector3(0, 0, 20)}, &rec));
    EXPECT_NEAR(rec.t, 0.44, 1e-12);
    EXPECT_NEAR(rec.normal.x, 0.8, 1e-12);
    EXPECT_NEAR(rec.normal.z, -0.6, 1e-12);
}

TEST(SphereFlake, SampleIsTheCentralSpheres)
{
    std::unique_ptr<SphereFlake> f(create_sflake(Vector3(1, 0, 0), 2, 2));
    for (unsigned seed = 1; seed <= 5; seed++) {
        srand(seed);
        Vector3 want = f->sph->sample();
        int next = rand();
        srand(seed);
        expect_same(f->sample(), want);
        EXPECT_EQ(rand(), next); // the same draws
    }

    SphereFlake bare(Vector3(5, 5, 5), 1);
    Vector3 p(9, 9, 9);
    EXPECT_EQ(count_draws([&] { p = bare.sample(); }), 0);
    expect_same(p, Vector3());
}

// A yes/no question stops at the first hit; its answer must be the full
// search's, for rays from everywhere, grazing ones and degenerate ones too.
TEST(SphereFlake, YesNoAnswerMatchesTheNearestHitSearch)
{
    std::unique_ptr<SphereFlake> flake(create_sflake(Vector3(0.5, -0.25, 1.0), 1.0, 4));
    std::mt19937_64 gen(7);
    std::uniform_real_distribution<double> coord(-4.0, 4.0), unit(-1.0, 1.0);
    int hits = 0;
    for (int i = 0; i < 20000; i++) {
        Ray ray;
        ray.origin = Vector3(coord(gen), coord(gen), coord(gen));
        ray.dir = Vector3(unit(gen), unit(gen), unit(gen)) * (i % 3 == 0 ? 2.0 : 8.0);
        if (i % 5 == 0) {
            ray.dir.y = 0.0; // along a plane of the boxes
        }
        if (i % 997 == 0) {
            ray.dir = Vector3(); // no reach at all
        }
        IntInfo info;
        bool full = flake->intersection(ray, &info);
        ASSERT_EQ(flake->intersection(ray, nullptr), full) << i;
        hits += full;
    }
    EXPECT_GT(hits, 1000);
}
