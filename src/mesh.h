#ifndef RT_MESH_H
#define RT_MESH_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "object.h"
#include "texture/texture.h"
#include "accel/walk8.h"
#include "accel/wide_tree.h"
#include "memory/unwritten.h"

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

// Flat polygons, all triangles or all quads, smooth-shaded from vertex normals.
//
// The corners are kept once, in shared arrays of positions and normals, and
// each face holds the indices of its corners: the same doubles are read as
// from a face of copied vertices, so every answer is the same to the bit. A
// face's geometric normal is worked out from its corners when needed, unless
// a face added whole brings another one, which is then kept; the hierarchy's
// builder keeps the normals it works out, for the face tests.
class Mesh : public Object
{
  public:
    explicit Mesh(MeshPrim prim);

    bool intersection(const Ray &ray, IntInfo *i_info) const override;
    // The same, with the ray's reciprocals worked out already.
    bool intersection(const Ray &ray, const RaySlabs &slabs, IntInfo *i_info) const;
    // A mesh without faces has nothing to emit from, whatever its material.
    bool is_light() const override;
    void calc_bbox() override;
    Vector3 sample() const override;

    // Any count but 3 or 4 is refused with a message; the mesh then has no
    // face test and must not be used (see has_face_test).
    void set_primitive(MeshPrim prim);
    MeshPrim get_primitive() const { return prim; }
    bool has_face_test() const { return face_test != nullptr; }

    // A copy of the face: its corners, its vertex normals and its normal.
    void add_face(const Face &face);
    // The loader's way: corners once, then faces by their indices (from 0,
    // below the counts added so far; corner_count of each), with the normal
    // of Face::calc_normal.
    void add_position(const Vector3 &pos) { positions.push_back(pos); }
    void add_normal(const Vector3 &norm) { normals.push_back(norm); }
    size_t position_count() const { return positions.size(); }
    size_t normal_count() const { return normals.size(); }
    void add_indexed_face(const uint32_t *pos_idx, const uint32_t *norm_idx);
    // The same for many at once: count faces' indices, corner_count each.
    void add_indexed_faces(const uint32_t *pos_idx, const uint32_t *norm_idx, size_t count);
    void add_positions(const Vector3 *pos, size_t count) { positions.insert(positions.end(), pos, pos + count); }
    void add_normals(const Vector3 *norm, size_t count) { normals.insert(normals.end(), norm, norm + count); }
    // Texture coordinates: count (u, v) pairs; then, for the faces added so
    // far in order, the index of each corner's pair (corner_count a face).
    // A mesh has them at every face or none.
    void add_texture_coords(const float *uv, size_t count) { tex_coords.insert(tex_coords.end(), uv, uv + 2 * count); }
    void add_corner_coords(const uint32_t *coord_idx, size_t faces);
    bool has_texture_coords() const { return !corner_tex.empty(); }
    // The images that colour the mesh, for a mesh with texture coordinates:
    // its hits then report them and where they fall in them.
    void set_maps(const SurfaceMaps &surface_maps) { maps = surface_maps; }
    // Room for this many more corners, normals and faces.
    void reserve(size_t more_positions, size_t more_normals, size_t more_faces);
    // Releases what the arrays hold beyond their contents.
    void shrink_to_fit();

    int get_face_count() const { return static_cast<int>(corner_pos.size() / stride); }
    // The face put together from the shared arrays, in a slot of the mesh
    // that the next call reuses; null for an index out of range.
    const Face *get_face(int idx) const;

    // On (the default), calc_bbox also builds a hierarchy of boxes over the
    // faces and intersection walks it; off, every face is asked in order.
    // The answers are the same bit for bit; the switch is for comparing.
    void set_accelerated(bool on) { accelerated = on; }
    // The hierarchy is built on up to this many threads (1 by default); it
    // is the same whatever the number.
    void set_build_threads(int n) { build_threads = n; }
    bool is_accelerated() const { return accelerated; }
    // For the scene's tree: a box that holds every hit point the mesh can
    // report to a ray with |origin|_inf <= *origin_cap and |origin|_inf +
    // |dir|_inf <= *reach_cap, taken as lying at or beyond the box's entry.
    // False when no such box is known.
    bool reach_bounds(BBox *box, double *origin_cap, double *reach_cap) const;
    // Bytes held by the face hierarchy, and by the faces and their corners.
    size_t hierarchy_bytes() const;
    size_t face_bytes() const;
    // Faces asked for every ray because no box is known to hold their hits.
    int loose_face_count() const { return static_cast<int>(loose_faces.size()); }

  protected:
    // Where a face meets a ray: its parameter and point, and the weights of
    // the corners of the half met (a quad's second half: v0, v2, v3).
    struct Meeting {
        double t;
        Vector3 point, bc;
        int half;
    };
    typedef bool (*FaceTest)(const Mesh &mesh, uint32_t face, const Ray &ray, Meeting *m);
    template <int CORNERS> static bool face_meet(const Mesh &mesh, uint32_t face, const Ray &ray, Meeting *m);
    template <int CORNERS>
    static bool face_inside(const Mesh &mesh, uint32_t face, const Vector3 &n, const Ray &ray, Meeting *m);

    const uint32_t *pos_index(uint32_t face) const { return &corner_pos[static_cast<size_t>(face) * stride]; }
    const uint32_t *norm_index(uint32_t face) const
    {
        return norms_shared ? pos_index(face) : &corner_norm[static_cast<size_t>(face) * stride];
    }
    Vector3 face_normal(uint32_t face) const;
    Vector3 corner_normal(uint32_t face) const;
    Face face_at(uint32_t face) const;
    void build_face_tree();
    bool tree_intersection(const Ray &ray, const RaySlabs &slabs, IntInfo *i_info) const;
    void fill_leaf_tris();
    bool report(uint32_t face, const Meeting &m, IntInfo *i_info) const;
    struct FaceWalk;

    MeshPrim prim;
    int stride = 3; // corners kept per face: 4 for quads, else 3
    std::vector<Vector3> positions;
    std::vector<Vector3> normals;
    std::vector<uint32_t> corner_pos;  // stride per face
    std::vector<uint32_t> corner_norm; // unused while norms_shared
    bool norms_shared = true;          // each normal index equals its position index
    std::vector<Vector3> face_norms;   // empty while each is calc_normal's and none is kept
    std::vector<float> tex_coords;     // (u, v) pairs
    std::vector<uint32_t> corner_tex;  // stride per face, or none
    SurfaceMaps maps;
    FaceTest face_test = nullptr;
    mutable Face shown; // what get_face hands out

    bool accelerated = true;
    int build_threads = 1;
    bool tree_ready = false;
    WideTree tree;
    Walk8Fn walk8 = nullptr;              // the walk of the tree's eight-wide form, once widened
    LeafPretestFn leaf_pretest = nullptr; // its pre-test of a whole leaf, for leaves asked outside it
    std::vector<uint32_t> loose_faces;    // ascending
    double origin_cap = 0.0;              // the tree answers rays within these
    double reach_cap = 0.0;
    double pretest_reach = -1.0; // see TrianglePretest
    // What the pre-test reads of the tree's triangles (pretest_rows), in the
    // tree's order: a leaf of k faces from slot s has its rows at
    // PRETEST_ROWS s (with 8 floats to spare at the end, for reading eight
    // at a time).
    std::vector<float, UnwrittenAllocator<float>> leaf_tris;
    Vector3 corner_centre;
    double corner_coord = -1.0; // the largest |corner - centre|_inf; below 0: no pre-test
};

#endif
