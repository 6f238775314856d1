#include "mesh.h"

#include <cmath>
#include <cstdio>

#include "random.h"

// Weights of the three corners at a point of the triangle's plane, as ratios
// of unsigned areas. False for a triangle too small to weigh anything: its
// weights would sum to 0 and pass every inside test.
static bool bary_coords(const Face *face, const Vector3 &pt, Vector3 *bc)
{
    const Vector3 &n = face->norm;
    Vector3 vi = face->v[1].pos - face->v[0].pos;
    Vector3 vj = face->v[2].pos - face->v[0].pos;
    double area = std::fabs(dot(cross(vi, vj), n) * 0.5);
    if (area < 1e-8) {
        return false;
    }

    Vector3 pv0 = face->v[0].pos - pt;
    Vector3 pv1 = face->v[1].pos - pt;
    Vector3 pv2 = face->v[2].pos - pt;
    double a0 = std::fabs(dot(cross(pv1, pv2), n) * 0.5);
    double a1 = std::fabs(dot(cross(pv2, pv0), n) * 0.5);
    double a2 = std::fabs(dot(cross(pv0, pv1), n) * 0.5);
    *bc = Vector3(a0 / area, a1 / area, a2 / area);
    return true;
}

static bool tri_intersection(const Face *face, const Ray &ray, IntInfo *i_info)
{
    const Vector3 &n = face->norm;
    if (n.x == 0.0 && n.y == 0.0 && n.z == 0.0) {
        return false; // never given a normal
    }

    double d = dot(n, face->v[0].pos);
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
    if (!bary_coords(face, point, &bc)) {
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

    i_info->normal = normalize((face->v[0].norm * bc.x + face->v[1].norm * bc.y) + face->v[2].norm * bc.z);
    i_info->i_point = point;
    i_info->t = t;
    return true;
}

// Two triangles sharing the quad's normal and plane: (v0, v1, v2), then
// (v0, v2, v3). A point on the diagonal belongs to the first.
static bool quad_intersection(const Face *face, const Ray &ray, IntInfo *i_info)
{
    Face tri = *face;
    if (tri_intersection(&tri, ray, i_info)) {
        return true;
    }
    tri.v[1] = face->v[2];
    tri.v[2] = face->v[3];
    return tri_intersection(&tri, ray, i_info);
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
}

Face *Mesh::get_face(int idx)
{
    if (idx < 0 || idx >= get_face_count()) {
        return nullptr;
    }
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
    if (!bbox.intersection(ray)) {
        return false;
    }
    if (faces.empty() || face_intersection == nullptr) {
        return false;
    }

    IntInfo nearest;
    nearest.t = 1.7976931348623157e+308;
    bool found = false;
    for (const Face &face : faces) {
        IntInfo tmp;
        // Strictly nearer replaces: of two faces at the same t the earlier stays.
        if (face_intersection(&face, ray, &tmp) && nearest.t > tmp.t) {
            nearest = tmp;
            found = true;
        }
    }

    if (!found) {
        return false;
    }
    if (i_info == nullptr) {
        return true;
    }
    i_info->object = this;
    i_info->normal = nearest.normal;
    i_info->i_point = nearest.i_point;
    i_info->t = nearest.t;
    return true;
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
