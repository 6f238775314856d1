// What the scene owns and when its tree is built: every object, light and
// camera freed once, none leaked; a tree built once (threads rely on it).
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "light.h"
#include "mesh.h"
#include "scene.h"
#include "sphere.h"

namespace
{

// Counts how many of its kind are alive.
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

class CountedLight : public PointLight
{
  public:
    CountedLight() { alive++; }
    ~CountedLight() override { alive--; }
    static int alive;
};
int CountedLight::alive = 0;

// Bytes the C library's allocator has handed out and not had back; 0 where
// it cannot tell (another C library, or a sanitizer's allocator, which finds
// leaks itself).
size_t bytes_in_use()
{
#if defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 33)
    return mallinfo2().uordblks;
#else
    return 0;
#endif
}

TEST(Ownership, EveryObjectLightAndCameraIsFreedOnce)
{
    {
        Scene scene;
        scene.add_object(new Counted(Color(0, 0, 0)));
        scene.add_object(new Counted(Color(0, 0.5, 0))); // a light: in both lists
        scene.add_object(new Counted(Color(-1, -1, -1)));
        Mesh *faceless = new Mesh(MESH_PRIM_TRI);
        faceless->get_material()->ke = Color(1, 1, 1); // nothing to emit from
        scene.add_object(faceless);
        scene.lights.push_back(new CountedLight());
        ASSERT_EQ(scene.lights.size(), 2u);
        EXPECT_EQ(scene.lights[0], scene.get_objects()[1]);
        // Changed after it was added: still freed once.
        scene.get_objects()[0]->get_material()->ke = Color(1, 1, 1);
        EXPECT_EQ(Counted::alive, 3);
        EXPECT_EQ(CountedLight::alive, 1);
    }
    EXPECT_EQ(Counted::alive, 0);
    EXPECT_EQ(CountedLight::alive, 0);

    // Lights whose addresses fall in any order, point lights among them.
    {
        std::vector<Object *> glowing;
        for (int i = 0; i < 8; i++) {
            glowing.push_back(new Counted(Color(1, 1, 1)));
        }
        std::sort(glowing.begin(), glowing.end(), [](Object *a, Object *b) { return a > b; });
        std::swap(glowing[2], glowing[5]);
        Scene scene;
        for (Object *light : glowing) {
            scene.add_object(light);
            scene.lights.push_back(new CountedLight());
        }
        ASSERT_EQ(scene.lights.size(), 16u);
    }
    EXPECT_EQ(Counted::alive, 0);
    EXPECT_EQ(CountedLight::alive, 0);

    auto cameras = [] {
        Scene scene;
        scene.set_camera(new Camera());
        scene.set_camera(new Camera());       // frees the first
        scene.set_camera(scene.get_camera()); // the same again: kept
        scene.get_camera()->get_primary_ray(0, 0);
        scene.intersection(Ray{Vector3(0, 0, -5), Vector3(0, 0, 10)}, nullptr);
    };
    cameras(); // the first run also makes what lives on for the process
    size_t before = bytes_in_use();
    cameras();
    EXPECT_EQ(bytes_in_use(), before) << "the scene leaked";
}

TEST(Ownership, TreeIsBuiltOnceBeforeQueries)
{
    Scene scene;
    Sphere *first = new Sphere(Vector3(0, 0, 0), 1.0);
    scene.add_object(first);
    scene.add_object(new Sphere(Vector3(0, 0, 0), 1.0)); // a twin: ties go to the first
    scene.build_tree_once();
    const BBoxNode *tree = scene.get_bbtree();
    ASSERT_NE(tree, nullptr);
    scene.build_tree_once();
    EXPECT_EQ(scene.get_bbtree(), tree);

    // Added after the tree was built: never seen.
    scene.add_object(new Sphere(Vector3(0, 0, -5), 1.0));
    Ray ray{Vector3(0, 0, -10), Vector3(0, 0, 20)};
    IntInfo info;
    ASSERT_TRUE(scene.intersection(ray, &info));
    EXPECT_EQ(info.object, first);
    EXPECT_EQ(info.t, 0.45);
    EXPECT_EQ(scene.get_bbtree(), tree);
}

} // namespace
