// The scene container and its two file readers, driven in process.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "light.h"
#include "mesh.h"
#include "scene.h"
#include "sphere.h"
#include "sphereflake.h"
#include "support.h"

namespace
{

// Counts how many of its kind are alive, to see that teardown frees each once.
class Counted : public Sphere
{
  public:
    explicit Counted(const Color &ke) : Sphere(Vector3(0, 0, 0), 1.0)
    {
        material.ke = ke;
        alive++;
    }
    ~Counted() override { alive--; }
    static int alive;
};
int Counted::alive = 0;

bool load_text(Scene &scene, const std::string &text)
{
    FILE *fp = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    bool ok = scene.load(fp);
    fclose(fp);
    return ok;
}

const char *const kMaterial = " kd(0.5 0.5 0.5) ks(0 0 0) s(1) kr(0) ke(0 0 0)\n";

TEST(Scene, LightsAreSortedOutAsTheyAreAdded)
{
    Scene scene;
    EXPECT_EQ(scene.get_camera(), nullptr);
    EXPECT_EQ(scene.get_ambient().x, 0.0);

    scene.add_object(new Counted(Color(0, 0, 0)));
    scene.add_object(new Counted(Color(0, 0.5, 0)));
    scene.add_object(new Counted(Color(-1, -1, -1)));
    Mesh *empty = new Mesh(MESH_PRIM_TRI);
    empty->get_material()->ke = Color(1, 1, 1);
    scene.add_object(empty); // no faces: nothing to emit from
    EXPECT_EQ(scene.get_objects().size(), 4u);
    ASSERT_EQ(scene.lights.size(), 1u);
    EXPECT_EQ(scene.lights[0], scene.get_objects()[1]);
}

TEST(Scene, TeardownFreesEveryObjectOnce)
{
    {
        Scene scene;
        scene.add_object(new Counted(Color(1, 1, 1)));
        scene.add_object(new Counted(Color(0, 0, 0)));
        scene.lights.push_back(new PointLight());
        scene.set_camera(new Camera());
        scene.set_camera(new Camera()); // frees the first
        Ray ray;
        ray.dir = Vector3(0, 0, 10);
        EXPECT_TRUE(scene.intersection(ray, nullptr)); // builds the tree
        EXPECT_EQ(Counted::alive, 2);
    }
    // Run under the sanitizer build this also proves nothing leaks.
    EXPECT_EQ(Counted::alive, 0);
}

TEST(Scene, QueriesGoThroughTheTreeBuiltOnce)
{
    Scene scene;
    Ray ray;
    ray.origin = Vector3(0, 0, -10);
    ray.dir = Vector3(0, 0, 20);
    IntInfo info;
    info.t = 42.0;
    EXPECT_FALSE(scene.intersection(ray, &info));
    EXPECT_EQ(info.t, 42.0); // a miss leaves the record alone

    scene.clear();
    Sphere *first = new Sphere(Vector3(0, 0, 0), 1.0);
    Sphere *twin = new Sphere(Vector3(0, 0, 0), 1.0);
    scene.add_object(first);
    scene.add_object(twin);
    ASSERT_TRUE(scene.intersection(ray, &info));
    EXPECT_EQ(info.object, first); // ties go to the object added first
    EXPECT_EQ(info.t, 0.45);
    EXPECT_TRUE(scene.intersection(ray, nullptr));

    // Added after the first query: never seen.
    Sphere *late = new Sphere(Vector3(0, 0, -5), 1.0);
    scene.add_object(late);
    ASSERT_TRUE(scene.intersection(ray, &info));
    EXPECT_EQ(info.object, first);
}

TEST(SceneFile, EveryLineKind)
{
    TempDir dir;
    write_file(dir.file("tri.mesh"), "MESH3\nv 0 0 0\nv 1 0 0\nv 0 1 0\nn 0 0 5\nf 1/1 2/1 3/1\n");
    std::string mesh_line = "m " + dir.file("tri.mesh") + " pos(1 0 0) rot(90 0 0 1) scale(2 2 2)" + kMaterial;
    std::string text = std::string("# comment\n\n\r\n") + "s c(0 0 5) r(1)" + kMaterial + "p n(0 2 0) d(1)" +
                       kMaterial + "f c(0 0 0) r(2) i(2)" + kMaterial + "l p(0 10 0) c(1 1 1)\n" +
                       "c p(0 0 -10) t(0 0 0) fov(90)\n" + mesh_line +
                       "s c(0 0 5) r(1) kd(0 0 0) ks(0 0 0) s(1) kr(0) ke(1 1 1)\n";
    Scene scene;
    ASSERT_TRUE(load_text(scene, text));
    const auto &objects = scene.get_objects();
    ASSERT_EQ(objects.size(), 5u);
    ASSERT_EQ(scene.lights.size(), 2u);
    EXPECT_EQ(scene.lights[1], objects[4]); // the point light first, in line order

    const Sphere *sphere = dynamic_cast<const Sphere *>(objects[0]);
    ASSERT_NE(sphere, nullptr);
    EXPECT_EQ(sphere->get_material()->kd.x, 0.5);

    const PointLight *light = dynamic_cast<const PointLight *>(scene.lights[0]);
    ASSERT_NE(light, nullptr);
    EXPECT_EQ(light->position.y, 10.0);
    EXPECT_EQ(light->get_material()->ke.x, 1.0);

    const SphereFlake *flake = dynamic_cast<const SphereFlake *>(objects[2]);
    ASSERT_NE(flake, nullptr);
    EXPECT_NE(flake->subflakes[5], nullptr);
    EXPECT_EQ(flake->subflakes[5]->subflakes[0], nullptr);

    // Scaled, then rotated a quarter turn about z, then moved; the normal
    // only rotated and normalised.
    const Mesh *mesh = dynamic_cast<const Mesh *>(objects[3]);
    ASSERT_NE(mesh, nullptr);
    ASSERT_EQ(mesh->get_face_count(), 1);
    const Face *face = mesh->get_face(0);
    EXPECT_NEAR(face->v[1].pos.x, 1.0, 1e-12);
    EXPECT_NEAR(face->v[1].pos.y, 2.0, 1e-12);
    EXPECT_EQ(face->v[1].pos.z, 0.0);
    EXPECT_NEAR(face->v[0].norm.z, 1.0, 1e-15);
    EXPECT_EQ(mesh->get_primitive(), MESH_PRIM_TRI);

    // fov passes through a float and then to radians.
    Ray ray = scene.get_camera()->get_primary_ray(0, 0);
    EXPECT_NEAR(ray.dir.z, 10000.0, 1e-9);
    EXPECT_EQ(ray.origin.z, -10.0);
}

TEST(SceneFile, ValuesPassThroughAFloat)
{
    Scene scene;
    ASSERT_TRUE(load_text(scene, std::string("s c(0 0 0) r(0.1)") + kMaterial));
    const Sphere *sphere = dynamic_cast<const Sphere *>(scene.get_objects()[0]);
    EXPECT_EQ(sphere->radius, static_cast<double>(0.1f));
    EXPECT_NE(sphere->radius, 0.1);
}

TEST(SceneFile, LastCameraWins)
{
    Scene scene;
    ASSERT_TRUE(load_text(scene, "c p(0 0 -1) t(0 0 0) fov(45)\nc p(0 0 -2) t(0 0 0) fov(45)\n"));
    EXPECT_EQ(scene.get_camera()->get_primary_ray(0, 0).origin.z, -2.0);
    ASSERT_TRUE(load_text(scene, "c p(0 0 -3) t(0 0 0) fov(45)\n"));
    EXPECT_EQ(scene.get_camera()->get_primary_ray(0, 0).origin.z, -3.0);
}

TEST(SceneFile, CommentsOnlyLeaveTheSceneEmpty)
{
    Scene scene;
    EXPECT_TRUE(load_text(scene, "# one\n# two"));
    EXPECT_TRUE(scene.get_objects().empty());
    EXPECT_EQ(scene.get_camera(), nullptr);
}

} // namespace
