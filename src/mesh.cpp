#include "mesh.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "accel/blocker_cache.h"
#include "accel/numerics.h"
#include "sampling/random.h"
#include "accel/triangle_pretest.h"
#include "accel/walk8.h"
#include "tasks/task_runner.h"

// Where a mesh's search for its nearest face starts, DBL_MAX: every face
// whose test passes is nearer, so the first hit is always kept.
static const double FACE_NO_HIT_T = 1.7976931348623157e+308;

// Weights of the three corners at a point of the triangle's plane, as ratios
// of unsigned areas. False for a triangle too small to weigh anything: its
// weights would sum to 0 and pass every inside test.
static bool bary_coords(const Vector3 &p0, const Vector3 &p1, const Vector3 &p2, const Vector3 &n, const Vector3 &pt,
                        Vector3 *bc)
{
    Vector3 vi = p1 - p0;
    Vector3 vj = p2 - p0;
    double area = std::fabs(dot(cross(vi, vj), n) * 0.5);
    if (area < 1e-8) {
        return false;
    }

    Vector3 pv0 = p0 - pt;
    Vector3 pv1 = p1 - pt;
    Vector3 pv2 = p2 - pt;
    double a0 = std::fabs(dot(cross(pv1, pv2), n) * 0.5);
    double a1 = std::fabs(dot(cross(pv2, pv0), n) * 0.5);
    double a2 = std::fabs(dot(cross(pv0, pv1), n) * 0.5);
    *bc = Vector3(a0 / area, a1 / area, a2 / area);
    return true;
}

// Where the ray meets the plane through pa with normal n: false when it
// never does or when the parameter lies outside [1e-6, 1].
static inline bool plane_meet(const Vector3 &pa, const Vector3 &n, const Ray &ray, double *t_out)
{
    if (n.x == 0.0 && n.y == 0.0 && n.z == 0.0) {
        return false; // never given a normal
    }

    double d = dot(n, pa);
    double ndir = dot(n, ray.dir);
    if (ndir == 0.0) {
        return false;
    }
    double t = (d - dot(n, ray.origin)) / ndir;
    if (t < 1e-6 || t > 1.0) {
        return false;
    }
    *t_out = t;
    return true;
}

// Whether the point of the plane's meeting at t lies in the triangle (pa, pb,
// pc): true with the point and the corners' weights.
static inline bool tri_inside(const Vector3 &pa, const Vector3 &pb, const Vector3 &pc, const Vector3 &n, const Ray &ray,
                              double t, Vector3 *point_out, Vector3 *bc_out)
{
    Vector3 point = ray.origin + ray.dir * t;
    Vector3 bc;
    if (!bary_coords(pa, pb, pc, n, point, &bc)) {
        return false;
    }
    double bc_sum = bc.x + bc.y + bc.z;
    // Outside the triangle the sub-areas add up to more than the whole.
    if (bc_sum > 1.00000001) {
        return false;
    }
    *point_out = point;
    *bc_out = bc;
    return true;
}

// A triangle, or a quad as two triangles sharing its normal and plane:
// (v0, v1, v2), then (v0, v2, v3); a point on the diagonal belongs to the
// first. Both halves meet the ray at the one parameter of their plane.
template <int CORNERS> bool Mesh::face_meet(const Mesh &mesh, uint32_t face, const Ray &ray, Meeting *m)
{
    const Vector3 n = mesh.face_normal(face);
    return plane_meet(mesh.positions[mesh.pos_index(face)[0]], n, ray, &m->t) &&
           face_inside<CORNERS>(mesh, face, n, ray, m);
}

// The second half of face_meet, for the parameter m->t of the plane through
// the face with normal n.
template <int CORNERS>
bool Mesh::face_inside(const Mesh &mesh, uint32_t face, const Vector3 &n, const Ray &ray, Meeting *m)
{
    const uint32_t *pi = mesh.pos_index(face);
    const Vector3 &p0 = mesh.positions[pi[0]], &p1 = mesh.positions[pi[1]], &p2 = mesh.positions[pi[2]];
    m->half = 0;
    if (!tri_inside(p0, p1, p2, n, ray, m->t, &m->point, &m->bc)) {
        if (CORNERS == 3 || !tri_inside(p0, p2, mesh.positions[pi[3]], n, ray, m->t, &m->point, &m->bc)) {
            return false;
        }
        m->half = 1;
    }
    return true;
}

// The record of the face's meeting, as the mesh's own: the vertex normals
// weighted at the point. Worked out only for the nearest meeting. True.
bool Mesh::report(uint32_t face, const Meeting &m, IntInfo *i_info) const
{
    if (i_info == nullptr) {
        return true;
    }
    const uint32_t *ni = norm_index(face);
    const Vector3 &na = normals[ni[0]], &nb = normals[ni[1 + m.half]], &nc = normals[ni[2 + m.half]];
    i_info->object = this;
    i_info->normal = normalize((na * m.bc.x + nb * m.bc.y) + nc * m.bc.z);
    i_info->i_point = m.point;
    i_info->t = m.t;
    if ((maps.kd != nullptr || maps.ke != nullptr) && static_cast<size_t>(face) * stride < corner_tex.size()) {
        // The texture coordinates weighted as the normals are.
        const uint32_t *ci = &corner_tex[static_cast<size_t>(face) * stride];
        const float *ta = &tex_coords[2 * static_cast<size_t>(ci[0])],
                    *tb = &tex_coords[2 * static_cast<size_t>(ci[1 + m.half])],
                    *tc = &tex_coords[2 * static_cast<size_t>(ci[2 + m.half])];
        i_info->maps = &maps;
        i_info->u = static_cast<float>((ta[0] * m.bc.x + tb[0] * m.bc.y) + tc[0] * m.bc.z);
        i_info->v = static_cast<float>((ta[1] * m.bc.x + tb[1] * m.bc.y) + tc[1] * m.bc.z);
    }
    return true;
}

void Face::calc_normal()
{
    norm = normalize(cross(v[1].pos - v[0].pos, v[2].pos - v[0].pos));
}

// Uniform over the triangle (a, b, c): two draws, folded back into the
// triangle when they land in the other half of the parallelogram.
static Vector3 sample_triangle(const Vector3 &a, const Vector3 &b, const Vector3 &c)
{
    Vector3 edge_a = b - a;
    Vector3 edge_b = c - a;
    double u = random_unit();
    double v = random_unit();
    if (u + v > 1.0) {
        u = 1.0 - u;
        v = 1.0 - v;
    }
    return a + (edge_a * u + edge_b * v);
}

Vector3 Face::sample(MeshPrim prim) const
{
    if (prim != MESH_PRIM_QUAD) {
        return sample_triangle(v[0].pos, v[1].pos, v[2].pos);
    }
    // Pick a half in proportion to its area, so the quad is covered evenly.
    double area_a = length(cross(v[1].pos - v[0].pos, v[2].pos - v[0].pos)) * 0.5;
    double area_b = length(cross(v[2].pos - v[0].pos, v[3].pos - v[0].pos)) * 0.5;
    double s = random_unit();
    if (s * (area_a + area_b) < area_a) {
        return sample_triangle(v[0].pos, v[1].pos, v[2].pos);
    }
    return sample_triangle(v[0].pos, v[2].pos, v[3].pos);
}

Mesh::Mesh(MeshPrim prim)
{
    set_primitive(prim);
}

void Mesh::set_primitive(MeshPrim new_prim)
{
    // Faces already added keep every corner they have: the stride only grows.
    int new_stride = new_prim == MESH_PRIM_QUAD || (stride == 4 && !corner_pos.empty()) ? 4 : 3;
    if (new_stride != stride && !corner_pos.empty()) {
        // Faces of three corners are laid out anew with a fourth, at the origin.
        std::vector<Face> all;
        for (int i = 0; i < get_face_count(); i++) {
            all.push_back(face_at(i));
        }
        positions.clear();
        normals.clear();
        corner_pos.clear();
        corner_norm.clear();
        norms_shared = true;
        face_norms.clear();
        stride = new_stride;
        for (const Face &f : all) {
            add_face(f);
        }
    }
    stride = new_stride;
    prim = new_prim;
    tree_ready = false;
    switch (prim) {
    case MESH_PRIM_TRI:
        face_test = face_meet<3>;
        break;
    case MESH_PRIM_QUAD:
        face_test = face_meet<4>;
        break;
    default:
        fprintf(stderr, "invalid primitive\n");
        face_test = nullptr;
        break;
    }
}

static bool same_bits(const Vector3 &a, const Vector3 &b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

Vector3 Mesh::face_normal(uint32_t face) const
{
    return face_norms.empty() ? corner_normal(face) : face_norms[face];
}

// Face::calc_normal's arithmetic on the shared corners.
Vector3 Mesh::corner_normal(uint32_t face) const
{
    const uint32_t *pi = pos_index(face);
    const Vector3 &p0 = positions[pi[0]];
    return normalize(cross(positions[pi[1]] - p0, positions[pi[2]] - p0));
}

void Mesh::add_face(const Face &face)
{
    uint32_t pidx[4], nidx[4];
    for (int i = 0; i < stride; i++) {
        pidx[i] = static_cast<uint32_t>(positions.size());
        nidx[i] = static_cast<uint32_t>(normals.size());
        positions.push_back(face.v[i].pos);
        normals.push_back(face.v[i].norm);
    }
    add_indexed_face(pidx, nidx);
    uint32_t added = static_cast<uint32_t>(get_face_count() - 1);
    if (face_norms.empty()) {
        if (same_bits(face.norm, corner_normal(added))) {
            return;
        }
        // Another normal than the corners give: from now on each is kept.
        face_norms.reserve(added + 1);
        for (uint32_t f = 0; f <= added; f++) {
            face_norms.push_back(corner_normal(f));
        }
    }
    face_norms.back() = face.norm;
}

void Mesh::add_indexed_face(const uint32_t *pos_idx, const uint32_t *norm_idx)
{
    add_indexed_faces(pos_idx, norm_idx, 1);
}

void Mesh::add_indexed_faces(const uint32_t *pos_idx, const uint32_t *norm_idx, size_t count)
{
    const size_t n = count * static_cast<size_t>(stride);
    if (n == 0) {
        return;
    }
    if (norms_shared && std::memcmp(pos_idx, norm_idx, n * sizeof(uint32_t)) != 0) {
        norms_shared = false;
        corner_norm = corner_pos;
    }
    corner_pos.insert(corner_pos.end(), pos_idx, pos_idx + n);
    if (!norms_shared) {
        corner_norm.insert(corner_norm.end(), norm_idx, norm_idx + n);
    }
    if (!face_norms.empty()) {
        for (size_t f = get_face_count() - count; f < static_cast<size_t>(get_face_count()); f++) {
            face_norms.push_back(corner_normal(static_cast<uint32_t>(f)));
        }
    }
    tree_ready = false;
}

void Mesh::add_corner_coords(const uint32_t *coord_idx, size_t faces)
{
    corner_tex.insert(corner_tex.end(), coord_idx, coord_idx + faces * stride);
}

void Mesh::reserve(size_t more_positions, size_t more_normals, size_t more_faces)
{
    positions.reserve(positions.size() + more_positions);
    normals.reserve(normals.size() + more_normals);
    corner_pos.reserve(corner_pos.size() + more_faces * stride);
}

void Mesh::shrink_to_fit()
{
    positions.shrink_to_fit();
    normals.shrink_to_fit();
    corner_pos.shrink_to_fit();
    corner_norm.shrink_to_fit();
    face_norms.shrink_to_fit();
    tex_coords.shrink_to_fit();
    corner_tex.shrink_to_fit();
}

Face Mesh::face_at(uint32_t face) const
{
    Face f;
    const uint32_t *pi = pos_index(face), *ni = norm_index(face);
    for (int i = 0; i < stride; i++) {
        f.v[i].pos = positions[pi[i]];
        f.v[i].norm = normals[ni[i]];
    }
    f.norm = face_normal(face);
    return f;
}

const Face *Mesh::get_face(int idx) const
{
    if (idx < 0 || idx >= get_face_count()) {
        return nullptr;
    }
    shown = face_at(static_cast<uint32_t>(idx));
    return &shown;
}

size_t Mesh::face_bytes() const
{
    return (positions.capacity() + normals.capacity() + face_norms.capacity()) * sizeof(Vector3) +
           (corner_pos.capacity() + corner_norm.capacity() + corner_tex.capacity()) * sizeof(uint32_t) +
           tex_coords.capacity() * sizeof(float);
}

bool Mesh::intersection(const Ray &ray, IntInfo *i_info) const
{
    return intersection(ray, RaySlabs(ray), i_info);
}

bool Mesh::intersection(const Ray &ray, const RaySlabs &slabs, IntInfo *i_info) const
{
    if (ignore) {
        return false;
    }
    RT_COUNT(box_tests);
    if (!bbox.intersection(ray, slabs)) {
        return false;
    }
    if (corner_pos.empty() || face_test == nullptr) {
        return false;
    }
    if (accelerated && tree_ready) {
        // NaN and infinity fail the test and take the walk below.
        const RaySize size(ray);
        if (size.origin <= origin_cap && size.origin + size.dir <= reach_cap) {
            return tree_intersection(ray, slabs, i_info);
        }
    }

    Meeting nearest;
    nearest.t = FACE_NO_HIT_T;
    uint32_t nearest_face = 0;
    bool found = false;
    uint32_t count = static_cast<uint32_t>(get_face_count());
    for (uint32_t f = 0; f < count; f++) {
        Meeting tmp;
        RT_COUNT(face_tests);
        // Strictly nearer replaces: of two faces at the same t the earlier stays.
        if (face_test(*this, f, ray, &tmp) && nearest.t > tmp.t) {
            nearest = tmp;
            nearest_face = f;
            found = true;
        }
    }

    return found && report(nearest_face, nearest, i_info);
}

// The walk of the face hierarchy. Its answer is the flat walk's: the faces
// are asked by the same routine with the same ray, and of the hits the least
// (t, face index) wins, which is the flat walk's first nearest one. A box is
// skipped only when the ray misses it, or when its entry lies beyond the
// best t: the boxes are padded (build_face_tree) so that every hit the face
// test can report lies inside, at or beyond the entry, for rays within the
// caps. A yes/no question stops at the first hit: a bounded face's t is
// never NaN for rays within the caps, so its bare answer is the flat walk's.
struct Mesh::FaceWalk {
    const Mesh &mesh;
    const Ray &ray;
    bool any;
    TrianglePretest pretest;
    Meeting nearest;
    uint32_t nearest_face = UINT32_MAX;
    bool found = false;
    const uint32_t *blocking_leaf = nullptr; // where a yes/no question found its hit
    int blocking_count = 0;
    Walk8 *wide = nullptr; // the eight-wide walk under way

    FaceWalk(const Mesh &mesh, const Ray &ray, bool any)
        : mesh(mesh), ray(ray), any(any), pretest(mesh.corner_centre, mesh.corner_coord, mesh.pretest_reach, ray)
    {
        nearest.t = FACE_NO_HIT_T;
    }

    double limit() const { return any || nearest.t > 1.0 ? 1.0 : nearest.t; }
    bool nearest_first() const { return !any; }

    bool leaf(const uint32_t *items, int count)
    {
        unsigned lanes = (1u << count) - 1;
        if (pretest.usable) {
            size_t slot = static_cast<size_t>(items - mesh.tree.order.data());
            const float *p = &mesh.leaf_tris[PRETEST_ROWS * slot];
            if (mesh.leaf_pretest != nullptr) {
                return leaf_lanes(items, count, mesh.leaf_pretest(pretest, p, count));
            }
            lanes = pretest.maybe_hit(p, count, std::min(count, 4));
            if (count > 4) {
                lanes |= pretest.maybe_hit(p + 4, count, count - 4) << 4;
            }
        }
        return leaf_lanes(items, count, lanes);
    }

    // The eight-wide walk's call: the leaf with its pre-test done.
    static bool wide_leaf(void *visitor, const uint32_t *items, int count, unsigned lanes)
    {
        FaceWalk &w = *static_cast<FaceWalk *>(visitor);
        const bool stop = w.leaf_lanes(items, count, lanes);
        w.wide->limit = w.limit();
        return stop;
    }

    void walk(const RaySlabs &slabs)
    {
        if (mesh.tree.nodes8.empty()) {
            walk_wide(mesh.tree, slabs, *this);
            return;
        }
        Walk8 w8{wide_leaf, this, limit(), nearest_first(), pretest.usable ? &pretest : nullptr, mesh.leaf_tris.data()};
        wide = &w8;
        mesh.walk8(mesh.tree, slabs, w8);
    }

    // Tests the faces of the set bits of lanes.
    bool leaf_lanes(const uint32_t *items, int count, unsigned lanes)
    {
        if (any) {
            for (; lanes != 0; lanes &= lanes - 1) {
                RT_COUNT(face_tests);
                Meeting tmp;
                const uint32_t f = items[lowest_bit(lanes)];
                if (mesh.prim == MESH_PRIM_QUAD ? face_meet<4>(mesh, f, ray, &tmp) : face_meet<3>(mesh, f, ray, &tmp)) {
                    found = true;
                    blocking_leaf = items;
                    blocking_count = count;
                    return true;
                }
            }
            return false;
        }
        // First the parameter of each face's plane, which is cheap; then the
        // inside tests, in the order of (t, face), up to the first that
        // passes: every face after it would lose to it. The faces come in
        // ascending order, so ties keep it.
        double ts[WideTree::MAX_LEAF];
        uint32_t fs[WideTree::MAX_LEAF];
        int n = 0;
        for (; lanes != 0; lanes &= lanes - 1) {
            uint32_t f = items[lowest_bit(lanes)];
            RT_COUNT(face_tests);
            double t;
            if (!plane_meet(mesh.positions[mesh.pos_index(f)[0]], mesh.face_normal(f), ray, &t) || !(t <= nearest.t)) {
                continue;
            }
            int j = n++;
            for (; j > 0 && ts[j - 1] > t; j--) {
                ts[j] = ts[j - 1];
                fs[j] = fs[j - 1];
            }
            ts[j] = t;
            fs[j] = f;
        }
        const bool quads = mesh.prim == MESH_PRIM_QUAD;
        for (int i = 0; i < n; i++) {
            Meeting tmp;
            tmp.t = ts[i];
            const Vector3 nf = mesh.face_normal(fs[i]);
            if (quads ? !face_inside<4>(mesh, fs[i], nf, ray, &tmp) : !face_inside<3>(mesh, fs[i], nf, ray, &tmp)) {
                continue;
            }
            if (tmp.t < nearest.t || (tmp.t == nearest.t && fs[i] < nearest_face)) {
                nearest = tmp;
                nearest_face = fs[i];
                found = true;
            }
            break;
        }
        return false;
    }
};

namespace
{
// The run of the tree's order of the leaf whose face answered yes.
struct LeafHint {
    size_t first;
    int count;
};
} // namespace

bool Mesh::tree_intersection(const Ray &ray, const RaySlabs &slabs, IntInfo *i_info) const
{
    FaceWalk w(*this, ray, i_info == nullptr);
    // Faces with no box of their own, in order (strictly nearer replaces),
    // then the hierarchy.
    auto walk = [&]() RT_INLINE_LAMBDA {
        for (uint32_t f : loose_faces) {
            Meeting tmp;
            RT_COUNT(face_tests);
            if (face_test(*this, f, ray, &tmp) && w.nearest.t > tmp.t) {
                w.nearest = tmp;
                w.nearest_face = f;
                w.found = true;
                if (w.any) {
                    return;
                }
            }
        }
        w.walk(slabs);
    };
    if (w.any) {
        // Any run of the tree's order will do as a hint, as only an exact
        // face test answers yes.
        auto ask_hint = [&](const LeafHint &hint) RT_INLINE_LAMBDA {
            return hint.first + hint.count <= tree.order.size() && w.leaf(&tree.order[hint.first], hint.count);
        };
        auto walk_rest = [&](std::optional<LeafHint> *blocker) RT_INLINE_LAMBDA {
            walk();
            if (w.blocking_leaf != nullptr) {
                *blocker = LeafHint{static_cast<size_t>(w.blocking_leaf - tree.order.data()), w.blocking_count};
            }
            return w.found;
        };
        return BlockerCache<LeafHint>::ask(this, ray.dir, ask_hint, walk_rest);
    }
    walk();
    return w.found && report(w.nearest_face, w.nearest, i_info);
}

bool Mesh::is_light() const
{
    return !corner_pos.empty() && Object::is_light();
}

void Mesh::calc_bbox()
{
    const double big = 1.7976931348623157e+308;
    bbox.max = Vector3(-big, -big, -big);
    bbox.min = Vector3(big, big, big);
    int corners = prim == MESH_PRIM_QUAD ? 4 : 3;
    uint32_t count = static_cast<uint32_t>(get_face_count());
    for (uint32_t f = 0; f < count; f++) {
        const uint32_t *pi = pos_index(f);
        for (int i = 0; i < corners; i++) {
            const Vector3 &p = positions[pi[i]];
            if (p.x < bbox.min.x)
                bbox.min.x = p.x;
            if (p.y < bbox.min.y)
                bbox.min.y = p.y;
            if (p.z < bbox.min.z)
                bbox.min.z = p.z;
            if (p.x > bbox.max.x)
                bbox.max.x = p.x;
            if (p.y > bbox.max.y)
                bbox.max.y = p.y;
            if (p.z > bbox.max.z)
                bbox.max.z = p.z;
        }
    }
    build_face_tree();
}

// ---- the face hierarchy ----
//
// A face goes into the hierarchy with a box that holds every point at which
// face_test can accept a ray within the mesh's caps, padded so that the
// node test's entry parameter never exceeds the accepted t. The bound, for a
// triangle (a, b, c) tested with the unit normal n, edges at most L long,
// smallest height h (as projected along n), area A as bary_coords computes
// it, and |corners|_inf <= m:
//
// - The accepted point p = o + d t lies off the plane through a by at most
//   z <= 64 eps (|o|_inf + m) + 16 eps (L + x): the rounding of d, of
//   dot(n, o), of ndir and of o + d t, where |d t| <= |o| + |p|.
// - In the plane, the unsigned sub-areas of a point at distance x outside
//   the triangle add up to at least A + x h / 2, while their computed values
//   err by at most 16 eps R^2 each (R, the distance from p to the farthest
//   corner, is at most 2 L + x + z) and the test allows 1e-8 A. So an
//   accepted point has h x / 2 <= 1.02e-8 A + 64 eps (2 L + x + z)^2.
// - The right side grows with x^2: besides the small distances, points very
//   far away (about h / eps) pass too. A face is bounded only if x = L and
//   every distance that a ray within the reach cap can reach fail; then
//   x <= delta, the value of the bound at x = L.
// - The box is that of the corners, padded by delta, by how far the corners
//   stand off the plane (the second half of a quad that is not flat), by z,
//   and by the rounding of o + d t and of the node test (128 eps in all).
//
// Faces never hit (a zero or NaN normal gives no hit or a NaN t, which never
// wins; an area below 1e-8 is refused) are left out. Faces that cannot be
// bounded so (slivers, non-finite corners) are asked for every ray.

namespace
{

// Faces per leaf of the hierarchy, at most: the pre-test takes four at once,
// in one or two passes, so a range that fits is always a leaf.
const int FACE_LEAF = 8;
// Planes tried per axis: the faces of a mesh are much alike, and twelve
// places serve them as well as sixteen (the trees walk as fast) for less.
const int FACE_BINS = 12;
// Faces per block of the set-up's work on several threads, and leaves per
// block of the pre-test rows: large enough that handing one out costs
// nothing next to it, small enough that the threads share evenly.
const uint32_t FACE_BLOCK = 16384;
const size_t LEAF_BLOCK = 4096;

enum HalfState { HALF_NEVER, HALF_BOUNDED, HALF_LOOSE };

struct HalfBound {
    HalfState state;
    BBox box;     // padded
    double pad;   // no accepted point lies farther than this from the triangle
    double reach; // the largest reach cap the bound holds for
};

RT_ALWAYS_INLINE HalfBound bound_half(const Vector3 &a, const Vector3 &b, const Vector3 &c, const Vector3 &n,
                                      double origin_cap)
{
    HalfBound hb;
    hb.state = HALF_LOOSE;
    hb.reach = 0.0;
    // The area exactly as bary_coords computes it: below 1e-8 no hit.
    Vector3 vi = b - a;
    Vector3 vj = c - a;
    double area = std::fabs(dot(cross(vi, vj), n) * 0.5);
    if (area < 1e-8) {
        hb.state = HALF_NEVER;
        return hb;
    }
    double m = std::max(max_abs(a), std::max(max_abs(b), max_abs(c)));
    if (!(m <= BIG_COORD) || !(area <= HUGE_VAL)) {
        return hb;
    }
    // The longest edge: one square root of the largest square, which is the
    // largest of the lengths, a rounded square root being monotonic.
    Vector3 vk = c - b;
    double l = std::sqrt(std::max(dot(vi, vi), std::max(dot(vj, vj), dot(vk, vk)))) * (1.0 + 1e-9);
    double area_lo = area - 16.0 * EPS * l * l;
    if (!(area_lo > 0.5 * area)) {
        return hb; // the area is mostly rounding
    }
    double h = 2.0 * area_lo / l * (1.0 - 1e-9);
    double z0 = 64.0 * EPS * (origin_cap + m);
    double c0 = 1.02e-8 * area;

    // excess(x) = c0 + k (r0 + 1.001 x)^2 - h x / 2: negative where no
    // point at distance x is accepted.
    const double k = 64.0 * EPS;
    double r0 = 2.001 * l + z0;
    double qa = k * 1.001 * 1.001, qb = 2.0 * k * 1.001 * r0 - 0.5 * h, qc = c0 + k * r0 * r0;
    double at_l = (qa * l + qb) * l + qc;
    double disc = qb * qb - 4.0 * qa * qc;
    if (!(at_l < 0.0) || !(disc > 0.0)) {
        return hb;
    }
    // The larger root, with a margin (which also covers multiplying by a
    // rounded constant rather than dividing by 2 qa); beyond it points are
    // accepted again.
    const double root_scale = 0.99 / (2.0 * qa);
    double far = (-qb + std::sqrt(disc)) * root_scale;
    // A point of a ray within the caps lies within sqrt(3) (reach + m):
    // 0.5773 is below 1 / 1.7321.
    hb.reach = far * 0.5773 - m;
    if (!(hb.reach > 0.0)) {
        return hb;
    }

    double r = 3.002 * l + z0;
    // 2 (c0 + k r^2) / h with h written out, so as not to wait for its
    // division (the factor 1.01 below covers the other roundings).
    double delta = (c0 + k * r * r) * l / (area_lo * (1.0 - 1e-9));
    double off = std::max(std::fabs(dot(n, vi)), std::fabs(dot(n, vj))) * 1.001 + 8.0 * EPS * (m + l);
    double pad = 1.01 * delta + off + 128.0 * EPS * (origin_cap + m + l) + 1e-300;
    Vector3 lo(std::min(a.x, std::min(b.x, c.x)), std::min(a.y, std::min(b.y, c.y)), std::min(a.z, std::min(b.z, c.z)));
    Vector3 hi(std::max(a.x, std::max(b.x, c.x)), std::max(a.y, std::max(b.y, c.y)), std::max(a.z, std::max(b.z, c.z)));
    hb.box = BBox(lo - Vector3(pad, pad, pad), hi + Vector3(pad, pad, pad));
    hb.pad = pad;
    hb.state = HALF_BOUNDED;
    return hb;
}

} // namespace

void Mesh::build_face_tree()
{
    tree_ready = false;
    tree.clear();
    std::vector<uint32_t>().swap(loose_faces);
    decltype(leaf_tris)().swap(leaf_tris);
    corner_coord = -1.0;
    uint32_t count = static_cast<uint32_t>(get_face_count());
    if (!accelerated || face_test == nullptr || count >= WideTree::MAX_ITEMS) {
        return;
    }

    const int corners = prim == MESH_PRIM_QUAD ? 4 : 3;
    // The largest corner component, from the box of the corners just found
    // (which passes over NaN components; their faces are left out or loose
    // below). An axis without a number keeps its start, min above max.
    double coord = 0.0;
    const double lo[3] = {bbox.min.x, bbox.min.y, bbox.min.z}, hi[3] = {bbox.max.x, bbox.max.y, bbox.max.z};
    for (int a = 0; a < 3; a++) {
        if (lo[a] <= hi[a]) {
            coord = std::max(coord, std::max(-lo[a], hi[a]));
        }
    }
    origin_cap = std::max(1e5, 16.0 * std::min(coord, BIG_COORD));

    // Per face: its padded box, and the reach cap it holds for (rounded
    // down, which only makes a face loose sooner).
    enum { NEVER, BOUNDED, LOOSE };
    std::vector<unsigned char> state(count);
    std::vector<WideTree::Item> items(count);
    std::vector<float> reach(count, HUGE_VALF);
    // The normals worked out here are kept, so that the face test reads
    // them instead of working each out again.
    std::vector<Vector3> norms;
    const bool keep_norms = face_norms.empty();
    // The faces in blocks of a fixed size, on several threads: each face's
    // results are its own, and the blocks' counts and largest pads are
    // summed and taken in block order.
    const uint32_t block = FACE_BLOCK;
    const size_t blocks = (count + block - 1) / block;
    std::vector<size_t> block_bounded(blocks, 0);
    std::vector<double> block_pad(blocks, prim == MESH_PRIM_TRI ? 0.0 : -1.0);
    if (keep_norms) {
        norms.resize(count);
    }
    run_tasks(blocks, build_threads, [&](size_t blk) {
        const uint32_t first = static_cast<uint32_t>(blk * block);
        const uint32_t last = std::min(count, first + block);
        size_t bounded = 0;
        double pad = block_pad[blk];
        for (uint32_t i = first; i < last; i++) {
            const uint32_t *pi = pos_index(i);
            const Vector3 &p0 = positions[pi[0]], &p1 = positions[pi[1]], &p2 = positions[pi[2]];
            // face_normal, from the corners at hand unless kept already.
            const Vector3 n = keep_norms ? normalize(cross(p1 - p0, p2 - p0)) : face_norms[i];
            if (keep_norms) {
                norms[i] = n;
            }
            // The squared length, without a square root: within 0.19 % of 1,
            // the length is within 0.1 %.
            double nsq = (n.x * n.x + n.y * n.y) + n.z * n.z;
            if ((n.x == 0.0 && n.y == 0.0 && n.z == 0.0) || nsq != nsq) {
                state[i] = NEVER; // no hit, or only hits at a NaN t
                continue;
            }
            if (!(nsq > 0.9981 && nsq < 1.0019)) {
                state[i] = LOOSE; // the bound above is for a unit normal
                continue;
            }
            HalfBound halves[2];
            int half_count = corners == 4 ? 2 : 1;
            halves[0] = bound_half(p0, p1, p2, n, origin_cap);
            if (half_count == 2) {
                halves[1] = bound_half(p0, p2, positions[pi[3]], n, origin_cap);
            }
            state[i] = NEVER;
            BBox box;
            for (int h = 0; h < half_count; h++) {
                if (halves[h].state == HALF_LOOSE) {
                    state[i] = LOOSE;
                    break;
                }
                if (halves[h].state == HALF_BOUNDED) {
                    if (state[i] == NEVER) {
                        box = halves[h].box;
                    } else {
                        box.min =
                            Vector3(std::min(box.min.x, halves[h].box.min.x), std::min(box.min.y, halves[h].box.min.y),
                                    std::min(box.min.z, halves[h].box.min.z));
                        box.max =
                            Vector3(std::max(box.max.x, halves[h].box.max.x), std::max(box.max.y, halves[h].box.max.y),
                                    std::max(box.max.z, halves[h].box.max.z));
                    }
                    reach[i] = std::min(reach[i], float_below(halves[h].reach));
                    if (prim == MESH_PRIM_TRI) {
                        pad = std::max(pad, halves[h].pad);
                    }
                    state[i] = BOUNDED;
                }
            }
            if (state[i] == BOUNDED) {
                items[i].box = float_box(box.min, box.max);
                bounded++;
            }
        }
        block_bounded[blk] = bounded;
        block_pad[blk] = pad;
    });
    size_t bounded_count = 0;
    pretest_reach = prim == MESH_PRIM_TRI ? 0.0 : -1.0;
    for (size_t blk = 0; blk < blocks; blk++) {
        bounded_count += block_bounded[blk];
        pretest_reach = std::max(pretest_reach, block_pad[blk]);
    }

    // The reach cap: as far as every face allows, or, if that is short of
    // rays to far lights, as far as all but a few allow, the few (the
    // thinnest) being asked for every ray instead.
    reach_cap = 1e12;
    if (bounded_count > 0) {
        const double wanted = 1e8;
        float least = HUGE_VALF;
        for (uint32_t i = 0; i < count; i++) {
            least = state[i] == BOUNDED && reach[i] < least ? reach[i] : least;
        }
        if (least >= wanted) {
            reach_cap = std::min(reach_cap, static_cast<double>(least));
        } else {
            std::vector<float> reaches;
            reaches.reserve(bounded_count);
            for (uint32_t i = 0; i < count; i++) {
                if (state[i] == BOUNDED) {
                    reaches.push_back(reach[i]);
                }
            }
            size_t few = reaches.size() / 256;
            std::nth_element(reaches.begin(), reaches.begin() + few, reaches.end());
            reach_cap = std::min(wanted, static_cast<double>(reaches[few]));
        }
    }

    // The bounded faces, named by their numbers, moved to the front in face
    // order.
    size_t kept = 0;
    for (uint32_t i = 0; i < count; i++) {
        if (state[i] == BOUNDED && reach[i] >= reach_cap) {
            items[kept++] = WideTree::Item{items[i].box, i};
        } else if (state[i] != NEVER) {
            loose_faces.push_back(i);
        }
    }
    std::vector<unsigned char>().swap(state);
    std::vector<float>().swap(reach);
    items.resize(kept);

    if (!tree.build(std::move(items), FACE_LEAF, 0.0, true, FACE_BINS, build_threads)) {
        std::vector<uint32_t>().swap(loose_faces);
        return; // deeper than the walk's stack: not expected of the builder
    }
    loose_faces.shrink_to_fit();
    if (keep_norms) {
        face_norms.swap(norms);
    }
    // A path with eight-wide vectors walks the tree in its eight-wide form;
    // made before the pre-test's rows, so that the two forms, side by side
    // for a moment, need less than the rows will.
    walk8 = walk8_for(active_isa());
    leaf_pretest = leaf_pretest_for(active_isa());
    if (walk8 != nullptr && !tree.widen()) {
        walk8 = nullptr;
    }
    fill_leaf_tris();
    tree_ready = true;
}

void Mesh::fill_leaf_tris()
{
    decltype(leaf_tris)().swap(leaf_tris);
    corner_coord = -1.0;
    if (prim != MESH_PRIM_TRI || tree.empty() || !(pretest_reach >= 0.0)) {
        return;
    }
    BBox b;
    tree.bounds(&b.min, &b.max);
    corner_centre = (b.min + b.max) * 0.5;
    const Vector3 &c = corner_centre;
    if (!(std::fabs(c.x) <= FLOAT_TEST_LIMIT && std::fabs(c.y) <= FLOAT_TEST_LIMIT &&
          std::fabs(c.z) <= FLOAT_TEST_LIMIT)) {
        return;
    }
    // Every corner lies in the tree's box: none lies farther from the
    // centre than its sides (the differences rounded up by the factor).
    double coord = std::max(std::max(std::max(b.max.x - c.x, c.x - b.min.x), std::max(b.max.y - c.y, c.y - b.min.y)),
                            std::max(b.max.z - c.z, c.z - b.min.z)) *
                   (1.0 + 1e-15);
    // Every leaf writes all the rows of its slots; the eight floats to
    // spare are zero.
    leaf_tris.resize(PRETEST_ROWS * tree.order.size() + 8);
    std::fill(leaf_tris.end() - 8, leaf_tris.end(), 0.0f);
    // The leaves, then their corners; the faces' corners are read in an
    // order of their own, so their indices are fetched ahead, and then the
    // corners themselves.
    const std::vector<uint32_t> leaves = tree.leaves();
    const uint32_t *order = tree.order.data();
    const size_t far = 16, near = 8;
    // Each leaf writes rows of its own: blocks of leaves on several threads.
    run_tasks((leaves.size() + LEAF_BLOCK - 1) / LEAF_BLOCK, build_threads, [&](size_t blk) {
        const size_t begin = blk * LEAF_BLOCK, end = std::min(leaves.size(), begin + LEAF_BLOCK);
        for (size_t j = begin; j < end; j++) {
            if (j + far < end) {
                uint32_t r = leaves[j + far];
                for (int k = 0; k < WideTree::leaf_count(r); k++) {
                    __builtin_prefetch(pos_index(order[WideTree::leaf_first(r) + k]));
                }
            }
            if (j + near < end) {
                uint32_t r = leaves[j + near];
                for (int k = 0; k < WideTree::leaf_count(r); k++) {
                    const uint32_t *pi = pos_index(order[WideTree::leaf_first(r) + k]);
                    __builtin_prefetch(&positions[pi[0]]);
                    __builtin_prefetch(&positions[pi[1]]);
                    __builtin_prefetch(&positions[pi[2]]);
                }
            }
            uint32_t first = WideTree::leaf_first(leaves[j]);
            int count = WideTree::leaf_count(leaves[j]);
            float *out = &leaf_tris[PRETEST_ROWS * static_cast<size_t>(first)];
            for (int k = 0; k < count; k++) {
                const uint32_t *pi = pos_index(order[first + k]);
                pretest_rows(out, count, k, positions[pi[0]], positions[pi[1]], positions[pi[2]], c);
            }
        }
    });
    // Bounded faces have corners within BIG_COORD; the pre-test needs them
    // within FLOAT_TEST_LIMIT.
    if (coord <= FLOAT_TEST_LIMIT) {
        corner_coord = coord;
    } else {
        decltype(leaf_tris)().swap(leaf_tris);
    }
}

bool Mesh::reach_bounds(BBox *box, double *origin_cap_out, double *reach_cap_out) const
{
    if (!accelerated || !tree_ready || !loose_faces.empty()) {
        return false;
    }
    *box = bbox; // with no face in the tree none can be hit: any box will do
    if (!tree.empty()) {
        tree.bounds(&box->min, &box->max);
    }
    *origin_cap_out = origin_cap;
    *reach_cap_out = reach_cap;
    return true;
}

size_t Mesh::hierarchy_bytes() const
{
    return tree.bytes() + loose_faces.capacity() * sizeof(uint32_t) + leaf_tris.capacity() * sizeof(float);
}

Vector3 Mesh::sample() const
{
    if (corner_pos.empty()) {
        return Vector3();
    }
    int count = get_face_count();
    int rnd = static_cast<int>(random_int() * 4.656612873077393e-10 * count);
    if (rnd >= count) {
        rnd = count - 1; // unreachable while rand() stays below 2^31
    }
    return face_at(static_cast<uint32_t>(rnd)).sample(prim);
}
