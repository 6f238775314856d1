// Ray queries: the known answers of every shape where the arithmetic is
// subtle (roots, tolerances, ties, NaN in the box test), and the accelerated
// walk against the flat walk, ray by ray and bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "light.h"
#include "mesh.h"
#include "plane.h"
#include "scene.h"
#include "sphere.h"
#include "sphereflake.h"
#include "support.h"
#include "accel/blocker_cache.h"
#include "accel/isa.h"
#include "accel/triangle_pretest.h"
#include "accel/walk8.h"
#include "accel/wide_tree.h"
#include "files/content_hash.h"

namespace
{

std::shared_ptr<Object> sphere(const Vector3 &c, double r)
{
    auto s = std::make_shared<Sphere>(c, r);
    s->calc_bbox();
    return s;
}

std::shared_ptr<Object> plane(const Vector3 &n, double d)
{
    return std::make_shared<Plane>(n, d);
}

std::shared_ptr<Object> flake(const Vector3 &c, double r, int iter)
{
    return std::shared_ptr<Object>(create_sflake(c, r, iter));
}

Face face_of(std::initializer_list<Vector3> pos, std::initializer_list<Vector3> norm)
{
    Face f;
    int i = 0;
    for (const Vector3 &p : pos) {
        f.v[i++].pos = p;
    }
    i = 0;
    for (const Vector3 &n : norm) {
        f.v[i++].norm = n;
    }
    f.calc_normal();
    return f;
}

std::shared_ptr<Object> mesh(MeshPrim prim, std::initializer_list<Face> faces, bool no_normal)
{
    auto m = std::make_shared<Mesh>(prim);
    for (Face f : faces) {
        if (no_normal) {
            f.norm = Vector3();
        }
        m->add_face(f);
    }
    m->calc_bbox();
    return m;
}

std::shared_ptr<Object> tri(std::initializer_list<Face> faces, bool no_normal = false)
{
    return mesh(MESH_PRIM_TRI, faces, no_normal);
}

std::shared_ptr<Object> quad(const Face &face)
{
    return mesh(MESH_PRIM_QUAD, {face}, false);
}

const Vector3 nx(1, 0, 0), ny(0, 1, 0), nz(0, 0, 1);

// The unit triangle and square in z = 0, facing +z, with vertex normals.
Face unit_tri(const Vector3 &na, const Vector3 &nb, const Vector3 &nc)
{
    return face_of({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {na, nb, nc});
}

Face unit_quad(const Vector3 &na, const Vector3 &nb, const Vector3 &nc, const Vector3 &nd)
{
    return face_of({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}}, {na, nb, nc, nd});
}

// Straight down onto z = 0 from z = 1, reaching z = -1: t 0.5 there.
Ray down_at(double x, double y)
{
    return Ray{Vector3(x, y, 1), Vector3(0, 0, -2)};
}

TEST(RayQueries, KnownAnswers)
{
    const double s = std::sqrt(1.0 / 6.0);
    const double tp = 2.5e-7 / 1e-6;
    const Face lower = face_of({{0, 0, -0.5}, {1, 0, -0.5}, {0, 1, -0.5}}, {nx, nx, nx});
    auto light = std::make_shared<PointLight>();
    light->position = Vector3(0, 0, 5);
    struct Case {
        const char *what;
        std::shared_ptr<Object> obj;
        Ray ray;
        bool hit;
        double t;
        Vector3 point, normal;
    } cases[] = {
        // clang-format off
        {"sphere from outside", sphere({0, 0, 5}, 1), {{0, 0, 0}, {0, 0, 10}}, true, 0.4, {0, 0, 4}, {0, 0, -1}},
        {"sphere from inside: far side", sphere({0, 0, 5}, 1), {{0, 0, 5}, {0, 0, 10}}, true, 0.1, {0, 0, 6}, nz},
        {"sphere tangent", sphere({0, 0, 0}, 5), {{7, 1, 0}, {-8, 6, 0}}, true, 0.5, {3, 4, 0}, {0.6, 0.8, 0}},
        {"sphere near root 1", sphere({0, 0, 0}, 5), {{3, 0, -10}, {0, 0, 6}}, true, 1, {3, 0, -4}, {0.6, 0, -0.8}},
        {"sphere from its surface", sphere({0, 0, 0}, 5), {{3, 0, -4}, {0, 0, 10}}, true, 0.8, {3, 0, 4}, {0.6, 0, 0.8}},
        {"sphere, roots behind", sphere({0, 0, 5}, 1), {{0.5, 0.5, 5.95}, {0, 0, 10}}, false, 0, {}, {}},
        {"sphere beyond the end", sphere({0, 0, 5}, 1), {{0, 0, 0}, {0, 0, 3}}, false, 0, {}, {}},
        {"sphere's box only", sphere({0, 0, 5}, 1), {{0.95, 0.95, 0}, {0, 0, 10}}, false, 0, {}, {}},
        {"sphere near root 1.0000001", sphere({0, 0, 0}, 5), {{3, 0, -10}, {0, 0, 5.9999994}}, false, 0, {}, {}},
        // On the axis the surface lies on the box face, which the box test's
        // open range rejects at t = 1 before the roots are looked at.
        {"sphere on the axis at t 1", sphere({0, 0, 0}, 5), {{0, 0, -10}, {0, 0, 5}}, false, 0, {}, {}},
        // From beyond the box's largest x, within its y and z: outside it.
        {"sphere on the axis at t 1, from +x", sphere({0, 0, 0}, 5), {{10, 0, 0}, {-5, 0, 0}}, false, 0, {}, {}},
        {"plane (0 2 0) d 1", plane({0, 2, 0}, 1), {{0, 5, 0}, {0, -10, 0}}, true, 0.4, {0, 1, 0}, ny},
        {"plane from below", plane(ny, 0), {{0, -1, 0}, {0, 10, 0}}, true, 0.1, {}, ny},
        {"plane at t 1", plane(ny, 0), {{0, 5, 0}, {0, -5, 0}}, true, 1.0, {}, ny},
        {"plane outside its box", plane(ny, 0), {{20000, 5, 0}, {0, -10, 0}}, true, 0.5, {20000, 0, 0}, ny},
        {"plane, n.d 1e-6", plane(ny, 0), {{0, -2.5e-7, 0}, {1, 1e-6, 0}}, true, tp, {tp, -2.5e-7 + 1e-6 * tp, 0}, ny},
        {"plane, n.d below 1e-6", plane(ny, 0), {{0, -2.5e-7, 0}, {1, 9.99e-7, 0}}, false, 0, {}, {}},
        {"triangle: weights .5 .25 .25", tri({unit_tri(nx, ny, nz)}), down_at(0.25, 0.25), true, 0.5, {0.25, 0.25, 0},
         {2 * s, s, s}},
        {"triangle: within the tolerance", tri({unit_tri(nz, nz, nz)}), down_at(0.5, 0.5 + 1e-9), true, 0.5,
         {0.5, 0.5 + 1e-9, 0}, nz},
        {"triangle: vertex normals, not the face's", tri({unit_tri(-nz, -nz, -nz)}), down_at(0.2, 0.2), true, 0.5,
         {0.2, 0.2, 0}, -nz},
        {"triangle: outside the long edge", tri({unit_tri(nz, nz, nz)}), down_at(0.5, 0.5 + 1e-6), false, 0, {}, {}},
        {"triangle: on a short edge, its box's lowest", tri({unit_tri(nz, nz, nz)}), down_at(0.5, 0), true, 0.5,
         {0.5, 0, 0}, nz},
        {"triangle: outside a short edge", tri({unit_tri(nz, nz, nz)}), down_at(0.5, -1e-6), false, 0, {}, {}},
        {"triangle: no face normal", tri({unit_tri(nz, nz, nz)}, true), down_at(0.25, 0.25), false, 0, {}, {}},
        {"triangle: t below 1e-6", tri({unit_tri(nz, nz, nz)}), {{0.25, 0.25, 1e-7}, {0, 0, -2}}, false, 0, {}, {}},
        {"triangle: area below 1e-8", tri({face_of({{0, 0, 0}, {1e-5, 0, 0}, {0, 1e-5, 0}}, {})}), down_at(2e-6, 2e-6),
         false, 0, {}, {}},
        // A corner past the hierarchy's bounds: the face is asked by every ray.
        {"triangle: a corner beyond 1e60", tri({face_of({{0, 0, 0}, {1e61, 0, 0}, {0, 1, 0}}, {nz, nz, nz})}),
         down_at(0.25, 0.25), true, 0.5, {0.25, 0.25, 0}, nz},
        {"triangle: corners on a line", tri({face_of({{0, 0, 0}, {1, 0, 0}, {2, 0, 0}}, {})}),
         {{0.5, -0.5, 1}, {0, 1, -2}}, false, 0, {}, {}},
        {"quad, first half", quad(unit_quad(nx, ny, nz, nx)), down_at(0.5, 0.25), true, 0.5, {0.5, 0.25, 0},
         {2 * s, s, s}},
        {"quad, second half", quad(unit_quad(nx, -ny, nz, ny)), down_at(0.25, 0.75), true, 0.5, {0.25, 0.75, 0},
         {s, 2 * s, s}},
        // Just across the diagonal but within the first half's tolerance.
        {"quad, diagonal: first half", quad(unit_quad(nx, -ny, nx, ny)), down_at(0.5, 0.5 + 1e-9), true, 0.5,
         {0.5, 0.5 + 1e-9, 0}, normalize(Vector3(1, -1e-9, 0))},
        {"faces at equal t: the earlier", tri({unit_tri(nx, nx, nx), unit_tri(ny, ny, ny)}), down_at(0.25, 0.25), true,
         0.5, {0.25, 0.25, 0}, nx},
        {"later face nearer", tri({lower, unit_tri(ny, ny, ny)}), down_at(0.25, 0.25), true, 0.5, {0.25, 0.25, 0}, ny},
        {"flake: sub-flake (3 0 0) first", flake({0, 0, 0}, 2, 2), {{10, 0, 0}, {-20, 0, 0}}, true, 0.3, {4, 0, 0}, nx},
        // The central sphere and the sub-flake at (0 3 0) touch at (0 2 0):
        // the sphere is asked first and keeps the tie.
        {"flake: a tie goes to the sphere", flake({0, 0, 0}, 2, 2), {{0, 0, 0}, {0, 10, 0}}, true, 0.2, {0, 2, 0}, ny},
        {"flake: past the tie", flake({0, 0, 0}, 2, 2), {{0, 2.5, 0}, {0, 10, 0}}, true, 0.15, {0, 4, 0}, ny},
        {"flake of depth 1: box only", flake({0, 0, 0}, 1, 1), {{2, 0, -10}, {0, 0, 20}}, false, 0, {}, {}},
        {"point light: never hit", light, {{0, 0, 0}, {0, 0, 10}}, false, 0, {}, {}},
        // clang-format on
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        IntInfo rec;
        rec.t = -7.0;
        ASSERT_EQ(c.obj->intersection(c.ray, &rec), c.hit);
        EXPECT_EQ(c.obj->intersection(c.ray, nullptr), c.hit);
        if (!c.hit) {
            EXPECT_EQ(rec.t, -7.0); // a miss leaves the record alone
            continue;
        }
        EXPECT_EQ(rec.t, c.t);
        expect_same(rec.i_point, c.point);
        EXPECT_NEAR(rec.normal.x, c.normal.x, 1e-15);
        EXPECT_NEAR(rec.normal.y, c.normal.y, 1e-15);
        EXPECT_NEAR(rec.normal.z, c.normal.z, 1e-15);
        EXPECT_EQ(std::signbit(rec.normal.y), std::signbit(c.normal.y));
        EXPECT_EQ(rec.object, c.obj.get()); // the object itself, never an inner part
        c.obj->ignore = true;
        EXPECT_FALSE(c.obj->intersection(c.ray, nullptr));
        EXPECT_FALSE(c.obj->intersection(c.ray, &rec));
        c.obj->ignore = false;
    }
}

// A primitive changed after faces were added: every corner is kept.
TEST(RayQueries, FacesKeepTheirCornersWhenThePrimitiveChanges)
{
    Mesh m(MESH_PRIM_QUAD);
    m.add_face(unit_quad(nz, nz, nz, nz));
    for (MeshPrim prim : {MESH_PRIM_TRI, MESH_PRIM_QUAD}) {
        m.set_primitive(prim);
        m.calc_bbox();
        EXPECT_EQ(m.intersection(down_at(0.2, 0.9), nullptr), prim == MESH_PRIM_QUAD); // in the second half
        EXPECT_TRUE(m.intersection(down_at(0.9, 0.2), nullptr));
    }
    expect_same(m.get_face(0)->v[3].pos, Vector3(0, 1, 0));

    Mesh t(MESH_PRIM_TRI); // faces of three corners gain a fourth, at the origin
    t.add_face(unit_tri(nz, nz, nz));
    t.set_primitive(MESH_PRIM_QUAD);
    t.calc_bbox();
    ASSERT_EQ(t.get_face_count(), 1);
    EXPECT_TRUE(t.intersection(down_at(0.2, 0.1), nullptr));
}

// The shadow walks' cache of blockers: the last yes of an owner and an
// octant is asked first, kept while it answers yes, forgotten after a no,
// and never offered to another owner, whose answers leave it alone.
TEST(RayQueries, BlockerCacheAsksTheLastBlockerFirst)
{
    struct Face {
        int index;
    };
    int a = 0, b = 0;
    std::vector<std::string> asked;
    auto ask = [&](const void *owner, const Vector3 &dir, bool hint_says, int walk_finds) {
        return BlockerCache<Face>::ask(
            owner, dir,
            [&](const Face &f) {
                asked.push_back("hint " + std::to_string(f.index));
                return hint_says;
            },
            [&](std::optional<Face> *blocker) {
                asked.push_back("walk");
                if (walk_finds > 0) {
                    *blocker = Face{walk_finds};
                }
                return walk_finds > 0;
            });
    };
    const Vector3 up(0.1, 1, 0.2), down(0.1, -1, 0.2);
    EXPECT_TRUE(ask(&a, up, true, 7));    // nothing kept yet: the walk finds face 7
    EXPECT_TRUE(ask(&a, up, true, 9));    // face 7 asked first, and enough
    EXPECT_FALSE(ask(&b, up, true, 0));   // another owner: its own walk only
    EXPECT_FALSE(ask(&a, down, true, 0)); // another octant
    EXPECT_TRUE(ask(&a, up, false, 3));   // face 7 says no; the walk finds 3
    EXPECT_FALSE(ask(&a, up, false, 0));  // face 3 says no, the walk too: forgotten
    EXPECT_FALSE(ask(&a, up, true, 0));
    EXPECT_EQ(asked,
              (std::vector<std::string>{"walk", "hint 7", "walk", "walk", "hint 7", "walk", "hint 3", "walk", "walk"}));
}

TEST(RayQueries, BoxSegmentTest)
{
    const BBox box(Vector3(2, -1, -1), Vector3(3, 1, 1));
    struct Case {
        const char *what;
        Vector3 origin, dir;
        bool hit;
    } cases[] = {
        // clang-format off
        {"begins exactly at t 1: open range", {0, 0, 0}, {2, 0, 0}, false},
        {"outside the y slab, parallel to it", {0, 2, 0}, {10, 0, 0}, false},
        {"inside, zero dir", {2.5, 0, 0}, {0, 0, 0}, true},
        {"on face x=2, leaving: tmax is -0.0", {2, 0, 0}, {-10, 0, 0}, false},
        {"on face x=2, entering", {2, 0, 0}, {10, 0, 0}, true},
        // Origin in a slab plane of an axis the ray is parallel to: 0 * inf is
        // NaN. On y or z the NaN bound is never taken over and does no harm...
        {"grazing the face y=1", {0, 1, 0}, {10, 0, 0}, true},
        {"grazing the face y=-1 along z", {2.5, -1, -5}, {0, 0, 10}, true},
        // ... on x it stays in tmin or tmax and makes the final test false.
        {"grazing the face x=2", {2, 0, -5}, {0, 0, 10}, false},
        // The sign comes from the component, not the reciprocal.
        {"-0.0 x component inside the x slab", {2.5, 0, -5}, {-0.0, 0, 10}, false},
        {"-0.0 y component inside the y slab", {0, 0.5, 0}, {10, -0.0, 0}, false},
        // clang-format on
    };
    for (const Case &c : cases) {
        EXPECT_EQ(box.intersection(Ray{c.origin, c.dir}), c.hit) << c.what;
    }
}

// ---- the accelerated walk against the flat walk ----

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

bool same(const Answer &a, const Answer &b)
{
    return a.hit == b.hit && a.bare == b.bare && same_bits(a.rec.t, b.rec.t) && same_bits(a.rec.normal, b.rec.normal) &&
           same_bits(a.rec.i_point, b.rec.i_point) && a.rec.object == b.rec.object;
}

class Gen
{
  public:
    explicit Gen(unsigned seed) : eng(seed) {}
    double uni(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(eng); }
    int below(size_t n) { return std::uniform_int_distribution<int>(0, static_cast<int>(n) - 1)(eng); }
    // Drawn z first, then y and x, one declarator after another: in the
    // arguments of one call the order of the draws is the compiler's (x86
    // takes them right to left, arm64 left to right), and the trees pinned
    // below are of the same points on every machine.
    Vector3 point(double lo, double hi)
    {
        const double z = uni(lo, hi), y = uni(lo, hi), x = uni(lo, hi);
        return Vector3(x, y, z);
    }
    Vector3 unit()
    {
        for (;;) {
            Vector3 v = point(-1, 1);
            if (length(v) > 0.1 && length(v) <= 1.0) {
                return normalize(v);
            }
        }
    }
    // Now and then a component is exactly zero, of either sign.
    Vector3 direction(double len)
    {
        Vector3 d = unit() * len;
        switch (below(8)) {
        case 0:
            return Vector3(0.0, d.y, d.z);
        case 1:
            return Vector3(d.x, -0.0, d.z);
        case 2:
            return Vector3(below(2) ? len : -len, 0.0, -0.0);
        default:
            return d;
        }
    }

  private:
    std::mt19937 eng;
};

// A wavy height field of n x n cells: inner edges and vertices shared, as in a
// real mesh, with oddities: a duplicate face (a tie), a face never given a
// normal, collinear corners, a sliver, a tiny face, a quad bent off its plane.
Mesh *height_field(int n, const Vector3 &origin, double size, bool quads, Gen &g)
{
    Mesh *mesh = new Mesh(quads ? MESH_PRIM_QUAD : MESH_PRIM_TRI);
    std::vector<Vector3> p((n + 1) * (n + 1));
    for (int j = 0; j <= n; j++) {
        for (int i = 0; i <= n; i++) {
            double x = size * i / n, z = size * j / n;
            p[j * (n + 1) + i] = origin + Vector3(x, 0.3 * size * std::sin(3 * x / size + z / size), z);
        }
    }
    const Vector3 vn = normalize(Vector3(0.3, 1, 0.2));
    auto face = [&](const Vector3 &a, const Vector3 &b, const Vector3 &c, const Vector3 &d) {
        return face_of({a, b, c, d}, {vn, vn, vn, vn});
    };
    for (int j = 0; j < n; j++) {
        for (int i = 0; i < n; i++) {
            const Vector3 &a = p[j * (n + 1) + i], &b = p[j * (n + 1) + i + 1];
            const Vector3 &c = p[(j + 1) * (n + 1) + i + 1], &d = p[(j + 1) * (n + 1) + i];
            if (quads) {
                mesh->add_face(face(a, b, c, d));
            } else {
                mesh->add_face(face(a, b, c, a));
                mesh->add_face(face(a, c, d, a));
            }
        }
    }
    Face dup = *mesh->get_face(g.below(mesh->get_face_count()));
    mesh->add_face(dup);
    dup.norm = Vector3();
    mesh->add_face(dup);
    mesh->add_face(face(p[0], p[1], p[0] * 2.0 - p[1], p[0]));
    mesh->add_face(face(p[0], p[n], p[n] + Vector3(0, 3e-8, 0), p[0]));
    mesh->add_face(face(p[1], p[1] + Vector3(1e-5, 0, 0), p[1] + Vector3(0, 0, 1e-5), p[1]));
    mesh->add_face(face(p[2], p[3], p[n + 4], p[n + 3] + Vector3(0, 0.4 * size, 0)));
    return mesh;
}

// A closed box of two triangles a side: rays from inside, corners shared,
// added as the mesh reader adds them (normal indices of their own).
Mesh *closed_box(const Vector3 &lo, const Vector3 &hi)
{
    Mesh *mesh = new Mesh(MESH_PRIM_TRI);
    for (int i = 0; i < 8; i++) {
        mesh->add_position(Vector3(i & 1 ? hi.x : lo.x, i & 2 ? hi.y : lo.y, i & 4 ? hi.z : lo.z));
    }
    for (const Vector3 &n : {nx, ny, nz}) {
        mesh->add_normal(n);
    }
    const uint32_t sides[6][4] = {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 1, 5, 4}, {2, 6, 7, 3}, {0, 4, 6, 2}, {1, 3, 7, 5}};
    const uint32_t norms[3] = {0, 1, 2};
    for (const auto &q : sides) {
        const uint32_t first[3] = {q[0], q[1], q[2]}, second[3] = {q[0], q[2], q[3]};
        mesh->add_indexed_face(first, norms);
        mesh->add_indexed_face(second, norms);
    }
    return mesh;
}

// A scene of every kind of object: spheres (twins and touching pairs among
// them), meshes with shared edges, a closed box, flakes, planes, and objects
// that must stay out of the hierarchy (a faceless mesh, a negative radius).
// `marks` holds interesting points: corners, edges, sphere surfaces.
struct TestScene {
    Scene scene;
    std::vector<Mesh *> meshes;
    SphereFlake *deep;
    std::vector<Vector3> marks;

    TestScene(Gen &g, const Vector3 &at, double scale)
    {
        for (int i = 0; i < 300; i++) {
            add_sphere(at + g.point(-5, 5) * scale, g.uni(0.05, 0.8) * scale, g);
            const Sphere *s = static_cast<const Sphere *>(scene.get_objects().back());
            if (i % 17 == 0) {
                add_sphere(s->center, s->radius, g); // a twin: ties go to the first
            } else if (i % 23 == 0) {
                double r = g.uni(0.05, 0.5) * scale;
                add_sphere(s->center + g.unit() * (s->radius + r), r, g);
            }
        }
        meshes.push_back(height_field(12, at + Vector3(-4, -2, -4) * scale, 8 * scale, false, g));
        meshes.push_back(height_field(6, at + Vector3(-3, 1, -3) * scale, 6 * scale, true, g));
        meshes.push_back(closed_box(at + Vector3(1, -1, 1) * scale, at + Vector3(3, 1, 2.5) * scale));
        for (Mesh *m : meshes) {
            scene.add_object(m);
            for (int k = 0; k < 60; k++) {
                const Face *f = m->get_face(g.below(m->get_face_count()));
                marks.push_back(f->v[0].pos + (f->v[1].pos - f->v[0].pos) * g.uni(0, 1) * (k % 2) +
                                (f->v[2].pos - f->v[0].pos) * g.uni(0, 0.5) * (k % 3 == 0));
            }
        }
        scene.add_object(new Mesh(MESH_PRIM_TRI));
        for (int i = 0; i < 2; i++) {
            SphereFlake *f = create_sflake(at + g.point(-4, 4) * scale, 0.5 * scale, 3);
            scene.add_object(f);
            marks.push_back(f->center + g.unit() * f->radius);
        }
        // A deep flake: rays at spheres far down and at the points where a
        // sphere touches the one above it.
        deep = create_sflake(at + Vector3(-2, 3, 3) * scale, 0.8 * scale, 5);
        scene.add_object(deep);
        for (int k = 0; k < 40; k++) {
            const SphereFlake *f = deep;
            for (int level = g.below(5); level > 0; level--) {
                f = f->subflakes[g.below(6)];
            }
            marks.push_back(f->center + g.unit() * f->radius);
            marks.push_back(f->center + Vector3(0, 0, f->radius * (k % 2 ? 1 : -1)));
        }
        scene.add_object(new Plane(ny, at.y - 3 * scale));
        scene.add_object(new Plane(normalize(Vector3(0.2, 0.1, -1)), 8 * scale));
        add_sphere(at, -0.5 * scale, g);
    }

    void add_sphere(const Vector3 &c, double r, Gen &g)
    {
        scene.add_object(new Sphere(c, r));
        marks.push_back(c + g.unit() * r);
        marks.push_back(c + Vector3(r, 0, 0));
    }

    // Rays of many kinds: random, ending exactly on a mark or going on
    // through it, grazing, along an axis from a slab plane, starting on a
    // mark as a bounce does, from mark to mark as a shadow ray does, and odd
    // ones (far away, huge or tiny reach, NaN, infinite, zero).
    std::vector<Ray> rays(Gen &g, int count, const Vector3 &at, double scale) const
    {
        std::vector<Ray> out;
        for (int i = 0; i < count; i++) {
            Vector3 o = at + g.point(-8, 8) * scale;
            const Vector3 &mark = marks[g.below(marks.size())];
            const Vector3 &other = marks[g.below(marks.size())];
            Vector3 n = g.unit(), t = normalize(cross(n, g.unit()));
            Vector3 axis = g.direction(50 * scale);
            switch (g.below(9)) {
            case 0:
                out.push_back(Ray{o, g.direction((g.below(2) ? 1e4 : 8) * scale)});
                break;
            case 1: {
                // At the mark, or passing it as closely as the pre-tests' margins.
                Vector3 at = g.below(2) ? mark : mark + n * (scale * std::pow(10.0, g.uni(-16, -4)));
                out.push_back(Ray{o, g.below(2) ? at - o : (at - o) * 3.0});
                break;
            }
            case 2:
                out.push_back(
                    Ray{mark + n * (std::pow(10.0, g.uni(-12, -4)) * scale) - t * 10.0 * scale, t * 20.0 * scale});
                break;
            case 3:
                axis = g.below(2) ? Vector3(axis.x, 0.0, 0.0) : Vector3(-0.0, 0.0, axis.z);
                out.push_back(Ray{mark - axis * 0.5, axis});
                break;
            case 4:
                out.push_back(Ray{mark, g.direction(1e4 * scale)});
                break;
            case 5:
                out.push_back(Ray{mark, other - mark});
                break;
            case 6:
                o = g.point(-1, 1) * std::pow(10.0, g.uni(3, 9));
                out.push_back(Ray{o, (mark - o) * (g.below(2) ? 1.0 : 1.5)});
                break;
            case 7:
                out.push_back(Ray{mark, g.direction(std::pow(10.0, g.uni(-3, 12)))});
                break;
            default: {
                // Also values about the single-precision box test's limits.
                const double odd[] = {std::nan(""), HUGE_VAL, -HUGE_VAL, 0.0, 1e70, 1e-70, 8e-13, 1e-12, 1.2e12};
                Vector3 d = mark - o;
                (g.below(2) ? d : o).y = odd[g.below(9)];
                out.push_back(Ray{o, d});
            }
            }
        }
        return out;
    }
};

// A record that a miss must leave as it is.
Answer ask(const std::function<bool(IntInfo *)> &query)
{
    Answer a;
    a.rec.t = -42.0;
    a.rec.normal = Vector3(7, 7, 7);
    a.hit = query(&a.rec);
    a.bare = query(nullptr);
    return a;
}

std::string describe(const Ray &ray)
{
    char buf[256];
    snprintf(buf, sizeof buf, "origin (%.17g %.17g %.17g) dir (%.17g %.17g %.17g)", ray.origin.x, ray.origin.y,
             ray.origin.z, ray.dir.x, ray.dir.y, ray.dir.z);
    return buf;
}

// Rounding to single precision outwards: the nearest float on that side (the
// value itself when it is one), infinite beyond the range; and the cheaper
// steps strictly below and above (short of the range's end), also at zero
// and among the denormals.
TEST(RayQueries, FloatRoundingIsOutwardAndTight)
{
    Gen g(3);
    for (int i = 0; i < 4000; i++) {
        double x = (g.below(2) ? 1 : -1) * std::pow(2.0, g.uni(-160, 140));
        x = i < 2 ? (i ? -FLT_MAX : FLT_MAX) : i % 4 || std::fabs(x) > FLT_MAX ? x : static_cast<float>(x);
        x = i == 2 ? 0.0 : x;
        float lo = float_down(x), hi = float_up(x);
        bool is_float = static_cast<float>(x) == x;
        EXPECT_TRUE(lo <= x && x <= hi && (is_float ? lo == hi : std::nextafter(lo, HUGE_VALF) == hi)) << x;
        EXPECT_TRUE(std::fabs(x) > 1e38 || (float_below(x) < x && x < float_above(x))) << x;
    }
}

// The single-precision box test of the walks keeps every box that the double
// test keeps, with an entry no later, here for boxes whose planes lie on the
// ray (rounded outwards), a step inside that, or flat, some of them at an
// origin with zero components.
TEST(RayQueries, FloatBoxTestKeepsWhatTheDoubleTestKeeps)
{
    Gen g(9);
    int kept = 0;
    for (int i = 0; i < 20000; i++) {
        auto any = [&] { return (g.below(2) ? 1 : -1) * std::pow(10.0, g.uni(-13, 13)); };
        Ray ray{g.point(-1, 1) * std::pow(10.0, g.uni(-3, 12)), Vector3(any(), any(), any())};
        if (g.below(4) == 0) {
            ray.origin = Vector3(0.0, -0.0, ray.origin.z); // as from a camera on an axis
        }
        RaySlabs slabs(ray);
        FloatSlabs fs(slabs);
        WideNode node;
        for (int k = 0; k < 4 && fs.usable; k++) {
            // Now and then a box with a corner at the origin.
            Vector3 a = ray.origin + ray.dir * (g.below(4) ? g.uni(-0.5, 1.5) : 0.0);
            Vector3 b = ray.origin + ray.dir * g.uni(-0.5, 1.5);
            const double pa[3] = {a.x, a.y, a.z}, pb[3] = {b.x, b.y, b.z};
            for (int x = 0; x < 3; x++) {
                float lo = float_down(std::min(pa[x], pb[x])), hi = float_up(std::max(pa[x], pb[x]));
                int odd = g.below(4);
                lo = odd == 0 ? std::nextafter(lo, HUGE_VALF) : lo;
                node.lo[x][k] = lo;
                node.hi[x][k] = odd == 1 ? lo : std::max(lo, hi);
            }
        }
        double limit = g.below(2) ? 1.0 : g.uni(0, 1), near[4];
        float near_f[4];
        unsigned mask = fs.usable ? wide_reach(node, slabs, limit, near) : 0;
        unsigned mask_f = fs.usable ? wide_reach_float(node, fs, static_cast<float>(limit), near_f) : 0;
        for (int k = 0; k < 4; k++) {
            kept += mask >> k & 1;
            EXPECT_TRUE(!(mask >> k & 1) || ((mask_f >> k & 1) && near_f[k] <= near[k])) << describe(ray);
            // The scalar test of machines without SSE2 answers as the vector one.
            double near_s;
            bool reach = fs.usable && slab_reach(node.lo[0][k], node.lo[1][k], node.lo[2][k], node.hi[0][k],
                                                 node.hi[1][k], node.hi[2][k], slabs, limit, &near_s);
            EXPECT_TRUE(reach == (mask >> k & 1) && (!reach || same_bits(near_s, near[k]))) << describe(ray);
        }
    }
    EXPECT_GT(kept, 10000);
}

// The triangle pre-test, on leaves of one to eight triangles placed about
// one ray: a triangle that the ray's line crosses (inside, on an edge, at a
// corner) is always kept, however far the mesh's centre and the origin lie;
// one that the line passes clearly outside one edge of, neither grazing nor
// far from the centre for its size, is always dropped.
TEST(RayQueries, TrianglePretestKeepsCrossedTrianglesAndDropsClearMisses)
{
    Gen g(12);
    int dropped = 0;
    for (int i = 0; i < 4000; i++) {
        const bool near = g.below(2);
        const double size = std::pow(10.0, g.uni(-4, 4));
        const Vector3 centre = g.point(-1, 1) * size * (near ? 2.0 : std::pow(10.0, g.uni(0, 6)));
        const Ray ray{centre + g.point(-1, 1) * size * (near ? 4.0 : std::pow(10.0, g.uni(0, 6))),
                      g.unit() * size * std::pow(10.0, g.uni(0, 2))};
        const int count = 1 + g.below(8);
        std::vector<float> rows(PRETEST_ROWS * count + 8);
        unsigned must = 0, mustnt = 0;
        double coord = 0.0;
        for (int k = 0; k < count; k++) {
            Vector3 c[3] = {g.point(-1, 1) * size, g.point(-1, 1) * size, g.point(-1, 1) * size};
            // Weights of the point the line goes through: inside (one or
            // two of them 0 now and then), or a quarter outside one edge.
            double w[3] = {g.uni(0, 1), g.uni(0, 1), g.uni(0, 1)};
            const int kind = g.below(4), edge = g.below(3);
            w[edge] = kind == 0 ? -0.25 * (w[(edge + 1) % 3] + w[(edge + 2) % 3]) : kind == 1 ? 0.0 : w[edge];
            w[(edge + 1) % 3] = kind == 2 ? 0.0 : w[(edge + 1) % 3];
            const double sum = (w[0] + w[1]) + w[2];
            const Vector3 at = (c[0] * (w[0] / sum) + c[1] * (w[1] / sum)) + c[2] * (w[2] / sum);
            const Vector3 shift = ray.origin + ray.dir * g.uni(0.1, 0.9) - at;
            for (Vector3 &v : c) {
                v = v + shift;
                coord = std::max(coord, max_abs(v - centre));
            }
            pretest_rows(rows.data(), count, k, c[0], c[1], c[2], centre);
            const Vector3 n = cross(c[1] - c[0], c[2] - c[0]);
            const double e = std::max(max_abs(c[1] - c[0]), std::max(max_abs(c[2] - c[0]), max_abs(c[2] - c[1])));
            const bool clear = std::fabs(dot(normalize(n), normalize(ray.dir))) > 0.2 && length(n) > 0.1 * e * e &&
                               max_abs(ray.origin - centre) < 10.0 * size;
            must |= static_cast<unsigned>(kind != 0) << k;
            mustnt |= static_cast<unsigned>(kind == 0 && clear && near) << k;
        }
        TrianglePretest test(centre, coord * (1.0 + 1e-15), 0.0, ray);
        ASSERT_TRUE(test.usable);
        unsigned kept = test.maybe_hit(rows.data(), count, std::min(count, 4));
        if (count > 4) {
            kept |= test.maybe_hit(rows.data() + 4, count, count - 4) << 4;
        }
        EXPECT_EQ(kept & must, must) << describe(ray) << " " << i;
        EXPECT_EQ(kept & mustnt, 0u) << describe(ray) << " " << i;
        // The wider paths' whole-leaf test keeps and drops the same.
        for (Isa path : {Isa::AVX2, Isa::AVX512}) {
            LeafPretestFn wide = leaf_pretest_for(path);
            if (wide != nullptr && widest_isa() >= path) {
                EXPECT_EQ(wide(test, rows.data(), count), kept) << isa_name(path) << " " << i;
            }
        }
        dropped += __builtin_popcount(mustnt);
    }
    EXPECT_GT(dropped, 1000);
}

// A yes/no question first asks what answered yes to the last one of its
// octant on the thread. A mesh made where a bigger one was, and a flake and a
// scene made after bigger ones, must still answer as they should (under the
// address sanitizer, without reading past their own arrays).
TEST(RayQueries, YesNoQuestionsAfterTheirLastBlockerIsGone)
{
    alignas(Mesh) unsigned char storage[sizeof(Mesh)];
    auto sheet = [&](int n) {
        Mesh *m = new (storage) Mesh(MESH_PRIM_TRI);
        for (int i = 0; i < n; i++) {
            for (int j = 0; j < n; j++) {
                Vector3 a(i, j, 0), b(i + 1, j, 0), c(i + 1, j + 1, 0), d(i, j + 1, 0);
                m->add_face(face_of({a, b, c}, {nz, nz, nz}));
                m->add_face(face_of({a, c, d}, {nz, nz, nz}));
            }
        }
        m->calc_bbox();
        return m;
    };
    auto spheres = [](int n) {
        auto scene = std::make_unique<Scene>();
        for (int i = 0; i < n; i++) {
            scene->add_object(new Sphere(Vector3(i % 16 * 3.0, i / 16 * 3.0, 0), 1.0));
        }
        return scene;
    };
    const Vector3 down(0, 0, -4);
    for (int k = 0; k < 16; k++) {
        const Vector3 far(k + 0.5, k + 0.2, 2), near(0.5, 0.2, 2), beside(5.5, 0.2, 2);
        Mesh *big = sheet(16);
        EXPECT_TRUE(big->intersection(Ray{far, down}, nullptr));
        big->~Mesh();
        Mesh *small = sheet(1);
        EXPECT_TRUE(small->intersection(Ray{near, down}, nullptr));
        EXPECT_FALSE(small->intersection(Ray{beside, down}, nullptr));
        small->~Mesh();

        // A flake's spheres likewise: the small one has fewer than the
        // deep one's blocker may stand for.
        std::unique_ptr<SphereFlake> deep(create_sflake(Vector3(0, 0, 0), 1.0, 5));
        deep->calc_bbox();
        const Vector3 edge = deep->subflakes[k % 6]->subflakes[k / 6 % 6]->center;
        const Ray in{edge * 3.0, edge * -3.0 + Vector3(1e-3, 2e-3, 3e-3)};
        EXPECT_TRUE(deep->intersection(in, nullptr));
        deep.reset();
        std::unique_ptr<SphereFlake> shallow(create_sflake(Vector3(0, 0, 0), 1.0, 1));
        shallow->calc_bbox();
        EXPECT_TRUE(shallow->intersection(in, nullptr));
        EXPECT_FALSE(shallow->intersection(Ray{in.origin + Vector3(0, 9, 0), in.dir}, nullptr));

        auto many = spheres(256);
        EXPECT_TRUE(many->intersection(Ray{Vector3(k * 3.0, 45.0, 2), down}, nullptr));
        many.reset();
        auto few = spheres(2);
        EXPECT_TRUE(few->intersection(Ray{Vector3(0, 0, 2), down}, nullptr));
        EXPECT_FALSE(few->intersection(Ray{Vector3(k * 3.0 + 6.0, 45.0, 2), down}, nullptr));
    }
}

// The work of a random ray by the surface-area measure (every box tested in
// proportion to its area, every item of a leaf likewise, relative to the
// root's box), for boxes spread evenly and in a cluster: a builder that
// splits badly or bounds loosely costs more. Leaves hold their items in order.
TEST(RayQueries, TreesAreCheapToWalk)
{
    auto area = [](double dx, double dy, double dz) { return dx * dy + dy * dz + dz * dx; };
    Gen g(5);
    const double bound[2][2] = {{46.3, 78.0}, {38.7, 63.2}}; // this builder's, rounded up
    for (int clustered = 0; clustered < 2; clustered++) {
        std::vector<WideTree::Item> boxes;
        for (int i = 0; i < 4000; i++) {
            Vector3 c = clustered && i % 2 ? g.point(40, 45) : g.point(0, 100), r = Vector3(1, 2, 1) * g.uni(0.1, 3);
            boxes.push_back(WideTree::Item{float_box(c - r, c + r), static_cast<uint32_t>(i)});
        }
        for (int leaf : {2, 8}) {
            WideTree t;
            ASSERT_TRUE(t.build(boxes, leaf, 0.0, true));
            double cost = 0.0;
            for (const WideNode &n : t.nodes) {
                for (int k = 0; k < 4 && n.child[k] != WideTree::EMPTY; k++) {
                    uint32_t ref = n.child[k], first = ref & (WideTree::MAX_ITEMS - 1);
                    int items = ref & WideTree::LEAF ? (ref >> WideTree::COUNT_SHIFT & 7) + 1 : 0;
                    auto side = [&](int a) { return static_cast<double>(n.hi[a][k]) - n.lo[a][k]; };
                    cost += area(side(0), side(1), side(2)) * (1 + items);
                    for (int j = 1; j < items; j++) {
                        EXPECT_LT(t.order[first + j - 1], t.order[first + j]);
                    }
                }
            }
            Vector3 lo, hi;
            t.bounds(&lo, &hi);
            Vector3 d = hi - lo;
            EXPECT_LT(cost / area(d.x, d.y, d.z), bound[clustered][leaf == 8]) << clustered << " " << leaf;
        }
    }

    // A stray face that no ray can hit (its corners in a line, as in many
    // models) does not widen the box the scene's tree keeps for its mesh.
    Mesh m(MESH_PRIM_TRI);
    m.add_face(unit_tri(nz, nz, nz));
    m.add_face(face_of({{0, 0, 0}, {50, 50, 50}, {100, 100, 100}}, {nz, nz, nz}));
    m.calc_bbox();
    BBox box;
    double origin_cap, reach_cap;
    ASSERT_TRUE(m.reach_bounds(&box, &origin_cap, &reach_cap));
    EXPECT_LT(box.max.x, 2.0);
    EXPECT_LT(box.max.z, 2.0);
}

// The eight-wide form of a tree holds the four-wide form's leaves, each
// once, with the box it had, in nodes of up to eight children, fewer of them.
// Its walk, on every path this processor has, reaches every leaf that the
// four-wide walk reaches (a box the one tests is a box the other tests too,
// and the other boxes only prune), each once.
TEST(RayQueries, EightWideFormKeepsTheLeavesAndReachesThem)
{
    Gen g(8);
    std::vector<WideTree::Item> boxes;
    for (int i = 0; i < 3000; i++) {
        Vector3 c = i % 3 ? g.point(40, 45) : g.point(0, 100), r = Vector3(1, 2, 1) * g.uni(0.01, 3);
        boxes.push_back(WideTree::Item{float_box(c - r, c + r), static_cast<uint32_t>(i)});
    }
    WideTree four, eight;
    ASSERT_TRUE(four.build(boxes, 4, 0.0, true));
    ASSERT_TRUE(eight.build(boxes, 4, 0.0, true));
    ASSERT_TRUE(eight.widen());
    EXPECT_TRUE(eight.nodes.empty());
    EXPECT_LT(eight.nodes8.size() * 2, four.nodes.size() + 8);
    // Both forms bound exactly the items' boxes.
    float lo[3] = {HUGE_VALF, HUGE_VALF, HUGE_VALF}, hi[3] = {-HUGE_VALF, -HUGE_VALF, -HUGE_VALF};
    for (const WideTree::Item &item : boxes) {
        for (int a = 0; a < 3; a++) {
            lo[a] = std::min(lo[a], item.box.lo[a]);
            hi[a] = std::max(hi[a], item.box.hi[a]);
        }
    }
    for (const WideTree *tree : {&four, &eight}) {
        Vector3 tree_lo, tree_hi;
        tree->bounds(&tree_lo, &tree_hi);
        EXPECT_EQ((std::array<double, 6>{tree_lo.x, tree_lo.y, tree_lo.z, tree_hi.x, tree_hi.y, tree_hi.z}),
                  (std::array<double, 6>{lo[0], lo[1], lo[2], hi[0], hi[1], hi[2]}));
    }
    typedef std::vector<std::array<uint32_t, 7>> Leaves; // the reference, then its box's bits
    auto leaves = [](int width, int n, auto &&node_at) {
        Leaves out;
        for (int i = 0; i < n; i++) {
            const auto &node = node_at(i);
            for (int k = 0; k < width; k++) {
                if (node.child[k] != WideTree::EMPTY && (node.child[k] & WideTree::LEAF)) {
                    std::array<uint32_t, 7> e{node.child[k]};
                    for (int a = 0; a < 3; a++) {
                        std::memcpy(&e[1 + a], &node.lo[a][k], 4);
                        std::memcpy(&e[4 + a], &node.hi[a][k], 4);
                    }
                    out.push_back(e);
                }
            }
        }
        std::sort(out.begin(), out.end());
        return out;
    };
    const Leaves l4 =
        leaves(4, static_cast<int>(four.nodes.size()), [&](int i) -> const WideNode & { return four.nodes[i]; });
    EXPECT_EQ(l4, leaves(8, static_cast<int>(eight.nodes8.size()),
                         [&](int i) -> const WideNode8 & { return eight.nodes8[i]; }));

    // The leaves a walk reaches, by their first slot, with no hit to stop it.
    struct Collect {
        std::vector<uint32_t> seen;
        const WideTree *tree;
        double limit() const { return 1.0; }
        bool nearest_first() const { return true; }
        bool leaf(const uint32_t *items, int)
        {
            seen.push_back(static_cast<uint32_t>(items - tree->order.data()));
            return false;
        }
        static bool call(void *self, const uint32_t *items, int count, unsigned)
        {
            return static_cast<Collect *>(self)->leaf(items, count);
        }
    };
    for (Isa path : {Isa::AVX2, Isa::AVX512}) {
        Walk8Fn walk = walk8_for(path);
        if (walk == nullptr || widest_isa() < path) {
            continue;
        }
        int reached = 0;
        for (int i = 0; i < 2000; i++) {
            // Through the cluster, from outside and inside, now and then
            // along an axis or with a NaN, which the double test takes.
            Ray ray{i % 2 ? g.point(-20, 120) : g.point(40, 45), (g.point(42, 43) - g.point(-20, 120)) * 0.02};
            ray.dir.y = i % 7 == 0 ? 0.0 : i % 11 == 0 ? NAN : ray.dir.y;
            Collect a{{}, &four}, b{{}, &eight};
            walk_wide(four, RaySlabs(ray), a);
            for (bool nearest : {true, false}) {
                b.seen.clear();
                Walk8 w{Collect::call, &b, 1.0, nearest, nullptr, nullptr};
                walk(eight, RaySlabs(ray), w);
                std::sort(b.seen.begin(), b.seen.end());
                EXPECT_TRUE(std::adjacent_find(b.seen.begin(), b.seen.end()) == b.seen.end()) << isa_name(path);
                std::sort(a.seen.begin(), a.seen.end());
                EXPECT_TRUE(std::includes(b.seen.begin(), b.seen.end(), a.seen.begin(), a.seen.end()))
                    << isa_name(path) << " " << describe(ray);
            }
            reached += static_cast<int>(a.seen.size());
        }
        EXPECT_GT(reached, 2000);
    }
    // A cleared tree keeps nothing, its order of items included.
    for (WideTree *tree : {&four, &eight}) {
        tree->clear();
        EXPECT_TRUE(tree->empty() && tree->order.empty());
    }
}

// A mesh's set-up, read from the inside: what its hierarchy holds.
struct OpenMesh : Mesh {
    using Mesh::Mesh;
    std::string state() const
    {
        auto bytes = [](const void *p, size_t n) { return std::string(static_cast<const char *>(p), n); };
        std::string s = bytes(tree.nodes.data(), tree.nodes.size() * sizeof(WideNode)) + "|" +
                        bytes(tree.nodes8.data(), tree.nodes8.size() * sizeof(WideNode8)) + "|" +
                        bytes(tree.order.data(), tree.order.size() * 4) + "|" +
                        bytes(leaf_tris.data(), leaf_tris.size() * 4) + "|" +
                        bytes(face_norms.data(), face_norms.size() * sizeof(Vector3)) + "|" +
                        bytes(loose_faces.data(), loose_faces.size() * 4) + "|";
        for (double d : {origin_cap, reach_cap, pretest_reach, corner_coord, corner_centre.x, corner_centre.z}) {
            s += bytes(&d, sizeof d);
        }
        return s;
    }
};

// The hierarchies are the same, node for node and byte for byte, whatever
// the number of threads that build them: boxes in heaps and spread out,
// alike and clustered (median splits), and a mesh of triangles and one of
// quads with a few faces that cannot be bounded.
TEST(RayQueries, HierarchiesAreTheSameOnAnyNumberOfThreads)
{
    Gen g(27);
    std::vector<WideTree::Item> boxes;
    for (int i = 0; i < 40000; i++) {
        Vector3 c = i % 3 == 0 ? g.point(10, 10.5) : g.point(0, 100), r = Vector3(1, 1, 2) * g.uni(0.01, 2);
        if (i % 7 == 0) {
            c = Vector3(50, 50, 50); // alike: no plane separates them
        }
        boxes.push_back(WideTree::Item{float_box(c - r, c + r), static_cast<uint32_t>(i)});
    }
    WideTree one;
    ASSERT_TRUE(one.build(boxes, 8, 0.0, true));
    EXPECT_GT(one.nodes.size(), 2000u);
    // And it is the tree this builder has always made of them, in both
    // forms, on every machine (the arm64 build bins without SSE2): a change
    // to the builder that changes a tree shows here, and then the digests
    // are updated on purpose.
    WideTree wide = one;
    ASSERT_TRUE(wide.widen());
    ContentHash four, eight;
    four.add(one.nodes.data(), one.nodes.size() * sizeof(WideNode));
    four.add(one.order.data(), one.order.size() * sizeof(uint32_t));
    eight.add(wide.nodes8.data(), wide.nodes8.size() * sizeof(WideNode8));
    EXPECT_EQ(four.value, 0x4585c0b0b5f1b097u);
    EXPECT_EQ(eight.value, 0xfb586775dc2dc1b4u);
    for (int threads : {2, 3, 8}) {
        WideTree t;
        ASSERT_TRUE(t.build(boxes, 8, 0.0, true, WideTree::MAX_BINS, threads));
        ASSERT_EQ(t.nodes.size(), one.nodes.size()) << threads;
        EXPECT_EQ(std::memcmp(t.nodes.data(), one.nodes.data(), one.nodes.size() * sizeof(WideNode)), 0) << threads;
        EXPECT_EQ(t.order, one.order) << threads;
    }

    for (bool quads : {false, true}) {
        std::string first;
        for (int threads : {1, 2, 3}) {
            Gen same(28);
            std::unique_ptr<Mesh> m(height_field(quads ? 110 : 140, Vector3(-1, 0, -1), 2, quads, same));
            OpenMesh open(quads ? MESH_PRIM_QUAD : MESH_PRIM_TRI);
            for (int f = 0; f < m->get_face_count(); f++) {
                open.add_face(*m->get_face(f));
            }
            // Slivers far apart, asked for every ray.
            open.add_face(face_of({{0, 0, 0}, {1e-9, 0, 0}, {1e9, 1e-9, 0}, {0, 0, 0}}, {ny, ny, ny, ny}));
            open.set_build_threads(threads);
            open.calc_bbox();
            EXPECT_GT(open.hierarchy_bytes(), 0u);
            if (threads == 1) {
                first = open.state();
            } else {
                EXPECT_TRUE(open.state() == first) << quads << " " << threads;
            }
        }
    }
}

// A node made by hand: its children first, then its own objects, the first
// of equal hits kept.
TEST(RayQueries, HandMadeNodeTakesTheNearestOfChildrenAndObjects)
{
    Sphere near_sphere(Vector3(0, 0, 3), 1), far_sphere(Vector3(0, 0, 6), 1), twin(Vector3(0, 0, 3), 1);
    BBoxNode root(BBox(Vector3(-9, -9, -9), Vector3(9, 9, 9)));
    BBoxNode *child = new BBoxNode(BBox(Vector3(-1, -1, 2), Vector3(1, 1, 4)));
    child->add_object(&near_sphere);
    root.add_child(child);
    root.add_object(&far_sphere);
    root.add_object(&twin);
    for (Sphere *s : {&near_sphere, &far_sphere, &twin}) {
        s->calc_bbox();
    }
    IntInfo rec;
    ASSERT_TRUE(root.intersection(Ray{Vector3(0, 0, 0), Vector3(0, 0, 10)}, &rec));
    EXPECT_EQ(rec.object, &near_sphere);
    EXPECT_EQ(rec.t, 0.2);
}

// Near the origin, at a small scale, and far from it where rounding is
// coarse; a mesh alone and the whole scene; with an object ignored, or passed
// over as the shader passes over the light of a shadow ray.
TEST(RayQueries, AcceleratedWalkAnswersAsTheFlatWalk)
{
    struct Case {
        unsigned seed;
        Vector3 at;
        double scale;
    } cases[] = {
        {1, {0, 0, 0}, 1.0}, {2, {0.25, -0.5, 0.125}, 0.01}, {3, {4000, -3000, 6000}, 1.0}, {4, {-1e5, 2e5, 0.5}, 1e3}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.seed);
        Gen g(c.seed);
        TestScene ts(g, c.at, c.scale);
        std::vector<Ray> rays = ts.rays(g, 4000, c.at, c.scale);
        const std::vector<Object *> &objs = ts.scene.get_objects();
        Object *passed = objs[g.below(objs.size())];
        std::vector<Answer> flat[3], fast[3];
        for (bool accelerated : {false, true}) {
            ts.scene.set_accelerated(accelerated);
            std::vector<Answer> *out = accelerated ? fast : flat;
            for (const Ray &ray : rays) {
                out[0].push_back(ask([&](IntInfo *rec) { return ts.scene.intersection(ray, rec); }));
                out[1].push_back(ask([&](IntInfo *rec) { return ts.scene.intersection(ray, rec, passed); }));
                out[2].push_back(ask([&](IntInfo *rec) { return ts.meshes[0]->intersection(ray, rec); }));
            }
        }
        // Passing over answers as ignoring does, in the flat walk.
        passed->ignore = true;
        ts.scene.set_accelerated(false);
        int failures = 0, hits = 0;
        for (size_t i = 0; i < rays.size() && failures < 5; i++) {
            Answer ignored = ask([&](IntInfo *rec) { return ts.scene.intersection(rays[i], rec); });
            bool ok = same(flat[0][i], fast[0][i]) && same(ignored, flat[1][i]) && same(flat[1][i], fast[1][i]) &&
                      same(flat[2][i], fast[2][i]);
            failures += !ok;
            EXPECT_TRUE(ok) << "ray " << i << " " << describe(rays[i]);
            hits += flat[0][i].hit + flat[2][i].hit;
        }
        passed->ignore = false;
        EXPECT_GT(hits, 1000); // the rays do meet things (past the root cube, only the mesh alone)
        // A real hierarchy below the root cube, with only the planes, the
        // inverted boxes and the meshes holding slivers in the root's list.
        ts.scene.set_accelerated(true);
        const BBoxNode *root = ts.scene.get_bbtree();
        EXPECT_GE(root->get_objects().size(), 4u);
        EXPECT_LE(root->get_objects().size(), 6u);
        EXPECT_EQ(root->hierarchy_size() + root->get_objects().size(), objs.size());
        EXPECT_TRUE(ts.deep->is_indexed());

        // Each mesh alone, its tree built for each vector path this
        // processor has (four-wide for SSE2, eight-wide beyond), against
        // the flat walk.
        std::vector<Answer> flat_mesh;
        ts.scene.set_accelerated(false);
        for (const Mesh *m : ts.meshes) {
            EXPECT_FALSE(m->is_accelerated()); // the scene's walk hands its choice on
            for (const Ray &ray : rays) {
                flat_mesh.push_back(ask([&](IntInfo *rec) { return m->intersection(ray, rec); }));
            }
        }
        ts.scene.set_accelerated(true);
        const Isa was = active_isa();
        size_t four_wide_bytes = 0;
        for (Isa path : {Isa::SSE2, Isa::AVX2, Isa::AVX512}) {
            // No wider than the processor has; SSE2 on every x86-64.
            const Isa got = choose_isa(path);
            EXPECT_EQ(got, std::min(path, widest_isa()));
            if (got != path) {
                continue;
            }
            SCOPED_TRACE(isa_name(path));
            failures = 0;
            for (size_t k = 0; k < ts.meshes.size(); k++) {
                Mesh *m = ts.meshes[k];
                m->calc_bbox();
                if (k == 0) {
                    // The eight-wide form is another size of tree.
                    four_wide_bytes = path == Isa::SSE2 ? m->hierarchy_bytes() : four_wide_bytes;
                    EXPECT_EQ(m->hierarchy_bytes() == four_wide_bytes, walk8_for(path) == nullptr);
                }
                for (size_t i = 0; i < rays.size() && failures < 5; i++) {
                    bool ok = same(flat_mesh[k * rays.size() + i],
                                   ask([&](IntInfo *rec) { return m->intersection(rays[i], rec); }));
                    failures += !ok;
                    EXPECT_TRUE(ok) << "mesh " << k << " ray " << i << " " << describe(rays[i]);
                }
            }
        }
        choose_isa(was);
        for (Mesh *m : ts.meshes) {
            m->calc_bbox();
        }
    }
}

} // namespace
