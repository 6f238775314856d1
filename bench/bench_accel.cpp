// Renders three generated scenes with the flat walk and with the accelerated
// tree, in one run, and reports time, rays per second, the speed-up, and the
// box and primitive tests per ray (from the counters compiled into this
// build only). Also checks that both walks give the same pixels.
//
//   build-bench/bench/rt_bench
//
// Scenes: a bumpy sphere of 100,352 triangles, 2,000 spheres, a sphere flake
// of depth 6 (9,331 spheres); each on a floor plane under two point lights.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "camera.h"
#include "light.h"
#include "mesh.h"
#include "plane.h"
#include "rt.h"
#include "sphere.h"
#include "sphereflake.h"
#include "sphere_field.h"

namespace
{

enum SceneKind { MESH_SCENE, SPHERE_SCENE, FLAKE_SCENE };
const char *const scene_names[] = {"mesh", "spheres", "flake"};
// Image sizes: the flat walk over the mesh is slow, so that one is small.
const int sizes[][2] = {{24, 18}, {64, 48}, {64, 48}};

void set_material(Object *obj, const Color &kd, const Color &ks, double specexp)
{
    Material *m = obj->get_material();
    m->kd = kd;
    m->ks = ks;
    m->specexp = specexp;
}

void add_light(const Vector3 &pos, const Color &c)
{
    PointLight *light = new PointLight();
    light->position = pos;
    light->get_material()->ke = c;
    scene.lights.push_back(light);
}

// A sphere with bumps, as a grid of 224 x 224 cells of two triangles on
// shared corners: the cells at the poles have a degenerate triangle each, as
// real meshes do.
Mesh *bumpy_sphere(const Vector3 &center, double radius)
{
    const int n = 224;
    Mesh *mesh = new Mesh(MESH_PRIM_TRI);
    for (int i = 0; i <= n; i++) {
        for (int j = 0; j <= n; j++) {
            double theta = M_PI * i / n, phi = 2.0 * M_PI * j / n;
            Vector3 dir(std::sin(theta) * std::cos(phi), std::cos(theta), std::sin(theta) * std::sin(phi));
            double r = radius * (1.0 + 0.06 * std::sin(9.0 * theta) * std::cos(7.0 * phi));
            mesh->add_position(center + dir * r);
            mesh->add_normal(dir);
        }
    }
    for (uint32_t i = 0; i < n; i++) {
        for (uint32_t j = 0; j < n; j++) {
            uint32_t a = i * (n + 1) + j, b = a + n + 1, c = b + 1, d = a + 1;
            const uint32_t tris[2][3] = {{a, c, b}, {a, d, c}};
            for (const auto &t : tris) {
                mesh->add_indexed_face(t, t);
            }
        }
    }
    return mesh;
}

void build_scene(SceneKind kind)
{
    scene.clear();
    Plane *floor = new Plane(Vector3(0, 1, 0), 0.0);
    set_material(floor, Color(0.6, 0.6, 0.55), Color(), 1.0);
    scene.add_object(floor);
    add_light(Vector3(-6, 9, -6), Color(0.6, 0.6, 0.55));
    add_light(Vector3(7, 6, -3), Color(0.3, 0.3, 0.35));

    if (kind == MESH_SCENE) {
        scene.set_camera(new Camera(Vector3(0, 2.2, -5.5), Vector3(0, 1.4, 0)));
        Mesh *mesh = bumpy_sphere(Vector3(0, 1.5, 0), 1.4);
        set_material(mesh, Color(0.7, 0.5, 0.2), Color(0.2, 0.2, 0.2), 30.0);
        scene.add_object(mesh);
    } else if (kind == SPHERE_SCENE) {
        scene.set_camera(new Camera(Vector3(0, 5, -16), Vector3(0, 2, 0)));
        for (const FieldSphere &f : sphere_field(2000)) {
            Sphere *s = new Sphere(f.centre, f.radius);
            set_material(s, f.colour, Color(0.1, 0.1, 0.1), 20.0);
            scene.add_object(s);
        }
    } else {
        scene.set_camera(new Camera(Vector3(0, 3, -6.5), Vector3(0, 1.6, 0)));
        SphereFlake *flake = create_sflake(Vector3(0, 1.6, 0), 0.8, 6);
        set_material(flake, Color(0.3, 0.5, 0.7), Color(0.3, 0.3, 0.3), 40.0);
        scene.add_object(flake);
    }
}

struct Result {
    double seconds = 0;
    double queries = 0, box = 0, object = 0, face = 0;
    std::vector<uint32_t> pixels;
    double primary_faces = 0;     // face tests per primary ray
    double primary_hit_faces = 0; // ... per primary ray that hits the mesh
    size_t tree_bytes = 0, face_bytes = 0;
};
std::map<std::string, Result> results;

// Face tests per camera ray through the centre of each pixel of a w x h
// frame, over all rays and over those that hit the mesh.
void primary_face_tests(int w, int h, Result *r)
{
    long rays = 0, mesh_rays = 0;
    unsigned long long mesh_faces = 0;
    query_counters = QueryCounters();
    for (int y = 0; y < h; y++) {
        for (int x = 0; x < w; x++) {
            double xpos = ((x + 0.5) + (x + 0.5)) / w - 1.0;
            double ypos = ((y + 0.5) * -2.0) / h + 1.0;
            Ray ray = scene.get_camera()->get_primary_ray(xpos, ypos);
            IntInfo info;
            unsigned long long before = query_counters.face_tests;
            if (scene.intersection(ray, &info) && info.object == scene.get_objects()[1]) {
                mesh_rays++;
                mesh_faces += query_counters.face_tests - before;
            }
            rays++;
        }
    }
    r->primary_faces = static_cast<double>(query_counters.face_tests) / rays;
    r->primary_hit_faces = static_cast<double>(mesh_faces) / mesh_rays;
}

void render_frame(benchmark::State &state, SceneKind kind, bool accelerated)
{
    width = sizes[kind][0];
    height = sizes[kind][1];
    rays_ppxl = 1;
    pix_subdiv = 0;
    inv_gamma = 1.0;
    build_scene(kind);
    scene.set_accelerated(accelerated);
    scene.build_bbtree();

    Result r;
    std::vector<uint32_t> pixels(width * height);
    for (auto _ : state) {
        query_counters = QueryCounters();
        srand(1);
        for (int y = 0; y < height; y++) {
            render_scanline(pixels.data(), y);
        }
    }
    r.queries = static_cast<double>(query_counters.queries);
    r.box = query_counters.box_tests / r.queries;
    r.object = query_counters.object_tests / r.queries;
    r.face = query_counters.face_tests / r.queries;
    r.pixels = pixels;
    state.counters["rays/s"] = benchmark::Counter(r.queries * state.iterations(), benchmark::Counter::kIsRate);
    state.counters["box/ray"] = r.box;
    state.counters["obj/ray"] = r.object;
    state.counters["face/ray"] = r.face;
    if (kind == MESH_SCENE) {
        // The flat walk is slow: its frame is the rendered one.
        if (accelerated) {
            primary_face_tests(256, 192, &r);
        } else {
            primary_face_tests(width, height, &r);
        }
        state.counters["face/primary"] = r.primary_faces;
        const Mesh *mesh = static_cast<const Mesh *>(scene.get_objects()[1]);
        r.tree_bytes = mesh->hierarchy_bytes();
        r.face_bytes = mesh->face_bytes();
    }
    results[std::string(scene_names[kind]) + (accelerated ? "/accel" : "/flat")] = r;
    scene.clear();
}

// The seconds per frame, from the reporter.
class Collector : public benchmark::ConsoleReporter
{
  public:
    Collector() : ConsoleReporter(OO_Tabular) {}
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            std::string name = run.benchmark_name();
            for (auto &entry : results) {
                if (name.find(entry.first) != std::string::npos) {
                    entry.second.seconds = run.GetAdjustedRealTime() / 1e3; // milliseconds
                }
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

} // namespace

int main(int argc, char **argv)
{
    for (int kind = MESH_SCENE; kind <= FLAKE_SCENE; kind++) {
        for (bool accel : {false, true}) {
            std::string name = std::string(scene_names[kind]) + (accel ? "/accel" : "/flat");
            benchmark::RegisterBenchmark(
                name.c_str(),
                [kind, accel](benchmark::State &s) { render_frame(s, static_cast<SceneKind>(kind), accel); })
                ->Unit(benchmark::kMillisecond)
                ->Iterations(kind == MESH_SCENE && !accel ? 1 : 3);
        }
    }
    benchmark::Initialize(&argc, argv);
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);

    printf("\n%-8s %10s %10s %12s %12s %9s %9s %9s %9s  %s\n", "scene", "walk", "ms/frame", "rays", "rays/s",
           "speed-up", "box/ray", "obj/ray", "face/ray", "pixels");
    for (int kind = MESH_SCENE; kind <= FLAKE_SCENE; kind++) {
        std::string base = scene_names[kind];
        if (!results.count(base + "/flat") || !results.count(base + "/accel")) {
            continue;
        }
        const Result &flat = results[base + "/flat"], &fast = results[base + "/accel"];
        for (const Result *r : {&flat, &fast}) {
            bool accel = r == &fast;
            printf("%-8s %10s %10.1f %12.0f %12.0f %9.1f %9.2f %9.2f %9.2f  %s\n", base.c_str(),
                   accel ? "accel" : "flat", r->seconds * 1e3, r->queries, r->queries / r->seconds,
                   accel ? flat.seconds / fast.seconds : 1.0, r->box, r->object, r->face,
                   accel ? (flat.pixels == fast.pixels ? "identical" : "DIFFERENT") : "");
        }
        if (kind == MESH_SCENE) {
            printf("mesh: face tests per primary ray: flat %.1f, accel %.2f (%.2f per ray that hits the mesh)\n",
                   flat.primary_faces, fast.primary_faces, fast.primary_hit_faces);
            printf("mesh: face hierarchy %.2f MB, faces %.2f MB (%.1f%%)\n", fast.tree_bytes / 1e6,
                   fast.face_bytes / 1e6, 100.0 * fast.tree_bytes / fast.face_bytes);
        }
    }
    return 0;
}
