#ifndef RT_MESH_H
#define RT_MESH_H

#include <vector>

#include "object.h"

// The value is the number of corners of every face.
enum MeshPrim { MESH_PRIM_TRI = 3, MESH_PRIM_QUAD = 4 };

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
    Face *get_face(int idx);
    const Face *get_face(int idx) const;

  protected:
    MeshPrim prim;
    std::vector<Face> faces;
    FaceIntersection face_intersection = nullptr;
};

#endif
