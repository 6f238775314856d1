#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "brdf.h"
#include "support.h"

namespace
{

// Mean of dot(sample, axis) over many samples of fn.
template <typename Fn> double mean_cosine(const Vector3 &axis, Fn fn)
{
    double sum = 0.0;
    for (int k = 0; k < 4000; k++) {
        sum += dot(fn(), axis);
    }
    return sum / 4000;
}

} // namespace

TEST(Brdf, LambertAndPhongValues)
{
    const Vector3 up(0, 1, 0);
    struct LambertCase {
        Vector3 indir, n;
        double want;
    } lamberts[] = {
        {{0, 1, 0}, {0, 1, 0}, 1.0},     {{1, 0, 0}, {0, 1, 0}, 0.0},      {{0, -1, 0}, {0, 1, 0}, 0.0},
        {{0.6, 0.8, 0}, {0, 1, 0}, 0.8}, {{0.6, -0.8, 0}, {0, 1, 0}, 0.0}, {{0, 0, 1}, {0, 0.6, 0.8}, 0.8},
    };
    for (const LambertCase &c : lamberts) {
        EXPECT_EQ(lambert(c.indir, c.n), c.want) << c.indir.x << " " << c.indir.y << " " << c.indir.z;
    }

    struct PhongCase {
        const char *what;
        Vector3 indir, outdir;
        double specexp, want;
    } phongs[] = {
        {"mirror image", {0.6, 0.8, 0}, {-0.6, 0.8, 0}, 50, 1.0},
        {"s = 0.8, exponent 2", {0.6, 0.8, 0}, {0, 1, 0}, 2, std::pow(0.8, 2.0)},
        {"s = -1, exponent 0: no power taken", {0.6, 0.8, 0}, {0.6, -0.8, 0}, 0, 0.0},
        {"s < 0", {0, 1, 0}, {0, -1, 0}, 10, 0.0},
        {"s = 0, exponent 0: pow(0, 0) = 1", {0, 1, 0}, {1, 0, 0}, 0, 1.0},
        {"s = 0, exponent 5", {0, 1, 0}, {1, 0, 0}, 5, 0.0},
    };
    for (const PhongCase &c : phongs) {
        EXPECT_DOUBLE_EQ(phong(c.indir, c.outdir, up, c.specexp), c.want) << c.what;
    }
}

TEST(Brdf, SampleLambert)
{
    const Vector3 n = normalize(Vector3(1, 2, -2));
    int draws = count_draws([&] { sample_lambert(n); });
    EXPECT_EQ(draws % 3, 0);
    EXPECT_GE(draws, 3);

    // The rejection loop and the flip, from the same numbers.
    for (unsigned seed = 1; seed <= 20; seed++) {
        srand(seed);
        double x, y, z, mag;
        do {
            x = 2.0 * rand() / 2147483647.0 - 1.0;
            y = 2.0 * rand() / 2147483647.0 - 1.0;
            z = 2.0 * rand() / 2147483647.0 - 1.0;
            mag = std::sqrt((x * x + y * y) + z * z);
        } while (mag > 1.0);
        Vector3 want(x / mag, y / mag, z / mag);
        if (dot(want, n) < 0.0) {
            want = -want;
        }
        int next = rand();
        srand(seed);
        Vector3 got = sample_lambert(n);
        EXPECT_EQ(rand(), next);
        EXPECT_TRUE(got.x == want.x && got.y == want.y && got.z == want.z) << seed;
        EXPECT_NEAR(length(got), 1.0, 1e-12);
    }
    // Even over the hemisphere, not cosine weighted: the mean cosine is 1/2.
    srand(4);
    EXPECT_NEAR(mean_cosine(n, [&] { return sample_lambert(n); }), 0.5, 0.02);
}

TEST(Brdf, SamplePhongLobe)
{
    struct Case {
        const char *what;
        Vector3 outdir, n, axis;
    } cases[] = {
        {"mirror direction", {0, 1, 1}, {0, 1, 0}, normalize(Vector3(0, 1, -1))},
        {"long outdir is normalised", {0, 5000, 5000}, {0, 1, 0}, normalize(Vector3(0, 1, -1))},
        {"oblique", {3, 4, 0}, {0, 1, 0}, {-0.6, 0.8, 0}},
        {"from below the surface", {0, -3, 4}, {0, 1, 0}, {0, -0.6, -0.8}},
        {"viewer in the tangent plane: the normal", {1, 0, 0}, {0, 1, 0}, {0, 1, 0}},
        {"viewer along the normal: world +y, not n", {1, 0, 0}, {1, 0, 0}, {0, 1, 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        for (double specexp : {0.0, 20.0}) {
            EXPECT_EQ(count_draws([&] { sample_phong(c.outdir, c.n, specexp); }), 2);
        }
        srand(11);
        EXPECT_NEAR(dot(sample_phong(c.outdir, c.n, 1e7), c.axis), 1.0, 1e-6);
        // A cosine-power lobe: the mean cosine is (e + 1) / (e + 2).
        srand(12);
        EXPECT_NEAR(mean_cosine(c.axis, [&] { return sample_phong(c.outdir, c.n, 10.0); }), 11.0 / 12.0, 0.01);
        srand(13);
        EXPECT_NEAR(mean_cosine(c.axis, [&] { return sample_phong(c.outdir, c.n, 0.0); }), 0.5, 0.02);
        srand(14);
        EXPECT_NEAR(length(sample_phong(c.outdir, c.n, 2.0)), 1.0, 1e-12);
    }
}

TEST(Brdf, SamplePhongFrame)
{
    // The local sample (cos t sin p, cos p, sin t sin p), with p from the
    // first draw and t from the second, goes onto the frame columns i, j, k.
    // A mirrored frame would keep every statistic but change every bounce.
    const double s = std::sqrt(0.5);
    struct Case {
        const char *what;
        Vector3 outdir, n, i, j, k;
    } cases[] = {
        {"general: i = cross(l, ref), k = cross(ref, i)", {0, 1, 1}, {0, 1, 0}, {-1, 0, 0}, {0, s, -s}, {0, s, s}},
        {"tangent: k = -l, j = n, i = cross(n, k)", {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0, 1, 0}, {-1, 0, 0}},
        {"along the normal: the world's axes", {1, 0, 0}, {1, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        for (unsigned seed = 1; seed <= 5; seed++) {
            srand(seed);
            double rnd1 = rand() / 2147483647.0;
            double rnd2 = rand() / 2147483647.0;
            double phi = std::acos(std::pow(rnd1, 1.0 / (4.0 + 1.0)));
            double theta = rnd2 * 6.283185307179586;
            Vector3 want =
                c.i * (std::cos(theta) * std::sin(phi)) + c.j * std::cos(phi) + c.k * (std::sin(theta) * std::sin(phi));
            srand(seed);
            Vector3 got = sample_phong(c.outdir, c.n, 4.0);
            EXPECT_NEAR(got.x, want.x, 1e-12);
            EXPECT_NEAR(got.y, want.y, 1e-12);
            EXPECT_NEAR(got.z, want.z, 1e-12);
        }
    }
}
