#ifndef RT_MESH_H
#define RT_MESH_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "object.h"

// The value is the number of corners of every face. The type holds any int,
// so a count read from a file arrives as it is and set_primitive refuses it.
enum MeshPrim : int { MESH_PRIM_TRI = 3, MESH_PRIM_QUAD = 4 };

struct Vertex {
    Vector3 pos;
    Vector3 norm; // shading normal
};

struct Face {
    Vertex v[4];  // a triangle uses v[0] to v[2]
    Vector3 norm; // geometric normal; (0, 0, 0) until calc_normal runs

    // From the first three corners, counter-clockwise seen from the front.
    void calc_normal();
    // A point spread uniformly over the face.
    Vector3 sample(MeshPrim prim) const;
};

typedef bool (*FaceIntersection)(const Face *face, const Ray &ray, IntInfo *i_info);

// Flat polygons, all triangles or all quads, smooth-shaded from vertex normals.
class Mesh : public Object
{
  public:
    explicit Mesh(MeshPrim prim);

    bool intersection(const Ray &ray, IntInfo *i_info) const override;
    // A mesh without faces has nothing to emit from, whatever its material.
    bool is_light() const override;
    void calc_bbox() override;
    Vector3 sample() const override;

    // Any count but 3 or 4 is refused with a message; the mesh then has no
    // face test and must not be used (see has_face_test).
    void set_primitive(MeshPrim prim);
    MeshPrim get_primitive() const { return prim; }
    bool has_face_test() const { return face_intersection != nullptr; }

    void add_face(const Face &face);
    int get_face_count() const { return static_cast<int>(faces.size()); }
    // The non-const form lets the face change, so it retires the face
    // hierarchy until the next calc_bbox.
    Face *get_face(int idx);
    const Face *get_face(int idx) const;

    // On (the default), calc_bbox also builds a hierarchy of boxes over the
    // faces and intersection walks it; off, every face is asked in order.
    // The answers are the same bit for bit; the switch is for comparing.
    void set_accelerated(bool on) { accelerated = on; }
    bool is_accelerated() const { return accelerated; }
    // For the scene's tree: a box that holds every hit point the mesh can
    // report to a ray with |origin|_inf <= *origin_cap and |origin|_inf +
    // |dir|_inf <= *reach_cap, taken as lying at or beyond the box's entry.
    // False when no such box is known.
    bool reach_bounds(BBox *box, double *origin_cap, double *reach_cap) const;
    // Bytes held by the face hierarchy, and by the faces themselves.
    size_t hierarchy_bytes() const;
    size_t face_bytes() const { return faces.size() * sizeof(Face); }
    // Faces asked for every ray because no box is known to hold their hits.
    int loose_face_count() const { return static_cast<int>(loose_faces.size()); }

  protected:
    // A node of the face hierarchy: a box in single precision, rounded
    // outwards; a leaf (count > 0) lists node_faces[first .. first + count),
    // an inner node's children are the next node and node `first`.
    struct FaceNode {
        float lo[3];
        float hi[3];
        uint32_t first;
        uint32_t count;
    };

    void build_face_tree();
    bool tree_intersection(const Ray &ray, IntInfo *i_info) const;
    bool report(const IntInfo &nearest, IntInfo *i_info) const;

    MeshPrim prim;
    std::vector<Face> faces;
    FaceIntersection face_intersection = nullptr;

    bool accelerated = true;
    bool tree_ready = false;
    std::vector<FaceNode> nodes;
    std::vector<uint32_t> node_faces;
    std::vector<uint32_t> loose_faces; // ascending
    double origin_cap = 0.0;           // the tree answers rays within these
    double reach_cap = 0.0;
};

#endif
