// The accelerated ray queries against the flat walk: the scene's hierarchy
// and the meshes' face hierarchies must give the same answer and the same
// record, bit for bit, for every ray, and whole renders the same bytes.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "camera.h"
#include "light.h"
#include "mesh.h"
#include "plane.h"
#include "rt.h"
#include "sphere.h"
#include "sphereflake.h"
#include "support.h"

namespace
{

struct Answer {
    bool hit;
    IntInfo rec;
    bool bare; // the answer to the same ray without a record
};

bool same_bits(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

bool same_bits(const Vector3 &a, const Vector3 &b)
{
    return same_bits(a.x, b.x) && same_bits(a.y, b.y) && same_bits(a.z, b.z);
}

// Differences between two answers, empty when they agree to the bit.
std::string compare(const Answer &flat, const Answer &fast)
{
    std::string diff;
    if (flat.hit != fast.hit) {
        diff += " hit";
    }
    if (flat.bare != fast.bare) {
        diff += " bare";
    }
    if (!same_bits(flat.rec.t, fast.rec.t)) {
        diff += " t";
    }
    if (!same_bits(flat.rec.normal, fast.rec.normal)) {
        diff += " normal";
    }
    if (!same_bits(flat.rec.i_point, fast.rec.i_point)) {
        diff += " i_point";
    }
    if (flat.rec.object != fast.rec.object) {
        diff += " object";
    }
    return diff;
}

// A record that a miss must leave as it is.
IntInfo sentinel()
{
    IntInfo rec;
    rec.t = -42.0;
    rec.normal = Vector3(7, 7, 7);
    rec.i_point = Vector3(-7, -7, -7);
    return rec;
}

std::string describe(const Ray &ray)
{
    char buf[256];
    snprintf(buf, sizeof buf, "origin (%.17g %.17g %.17g) dir (%.17g %.17g %.17g)", ray.origin.x, ray.origin.y,
             ray.origin.z, ray.dir.x, ray.dir.y, ray.dir.z);
    return buf;
}

Ray make_ray(const Vector3 &o, const Vector3 &d)
{
    Ray r;
    r.origin = o;
    r.dir = d;
    return r;
}

class Gen
{
  public:
    explicit Gen(unsigned seed) : eng(seed) {}
    double uni(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(eng); }
    int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(eng); }
    Vector3 point(double lo, double hi) { return Vector3(uni(lo, hi), uni(lo, hi), uni(lo, hi)); }
    Vector3 unit()
    {
        for (;;) {
            Vector3 v = point(-1, 1);
            double l = length(v);
            if (l > 0.1 && l <= 1.0) {
                return v / l;
            }
        }
    }
    // Now and then a component is exactly zero, of either sign.
    Vector3 direction(double len)
    {
        Vector3 d = unit() * len;
        int r = below(8);
        if (r == 0) {
            d.x = 0.0;
        } else if (r == 1) {
            d.y = -0.0;
        } else if (r == 2) {
            d = Vector3(below(2) ? len : -len, 0.0, -0.0);
        }
        return d;
    }

  private:
    std::mt19937 eng;
};

Face face_of(const Vector3 &a, const Vector3 &b, const Vector3 &c, const Vector3 &d = Vector3())
{
    Face f;
    f.v[0].pos = a;
    f.v[1].pos = b;
    f.v[2].pos = c;
    f.v[3].pos = d;
    for (Vertex &v : f.v) {
        v.norm = normalize(Vector3(0.3, 1, 0.2));
    }
    f.calc_normal();
    return f;
}

// A wavy height field of (n x n) cells: every inner edge and vertex is
// shared, as in a real mesh. Quads, or two triangles per cell.
Mesh *height_field(int n, const Vector3 &origin, double size, bool quads, Gen &g)
{
    Mesh *mesh = new Mesh(quads ? MESH_PRIM_QUAD : MESH_PRIM_TRI);
    std::vector<Vector3> pts((n + 1) * (n + 1));
    for (int j = 0; j <= n; j++) {
        for (int i = 0; i <= n; i++) {
            double x = size * i / n, z = size * j / n;
            pts[j * (n + 1) + i] = origin + Vector3(x, 0.3 * size * std::sin(3 * x / size + z / size), z);
        }
    }
    for (int j = 0; j < n; j++) {
        for (int i = 0; i < n; i++) {
            const Vector3 &a = pts[j * (n + 1) + i], &b = pts[j * (n + 1) + i + 1];
            const Vector3 &c = pts[(j + 1) * (n + 1) + i + 1], &d = pts[(j + 1) * (n + 1) + i];
            if (quads) {
                mesh->add_face(face_of(a, b, c, d));
            } else {
                mesh->add_face(face_of(a, b, c));
                mesh->add_face(face_of(a, c, d));
            }
        }
    }
    // Oddities: a duplicate (a tie the earlier must win), a face never given
    // a normal, collinear corners (NaN normal), a sliver, a tiny face, and for
    // quads a fourth corner off the plane.
    Face dup = mesh->get_face(g.below(mesh->get_face_count()))[0];
    mesh->add_face(dup);
    Face none = dup;
    none.norm = Vector3();
    mesh->add_face(none);
    mesh->add_face(face_of(pts[0], pts[1], pts[0] * 2.0 - pts[1]));
    mesh->add_face(face_of(pts[0], pts[n], pts[n] + Vector3(0, 3e-8, 0), pts[0]));
    mesh->add_face(face_of(pts[1], pts[1] + Vector3(1e-5, 0, 0), pts[1] + Vector3(0, 0, 1e-5), pts[1]));
    if (quads) {
        mesh->add_face(face_of(pts[2], pts[3], pts[n + 4], pts[n + 3] + Vector3(0, 0.4 * size, 0)));
    }
    return mesh;
}

// A closed box of two triangles per side: rays from inside, edges and
// corners shared by many faces.
Mesh *closed_box(const Vector3 &lo, const Vector3 &hi)
{
    Mesh *mesh = new Mesh(MESH_PRIM_TRI);
    Vector3 c[8];
    for (int i = 0; i < 8; i++) {
        c[i] = Vector3(i & 1 ? hi.x : lo.x, i & 2 ? hi.y : lo.y, i & 4 ? hi.z : lo.z);
    }
    const int quads[6][4] = {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 1, 5, 4}, {2, 6, 7, 3}, {0, 4, 6, 2}, {1, 3, 7, 5}};
    for (const auto &q : quads) {
        mesh->add_face(face_of(c[q[0]], c[q[1]], c[q[2]]));
        mesh->add_face(face_of(c[q[0]], c[q[2]], c[q[3]]));
    }
    return mesh;
}

// Interesting places of the scene: corners, points on edges and faces,
// sphere surfaces. Rays are aimed at them, start on them or end on them.
struct Landmarks {
    std::vector<Vector3> points;

    void add_mesh(const Mesh &m, Gen &g, int samples)
    {
        int count = m.get_face_count();
        int corners = m.get_primitive();
        for (int s = 0; s < samples; s++) {
            const Face *f = m.get_face(g.below(count));
            const Vector3 &a = f->v[0].pos, &b = f->v[1 + g.below(corners - 1)].pos;
            switch (g.below(3)) {
            case 0:
                points.push_back(a);
                break;
            case 1:
                points.push_back(a + (b - a) * g.uni(0, 1));
                break;
            default:
                points.push_back(a + (b - a) * g.uni(0, 0.5) + (f->v[2].pos - a) * g.uni(0, 0.5));
            }
        }
    }
    void add_sphere(const Vector3 &c, double r, Gen &g)
    {
        points.push_back(c + g.unit() * r);
        points.push_back(c + Vector3(r, 0, 0));
        points.push_back(c - Vector3(0, 0, r));
    }
};

// Many kinds of rays: random, through landmarks (with t exactly 1 or not),
// grazing a sphere, along the axes, from inside boxes, from slab planes.
std::vector<Ray> make_rays(Gen &g, const Landmarks &marks, const std::vector<Sphere *> &spheres, int count,
                           double extent)
{
    std::vector<Ray> rays;
    for (int i = 0; i < count; i++) {
        Vector3 o = g.point(-extent, extent);
        const Vector3 &mark = marks.points[g.below(static_cast<int>(marks.points.size()))];
        switch (g.below(7)) {
        case 0:
            rays.push_back(make_ray(o, g.direction(g.below(2) ? 1e4 : extent)));
            break;
        case 1: // ending exactly on the landmark, or going on through it
            rays.push_back(make_ray(o, g.below(2) ? mark - o : (mark - o) * 3.0));
            break;
        case 2: { // grazing a sphere: along the tangent plane at a surface point
            const Sphere *s = spheres[g.below(static_cast<int>(spheres.size()))];
            Vector3 n = g.unit();
            Vector3 p = s->center + n * s->radius;
            Vector3 t = normalize(cross(n, g.unit()));
            rays.push_back(make_ray(p - t * 10.0, t * 20.0));
            break;
        }
        case 3: // along an axis through the landmark, from a slab plane
        {
            Vector3 d = g.direction(50.0);
            d = g.below(2) ? Vector3(d.x, 0.0, 0.0) : Vector3(-0.0, 0.0, d.z);
            rays.push_back(make_ray(mark - d * 0.5, d));
            break;
        }
        case 4: // starting on the landmark, as a bounce does
            rays.push_back(make_ray(mark, g.direction(1e4)));
            break;
        case 5: // from a landmark to another: a shadow ray ending on a surface
        {
            const Vector3 &other = marks.points[g.below(static_cast<int>(marks.points.size()))];
            rays.push_back(make_ray(mark, other - mark));
            break;
        }
        default: // from a sphere's box corner plane, parallel to it
        {
            const Sphere *s = spheres[g.below(static_cast<int>(spheres.size()))];
            Vector3 from = s->center + Vector3(s->radius, g.uni(-1, 1) * s->radius, -s->radius);
            rays.push_back(make_ray(from, Vector3(0.0, g.uni(-20, 20), 0.0)));
        }
        }
    }
    return rays;
}

// The scene's answers to every ray, with and without a record.
std::vector<Answer> ask_scene(Scene &scene, const std::vector<Ray> &rays, const Object *skip = nullptr)
{
    std::vector<Answer> out;
    for (const Ray &ray : rays) {
        Answer a;
        a.rec = sentinel();
        a.hit = scene.intersection(ray, &a.rec, skip);
        a.bare = scene.intersection(ray, nullptr, skip);
        out.push_back(a);
    }
    return out;
}

std::vector<Answer> ask_mesh(const Mesh &mesh, const std::vector<Ray> &rays)
{
    std::vector<Answer> out;
    for (const Ray &ray : rays) {
        Answer a;
        a.rec = sentinel();
        a.hit = mesh.intersection(ray, &a.rec);
        a.bare = mesh.intersection(ray, nullptr);
        out.push_back(a);
    }
    return out;
}

// Asks every ray flat, then accelerated, and reports the first differences.
void expect_scene_agrees(Scene &scene, const std::vector<Ray> &rays, int *hits = nullptr)
{
    scene.set_accelerated(false);
    std::vector<Answer> flat = ask_scene(scene, rays);
    scene.set_accelerated(true);
    std::vector<Answer> fast = ask_scene(scene, rays);
    int failures = 0;
    for (size_t i = 0; i < rays.size() && failures < 5; i++) {
        std::string diff = compare(flat[i], fast[i]);
        if (!diff.empty()) {
            ADD_FAILURE() << "ray " << i << " " << describe(rays[i]) << " differs in" << diff;
            failures++;
        }
        if (hits != nullptr) {
            *hits += flat[i].hit;
        }
    }
}

// A scene of every kind of object: many spheres (twins among them), meshes
// with shared edges, a closed box, flakes, planes, and objects that must stay
// out of the hierarchy.
struct TestScene {
    Scene scene;
    std::vector<Sphere *> spheres;
    std::vector<Mesh *> meshes;
    Landmarks marks;

    TestScene(Gen &g, int sphere_count, const Vector3 &offset, double scale)
    {
        for (int i = 0; i < sphere_count; i++) {
            Sphere *s = new Sphere(offset + g.point(-5, 5) * scale, g.uni(0.05, 0.8) * scale);
            add_sphere(s, g);
            if (i % 17 == 0) {
                add_sphere(new Sphere(s->center, s->radius), g); // a twin: ties go to the first
            }
            if (i % 23 == 0) { // touching: one shared point
                Vector3 n = g.unit();
                double r = g.uni(0.05, 0.5) * scale;
                add_sphere(new Sphere(s->center + n * (s->radius + r), r), g);
            }
        }
        add_sphere(new Sphere(offset, 0.0), g);
        meshes.push_back(height_field(12, offset + Vector3(-4, -2, -4) * scale, 8 * scale, false, g));
        meshes.push_back(height_field(6, offset + Vector3(-3, 1, -3) * scale, 6 * scale, true, g));
        meshes.push_back(closed_box(offset + Vector3(1, -1, 1) * scale, offset + Vector3(3, 1, 2.5) * scale));
        for (Mesh *m : meshes) {
            scene.add_object(m);
            marks.add_mesh(*m, g, 60);
        }
        scene.add_object(new Mesh(MESH_PRIM_TRI)); // no faces: an inverted box
        for (int i = 0; i < 2; i++) {
            SphereFlake *f = create_sflake(offset + g.point(-4, 4) * scale, 0.5 * scale, 3);
            scene.add_object(f);
            marks.add_sphere(f->center, f->radius, g);
        }
        scene.add_object(new Plane(Vector3(0, 1, 0), offset.y - 3 * scale));
        scene.add_object(new Plane(normalize(Vector3(0.2, 0.1, -1)), 8 * scale));
        add_sphere(new Sphere(offset, -0.5 * scale), g); // inverted box: stays in the root's list
    }

    void add_sphere(Sphere *s, Gen &g)
    {
        scene.add_object(s);
        spheres.push_back(s);
        marks.add_sphere(s->center, s->radius, g);
    }
};

} // namespace

// Random and adversarial rays against a scene of every kind, near the
// origin and far from it (where rounding is coarse), with an object set to
// be ignored now and then as the shader does for a light.
TEST(Accel, SceneQueriesMatchTheFlatWalk)
{
    struct Case {
        unsigned seed;
        Vector3 offset;
        double scale;
    } cases[] = {
        {1, Vector3(0, 0, 0), 1.0},
        {2, Vector3(0.25, -0.5, 0.125), 0.01},
        {3, Vector3(4000, -3000, 6000), 1.0},
        {4, Vector3(-100, 50, 20), 30.0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.seed);
        Gen g(c.seed);
        TestScene ts(g, 300, c.offset, c.scale);
        // Add the landmarks of the first hits of random rays: points on
        // every kind of surface, as the shader's rays start from.
        std::vector<Ray> probe = make_rays(g, ts.marks, ts.spheres, 300, 8 * c.scale);
        for (Ray &r : probe) {
            r.origin = r.origin + c.offset;
            IntInfo info;
            if (ts.scene.intersection(r, &info)) {
                ts.marks.points.push_back(info.i_point);
            }
        }
        std::vector<Ray> rays = make_rays(g, ts.marks, ts.spheres, 4000, 8 * c.scale);
        for (size_t i = 0; i < rays.size(); i += 3) {
            rays[i].origin = rays[i].origin + c.offset;
        }
        int hits = 0;
        expect_scene_agrees(ts.scene, rays, &hits);
        EXPECT_GT(hits, 1000); // the rays do meet things
        // The comparison is with a real hierarchy: below the root cube, with
        // only the planes, the inverted boxes and the meshes holding faces
        // without bounds (slivers) left in the root's own list.
        const BBoxNode *root = ts.scene.get_bbtree();
        ASSERT_EQ(root->get_children().size(), 1u);
        EXPECT_GE(root->get_objects().size(), 4u);
        EXPECT_LE(root->get_objects().size(), 6u);
        EXPECT_EQ(root->get_children()[0]->get_children().size(), 2u);

        const std::vector<Object *> &objs = ts.scene.get_objects();
        for (int k = 0; k < 3; k++) {
            Object *ignored = objs[g.below(static_cast<int>(objs.size()))];
            ignored->ignore = true;
            std::vector<Ray> few(rays.begin() + k * 300, rays.begin() + k * 300 + 300);
            expect_scene_agrees(ts.scene, few);

            // Passing an object over, as the shader does for the light of a
            // shadow ray, answers as ignoring it does, in both walks.
            ts.scene.set_accelerated(false);
            std::vector<Answer> want = ask_scene(ts.scene, few);
            ignored->ignore = false;
            for (bool accelerated : {false, true}) {
                ts.scene.set_accelerated(accelerated);
                std::vector<Answer> got = ask_scene(ts.scene, few, ignored);
                for (size_t i = 0; i < few.size(); i++) {
                    ASSERT_EQ(compare(want[i], got[i]), "") << "skip, ray " << i << " accelerated " << accelerated;
                }
            }
        }
    }
}

// Rays the hierarchy does not order (far origins, huge directions, NaN and
// infinite values, zero directions) must still give the flat walk's answer.
TEST(Accel, OddRaysMatchTheFlatWalk)
{
    Gen g(9);
    TestScene ts(g, 60, Vector3(), 1.0);
    const double inf = HUGE_VAL, nan = std::nan("");
    std::vector<Ray> rays = {
        make_ray(Vector3(0, 0, -9000), Vector3(0, 0, 18000)),  make_ray(Vector3(0, 0, -2e6), Vector3(0, 0, 4e6)),
        make_ray(Vector3(0.5, 0.2, -5), Vector3(0, 0, 1e70)),  make_ray(Vector3(0.5, 0.2, -5), Vector3(0, 0, 1e-70)),
        make_ray(Vector3(0.5, 0.2, -5), Vector3(0, 0, 0)),     make_ray(Vector3(0.5, nan, -5), Vector3(0, 0, 10)),
        make_ray(Vector3(0.5, 0.2, -5), Vector3(nan, 0, 10)),  make_ray(Vector3(0.5, 0.2, -5), Vector3(0, inf, 10)),
        make_ray(Vector3(0.5, 0.2, -inf), Vector3(0, 0, inf)),
    };
    for (int i = 0; i < 300; i++) {
        const Vector3 &mark = ts.marks.points[g.below(static_cast<int>(ts.marks.points.size()))];
        Vector3 o = g.point(-1, 1) * std::pow(10.0, g.uni(3, 9));
        rays.push_back(make_ray(o, (mark - o) * (g.below(2) ? 1.0 : 1.5)));
        rays.push_back(make_ray(mark, g.direction(std::pow(10.0, g.uni(-3, 12)))));
    }
    expect_scene_agrees(ts.scene, rays);
}

// A mesh alone, flat against accelerated, including far placements where
// rounding is coarse, tiny meshes, and rays far beyond the caps.
TEST(Accel, MeshQueriesMatchTheFlatWalk)
{
    struct Case {
        unsigned seed;
        bool quads;
        Vector3 origin;
        double size;
    } cases[] = {
        {11, false, Vector3(-2, -1, -2), 4.0},        {12, true, Vector3(-2, -1, -2), 4.0},
        {13, false, Vector3(9000, 7000, -8000), 3.0}, {14, true, Vector3(0.001, 0.002, 0.003), 0.01},
        {15, false, Vector3(-1e5, 2e5, 0.5), 1e4},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.seed);
        Gen g(c.seed);
        Mesh *mesh = height_field(30, c.origin, c.size, c.quads, g);
        mesh->calc_bbox();
        Landmarks marks;
        marks.add_mesh(*mesh, g, 400);
        std::vector<Sphere *> none;
        Sphere probe(c.origin + Vector3(c.size, 0, c.size) * 0.5, c.size * 0.3);
        none.push_back(&probe);
        std::vector<Ray> rays = make_rays(g, marks, none, 6000, c.size);
        for (size_t i = 0; i < rays.size(); i += 2) {
            rays[i].origin = rays[i].origin + c.origin;
        }

        mesh->set_accelerated(false);
        std::vector<Answer> flat = ask_mesh(*mesh, rays);
        mesh->set_accelerated(true);
        std::vector<Answer> fast = ask_mesh(*mesh, rays);
        int failures = 0, hits = 0;
        for (size_t i = 0; i < rays.size() && failures < 5; i++) {
            std::string diff = compare(flat[i], fast[i]);
            if (!diff.empty()) {
                ADD_FAILURE() << "ray " << i << " " << describe(rays[i]) << " differs in" << diff;
                failures++;
            }
            hits += flat[i].hit;
        }
        EXPECT_GT(hits, 1000);
        delete mesh;
    }
}

// The face hierarchy stays small next to the faces; most faces are in it;
// faces that can never be hit are in neither list.
TEST(Accel, FaceHierarchyIsCompact)
{
    Gen g(21);
    Mesh *mesh = height_field(100, Vector3(-1, 0, -1), 2.0, false, g);
    mesh->calc_bbox();
    EXPECT_LT(mesh->hierarchy_bytes() * 2, mesh->face_bytes());
    // The sliver and the tiny face; the duplicate is bounded like any face.
    EXPECT_LE(mesh->loose_face_count(), 2);
    BBox box;
    double origin_cap, reach_cap;
    EXPECT_FALSE(mesh->reach_bounds(&box, &origin_cap, &reach_cap)); // loose faces: not ordered in a scene

    Mesh *plain = closed_box(Vector3(-1, -1, -1), Vector3(1, 1, 1));
    plain->calc_bbox();
    ASSERT_TRUE(plain->reach_bounds(&box, &origin_cap, &reach_cap));
    EXPECT_GE(origin_cap, 1e5);
    EXPECT_GE(reach_cap, 1e8);
    EXPECT_LT(box.max.x, 1.0 + 1e-6); // padded, but hardly
    EXPECT_GT(box.max.x, 1.0);
    delete mesh;
    delete plain;
}

namespace
{

// Mesh names in scene files are relative to the working directory.
class InFolder
{
  public:
    explicit InFolder(const std::string &dir)
    {
        char buf[4096];
        saved = getcwd(buf, sizeof buf) != nullptr ? buf : ".";
        EXPECT_EQ(chdir(dir.c_str()), 0);
    }
    ~InFolder() { EXPECT_EQ(chdir(saved.c_str()), 0); }

  private:
    std::string saved;
};

// Whole frames through the renderer, with the global scene and settings.
class WholeRenders : public ::testing::Test
{
  protected:
    void SetUp() override { scene.clear(); }
    void TearDown() override
    {
        scene.clear();
        width = 512;
        height = 512;
        rays_ppxl = 4;
        pix_subdiv = 0;
        inv_gamma = 1.0;
    }

    static void use_size(int w, int h, int rays)
    {
        width = w;
        height = h;
        rays_ppxl = rays;
        pix_subdiv = calc_subdiv(rays);
        inv_gamma = 1.0;
    }

    // From the C library's initial random sequence, as the program starts.
    static std::string render_ppm(bool accelerated)
    {
        scene.set_accelerated(accelerated);
        std::vector<uint32_t> pixels(width * height);
        srand(1);
        for (int y = 0; y < height; y++) {
            render_scanline(pixels.data(), y);
        }
        std::string rgb;
        for (uint32_t p : pixels) {
            rgb += static_cast<char>((p >> 16) & 255);
            rgb += static_cast<char>((p >> 8) & 255);
            rgb += static_cast<char>(p & 255);
        }
        return ppm(width, height, rgb);
    }
};

} // namespace

// The demo scene: the program's out.ppm, a flat render and an accelerated
// render in process are the same bytes.
TEST_F(WholeRenders, DemoSceneIsTheSameEitherWay)
{
    TempDir dir;
    for (const char *name : {"demo.scene", "gem.mesh", "cube.mesh"}) {
        write_file(dir.file(name), read_file(std::string(RT_SOURCE_DIR) + "/scenes/" + name));
    }
    RunResult run = run_rt(dir.path(), {"-nosdl", "-size", "40x30", "-rays", "4", "demo.scene"});
    ASSERT_EQ(run.status, 0) << run.err;
    std::string program = read_file(dir.file("out.ppm"));

    InFolder in(dir.path());
    ASSERT_TRUE(scene.load("demo.scene"));
    use_size(40, 30, 4);
    std::string flat = render_ppm(false);
    std::string fast = render_ppm(true);
    EXPECT_TRUE(flat == fast) << "the accelerated render differs from the flat one";
    EXPECT_TRUE(program == flat) << "the program's render differs from the flat one";
}

// A generated scene of every kind, with an emissive sphere and an emissive
// mesh among the lights, so that shadow rays end exactly on light surfaces.
TEST_F(WholeRenders, GeneratedSceneIsTheSameEitherWay)
{
    Gen g(31);
    scene.set_camera(new Camera(Vector3(0.5, 3, -14), Vector3(0, 0.5, 0)));
    for (int i = 0; i < 400; i++) {
        Sphere *s = new Sphere(g.point(-6, 6), g.uni(0.1, 0.5));
        Material *m = s->get_material();
        m->kd = Color(g.uni(0, 0.8), g.uni(0, 0.8), g.uni(0, 0.8));
        m->ks = Color(0.2, 0.2, 0.2);
        m->specexp = 20;
        if (i % 97 == 0) {
            m->ke = Color(2, 2, 1.5);
        }
        scene.add_object(s);
    }
    Mesh *field = height_field(20, Vector3(-7, -4, -7), 14, false, g);
    field->get_material()->kd = Color(0.5, 0.6, 0.4);
    scene.add_object(field);
    Mesh *lamp = closed_box(Vector3(-1, 6, -1), Vector3(1, 6.5, 1));
    lamp->get_material()->ke = Color(1.5, 1.5, 1.5);
    scene.add_object(lamp);
    SphereFlake *flake = create_sflake(Vector3(3, 1, -3), 0.8, 4);
    flake->get_material()->ks = Color(0.7, 0.7, 0.7);
    flake->get_material()->specexp = 60;
    scene.add_object(flake);
    Plane *floor = new Plane(Vector3(0, 1, 0), -5);
    floor->get_material()->kd = Color(0.5, 0.5, 0.5);
    scene.add_object(floor);
    PointLight *light = new PointLight();
    light->position = Vector3(-5, 9, -6);
    light->get_material()->ke = Color(0.6, 0.6, 0.6);
    scene.lights.push_back(light);

    use_size(32, 24, 4);
    std::string flat = render_ppm(false);
    std::string fast = render_ppm(true);
    EXPECT_TRUE(flat == fast) << "the accelerated render differs from the flat one";
}
