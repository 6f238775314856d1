#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "intinfo.h"
#include "mesh.h"
#include "support.h"

namespace
{

// Straight down onto z = 0 from z = 1, reaching z = -1: hits there at t 0.5.
Ray down_at(double x, double y)
{
    return Ray{Vector3(x, y, 1), Vector3(0, 0, -2)};
}

// A face with the given corners and vertex normals, its normal computed.
Face make_face(std::initializer_list<Vector3> pos, std::initializer_list<Vector3> norm = {})
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

const Vector3 nx(1, 0, 0), ny(0, 1, 0), nz(0, 0, 1), ndown(0, -1, 0);

// The unit triangle and the unit square in z = 0, facing +z.
Face unit_tri(const Vector3 &na = nx, const Vector3 &nb = ny, const Vector3 &nc = nz)
{
    return make_face({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {na, nb, nc});
}

Face unit_quad(const Vector3 &na, const Vector3 &nb, const Vector3 &nc, const Vector3 &nd)
{
    return make_face({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}}, {na, nb, nc, nd});
}

} // namespace

TEST(Mesh, FacesAndPrimitive)
{
    Mesh mesh(MESH_PRIM_TRI);
    EXPECT_EQ(mesh.get_face(0), nullptr);
    mesh.add_face(unit_tri());
    const Mesh &cmesh = mesh;
    EXPECT_EQ(mesh.get_face(-1), nullptr);
    EXPECT_EQ(cmesh.get_face(1), nullptr);
    ASSERT_NE(cmesh.get_face(0), nullptr);
    expect_same(cmesh.get_face(0)->norm, nz);

    testing::internal::CaptureStderr();
    mesh.set_primitive(static_cast<MeshPrim>(5));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "invalid primitive\n");
    EXPECT_FALSE(mesh.has_face_test());
    mesh.calc_bbox();
    EXPECT_FALSE(mesh.intersection(down_at(0.25, 0.25), nullptr));
}

TEST(Mesh, Hits)
{
    struct Case {
        const char *what;
        MeshPrim prim;
        Face face;
        double x, y;
        Vector3 normal;
    } cases[] = {
        {"weights (0.5, 0.25, 0.25)", MESH_PRIM_TRI, unit_tri(), 0.25, 0.25, normalize(Vector3(0.5, 0.25, 0.25))},
        {"weights (0.25, 0.5, 0.25)", MESH_PRIM_TRI, unit_tri(), 0.5, 0.25, normalize(Vector3(0.25, 0.5, 0.25))},
        {"equal vertex normals", MESH_PRIM_TRI, unit_tri(ny, ny, ny), 0.25, 0.25, ny},
        {"just outside an edge, inside the tolerance", MESH_PRIM_TRI, unit_tri(nz, nz, nz), 0.5, 0.5 + 1e-9, nz},
        // The face normal only places the plane; the vertex normals are reported.
        {"vertex normals facing away", MESH_PRIM_TRI, unit_tri(-nz, -nz, -nz), 0.2, 0.2, -nz},
        {"quad, first half (v0, v1, v2)", MESH_PRIM_QUAD, unit_quad(nx, ny, nz, nx), 0.5, 0.25,
         normalize(Vector3(0.5, 0.25, 0.25))},
        {"quad, second half (v0, v2, v3)", MESH_PRIM_QUAD, unit_quad(nx, ndown, nz, ny), 0.25, 0.75,
         normalize(Vector3(0.25, 0.5, 0.25))},
        // Just across the diagonal into the second half, but within the first
        // half's tolerance: the first half takes it, so v[1] shows, not v[3].
        {"quad, the diagonal's band goes to the first half", MESH_PRIM_QUAD, unit_quad(nx, ndown, nx, ny), 0.5,
         0.5 + 1e-9, normalize(Vector3(1, -1e-9, 0))},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Mesh mesh(c.prim);
        mesh.add_face(c.face);
        mesh.calc_bbox();
        IntInfo rec;
        ASSERT_TRUE(mesh.intersection(down_at(c.x, c.y), &rec));
        EXPECT_EQ(rec.t, 0.5);
        expect_same(rec.i_point, Vector3(c.x, c.y, 0));
        EXPECT_NEAR(rec.normal.x, c.normal.x, 1e-15);
        EXPECT_NEAR(rec.normal.y, c.normal.y, 1e-15);
        EXPECT_NEAR(rec.normal.z, c.normal.z, 1e-15);
        EXPECT_EQ(std::signbit(rec.normal.y), std::signbit(c.normal.y));
        EXPECT_EQ(rec.object, &mesh);
        EXPECT_TRUE(mesh.intersection(down_at(c.x, c.y), nullptr));
    }
}

TEST(Mesh, Misses)
{
    Face no_normal = unit_tri();
    no_normal.norm = Vector3();
    struct Case {
        const char *what;
        Face face;
        Ray ray;
    } cases[] = {
        {"just outside the long edge", unit_tri(), down_at(0.5, 0.5 + 1e-6)},
        {"outside a short edge", unit_tri(), down_at(0.5, -1e-6)},
        {"face normal never computed", no_normal, down_at(0.25, 0.25)},
        {"parallel, in the plane", unit_tri(), {{-1, 0.25, 0}, {4, 0, 0}}},
        {"t below 1e-6", unit_tri(), {{0.25, 0.25, 1e-7}, {0, 0, -2}}},
        {"tiny triangle (area below 1e-8)", make_face({{0, 0, 0}, {1e-5, 0, 0}, {0, 1e-5, 0}}), down_at(2e-6, 2e-6)},
        {"first three corners on a line", make_face({{0, 0, 0}, {1, 0, 0}, {2, 0, 0}}), {{0.5, -0.5, 1}, {0, 1, -2}}},
        {"coincident corners", make_face({{0, 0, 0}, {0, 0, 0}, {0, 1, 0}}), {{-0.5, 0.5, 1}, {1, 0, -2}}},
    };
    for (const Case &c : cases) {
        for (MeshPrim prim : {MESH_PRIM_TRI, MESH_PRIM_QUAD}) {
            SCOPED_TRACE(testing::Message() << c.what << ", " << prim << " corners");
            Face f = c.face;
            f.v[3] = f.v[2]; // as a quad, the second half is degenerate
            Mesh mesh(prim);
            mesh.add_face(f);
            mesh.calc_bbox();
            IntInfo rec;
            rec.t = -7.0;
            EXPECT_FALSE(mesh.intersection(c.ray, &rec));
            EXPECT_FALSE(mesh.intersection(c.ray, nullptr));
            EXPECT_EQ(rec.t, -7.0);
        }
    }

    Mesh ignored(MESH_PRIM_TRI);
    ignored.add_face(unit_tri());
    ignored.calc_bbox();
    ignored.ignore = true;
    EXPECT_FALSE(ignored.intersection(down_at(0.25, 0.25), nullptr));
}

TEST(Mesh, NearestFaceAndTies)
{
    Face lower = make_face({{0, 0, -0.5}, {1, 0, -0.5}, {0, 1, -0.5}}, {nx, nx, nx});
    struct Case {
        const char *what;
        Face first, second;
        Vector3 normal;
    } cases[] = {
        {"equal t: the earlier face", unit_tri(nx, nx, nx), unit_tri(ny, ny, ny), nx},
        {"later face strictly nearer", lower, unit_tri(ny, ny, ny), ny},
        {"earlier face strictly nearer", unit_tri(ny, ny, ny), lower, ny},
    };
    for (const Case &c : cases) {
        Mesh mesh(MESH_PRIM_TRI);
        mesh.add_face(c.first);
        mesh.add_face(c.second);
        mesh.calc_bbox();
        IntInfo rec;
        ASSERT_TRUE(mesh.intersection(down_at(0.25, 0.25), &rec)) << c.what;
        EXPECT_EQ(rec.t, 0.5) << c.what;
        EXPECT_EQ(rec.normal.x, c.normal.x) << c.what;
    }
}

TEST(Mesh, CalcBboxAndLight)
{
    Face f = make_face({{0, 1, 2}, {3, -1, 0}, {1, 4, -2}, {100, 100, 100}});
    Mesh tri(MESH_PRIM_TRI);
    tri.add_face(f);
    tri.add_face(make_face({{-5, 0, 0}, {0, 0, 0}, {0, 0, 1}, {-100, -100, -100}}));
    tri.calc_bbox();
    expect_same(tri.get_bbox().min, Vector3(-5, -1, -2)); // fourth corners ignored
    expect_same(tri.get_bbox().max, Vector3(3, 4, 2));

    Mesh quad(MESH_PRIM_QUAD);
    quad.add_face(f);
    quad.calc_bbox();
    expect_same(quad.get_bbox().min, Vector3(0, -1, -2));
    expect_same(quad.get_bbox().max, Vector3(100, 100, 100));

    // Without faces: an inverted box, never a light, sampled without drawing.
    const double big = 1.7976931348623157e+308;
    Mesh empty(MESH_PRIM_TRI);
    empty.calc_bbox();
    expect_same(empty.get_bbox().min, Vector3(big, big, big));
    expect_same(empty.get_bbox().max, Vector3(-big, -big, -big));
    empty.get_material()->ke = Vector3(1, 1, 1);
    EXPECT_FALSE(empty.is_light());
    Vector3 p(9, 9, 9);
    EXPECT_EQ(count_draws([&] { p = empty.sample(); }), 0);
    expect_same(p, Vector3());
    empty.add_face(unit_tri());
    EXPECT_TRUE(empty.is_light());
}

// The triangle rule from two given draws: v0 + (edge_a * u + edge_b * v),
// folded back into the triangle when u + v > 1.
static Vector3 tri_point(const Vector3 &a, const Vector3 &b, const Vector3 &c, int r1, int r2)
{
    double u = r1 / 2147483647.0, v = r2 / 2147483647.0;
    if (u + v > 1.0) {
        u = 1.0 - u;
        v = 1.0 - v;
    }
    return a + ((b - a) * u + (c - a) * v);
}

TEST(Mesh, SampleKnownAnswers)
{
    const Vector3 p0(1, 0, 0), p1(3, 0, 0), p2(3, 1, 0), p3(1, 3, 0); // halves of area 1 and 3
    Face f = make_face({p0, p1, p2, p3});
    EXPECT_EQ(count_draws([&] { f.sample(MESH_PRIM_TRI); }), 2);
    EXPECT_EQ(count_draws([&] { f.sample(MESH_PRIM_QUAD); }), 3);

    int folded = 0, second = 0;
    for (unsigned seed = 1; seed <= 40; seed++) {
        srand(seed);
        int r1 = rand(), r2 = rand(), r3 = rand();
        folded += r1 / 2147483647.0 + r2 / 2147483647.0 > 1.0;
        srand(seed);
        expect_same(f.sample(MESH_PRIM_TRI), tri_point(p0, p1, p2, r1, r2));

        bool first_half = r1 / 2147483647.0 * (1.0 + 3.0) < 1.0;
        second += !first_half;
        srand(seed);
        expect_same(f.sample(MESH_PRIM_QUAD),
                    first_half ? tri_point(p0, p1, p2, r2, r3) : tri_point(p0, p2, p3, r2, r3));
    }
    EXPECT_GT(folded, 0);
    EXPECT_GT(second, 0);
    EXPECT_LT(second, 40);

    // The mesh draws the face number trunc(rand() * 2^-31 * count) first.
    Mesh mesh(MESH_PRIM_QUAD);
    mesh.add_face(f);
    mesh.add_face(make_face({{0, 0, 5}, {1, 0, 5}, {1, 1, 5}, {0, 1, 5}}));
    EXPECT_EQ(count_draws([&] { mesh.sample(); }), 4);
    for (unsigned seed = 1; seed <= 20; seed++) {
        srand(seed);
        int idx = static_cast<int>(rand() * 4.656612873077393e-10 * 2);
        srand(seed);
        EXPECT_EQ(mesh.sample().z, idx == 0 ? 0.0 : 5.0) << seed;
    }
    Mesh tris(MESH_PRIM_TRI);
    tris.add_face(unit_tri());
    EXPECT_EQ(count_draws([&] { tris.sample(); }), 3);
}
