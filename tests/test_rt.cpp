// The renderer: packing, the pixel sampler, trace and shade, and a golden
// render of a scene built in code.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

#include "camera.h"
#include "light.h"
#include "plane.h"
#include "rt.h"
#include "sphere.h"
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

void set_material(Object *obj, const Color &kd, const Color &ks, double specexp, const Color &ke)
{
    Material *m = obj->get_material();
    m->kd = kd;
    m->ks = ks;
    m->specexp = specexp;
    m->ke = ke;
}

// Each test starts from an empty scene and the default settings.
class Renderer : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        scene.clear();
        width = 512;
        height = 512;
        rays_ppxl = 4;
        pix_subdiv = 1;
        inv_gamma = 1.0;
    }
    void TearDown() override { scene.clear(); }

    // A white diffuse floor at y = 0.
    Plane *add_floor(const Color &kd)
    {
        Plane *floor = new Plane(Vector3(0, 1, 0), 0.0);
        set_material(floor, kd, Color(), 1.0, Color());
        scene.add_object(floor);
        return floor;
    }

    void add_point_light(const Vector3 &pos, const Color &c)
    {
        PointLight *light = new PointLight();
        light->position = pos;
        light->get_material()->ke = c;
        scene.lights.push_back(light);
    }

    // Straight down onto the floor's origin from above.
    static Ray down_ray()
    {
        Ray r;
        r.origin = Vector3(0, 5, 0);
        r.dir = Vector3(0, -10000, 0);
        return r;
    }
};

TEST_F(Renderer, PackingClampsEveryChannel)
{
    struct Case {
        double inv_gamma, value;
        uint32_t byte;
    } cases[] = {
        {1.0, 1.0, 255},
        {1.0 / 2.2, 1.0, 255},
        {1.0, 0.5, 127}, // 127.5 truncated
        {1.0, 0.0, 0},
        {1.0, 2.0, 255},
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
    // No spill from one channel into another, whatever the inputs.
    inv_gamma = 1.0;
    EXPECT_EQ(pack_color(Color(7.0, -3.0, 0.25)), 0xFF003Fu);
}

TEST_F(Renderer, SubdivisionDepth)
{
    struct Case {
        int rays, depth;
    } cases[] = {{1, 0},  {2, 0},  {3, 0},   {4, 1},   {15, 1},         {16, 2},
                 {63, 2}, {64, 3}, {255, 3}, {256, 4}, {2147483647, 15}};
    for (const Case &c : cases) {
        EXPECT_EQ(calc_subdiv(c.rays), c.depth) << c.rays;
    }
}

TEST_F(Renderer, OneRayGoesThroughThePixelCentre)
{
    std::vector<Ray> rays;
    scene.set_camera(new Camera(Vector3(0, 0, 0), Vector3(0, 0, 1)));
    scene.add_object(new RayRecorder(&rays));
    rays_ppxl = 1;
    pix_subdiv = 0;

    uint32_t row[512];
    render_scanline(row, 0);
    ASSERT_EQ(rays.size(), 512u);
    Ray expected = scene.get_camera()->get_primary_ray(-1.0 + 1.0 / 512, 1.0 - 1.0 / 512);
    EXPECT_EQ(rays[0].dir.x, expected.dir.x);
    EXPECT_EQ(rays[0].dir.y, expected.dir.y);
    EXPECT_EQ(rays[0].dir.z, expected.dir.z);
    EXPECT_EQ(row[0], 0u); // nothing hit: black, top byte 0 too
}

TEST_F(Renderer, FourRaysJitterEachQuarterInOrder)
{
    std::vector<Ray> rays;
    scene.set_camera(new Camera(Vector3(0, 0, 0), Vector3(0, 0, 1)));
    scene.add_object(new RayRecorder(&rays));

    const double pw = 2.0 / 320, ph = 2.0 / 240, cx = 0.1, cy = -0.3;
    srand(77);
    avg_color(pw, ph, cx, cy, 1);
    ASSERT_EQ(rays.size(), 4u);

    // Right-upper, right-lower, left-upper, left-lower; x takes the first
    // draw of each pair.
    const double sx[4] = {1, 1, -1, -1}, sy[4] = {1, -1, 1, -1};
    const double w = pw * 0.5, h = ph * 0.5;
    srand(77);
    for (int q = 0; q < 4; q++) {
        double x = cx + sx[q] * 0.25 * pw;
        double y = cy + sy[q] * 0.25 * ph;
        double jx = (rand() / 2147483647.0 * w + (-0.5 * w)) + x;
        double jy = (rand() / 2147483647.0 * h + (-0.5 * h)) + y;
        Ray expected = scene.get_camera()->get_primary_ray(jx, jy);
        EXPECT_EQ(rays[q].dir.x, expected.dir.x) << q;
        EXPECT_EQ(rays[q].dir.y, expected.dir.y) << q;
        EXPECT_EQ(rays[q].dir.z, expected.dir.z) << q;
    }
}

TEST_F(Renderer, MissAndDepthZeroAreBlack)
{
    std::vector<Ray> rays;
    scene.add_object(new RayRecorder(&rays));
    Color miss = trace(down_ray(), 5);
    EXPECT_EQ(rays.size(), 1u);
    Color none = trace(down_ray(), 0);
    EXPECT_EQ(rays.size(), 1u); // depth 0 asks nothing
    for (const Color &c : {miss, none}) {
        EXPECT_EQ(c.x, 0.0);
        EXPECT_EQ(c.y, 0.0);
        EXPECT_EQ(c.z, 0.0);
    }
}

TEST_F(Renderer, TwoWhiteLightsGiveTwoBeforeTheCap)
{
    add_floor(Color(1, 1, 1));
    add_point_light(Vector3(0, 5, 0), Color(1, 1, 1));
    add_point_light(Vector3(0, 10, 0), Color(1, 1, 1));

    // The bounce always goes diffuse and leaves into the empty sky.
    Color c = trace(down_ray(), 5);
    EXPECT_EQ(c.x, 2.0);
    EXPECT_EQ(c.y, 2.0);
    EXPECT_EQ(c.z, 2.0);

    // The sampler caps each sample at 1.0 before averaging.
    scene.set_camera(new Camera(Vector3(0, 5, 0), Vector3(0, 0, 0)));
    rays_ppxl = 1;
    Color capped = avg_color(0.01, 0.01, 0.0, 0.0, 0);
    EXPECT_EQ(capped.x, 1.0);
}

TEST_F(Renderer, BackFaceHitsAreShadedWithTheFlippedNormal)
{
    add_floor(Color(1, 1, 1));
    add_point_light(Vector3(0, -5, 0), Color(1, 1, 1));
    Ray up;
    up.origin = Vector3(0, -5, 0);
    up.dir = Vector3(0, 10000, 0);
    Color c = trace(up, 5);
    EXPECT_EQ(c.x, 1.0);
}

TEST_F(Renderer, BlackMaterialGivesItsEmissionAndDrawsOnce)
{
    Plane *floor = add_floor(Color());
    floor->get_material()->ke = Color(0.25, 0.5, 0.75);
    add_point_light(Vector3(0, 5, 0), Color(1, 1, 1));
    Color c;
    // The bounce choice is drawn even when nothing can bounce.
    EXPECT_EQ(count_draws([&] { c = trace(down_ray(), 5); }), 1);
    EXPECT_EQ(c.x, 0.25);
    EXPECT_EQ(c.y, 0.5);
    EXPECT_EQ(c.z, 0.75);
}

TEST_F(Renderer, ShadowsComeFromOthersNeverFromTheLightItself)
{
    // An emissive sphere above the floor: shadow rays to points on its far
    // side cross the sphere itself, and must not be stopped by it.
    add_floor(Color(1, 1, 1));
    Sphere *lamp = new Sphere(Vector3(0, 3, 0), 0.5);
    set_material(lamp, Color(), Color(), 1.0, Color(0.5, 0.5, 0.5));
    scene.add_object(lamp);
    ASSERT_EQ(scene.lights.size(), 1u);

    // From below the lamp straight down; depth 1 keeps the bounce black.
    Ray low;
    low.origin = Vector3(0, 1, 0);
    low.dir = Vector3(0, -10000, 0);
    srand(5);
    for (int i = 0; i < 20; i++) {
        EXPECT_GT(trace(low, 1).x, 0.49);
    }
    EXPECT_FALSE(lamp->ignore);

    // A black sphere between lamp and floor hides every point of the lamp.
    Sphere *blocker = new Sphere(Vector3(0, 1.5, 0), 0.3);
    set_material(blocker, Color(), Color(), 1.0, Color());
    scene.clear();
    add_floor(Color(1, 1, 1));
    lamp = new Sphere(Vector3(0, 3, 0), 0.5);
    set_material(lamp, Color(), Color(), 1.0, Color(0.5, 0.5, 0.5));
    scene.add_object(lamp);
    scene.add_object(blocker);
    srand(5);
    for (int i = 0; i < 20; i++) {
        EXPECT_EQ(trace(low, 1).x, 0.0);
    }
}

// A small scene in code: a floor, a diffuse and a glossy sphere, an emissive
// sphere and a point light, rendered at 48 x 36 with 4 rays per pixel from the
// C library's initial random sequence (srand(1) is what an unseeded rand()
// gives). tests/golden/shade_small.ppm holds the bytes. It was produced by
// this test itself with RT_UPDATE_GOLDEN=1 in the environment, and may be
// regenerated only for a deliberate change of behaviour, saying so in the
// commit.
TEST_F(Renderer, GoldenRender)
{
    width = 48;
    height = 36;
    rays_ppxl = 4;
    pix_subdiv = calc_subdiv(rays_ppxl);
    scene.set_camera(new Camera(Vector3(0, 1.5, -6), Vector3(0, 0.8, 0)));
    add_floor(Color(0.6, 0.6, 0.6));
    Sphere *diffuse = new Sphere(Vector3(-1.2, 0.8, 0), 0.8);
    set_material(diffuse, Color(0.7, 0.3, 0.2), Color(), 1.0, Color());
    scene.add_object(diffuse);
    Sphere *glossy = new Sphere(Vector3(1.1, 0.7, 0.3), 0.7);
    set_material(glossy, Color(0.1, 0.1, 0.1), Color(0.8, 0.8, 0.8), 40.0, Color());
    scene.add_object(glossy);
    Sphere *lamp = new Sphere(Vector3(0, 3, 1), 0.4);
    set_material(lamp, Color(), Color(), 1.0, Color(0.8, 0.8, 0.7));
    scene.add_object(lamp);
    add_point_light(Vector3(-4, 6, -4), Color(0.5, 0.5, 0.5));

    std::vector<uint32_t> pixels(width * height, 0x0F0F0F0F);
    srand(1);
    for (int y = 0; y < height; y++) {
        render_scanline(pixels.data(), y);
    }

    TempDir dir;
    ASSERT_TRUE(write_ppm(dir.file("out.ppm").c_str(), pixels.data(), width, height));
    std::string golden = std::string(RT_SOURCE_DIR) + "/tests/golden/shade_small.ppm";
    if (getenv("RT_UPDATE_GOLDEN")) {
        write_file(golden, read_file(dir.file("out.ppm")));
    }
    EXPECT_GOLDEN(read_file(dir.file("out.ppm")), golden);
}

TEST_F(Renderer, PpmBytes)
{
    TempDir dir;
    const uint32_t two[2] = {0x00FF8000, 0x000000FF};
    ASSERT_TRUE(write_ppm(dir.file("a.ppm").c_str(), two, 2, 1));
    EXPECT_EQ(read_file(dir.file("a.ppm")), ppm(2, 1, std::string("\xFF\x80\x00\x00\x00\xFF", 6)));

    // The fill of a pixel not yet rendered, and the top byte dropped.
    const uint32_t fill[1] = {0x0F0F0F0F};
    ASSERT_TRUE(write_ppm(dir.file("b.ppm").c_str(), fill, 1, 1));
    EXPECT_EQ(read_file(dir.file("b.ppm")), ppm(1, 1, "\x0F\x0F\x0F"));

    ASSERT_TRUE(write_ppm(dir.file("c.ppm").c_str(), nullptr, 0, 0));
    EXPECT_EQ(read_file(dir.file("c.ppm")), "P6\n0 0\n255\n");
}

TEST_F(Renderer, FailedWriteKeepsTheEarlierFileAndLeavesNoTemporary)
{
    TempDir dir;
    const uint32_t px[1] = {0x00123456};
    // The target's folder does not exist.
    EXPECT_FALSE(write_ppm(dir.file("missing/out.ppm").c_str(), px, 1, 1));
    // The target is a folder: nothing can be renamed over it.
    ASSERT_EQ(system(("mkdir " + dir.file("out.ppm")).c_str()), 0);
    EXPECT_FALSE(write_ppm(dir.file("out.ppm").c_str(), px, 1, 1));
    EXPECT_EQ(system(("test $(ls -A " + dir.path() + " | wc -l) -eq 1").c_str()), 0);
}

} // namespace
