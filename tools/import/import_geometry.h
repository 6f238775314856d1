// The faces of a model in rt's frame, their bounds, and the mesh data file
// text that holds them.
#ifndef RT_IMPORT_GEOMETRY_H
#define RT_IMPORT_GEOMETRY_H

#include <assimp/scene.h>

#include <map>
#include <string>
#include <vector>

#include "import_common.h"

struct Corner {
    Vec pos;
    Vec norm;
    float u = 0.0f, v = 0.0f; // texture coordinates, v up from the image's bottom
};

// One face in rt's frame: three corners, or four in a quad mesh, counter-
// clockwise seen from the side its normal points to.
struct Polygon {
    unsigned count = 0;
    Corner corner[4];
    unsigned material = 0; // index into the model's materials
    bool textured = false; // the model gives its corners texture coordinates
};

struct ColourSum {
    Vec sum;
    size_t count = 0;
};

struct Geometry {
    std::vector<Polygon> faces;
    int skipped = 0;    // points, lines and faces without area, which no ray sees
    int not_finite = 0; // faces with a corner that is not a finite number
    // The vertex colours of the faces kept, summed by material index, of
    // the meshes that have them; colours that are unset (alpha 0) or not
    // colours (negative, not finite) are left out.
    std::map<unsigned, ColourSum> colours;
};

// Faces of three or more corners only: points and lines are never written.
bool every_face_is_quad(const aiScene *scene);

// The transform of node into the model's world: its own after its parents'.
// The identity for no node.
Matrix4 node_to_world(const aiNode *node);

// Every face of every mesh of every node, placed in world space and then
// turned into rt's frame. Normals are the file's where it has them and
// file_normals holds; otherwise they are worked out with a crease angle.
Geometry collect_geometry(const aiScene *scene, bool file_normals);

struct Box {
    Vec lo, hi;
    Vec centre() const { return (lo + hi) * 0.5; }
    // Of the sphere around the box.
    double radius() const { return (hi - lo).Length() * 0.5; }
};

Box bounding_box(const std::vector<Polygon> &faces);

// A uniform scale and move: p goes to (p - centre) / extent.
struct Fit {
    Vec centre;
    double extent = 1.0;
    Vec place(const Vec &p) const { return (p - centre) / extent; }
};

// The fit that puts box into the unit box centred at the origin; none when
// the box is a single point.
Fit unit_box_fit(const Box &box);

// Places every corner by fit; with unit_box, kept inside the unit box
// against rounding.
void place_faces(const Fit &fit, bool unit_box, std::vector<Polygon> *faces);

struct MeshText {
    std::string text;
    size_t positions = 0;
    size_t normals = 0;
    size_t coords = 0;
};

// The mesh data file: header, positions, normals, texture coordinates (with
// coords), faces. Equal positions (normals, coordinates) as written share one
// line.
MeshText mesh_text(const std::vector<Polygon> &faces, bool quads, bool coords = false);

#endif
