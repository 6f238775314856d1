// Light transport and sampling where a golden picture would change without
// pointing at the cause: where the sampler's rays go, how a colour is packed,
// what shade adds up, and which random numbers each sampler draws, and how
// the sobol sampler's draws are stratified.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <vector>

#include "brdf.h"
#include "camera.h"
#include "light.h"
#include "mesh.h"
#include "plane.h"
#include "sampling/random.h"
#include "sampling/sampler.h"
#include "sampling/sobol.h"
#include "rt.h"
#include "sphere.h"
#include "sphereflake.h"
#include "texture/texture.h"
#include "support.h"

namespace
{

// Records every ray it is asked about and is never hit.
class RayRecorder : public Object
{
  public:
    explicit RayRecorder(std::vector<Ray> *rays) : rays(rays) {}
    bool intersection(const Ray &ray, IntInfo *) const override
    {
        rays->push_back(ray);
        return false;
    }
    void calc_bbox() override { bbox = BBox(Vector3(-1e300, -1e300, -1e300), Vector3(1e300, 1e300, 1e300)); }
    Vector3 sample() const override { return Vector3(); }

  private:
    std::vector<Ray> *rays;
};

void set_material(Object *obj, const Color &kd, const Color &ke = Color())
{
    obj->get_material()->kd = kd;
    obj->get_material()->specexp = 1.0;
    obj->get_material()->ke = ke;
}

// Each test starts from an empty scene and the default settings.
class Shading : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        scene.clear();
        rays_ppxl = 4;
        inv_gamma = 1.0;
    }
    void TearDown() override { scene.clear(); }

    // A diffuse floor at y = 0.
    Plane *add_floor(const Color &kd)
    {
        Plane *floor = new Plane(Vector3(0, 1, 0), 0.0);
        set_material(floor, kd);
        scene.add_object(floor);
        return floor;
    }

    void add_point_light(const Vector3 &pos)
    {
        PointLight *light = new PointLight();
        light->position = pos;
        light->get_material()->ke = Color(1, 1, 1);
        scene.lights.push_back(light);
    }

    // From (0, y, 0) straight down, or up with a negative reach.
    static Ray vertical_ray(double y, double reach = -10000) { return Ray{Vector3(0, y, 0), Vector3(0, reach, 0)}; }
};

TEST_F(Shading, SamplerRaysGoThroughThePixelOrItsJitteredQuarters)
{
    std::vector<Ray> rays;
    scene.set_camera(new Camera(Vector3(0, 0, 0), Vector3(0, 0, 1)));
    scene.add_object(new RayRecorder(&rays));
    const Camera *cam = scene.get_camera();

    // One ray goes through the centre of the pixel, without a draw.
    width = height = 512;
    rays_ppxl = 1;
    pix_subdiv = 0;
    uint32_t row[512];
    render_scanline(row, 0);
    ASSERT_EQ(rays.size(), 512u);
    expect_same(rays[0].dir, cam->get_primary_ray(-1.0 + 1.0 / 512, 1.0 - 1.0 / 512).dir);
    EXPECT_EQ(row[0], 0u); // nothing hit: black, top byte 0 too

    // Four go right-upper, right-lower, left-upper, left-lower; x takes the
    // first draw of each pair, each offset summed before the centre.
    rays.clear();
    rays_ppxl = 4;
    const double pw = 2.0 / 320, ph = 2.0 / 240, cx = 0.1, cy = -0.3;
    srand(77);
    avg_color(pw, ph, cx, cy, 1);
    ASSERT_EQ(rays.size(), 4u);
    const double sx[4] = {1, 1, -1, -1}, sy[4] = {1, -1, 1, -1};
    const double w = pw * 0.5, h = ph * 0.5;
    srand(77);
    for (int q = 0; q < 4; q++) {
        double jx = (rand() / 2147483647.0 * w + (-0.5 * w)) + (cx + sx[q] * 0.25 * pw);
        double jy = (rand() / 2147483647.0 * h + (-0.5 * h)) + (cy + sy[q] * 0.25 * ph);
        expect_same(rays[q].dir, cam->get_primary_ray(jx, jy).dir);
    }
}

TEST_F(Shading, PackingClampsEveryChannel)
{
    struct Case {
        double inv_gamma, value;
        uint32_t byte;
    } cases[] = {
        {1.0, 0.5, 127}, // 127.5 truncated
        {1.0, -0.5, 0},
        {1.0, std::numeric_limits<double>::quiet_NaN(), 0},
        {1.0, std::numeric_limits<double>::infinity(), 255},
        {1.0 / 2.2, 0.5, static_cast<uint32_t>(std::pow(0.5, 1.0 / 2.2) * 255.0)},
    };
    for (const Case &c : cases) {
        inv_gamma = c.inv_gamma;
        EXPECT_EQ(pack_color(Color(c.value, 0, 0)), c.byte << 16) << c.value;
        EXPECT_EQ(pack_color(Color(0, c.value, 0)), c.byte << 8) << c.value;
        EXPECT_EQ(pack_color(Color(0, 0, c.value)), c.byte) << c.value;
    }
}

TEST_F(Shading, DirectLightAddsEachLightsFullColour)
{
    add_floor(Color(1, 1, 1));
    add_point_light(Vector3(0, 5, 0));
    add_point_light(Vector3(0, 10, 0));
    // The bounce leaves into the empty sky: two white lights give 2.0.
    expect_same(trace(vertical_ray(5), 5), Color(2, 2, 2));
    // The sampler caps each sample at 1.0 before averaging.
    scene.set_camera(new Camera(Vector3(0, 5, 0), Vector3(0, 0, 0)));
    rays_ppxl = 1;
    expect_same(avg_color(0.01, 0.01, 0.0, 0.0, 0), Color(1, 1, 1));

    // Seen from below, the floor is shaded with its normal turned down.
    scene.clear();
    add_floor(Color(1, 1, 1));
    add_point_light(Vector3(0, -5, 0));
    EXPECT_EQ(trace(vertical_ray(-5, 10000), 5).x, 1.0);

    // A black material gives its emission alone, and still draws the bounce
    // choice when nothing can bounce.
    scene.clear();
    add_floor(Color())->get_material()->ke = Color(0.25, 0.5, 0.75);
    add_point_light(Vector3(0, 5, 0));
    Color c;
    EXPECT_EQ(count_draws([&] { c = trace(vertical_ray(5), 5); }), 1);
    expect_same(c, Color(0.25, 0.5, 0.75));
}

TEST_F(Shading, ShadowsComeFromOthersNeverFromTheLightItself)
{
    // Shadow rays to points on the lamp's far side cross the lamp itself.
    for (bool blocked : {false, true}) {
        scene.clear();
        add_floor(Color(1, 1, 1));
        Sphere *lamp = new Sphere(Vector3(0, 3, 0), 0.5);
        set_material(lamp, Color(), Color(0.5, 0.5, 0.5));
        scene.add_object(lamp);
        if (blocked) {
            Sphere *blocker = new Sphere(Vector3(0, 1.5, 0), 0.3);
            set_material(blocker, Color());
            scene.add_object(blocker);
        }
        srand(5);
        for (int i = 0; i < 20; i++) {
            double x = trace(vertical_ray(1), 1).x; // depth 1: the bounce adds nothing
            EXPECT_TRUE(blocked ? x == 0.0 : x > 0.49) << x;
        }
        EXPECT_FALSE(lamp->ignore);
    }
}

// A sphere's (and a flake's) surface point and the Lambert lobe come from
// the same draws, as many of them; a point or nothing draws none, a Phong
// lobe two.
TEST_F(Shading, SamplersDrawTheirNumbersInOrder)
{
    const Vector3 n = normalize(Vector3(1, 2, -2));
    Sphere sphere(Vector3(0, 0, 0), 1);
    std::unique_ptr<SphereFlake> flake(create_sflake(Vector3(0, 0, 0), 1, 2));
    for (unsigned seed = 1; seed <= 20; seed++) {
        srand(seed);
        Vector3 p = sphere.sample();
        int next = rand();
        srand(seed);
        expect_same(sample_lambert(n), dot(p, n) < 0.0 ? -p : p);
        EXPECT_EQ(rand(), next);
        srand(seed);
        expect_same(flake->sample(), p); // the central sphere's
    }
    PointLight light;
    light.position = Vector3(1, 2, 3);
    Plane plane(Vector3(0, 2, 0), 3);
    SphereFlake bare(Vector3(5, 5, 5), 1);
    Mesh empty(MESH_PRIM_TRI);
    EXPECT_EQ(count_draws([&] { expect_same(light.sample(), Vector3(1, 2, 3)); }), 0);
    EXPECT_EQ(count_draws([&] { expect_same(plane.sample(), Vector3(0, 3, 0)); }), 0);
    EXPECT_EQ(count_draws([&] { expect_same(bare.sample(), Vector3()); }), 0);
    EXPECT_EQ(count_draws([&] { expect_same(empty.sample(), Vector3()); }), 0);
    for (double specexp : {0.0, 20.0}) {
        EXPECT_EQ(count_draws([&] { sample_phong(Vector3(0, 1, 1), n, specexp); }), 2);
        EXPECT_EQ(count_draws([&] { sample_phong(n, n, specexp); }), 2);
    }
}

// Whether points given as 32-bit fractions are a (0, m, 2)-net: one point in
// every box of area 2^-m whose sides are powers of two.
bool stratified(const std::vector<std::pair<uint32_t, uint32_t>> &points, int m)
{
    for (int a = 0; a <= m; a++) {
        std::vector<int> boxes(size_t(1) << m);
        for (const auto &p : points) {
            uint64_t x = a == 0 ? 0 : p.first >> (32 - a), y = a == m ? 0 : p.second >> (32 - (m - a));
            if (boxes[x << (m - a) | y]++ != 0) {
                return false;
            }
        }
    }
    return points.size() == size_t(1) << m;
}

TEST_F(Shading, SobolPointsAreStratifiedInEveryElementaryBox)
{
    // The first eight points of the four dimensions, from Joe and Kuo's
    // direction numbers, in the natural order.
    const double first[4][8] = {{0, .5, .25, .75, .125, .625, .375, .875},
                                {0, .5, .75, .25, .625, .125, .375, .875},
                                {0, .5, .75, .25, .375, .875, .625, .125},
                                {0, .5, .75, .25, .125, .625, .875, .375}};
    for (int dim = 0; dim < 4; dim++) {
        for (uint32_t n = 0; n < 8; n++) {
            EXPECT_EQ(sobol::point(n, dim) / 4294967296.0, first[dim][n]) << dim << " " << n;
        }
    }
    EXPECT_EQ(sobol::point(0xFFFFFFFFu, 0), 0xFFFFFFFFu); // van der Corput: the bits reversed

    // Any aligned run of 2^m points of the first two dimensions is a net,
    // also with its order shuffled and its values scrambled, which move it
    // onto another run.
    for (int m = 1; m <= 10; m++) {
        for (uint32_t run : {0u, 1u, 5u}) {
            std::vector<std::pair<uint32_t, uint32_t>> plain, scrambled;
            std::vector<uint32_t> shuffled;
            for (uint32_t i = 0; i < (1u << m); i++) {
                uint32_t n = (run << m) + i;
                plain.push_back({sobol::point(n, 0), sobol::point(n, 1)});
                scrambled.push_back({sobol::scrambled_point(n, 0, 0x9e3779b9u, 0x12345678u),
                                     sobol::scrambled_point(n, 1, 0x9e3779b9u, 7u)});
                shuffled.push_back(sobol::reverse_bits(sobol::upward_hash(sobol::reverse_bits(n), 0x9e3779b9u)) >> m);
            }
            EXPECT_TRUE(stratified(plain, m)) << m << " " << run;
            EXPECT_TRUE(stratified(scrambled, m)) << m << " " << run;
            EXPECT_EQ(std::count(shuffled.begin(), shuffled.end(), shuffled[0]), 1 << m) << m << " " << run;
        }
    }
}

// The sobol sampler's draws of one pixel: the position in a cell over the
// passes, and every other group's lead draws over the paths of a pass and
// over runs of passes, are nets; a group's fifth draw comes from a hash; a
// direction is two draws.
TEST_F(Shading, SobolSamplerKeepsEachGroupANet)
{
    // Path by path: the position, a light's group (a sphere: two draws) and
    // a bounce (lobe, direction, acceptance, and one draw more).
    struct Path {
        uint32_t position[2], light[2], bounce[5];
    };
    auto paths = [](int pass, int rays) {
        std::vector<Path> out(rays);
        PixelDraws draws(PassSampling{Sampler::sobol, rays, false}, 3, 7, pass);
        for (Path &p : out) {
            EXPECT_TRUE(begin_path());
            for (uint32_t &v : p.position) {
                v = static_cast<uint32_t>(random_int()) << 1;
            }
            begin_draws();
            begin_draws(); // a point light: nothing drawn
            for (uint32_t &v : p.light) {
                v = static_cast<uint32_t>(random_int()) << 1;
            }
            begin_draws(1);
            for (uint32_t &v : p.bounce) {
                v = static_cast<uint32_t>(random_int()) << 1;
            }
        }
        return out;
    };
    std::vector<Path> one = paths(0, 16), runs;
    for (int pass = 4; pass < 8; pass++) {
        std::vector<Path> more = paths(pass, 4);
        runs.insert(runs.end(), more.begin(), more.end());
    }
    for (const std::vector<Path> *set : {&one, &runs}) {
        std::vector<std::pair<uint32_t, uint32_t>> light, direction;
        std::vector<uint32_t> sixteenths[4];
        for (const Path &p : *set) {
            light.push_back({p.light[0], p.light[1]});
            direction.push_back({p.bounce[1], p.bounce[2]});
            for (int k = 0; k < 4; k++) {
                sixteenths[k].push_back(p.bounce[k] >> 28);
            }
        }
        EXPECT_TRUE(stratified(light, 4));
        EXPECT_TRUE(stratified(direction, 4));
        for (std::vector<uint32_t> &v : sixteenths) {
            std::sort(v.begin(), v.end());
            EXPECT_TRUE(std::unique(v.begin(), v.end()) == v.end());
        }
    }
    EXPECT_NE(one[0].bounce[4], one[1].bounce[4]);
    std::vector<std::pair<uint32_t, uint32_t>> cell;
    for (int pass = 0; pass < 64; pass++) {
        Path p = paths(pass, 4)[2];
        cell.push_back({p.position[0], p.position[1]});
    }
    EXPECT_TRUE(stratified(cell, 6));
    EXPECT_NE(paths(0, 4)[0].light[0], paths(0, 4)[1].light[0]);

    // A direction is the height from the first draw and the turn about the
    // axis from the second, on the unit sphere.
    for (int i = 0; i < 64; i++) {
        double u, t;
        {
            PixelDraws draws(PassSampling{Sampler::sobol, 1, false}, i, 0, 0);
            begin_path();
            u = random_unit();
            t = random_unit();
        }
        PixelDraws draws(PassSampling{Sampler::sobol, 1, false}, i, 0, 0);
        begin_path();
        Vector3 d = random_direction();
        double z = 1.0 - 2.0 * u, r = std::sqrt(1.0 - z * z);
        EXPECT_EQ(d.z, z);
        EXPECT_NEAR(d.x, r * std::cos(6.283185307179586 * t), 1e-15);
        EXPECT_NEAR(d.y, r * std::sin(6.283185307179586 * t), 1e-15);
        EXPECT_NE(random_unit(), t); // two draws, no more
    }
}

TEST_F(Shading, PhongLobeLeansOnItsFrame)
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

} // namespace

namespace
{

// An image's colour at texture coordinates: at a texel's centre that
// texel's, between centres the four nearest weighed, the image repeating
// (also across its edges, and for coordinates far out or not numbers), v
// running up from the bottom row; sRGB bytes as the exact curve gives them,
// not as a machine's pow would. A surface's colours vary about the
// material's by the image's colour over its mean.
TEST(Textures, LookupWeighsTheNearestTexelsAndRepeats)
{
    // Rows from the top: red, green; blue, white.
    Texture t(2, 2, {255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255});
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        double u, v;
        Color want;
    } cases[] = {
        {0.25, 0.75, Color(1, 0, 0)},        {0.75, 0.75, Color(0, 1, 0)},    {0.25, 0.25, Color(0, 0, 1)},
        {0.75, 0.25, Color(1, 1, 1)},        {0.5, 0.75, Color(0.5, 0.5, 0)}, {0.25, 0.5, Color(0.5, 0, 0.5)},
        {0.0, 0.75, Color(0.5, 0.5, 0)},     {-0.75, 0.75, Color(1, 0, 0)},   {1.25, 1.75, Color(1, 0, 0)},
        {2.375, 0.75, Color(0.75, 0.25, 0)}, {nan, 0.25, Color(0.5, 0.5, 1)}, {1e300, -1e300, Color(0.5, 0.5, 0.5)},
        {-1e-20, 0.75, Color(0.5, 0.5, 0)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.u << " " << c.v);
        expect_same(t.colour_at(c.u, c.v), c.want);
    }
    expect_same(t.get_mean(), Color(0.5, 0.5, 0.5));
    expect_same(t.relative_at(0.75, 0.25), Color(2, 2, 2));

    Texture grey(1, 1, {128, 64, 0});
    expect_same(grey.colour_at(0.5, 0.5), Color(0.21586050011389915, 0.051269458374043224, 0));
    expect_same(grey.relative_at(0.5, 0.5), Color(1, 1, 0)); // no blue at all: none

    SurfaceMaps maps;
    maps.kd = &t;
    Color kd(0.25, 0.5, 0.75), ke(0.1, 0.2, 0.3);
    maps.paint(&kd, &ke, 0.5, 0.75);
    expect_same(kd, Color(0.25, 0.5, 0));
    expect_same(ke, Color(0.1, 0.2, 0.3));
}

} // namespace
