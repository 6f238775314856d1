#include "mesh.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>

#include "random.h"

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

// The triangle (va, vb, vc) in the plane through va with normal n.
static bool tri_test(const Vertex &va, const Vertex &vb, const Vertex &vc, const Vector3 &n, const Ray &ray,
                     IntInfo *i_info)
{
    if (n.x == 0.0 && n.y == 0.0 && n.z == 0.0) {
        return false; // never given a normal
    }

    double d = dot(n, va.pos);
    double ndir = dot(n, ray.dir);
    if (ndir == 0.0) {
        return false;
    }
    double t = (d - dot(n, ray.origin)) / ndir;
    if (t < 1e-6 || t > 1.0) {
        return false;
    }

    Vector3 point = ray.origin + ray.dir * t;
    Vector3 bc;
    if (!bary_coords(va.pos, vb.pos, vc.pos, n, point, &bc)) {
        return false;
    }
    double bc_sum = bc.x + bc.y + bc.z;
    // Outside the triangle the sub-areas add up to more than the whole.
    if (bc_sum > 1.00000001) {
        return false;
    }
    if (i_info == nullptr) {
        return true;
    }

    i_info->normal = normalize((va.norm * bc.x + vb.norm * bc.y) + vc.norm * bc.z);
    i_info->i_point = point;
    i_info->t = t;
    return true;
}

static bool tri_intersection(const Face *face, const Ray &ray, IntInfo *i_info)
{
    return tri_test(face->v[0], face->v[1], face->v[2], face->norm, ray, i_info);
}

// Two triangles sharing the quad's normal and plane: (v0, v1, v2), then
// (v0, v2, v3). A point on the diagonal belongs to the first. The corners are
// passed by reference rather than copied into a face of their own.
static bool quad_intersection(const Face *face, const Ray &ray, IntInfo *i_info)
{
    if (tri_test(face->v[0], face->v[1], face->v[2], face->norm, ray, i_info)) {
        return true;
    }
    return tri_test(face->v[0], face->v[2], face->v[3], face->norm, ray, i_info);
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
    prim = new_prim;
    tree_ready = false;
    switch (prim) {
    case MESH_PRIM_TRI:
        face_intersection = tri_intersection;
        break;
    case MESH_PRIM_QUAD:
        face_intersection = quad_intersection;
        break;
    default:
        fprintf(stderr, "invalid primitive\n");
        face_intersection = nullptr;
        break;
    }
}

void Mesh::add_face(const Face &face)
{
    faces.push_back(face);
    tree_ready = false;
}

Face *Mesh::get_face(int idx)
{
    if (idx < 0 || idx >= get_face_count()) {
        return nullptr;
    }
    tree_ready = false;
    return &faces[idx];
}

const Face *Mesh::get_face(int idx) const
{
    if (idx < 0 || idx >= get_face_count()) {
        return nullptr;
    }
    return &faces[idx];
}

bool Mesh::intersection(const Ray &ray, IntInfo *i_info) const
{
    if (ignore) {
        return false;
    }
    RT_COUNT(box_tests);
    if (!bbox.intersection(ray)) {
        return false;
    }
    if (faces.empty() || face_intersection == nullptr) {
        return false;
    }
    if (accelerated && tree_ready) {
        // Sums bound the largest component and, unlike std::max, carry a
        // NaN along: the test fails for NaN and infinity, and such rays
        // take the walk below.
        double ao = (std::fabs(ray.origin.x) + std::fabs(ray.origin.y)) + std::fabs(ray.origin.z);
        double ad = (std::fabs(ray.dir.x) + std::fabs(ray.dir.y)) + std::fabs(ray.dir.z);
        if (ao <= origin_cap && ao + ad <= reach_cap) {
            return tree_intersection(ray, i_info);
        }
    }

    IntInfo nearest;
    nearest.t = 1.7976931348623157e+308;
    bool found = false;
    for (const Face &face : faces) {
        IntInfo tmp;
        RT_COUNT(face_tests);
        // Strictly nearer replaces: of two faces at the same t the earlier stays.
        if (face_intersection(&face, ray, &tmp) && nearest.t > tmp.t) {
            nearest = tmp;
            found = true;
        }
    }

    return found && report(nearest, i_info);
}

// Hands the nearest face's hit on as the mesh's own; true.
bool Mesh::report(const IntInfo &nearest, IntInfo *i_info) const
{
    if (i_info != nullptr) {
        i_info->object = this;
        i_info->normal = nearest.normal;
        i_info->i_point = nearest.i_point;
        i_info->t = nearest.t;
    }
    return true;
}

// The walk of the face hierarchy. Its answer is the flat walk's: the faces
// are asked by the same routine with the same ray, and of the hits the least
// (t, face index) wins, which is the flat walk's first nearest one. A node is
// skipped only when the ray misses its box, or when its entry lies beyond the
// best t: the boxes are padded (build_face_tree) so that every hit the face
// test can report lies inside, at or beyond the entry, for rays within the
// caps.
bool Mesh::tree_intersection(const Ray &ray, IntInfo *i_info) const
{
    const bool any = i_info == nullptr;
    IntInfo nearest;
    nearest.t = 1.7976931348623157e+308;
    uint32_t nearest_face = UINT32_MAX;
    bool found = false;

    // Faces with no box of their own, in order: strictly nearer replaces.
    for (uint32_t f : loose_faces) {
        IntInfo tmp;
        RT_COUNT(face_tests);
        if (face_intersection(&faces[f], ray, &tmp) && nearest.t > tmp.t) {
            if (any) {
                return true;
            }
            nearest = tmp;
            nearest_face = f;
            found = true;
        }
    }

    if (!nodes.empty()) {
        RaySlabs slabs(ray);
        uint32_t stack[128];
        double stack_near[128];
        int depth = 0;
        uint32_t ni = 0;
        double near;
        const FaceNode *root = &nodes[0];
        RT_COUNT(box_tests);
        bool live = slab_reach(root->lo[0], root->lo[1], root->lo[2], root->hi[0], root->hi[1], root->hi[2], slabs,
                               any || nearest.t > 1.0 ? 1.0 : nearest.t, &near);
        while (live) {
            const FaceNode &node = nodes[ni];
            if (node.count > 0) {
                for (uint32_t k = node.first; k < node.first + node.count; k++) {
                    uint32_t f = node_faces[k];
                    RT_COUNT(face_tests);
                    if (any) {
                        // A bounded face's t is never NaN for rays within
                        // the caps, so its bare answer is the flat walk's.
                        if (face_intersection(&faces[f], ray, nullptr)) {
                            return true;
                        }
                        continue;
                    }
                    IntInfo tmp;
                    if (face_intersection(&faces[f], ray, &tmp) &&
                        (tmp.t < nearest.t || (tmp.t == nearest.t && f < nearest_face))) {
                        nearest = tmp;
                        nearest_face = f;
                        found = true;
                    }
                }
            } else {
                uint32_t left = ni + 1, right = node.first;
                const FaceNode &l = nodes[left], &r = nodes[right];
                double limit = any || nearest.t > 1.0 ? 1.0 : nearest.t;
                double near_l, near_r;
                RT_COUNT(box_tests);
                RT_COUNT(box_tests);
                bool hit_l = slab_reach(l.lo[0], l.lo[1], l.lo[2], l.hi[0], l.hi[1], l.hi[2], slabs, limit, &near_l);
                bool hit_r = slab_reach(r.lo[0], r.lo[1], r.lo[2], r.hi[0], r.hi[1], r.hi[2], slabs, limit, &near_r);
                if (hit_l && hit_r) {
                    // Nearer first; the other waits with its entry.
                    if (near_r < near_l) {
                        stack[depth] = left;
                        stack_near[depth++] = near_l;
                        ni = right;
                    } else {
                        stack[depth] = right;
                        stack_near[depth++] = near_r;
                        ni = left;
                    }
                    continue;
                }
                if (hit_l || hit_r) {
                    ni = hit_l ? left : right;
                    continue;
                }
            }
            // Next waiting node whose entry is not beyond the best hit.
            live = false;
            while (depth > 0) {
                depth--;
                if (any || stack_near[depth] <= nearest.t) {
                    ni = stack[depth];
                    live = true;
                    break;
                }
            }
        }
    }

    return found && report(nearest, i_info);
}

bool Mesh::is_light() const
{
    return !faces.empty() && Object::is_light();
}

void Mesh::calc_bbox()
{
    const double big = 1.7976931348623157e+308;
    bbox.max = Vector3(-big, -big, -big);
    bbox.min = Vector3(big, big, big);
    int corners = prim == MESH_PRIM_QUAD ? 4 : 3;
    for (const Face &face : faces) {
        for (int i = 0; i < corners; i++) {
            const Vector3 &p = face.v[i].pos;
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
// tri_test can accept a ray within the mesh's caps, padded so that the
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

const double EPS = 2.220446049250313e-16; // 2^-52
const double BIG_COORD = 1e60;

double max_abs(const Vector3 &v)
{
    return std::max(std::fabs(v.x), std::max(std::fabs(v.y), std::fabs(v.z)));
}

enum HalfState { HALF_NEVER, HALF_BOUNDED, HALF_LOOSE };

struct HalfBound {
    HalfState state;
    BBox box;     // padded
    double reach; // the largest reach cap the bound holds for
};

HalfBound bound_half(const Vector3 &a, const Vector3 &b, const Vector3 &c, const Vector3 &n, double origin_cap)
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
    double l = std::max(length(vi), std::max(length(vj), length(c - b))) * (1.0 + 1e-9);
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
    // The larger root, with a margin; beyond it points are accepted again.
    double far = (-qb + std::sqrt(disc)) / (2.0 * qa) * 0.99;
    // A point of a ray within the caps lies within sqrt(3) (reach + m).
    hb.reach = far / 1.7321 - m;
    if (!(hb.reach > 0.0)) {
        return hb;
    }

    double r = 3.002 * l + z0;
    double delta = 2.0 * (c0 + k * r * r) / h;
    double off = std::max(std::fabs(dot(n, vi)), std::fabs(dot(n, vj))) * 1.001 + 8.0 * EPS * (m + l);
    double pad = 1.01 * delta + off + 128.0 * EPS * (origin_cap + m + l) + 1e-300;
    Vector3 lo(std::min(a.x, std::min(b.x, c.x)), std::min(a.y, std::min(b.y, c.y)), std::min(a.z, std::min(b.z, c.z)));
    Vector3 hi(std::max(a.x, std::max(b.x, c.x)), std::max(a.y, std::max(b.y, c.y)), std::max(a.z, std::max(b.z, c.z)));
    hb.box = BBox(lo - Vector3(pad, pad, pad), hi + Vector3(pad, pad, pad));
    hb.state = HALF_BOUNDED;
    return hb;
}

// Single precision, rounded outwards (beyond its range: infinite).
float float_down(double x)
{
    if (!(x <= FLT_MAX)) {
        return x > 0.0 ? FLT_MAX : -HUGE_VALF;
    }
    if (x < -FLT_MAX) {
        return -HUGE_VALF;
    }
    float f = static_cast<float>(x);
    return static_cast<double>(f) > x ? std::nextafter(f, -HUGE_VALF) : f;
}

float float_up(double x)
{
    if (!(x >= -FLT_MAX)) {
        return x < 0.0 ? -FLT_MAX : HUGE_VALF;
    }
    if (x > FLT_MAX) {
        return HUGE_VALF;
    }
    float f = static_cast<float>(x);
    return static_cast<double>(f) < x ? std::nextafter(f, HUGE_VALF) : f;
}

int tree_depth(const std::vector<BuildNode> &nodes, int index)
{
    const BuildNode &n = nodes[index];
    if (n.count > 0) {
        return 1;
    }
    return 1 + std::max(tree_depth(nodes, index + 1), tree_depth(nodes, n.right));
}

} // namespace

void Mesh::build_face_tree()
{
    tree_ready = false;
    nodes.clear();
    node_faces.clear();
    loose_faces.clear();
    if (!accelerated || face_intersection == nullptr || faces.size() >= UINT32_MAX / 2) {
        return;
    }

    double coord = 0.0;
    for (const Face &face : faces) {
        for (int i = 0; i < prim; i++) {
            double c = max_abs(face.v[i].pos);
            coord = c > coord ? c : coord; // a NaN corner makes its face loose below
        }
    }
    origin_cap = std::max(1e5, 16.0 * std::min(coord, BIG_COORD));

    enum { NEVER, BOUNDED, LOOSE };
    std::vector<unsigned char> state(faces.size());
    std::vector<BBox> boxes(faces.size());
    std::vector<double> reach(faces.size(), HUGE_VAL);
    std::vector<double> reaches;
    for (size_t i = 0; i < faces.size(); i++) {
        const Face &f = faces[i];
        const Vector3 &n = f.norm;
        double nlen = length(n);
        if ((n.x == 0.0 && n.y == 0.0 && n.z == 0.0) || nlen != nlen) {
            state[i] = NEVER; // no hit, or only hits at a NaN t
            continue;
        }
        if (!(nlen > 0.999 && nlen < 1.001)) {
            state[i] = LOOSE; // the bound above is for a unit normal
            continue;
        }
        HalfBound halves[2];
        int count = prim == MESH_PRIM_QUAD ? 2 : 1;
        halves[0] = bound_half(f.v[0].pos, f.v[1].pos, f.v[2].pos, n, origin_cap);
        if (count == 2) {
            halves[1] = bound_half(f.v[0].pos, f.v[2].pos, f.v[3].pos, n, origin_cap);
        }
        state[i] = NEVER;
        for (int h = 0; h < count; h++) {
            if (halves[h].state == HALF_LOOSE) {
                state[i] = LOOSE;
                break;
            }
            if (halves[h].state == HALF_BOUNDED) {
                if (state[i] == NEVER) {
                    boxes[i] = halves[h].box;
                } else {
                    boxes[i].min = Vector3(std::min(boxes[i].min.x, halves[h].box.min.x),
                                           std::min(boxes[i].min.y, halves[h].box.min.y),
                                           std::min(boxes[i].min.z, halves[h].box.min.z));
                    boxes[i].max = Vector3(std::max(boxes[i].max.x, halves[h].box.max.x),
                                           std::max(boxes[i].max.y, halves[h].box.max.y),
                                           std::max(boxes[i].max.z, halves[h].box.max.z));
                }
                reach[i] = std::min(reach[i], halves[h].reach);
                state[i] = BOUNDED;
            }
        }
        if (state[i] == BOUNDED) {
            reaches.push_back(reach[i]);
        }
    }

    // The reach cap: as far as every face allows, or, if that is short of
    // rays to far lights, as far as all but a few allow, the few (the
    // thinnest) being asked for every ray instead.
    reach_cap = 1e12;
    if (!reaches.empty()) {
        const double wanted = 1e8;
        double least = *std::min_element(reaches.begin(), reaches.end());
        if (least >= wanted) {
            reach_cap = std::min(reach_cap, least);
        } else {
            size_t few = reaches.size() / 256;
            std::nth_element(reaches.begin(), reaches.begin() + few, reaches.end());
            reach_cap = std::min(wanted, reaches[few]);
        }
    }

    std::vector<BBox> bounded;
    std::vector<uint32_t> bounded_faces;
    for (size_t i = 0; i < faces.size(); i++) {
        if (state[i] == BOUNDED && reach[i] >= reach_cap) {
            bounded.push_back(boxes[i]);
            bounded_faces.push_back(static_cast<uint32_t>(i));
        } else if (state[i] != NEVER) {
            loose_faces.push_back(static_cast<uint32_t>(i));
        }
    }

    std::vector<BuildNode> build;
    std::vector<int> order;
    build_box_hierarchy(bounded, 4, 2.0, &build, &order);
    if (!build.empty() && tree_depth(build, 0) >= 128) {
        loose_faces.clear();
        return; // deeper than the walk's stack: not expected of the builder
    }

    nodes.resize(build.size());
    for (size_t i = 0; i < build.size(); i++) {
        const BuildNode &bn = build[i];
        FaceNode &fn = nodes[i];
        fn.lo[0] = float_down(bn.box.min.x);
        fn.lo[1] = float_down(bn.box.min.y);
        fn.lo[2] = float_down(bn.box.min.z);
        fn.hi[0] = float_up(bn.box.max.x);
        fn.hi[1] = float_up(bn.box.max.y);
        fn.hi[2] = float_up(bn.box.max.z);
        fn.first = static_cast<uint32_t>(bn.count > 0 ? bn.first : bn.right);
        fn.count = static_cast<uint32_t>(bn.count);
    }
    node_faces.resize(order.size());
    for (size_t i = 0; i < order.size(); i++) {
        node_faces[i] = bounded_faces[order[i]];
    }
    nodes.shrink_to_fit();
    loose_faces.shrink_to_fit();
    tree_ready = true;
}

bool Mesh::reach_bounds(BBox *box, double *origin_cap_out, double *reach_cap_out) const
{
    if (!accelerated || !tree_ready || !loose_faces.empty()) {
        return false;
    }
    if (nodes.empty()) {
        *box = bbox; // no face can be hit: any box will do
    } else {
        const FaceNode &root = nodes[0];
        *box = BBox(Vector3(root.lo[0], root.lo[1], root.lo[2]), Vector3(root.hi[0], root.hi[1], root.hi[2]));
    }
    *origin_cap_out = origin_cap;
    *reach_cap_out = reach_cap;
    return true;
}

size_t Mesh::hierarchy_bytes() const
{
    return nodes.capacity() * sizeof(FaceNode) + (node_faces.capacity() + loose_faces.capacity()) * sizeof(uint32_t);
}

Vector3 Mesh::sample() const
{
    if (faces.empty()) {
        return Vector3();
    }
    int count = get_face_count();
    int rnd = static_cast<int>(random_int() * 4.656612873077393e-10 * count);
    if (rnd >= count) {
        rnd = count - 1; // unreachable while rand() stays below 2^31
    }
    return faces[rnd].sample(prim);
}
