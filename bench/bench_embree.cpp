// rt against Embree 3, side by side in one process: the same rays through
// Scene::intersection and through rtcIntersect1 / rtcOccluded1 (one ray at a
// time, build quality medium, one thread), in alternating rounds; the
// figures are the medians of the rounds. Embree is a dependency of this
// benchmark only; rt never links it.
//
//   build-bench/bench/rt_vs_embree queries [ROUNDS]
//   build-bench/bench/rt_vs_embree paths [ROUNDS [SCENE]]
//   build-bench/bench/rt_vs_embree scale FILE.scene ...   (least of 3 rounds)
//   build-bench/bench/rt_vs_embree profile SCENE KIND [ROUNDS]
//
// Query scenes: a generated mechanical part (plates, ribs, bolts, bores and
// gear teeth: many small features, thin faces, triangles of every size,
// about 124,000 of them), a bumpy sphere of 999,698 triangles and 2,000
// spheres. Rays: primary (a 640 x 480 frame), incoherent (from each primary
// hit, a cosine-distributed direction about the normal, 10000 long, as a
// bounce) and shadow (from each primary hit to a light, any hit).
//
// The paths mode races rt on the SSE2 path (its scene built again for it) as
// well as on the widest path this processor has (or the one RT_ISA names),
// alternating with Embree, and prints the ratio of each to Embree.
//
// The profile mode sends one kind of rays (primary, incoherent or shadow) of
// one scene (part, bumpy or spheres) through rt alone, ROUNDS times, for a
// profiler to watch.
//
// The scale mode loads each scene file with rt's reader (time and MB/s of
// its mesh data files), builds rt's hierarchies, and builds Embree's over
// the same triangles, single-threaded, medium quality.
#include <embree3/rtcore.h>

#include <sys/stat.h>
#include <sys/time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "accel/isa.h"
#include "camera.h"
#include "mesh.h"
#include "scene.h"
#include "sphere.h"
#include "sphere_field.h"

namespace
{

double now()
{
    timeval tv;
    gettimeofday(&tv, nullptr);
    return tv.tv_sec + tv.tv_usec * 1e-6;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// ---- the generated geometry, kept as indexed triangles for both ----

struct TriSoup {
    std::vector<Vector3> pos, norm;
    std::vector<uint32_t> idx; // three per triangle; the normal index is the position index

    uint32_t vertex(const Vector3 &p, const Vector3 &n)
    {
        pos.push_back(p);
        norm.push_back(normalize(n));
        return static_cast<uint32_t>(pos.size() - 1);
    }
    void tri(uint32_t a, uint32_t b, uint32_t c)
    {
        idx.push_back(a);
        idx.push_back(b);
        idx.push_back(c);
    }
    size_t count() const { return idx.size() / 3; }

    // A flat quad a b c d (counter-clockwise from the front), own corners.
    void quad(const Vector3 &a, const Vector3 &b, const Vector3 &c, const Vector3 &d)
    {
        Vector3 n = cross(b - a, c - a);
        uint32_t i = vertex(a, n), j = vertex(b, n), k = vertex(c, n), l = vertex(d, n);
        tri(i, j, k);
        tri(i, k, l);
    }
    void box(const Vector3 &lo, const Vector3 &hi)
    {
        Vector3 c[8];
        for (int i = 0; i < 8; i++) {
            c[i] = Vector3(i & 1 ? hi.x : lo.x, i & 2 ? hi.y : lo.y, i & 4 ? hi.z : lo.z);
        }
        quad(c[0], c[2], c[3], c[1]);
        quad(c[4], c[5], c[7], c[6]);
        quad(c[0], c[1], c[5], c[4]);
        quad(c[2], c[6], c[7], c[3]);
        quad(c[0], c[4], c[6], c[2]);
        quad(c[1], c[3], c[7], c[5]);
    }
    // A smooth tube along y (outside, or inside for a bore), with a ring of
    // flat cap quads between r_in and r_out at each end when r_in > 0.
    void tube(const Vector3 &base, double r_out, double r_in, double h, int seg, int rings)
    {
        for (int side = 0; side < (r_in > 0 ? 2 : 1); side++) {
            double r = side == 0 ? r_out : r_in;
            double s = side == 0 ? 1.0 : -1.0;
            uint32_t first = static_cast<uint32_t>(pos.size());
            for (int i = 0; i <= rings; i++) {
                for (int j = 0; j < seg; j++) {
                    double a = 2 * M_PI * j / seg;
                    Vector3 n(std::cos(a) * s, 0, std::sin(a) * s);
                    vertex(base + Vector3(std::cos(a) * r, h * i / rings, std::sin(a) * r), n);
                }
            }
            for (int i = 0; i < rings; i++) {
                for (int j = 0; j < seg; j++) {
                    uint32_t a = first + i * seg + j, b = first + i * seg + (j + 1) % seg;
                    uint32_t c = a + seg, d = b + seg;
                    if (side == 0) {
                        tri(a, c, b);
                        tri(b, c, d);
                    } else {
                        tri(a, b, c);
                        tri(b, d, c);
                    }
                }
            }
        }
        for (int end = 0; end < 2 && r_in > 0; end++) {
            double y = end * h;
            for (int j = 0; j < seg; j++) {
                double a0 = 2 * M_PI * j / seg, a1 = 2 * M_PI * (j + 1) / seg;
                Vector3 p0 = base + Vector3(std::cos(a0) * r_in, y, std::sin(a0) * r_in);
                Vector3 p1 = base + Vector3(std::cos(a0) * r_out, y, std::sin(a0) * r_out);
                Vector3 p2 = base + Vector3(std::cos(a1) * r_out, y, std::sin(a1) * r_out);
                Vector3 p3 = base + Vector3(std::cos(a1) * r_in, y, std::sin(a1) * r_in);
                if (end == 0) {
                    quad(p0, p1, p2, p3);
                } else {
                    quad(p0, p3, p2, p1);
                }
            }
        }
    }
    // A hexagonal bolt head with a thin washer under it.
    void bolt(const Vector3 &at, double r)
    {
        tube(at, 1.3 * r, 0.55 * r, 0.08 * r, 24, 1);
        tube(at + Vector3(0, 0.08 * r, 0), r, 0.0, 0.7 * r, 6, 2);
        Vector3 top = at + Vector3(0, 0.78 * r, 0);
        uint32_t c = vertex(top, Vector3(0, 1, 0));
        uint32_t first = static_cast<uint32_t>(pos.size());
        for (int j = 0; j < 6; j++) {
            double a = 2 * M_PI * j / 6;
            vertex(top + Vector3(std::cos(a) * r, 0, std::sin(a) * r), Vector3(0, 1, 0));
        }
        for (int j = 0; j < 6; j++) {
            tri(c, first + (j + 1) % 6, first + j);
        }
    }
    // A gear of `teeth` teeth, extruded along y.
    void gear(const Vector3 &at, double r, int teeth, double h)
    {
        int n = teeth * 4;
        std::vector<Vector3> ring;
        for (int j = 0; j < n; j++) {
            double a = 2 * M_PI * j / n, rr = (j % 4 < 2) ? r * 1.08 : r;
            ring.push_back(Vector3(std::cos(a) * rr, 0, std::sin(a) * rr));
        }
        Vector3 up(0, h, 0);
        uint32_t cb = vertex(at, Vector3(0, -1, 0)), ct = vertex(at + up, Vector3(0, 1, 0));
        for (int j = 0; j < n; j++) {
            const Vector3 &p = ring[j], &q = ring[(j + 1) % n];
            quad(at + p, at + q, at + q + up, at + p + up);
            tri(cb, vertex(at + q, Vector3(0, -1, 0)), vertex(at + p, Vector3(0, -1, 0)));
            tri(ct, vertex(at + p + up, Vector3(0, 1, 0)), vertex(at + q + up, Vector3(0, 1, 0)));
        }
    }
};

// Plates with ribs, rows of bolts, bored bosses and gears.
TriSoup mechanical_part()
{
    TriSoup s;
    s.box(Vector3(-2, 0, -1.5), Vector3(2, 0.12, 1.5));
    s.box(Vector3(-2, 0.12, -1.5), Vector3(-1.9, 1.2, 1.5));
    for (int i = 0; i < 24; i++) {
        double x = -1.8 + 3.6 * i / 23;
        s.box(Vector3(x - 0.005, 0.12, -1.4), Vector3(x + 0.005, 0.3 + 0.2 * (i % 3), 1.4)); // thin ribs
    }
    for (int i = 0; i < 18; i++) {
        for (int j = 0; j < 14; j++) {
            s.bolt(Vector3(-1.75 + 3.5 * i / 17, 0.12, -1.35 + 2.7 * j / 13), 0.035 + 0.01 * ((i + j) % 3));
        }
    }
    for (int i = 0; i < 6; i++) {
        s.tube(Vector3(-1.2 + 0.48 * i, 0.12, 0.0), 0.17, 0.09, 0.5 + 0.1 * i, 96, 24);
    }
    for (int i = 0; i < 4; i++) {
        s.gear(Vector3(-1.2 + 0.8 * i, 0.62, -0.8), 0.25 + 0.05 * i, 60 + 20 * i, 0.06);
        s.tube(Vector3(-1.2 + 0.8 * i, 0.12, -0.8), 0.05, 0.03, 0.56, 32, 8);
    }
    return s;
}

TriSoup bumpy_sphere(int n)
{
    TriSoup s;
    const Vector3 center(0, 1.5, 0);
    const double radius = 1.4;
    for (int i = 0; i <= n; i++) {
        for (int j = 0; j < n; j++) {
            double theta = M_PI * i / n, phi = 2.0 * M_PI * j / n;
            Vector3 dir(std::sin(theta) * std::cos(phi), std::cos(theta), std::sin(theta) * std::sin(phi));
            double r = radius * (1.0 + 0.06 * std::sin(9.0 * theta) * std::cos(7.0 * phi));
            s.vertex(center + dir * r, dir);
        }
    }
    for (int i = 0; i < n; i++) {
        for (int j = 0; j < n; j++) {
            uint32_t a = i * n + j, b = (i + 1) * n + j, c = (i + 1) * n + (j + 1) % n, d = i * n + (j + 1) % n;
            s.tri(a, c, b);
            s.tri(a, d, c);
        }
    }
    return s;
}

Mesh *rt_mesh(const TriSoup &s)
{
    Mesh *m = new Mesh(MESH_PRIM_TRI);
#ifdef RT_FACES_BY_VALUE
    // For a run against sources that keep faces by value.
    for (size_t f = 0; f < s.count(); f++) {
        Face face;
        for (int k = 0; k < 3; k++) {
            face.v[k].pos = s.pos[s.idx[3 * f + k]];
            face.v[k].norm = s.norm[s.idx[3 * f + k]];
        }
        face.calc_normal();
        m->add_face(face);
    }
#else
    for (size_t i = 0; i < s.pos.size(); i++) {
        m->add_position(s.pos[i]);
        m->add_normal(s.norm[i]);
    }
    for (size_t f = 0; f < s.count(); f++) {
        m->add_indexed_face(&s.idx[3 * f], &s.idx[3 * f]);
    }
#endif
    return m;
}

RTCGeometry embree_mesh(RTCDevice dev, const std::vector<Vector3> &pos, const std::vector<uint32_t> &idx)
{
    RTCGeometry g = rtcNewGeometry(dev, RTC_GEOMETRY_TYPE_TRIANGLE);
    float *v = static_cast<float *>(
        rtcSetNewGeometryBuffer(g, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3, 3 * sizeof(float), pos.size()));
    for (size_t i = 0; i < pos.size(); i++) {
        v[3 * i] = static_cast<float>(pos[i].x);
        v[3 * i + 1] = static_cast<float>(pos[i].y);
        v[3 * i + 2] = static_cast<float>(pos[i].z);
    }
    unsigned *t = static_cast<unsigned *>(
        rtcSetNewGeometryBuffer(g, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3, 3 * sizeof(unsigned), idx.size() / 3));
    std::copy(idx.begin(), idx.end(), t);
    rtcCommitGeometry(g);
    return g;
}

// ---- one query scene in both ----

struct Bench {
    const char *name;
    Scene scene;
    std::unique_ptr<Scene> narrow; // in the paths mode: the scene again, built for SSE2
    RTCDevice dev;
    RTCScene escene;
    std::vector<Ray> primary, bounce, shadow;
};

void make_rays(Bench *b, const Camera &cam, const Vector3 &light)
{
    const int w = 640, h = 480;
    // A fixed generator of its own for the bounce directions.
    unsigned state = 777;
    auto next = [&] {
        state = state * 1664525u + 1013904223u;
        return (state >> 8) / 16777216.0;
    };
    for (int y = 0; y < h; y++) {
        for (int x = 0; x < w; x++) {
            double xpos = ((x + 0.5) + (x + 0.5)) / w - 1.0;
            double ypos = ((y + 0.5) * -2.0) / h + 1.0;
            Ray ray = cam.get_primary_ray(xpos, ypos * h / w);
            b->primary.push_back(ray);
            IntInfo hit;
            if (!b->scene.intersection(ray, &hit)) {
                continue;
            }
            Vector3 n = hit.normal;
            if (dot(n, ray.dir) > 0.0) {
                n = -n;
            }
            // Cosine-distributed about n.
            double u1 = next(), u2 = next(), r = std::sqrt(u1), phi = 2 * M_PI * u2;
            Vector3 t = normalize(cross(std::fabs(n.x) > 0.5 ? Vector3(0, 1, 0) : Vector3(1, 0, 0), n));
            Vector3 bt = cross(n, t);
            Vector3 d = t * (r * std::cos(phi)) + bt * (r * std::sin(phi)) + n * std::sqrt(1.0 - u1);
            b->bounce.push_back(Ray{hit.i_point, d * 10000.0});
            b->shadow.push_back(Ray{hit.i_point, light - hit.i_point});
        }
    }
}

// Rays per second of rt and of Embree over the same rays, `rounds` rounds
// each, alternating; *agree counts the rays both answer alike (hit or not).
void race(Bench *b, const std::vector<Ray> &rays, bool any, int rounds, double *rt_rate, double *em_rate, double *agree,
          double *narrow_rate)
{
    std::vector<double> rt_times, em_times, narrow_times;
    std::vector<char> rt_hit(rays.size()), em_hit(rays.size());
    auto send = [&](Scene &scene) {
        double t0 = now();
        for (size_t i = 0; i < rays.size(); i++) {
            if (any) {
                rt_hit[i] = scene.intersection(rays[i], nullptr);
            } else {
                IntInfo info;
                rt_hit[i] = scene.intersection(rays[i], &info);
            }
        }
        return now() - t0;
    };
    for (int round = 0; round < rounds; round++) {
        if (b->narrow) {
            narrow_times.push_back(send(*b->narrow));
        }
        rt_times.push_back(send(b->scene));
        double t1 = now();
        for (size_t i = 0; i < rays.size(); i++) {
            const Ray &r = rays[i];
            RTCIntersectContext ctx;
            rtcInitIntersectContext(&ctx);
            RTCRayHit rh;
            rh.ray.org_x = static_cast<float>(r.origin.x);
            rh.ray.org_y = static_cast<float>(r.origin.y);
            rh.ray.org_z = static_cast<float>(r.origin.z);
            rh.ray.dir_x = static_cast<float>(r.dir.x);
            rh.ray.dir_y = static_cast<float>(r.dir.y);
            rh.ray.dir_z = static_cast<float>(r.dir.z);
            rh.ray.tnear = 1e-6f;
            rh.ray.tfar = 1.0f;
            rh.ray.mask = 0xffffffffu;
            rh.ray.flags = 0;
            rh.ray.time = 0.0f;
            if (any) {
                rtcOccluded1(b->escene, &ctx, &rh.ray);
                em_hit[i] = rh.ray.tfar < 0.0f;
            } else {
                rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
                rtcIntersect1(b->escene, &ctx, &rh);
                em_hit[i] = rh.hit.geomID != RTC_INVALID_GEOMETRY_ID;
            }
        }
        double t2 = now();
        em_times.push_back(t2 - t1);
    }
    size_t same = 0;
    for (size_t i = 0; i < rays.size(); i++) {
        same += rt_hit[i] == em_hit[i];
    }
    *rt_rate = rays.size() / median(rt_times) / 1e6;
    *em_rate = rays.size() / median(em_times) / 1e6;
    *agree = 100.0 * same / rays.size();
    if (b->narrow) {
        *narrow_rate = rays.size() / median(narrow_times) / 1e6;
    }
}

void set_up(Bench *b, const char *name)
{
    b->name = name;
    b->dev = rtcNewDevice("threads=1");
    b->escene = rtcNewScene(b->dev);
    rtcSetSceneBuildQuality(b->escene, RTC_BUILD_QUALITY_MEDIUM);
}

// In the paths mode: rt on the SSE2 path too.
bool compare_paths = false;

// In the profile mode: the one kind of rays sent, through rt alone.
int profile_kind = -1;

void profile(Bench *b, const std::vector<Ray> &rays, bool any, int rounds)
{
#ifdef RT_QUERY_COUNTERS
    query_counters = QueryCounters();
#endif
    std::vector<double> times;
    size_t hits = 0;
    for (int round = 0; round < rounds; round++) {
        double t0 = now();
        for (const Ray &ray : rays) {
            IntInfo info;
            hits += b->scene.intersection(ray, any ? nullptr : &info);
        }
        times.push_back(now() - t0);
    }
    printf("%s: %zu rays x %d, median %.2f Mrays/s, %zu hits\n", b->name, rays.size(), rounds,
           rays.size() / median(times) / 1e6, hits);
#ifdef RT_QUERY_COUNTERS
    double n = static_cast<double>(rays.size()) * rounds;
    printf("per ray: %.2f box tests, %.2f object tests, %.2f face tests\n", query_counters.box_tests / n,
           query_counters.object_tests / n, query_counters.face_tests / n);
#endif
}

void finish(Bench *b, const Camera &cam, const Vector3 &light, int rounds)
{
    rtcCommitScene(b->escene);
    b->scene.build_tree_once();
    if (b->narrow) {
        const Isa wide = active_isa();
        choose_isa(Isa::SSE2);
        b->narrow->build_tree_once();
        choose_isa(wide);
    }
    make_rays(b, cam, light);
    const char *kinds[] = {"primary", "incoherent", "shadow"};
    const std::vector<Ray> *sets[] = {&b->primary, &b->bounce, &b->shadow};
    if (profile_kind >= 0) {
        profile(b, *sets[profile_kind], profile_kind == 2, rounds);
        rtcReleaseScene(b->escene);
        rtcReleaseDevice(b->dev);
        return;
    }
    for (int k = 0; k < 3; k++) {
        double rt_rate, em_rate, agree, narrow_rate = 0.0;
        race(b, *sets[k], k == 2, rounds, &rt_rate, &em_rate, &agree, &narrow_rate);
        if (b->narrow) {
            printf("| %s | %s | %.2f | %.2f | %s %.2f | %.2f | %.2f |\n", b->name, kinds[k], em_rate, narrow_rate,
                   isa_name(active_isa()), rt_rate, narrow_rate / em_rate, rt_rate / em_rate);
            fflush(stdout);
            continue;
        }
        printf("| %s | %s | %zu | %.2f | %.2f | %.2f | %.1f %% |\n", b->name, kinds[k], sets[k]->size(), rt_rate,
               em_rate, rt_rate / em_rate, agree);
        fflush(stdout);
    }
    rtcReleaseScene(b->escene);
    rtcReleaseDevice(b->dev);
}

void mesh_bench(const char *name, const TriSoup &s, const Camera &cam, const Vector3 &light, int rounds)
{
    Bench b;
    set_up(&b, name);
    b.scene.add_object(rt_mesh(s));
    if (compare_paths) {
        b.narrow.reset(new Scene);
        b.narrow->add_object(rt_mesh(s));
    }
    RTCGeometry g = embree_mesh(b.dev, s.pos, s.idx);
    rtcAttachGeometry(b.escene, g);
    rtcReleaseGeometry(g);
    finish(&b, cam, light, rounds);
}

void sphere_bench(int rounds)
{
    Bench b;
    set_up(&b, "2,000 spheres");
    RTCGeometry g = rtcNewGeometry(b.dev, RTC_GEOMETRY_TYPE_SPHERE_POINT);
    float *v = static_cast<float *>(
        rtcSetNewGeometryBuffer(g, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT4, 4 * sizeof(float), 2000));
    const std::vector<FieldSphere> field = sphere_field(2000);
    for (size_t i = 0; i < field.size(); i++) {
        const FieldSphere &f = field[i];
        b.scene.add_object(new Sphere(f.centre, f.radius));
        if (compare_paths) {
            if (!b.narrow) {
                b.narrow.reset(new Scene);
            }
            b.narrow->add_object(new Sphere(f.centre, f.radius));
        }
        // Exact: the field's values are floats.
        v[4 * i] = static_cast<float>(f.centre.x);
        v[4 * i + 1] = static_cast<float>(f.centre.y);
        v[4 * i + 2] = static_cast<float>(f.centre.z);
        v[4 * i + 3] = static_cast<float>(f.radius);
    }
    rtcCommitGeometry(g);
    rtcAttachGeometry(b.escene, g);
    rtcReleaseGeometry(g);
    finish(&b, Camera(Vector3(0, 5, -16), Vector3(0, 2, 0)), Vector3(-6, 9, -6), rounds);
}

// Scenes by name: part, bumpy, spheres; null for all three.
void queries(int rounds, const char *only = nullptr)
{
    if (only == nullptr && !compare_paths) {
        printf("| scene | query | rays | rt Mrays/s | Embree Mrays/s | rt / Embree | same hit or miss |\n");
        printf("|---|---|---:|---:|---:|---:|---:|\n");
    }
    char name[64];
    if (only == nullptr || strcmp(only, "part") == 0) {
        TriSoup part = mechanical_part();
        snprintf(name, sizeof name, "mechanical part, %zu triangles", part.count());
        mesh_bench(name, part, Camera(Vector3(2.2, 2.6, -3.2), Vector3(0, 0.3, 0)), Vector3(-6, 9, -6), rounds);
    }
    if (only == nullptr || strcmp(only, "bumpy") == 0) {
        TriSoup bumpy = bumpy_sphere(707);
        snprintf(name, sizeof name, "bumpy sphere, %zu triangles", bumpy.count());
        mesh_bench(name, bumpy, Camera(Vector3(0, 2.2, -5.5), Vector3(0, 1.4, 0)), Vector3(-6, 9, -6), rounds);
    }
    if (only == nullptr || strcmp(only, "spheres") == 0) {
        sphere_bench(rounds);
    }
}

// ---- load and build at scale ----

// Loads and builds `rounds` times, alternating rt and Embree; the least
// time of each step counts.
void scale(const char *file, int rounds)
{
    // The mesh data files the scene names, for the reading rate.
    double bytes = 0;
    FILE *fp = fopen(file, "r");
    char line[1024], mesh_name[1024];
    while (fp != nullptr && fgets(line, sizeof line, fp) != nullptr) {
        struct stat st;
        if (sscanf(line, "m %1023s", mesh_name) == 1 && stat(mesh_name, &st) == 0) {
            bytes += st.st_size;
        }
    }
    if (fp != nullptr) {
        fclose(fp);
    }
    double load = HUGE_VAL, build = HUGE_VAL, em_build = HUGE_VAL;
    size_t tris = 0, tree_bytes = 0, face_bytes = 0;
    for (int round = 0; round < rounds; round++) {
        Scene scene;
        double t0 = now();
        if (!scene.load(file)) {
            fprintf(stderr, "cannot load %s\n", file);
            return;
        }
        double t1 = now();
        scene.build_tree_once();
        double t2 = now();
        load = std::min(load, t1 - t0);
        build = std::min(build, t2 - t1);

        // Embree over the same triangles, in single precision.
        std::vector<Vector3> pos;
        std::vector<uint32_t> idx;
        tree_bytes = face_bytes = 0;
        for (const Object *obj : scene.get_objects()) {
            const Mesh *m = dynamic_cast<const Mesh *>(obj);
            if (m == nullptr) {
                continue;
            }
            tree_bytes += m->hierarchy_bytes();
            face_bytes += m->face_bytes();
            for (int f = 0; f < m->get_face_count(); f++) {
                const Face *face = m->get_face(f);
                for (int k = 0; k < 3; k++) {
                    idx.push_back(static_cast<uint32_t>(pos.size()));
                    pos.push_back(face->v[k].pos);
                }
            }
        }
        tris = idx.size() / 3;
        RTCDevice dev = rtcNewDevice("threads=1");
        RTCScene es = rtcNewScene(dev);
        rtcSetSceneBuildQuality(es, RTC_BUILD_QUALITY_MEDIUM);
        RTCGeometry g = embree_mesh(dev, pos, idx);
        rtcAttachGeometry(es, g);
        rtcReleaseGeometry(g);
        double t3 = now();
        rtcCommitScene(es);
        double t4 = now();
        em_build = std::min(em_build, t4 - t3);
        rtcReleaseScene(es);
        rtcReleaseDevice(dev);
    }
    printf("| %s | %zu | %.2f s | %.0f MB/s | %.3f s | %.3f s | %.2f | %.1f | %.1f |\n", file, tris, load,
           bytes / 1e6 / load, build, em_build, build / em_build, face_bytes / static_cast<double>(tris),
           tree_bytes / static_cast<double>(tris));
    fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc >= 2 && strcmp(argv[1], "paths") == 0) {
        compare_paths = true;
        printf("| scene | query | Embree Mrays/s | rt sse2 | rt widest | sse2 / Embree | widest / Embree |\n");
        printf("|---|---|---:|---:|---:|---:|---:|\n");
        queries(argc >= 3 ? atoi(argv[2]) : 5, argc >= 4 ? argv[3] : nullptr);
        return 0;
    }
    if (argc >= 2 && strcmp(argv[1], "queries") == 0) {
        queries(argc >= 3 ? atoi(argv[2]) : 5);
        return 0;
    }
    if (argc >= 4 && strcmp(argv[1], "profile") == 0) {
        const char *kinds[] = {"primary", "incoherent", "shadow"};
        for (int k = 0; k < 3; k++) {
            if (strcmp(argv[3], kinds[k]) == 0) {
                profile_kind = k;
            }
        }
        if (profile_kind >= 0) {
            queries(argc >= 5 ? atoi(argv[4]) : 20, argv[2]);
            return 0;
        }
    }
    if (argc >= 3 && strcmp(argv[1], "scale") == 0) {
        printf("| scene | triangles | load | read rate | rt build | Embree build | rt / Embree | face bytes per "
               "triangle | hierarchy bytes per triangle |\n");
        printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
        for (int i = 2; i < argc; i++) {
            scale(argv[i], 3);
        }
        return 0;
    }
    fprintf(stderr, "usage: rt_vs_embree queries [ROUNDS] | scale FILE.scene ... | profile SCENE KIND [ROUNDS]\n");
    return 2;
}
