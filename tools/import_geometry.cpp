#include "import_geometry.h"

#include <algorithm>
#include <array>
#include <map>
#include <unordered_map>

namespace
{

// A vector made unit length is finite and about 1 long; one made of a zero
// vector is not a number.
bool is_unit(const Vec &v)
{
    return is_finite(v) && v.Length() > 0.5;
}

// The unit normal of the plane through a, b and c, counter-clockwise seen
// from its front; not a number when they lie on one line.
Vec unit_normal(const Vec &a, const Vec &b, const Vec &c)
{
    Vec n = (b - a) ^ (c - a);
    return n / n.Length();
}

// The angle at corner p between the edges to a and to b; not a number when an
// edge has no length.
double corner_angle(const Vec &p, const Vec &a, const Vec &b)
{
    Vec u = a - p, v = b - p;
    double c = (u * v) / (u.Length() * v.Length());
    return std::acos(std::clamp(c, -1.0, 1.0));
}

Vec mesh_vertex(const aiMesh *mesh, unsigned index)
{
    const aiVector3D &p = mesh->mVertices[index];
    return Vec(p.x, p.y, p.z);
}

// Smooth vertex normals for a mesh that has none: at every position, the sum
// of the normals of the faces that meet there, each weighted by its angle at
// that corner, so that splitting a face into triangles changes nothing.
// Vertices are matched by position, since formats differ in whether faces
// share vertices; assimp's aiProcess_GenSmoothNormals would give a vertex
// that faces share the normal of only one of them.
std::vector<Vec> smooth_normals(const aiMesh *mesh)
{
    std::map<std::array<float, 3>, Vec> sums;
    for (unsigned f = 0; f < mesh->mNumFaces; f++) {
        const aiFace &face = mesh->mFaces[f];
        unsigned n = face.mNumIndices;
        if (n < 3) {
            continue;
        }
        Vec normal = unit_normal(mesh_vertex(mesh, face.mIndices[0]), mesh_vertex(mesh, face.mIndices[1]),
                                 mesh_vertex(mesh, face.mIndices[2]));
        if (!is_unit(normal)) {
            continue;
        }
        for (unsigned k = 0; k < n; k++) {
            unsigned index = face.mIndices[k];
            double angle = corner_angle(mesh_vertex(mesh, index), mesh_vertex(mesh, face.mIndices[(k + n - 1) % n]),
                                        mesh_vertex(mesh, face.mIndices[(k + 1) % n]));
            if (angle > 0.0) {
                const aiVector3D &p = mesh->mVertices[index];
                sums[{p.x, p.y, p.z}] += normal * angle;
            }
        }
    }
    std::vector<Vec> normals(mesh->mNumVertices);
    for (unsigned i = 0; i < mesh->mNumVertices; i++) {
        const aiVector3D &p = mesh->mVertices[i];
        Vec sum = sums[{p.x, p.y, p.z}];
        normals[i] = sum / sum.Length();
    }
    return normals;
}

// The vertex normals of the file, or smooth ones when it has none.
std::vector<Vec> vertex_normals(const aiMesh *mesh)
{
    if (!mesh->HasNormals()) {
        return smooth_normals(mesh);
    }
    std::vector<Vec> normals(mesh->mNumVertices);
    for (unsigned i = 0; i < mesh->mNumVertices; i++) {
        const aiVector3D &n = mesh->mNormals[i];
        normals[i] = Vec(n.x, n.y, n.z);
    }
    return normals;
}

// Appends the faces of one mesh placed by the node transform world. Normals
// transform with the inverse transpose of its 3x3 part and are made unit
// length again. The mirror into rt's frame would turn the corners' order
// clockwise seen from the front, so they are taken in reverse.
void collect_mesh(const aiMesh *mesh, const Matrix4 &world, const Matrix3 &normal_matrix, Geometry *geo)
{
    std::vector<Vec> normals = vertex_normals(mesh);
    for (unsigned f = 0; f < mesh->mNumFaces; f++) {
        const aiFace &face = mesh->mFaces[f];
        if (face.mNumIndices < 3 || face.mNumIndices > 4) {
            geo->skipped++;
            continue;
        }
        Polygon poly;
        poly.count = face.mNumIndices;
        poly.material = mesh->mMaterialIndex;
        bool usable = true;
        for (unsigned k = 0; k < poly.count; k++) {
            unsigned index = face.mIndices[(poly.count - k) % poly.count];
            poly.corner[k].pos = to_rt_frame(world * mesh_vertex(mesh, index));
            Vec n = to_rt_frame(normal_matrix * normals[index]);
            poly.corner[k].norm = n / n.Length();
            usable = usable && is_finite(poly.corner[k].pos);
        }
        // A zero normal in the file: the face's own normal stands in.
        Vec flat = unit_normal(poly.corner[0].pos, poly.corner[1].pos, poly.corner[2].pos);
        for (unsigned k = 0; k < poly.count; k++) {
            if (!is_unit(poly.corner[k].norm)) {
                poly.corner[k].norm = flat;
                usable = usable && is_unit(flat);
            }
        }
        if (!usable) {
            geo->skipped++;
            continue;
        }
        geo->faces.push_back(poly);
    }
}

// Walks the node tree, accumulating each node's transform onto its parent's.
void collect_node(const aiScene *scene, const aiNode *node, const Matrix4 &parent, Geometry *geo)
{
    Matrix4 world = parent * Matrix4(node->mTransformation);
    Matrix3 normal_matrix = Matrix3(world).Inverse().Transpose();
    for (unsigned i = 0; i < node->mNumMeshes; i++) {
        collect_mesh(scene->mMeshes[node->mMeshes[i]], world, normal_matrix, geo);
    }
    for (unsigned i = 0; i < node->mNumChildren; i++) {
        collect_node(scene, node->mChildren[i], world, geo);
    }
}

// The 1-based number of the line text in lines, appending it when new.
size_t line_index(const std::string &text, std::vector<std::string> *lines,
                  std::unordered_map<std::string, size_t> *index)
{
    auto it = index->find(text);
    if (it != index->end()) {
        return it->second;
    }
    lines->push_back(text);
    (*index)[text] = lines->size();
    return lines->size();
}

} // namespace

bool every_face_is_quad(const aiScene *scene)
{
    for (unsigned m = 0; m < scene->mNumMeshes; m++) {
        const aiMesh *mesh = scene->mMeshes[m];
        for (unsigned f = 0; f < mesh->mNumFaces; f++) {
            unsigned n = mesh->mFaces[f].mNumIndices;
            if (n >= 3 && n != 4) {
                return false;
            }
        }
    }
    return true;
}

Matrix4 node_to_world(const aiNode *node)
{
    Matrix4 world;
    for (; node != nullptr; node = node->mParent) {
        world = Matrix4(node->mTransformation) * world;
    }
    return world;
}

Geometry collect_geometry(const aiScene *scene)
{
    Geometry geo;
    collect_node(scene, scene->mRootNode, Matrix4(), &geo);
    return geo;
}

Box bounding_box(const std::vector<Polygon> &faces)
{
    Box box{Vec(INFINITY, INFINITY, INFINITY), Vec(-INFINITY, -INFINITY, -INFINITY)};
    for (const Polygon &poly : faces) {
        for (unsigned k = 0; k < poly.count; k++) {
            const Vec &p = poly.corner[k].pos;
            box.lo = Vec(std::min(box.lo.x, p.x), std::min(box.lo.y, p.y), std::min(box.lo.z, p.z));
            box.hi = Vec(std::max(box.hi.x, p.x), std::max(box.hi.y, p.y), std::max(box.hi.z, p.z));
        }
    }
    return box;
}

Fit unit_box_fit(const Box &box)
{
    Fit fit;
    double extent = std::max({box.hi.x - box.lo.x, box.hi.y - box.lo.y, box.hi.z - box.lo.z});
    if (extent > 0.0) {
        fit.centre = box.centre();
        fit.extent = extent;
    }
    return fit;
}

void fit_faces(const Fit &fit, std::vector<Polygon> *faces)
{
    for (Polygon &poly : *faces) {
        for (unsigned k = 0; k < poly.count; k++) {
            Vec p = fit.place(poly.corner[k].pos);
            // Rounding may step a hair past the box: keep it inside.
            poly.corner[k].pos =
                Vec(std::clamp(p.x, -0.5, 0.5), std::clamp(p.y, -0.5, 0.5), std::clamp(p.z, -0.5, 0.5));
        }
    }
}

MeshText mesh_text(const std::vector<Polygon> &faces, bool quads)
{
    std::vector<std::string> positions, normals;
    std::unordered_map<std::string, size_t> pos_index, norm_index;
    std::string face_lines;
    for (const Polygon &poly : faces) {
        face_lines += "f";
        for (unsigned k = 0; k < poly.count; k++) {
            size_t v = line_index(format_vector(poly.corner[k].pos), &positions, &pos_index);
            size_t n = line_index(format_vector(poly.corner[k].norm), &normals, &norm_index);
            face_lines += " " + std::to_string(v) + "/" + std::to_string(n);
        }
        face_lines += "\n";
    }
    MeshText mesh;
    mesh.text = quads ? "MESH4\n" : "MESH3\n";
    for (const std::string &p : positions) {
        mesh.text += "v " + p + "\n";
    }
    for (const std::string &n : normals) {
        mesh.text += "n " + n + "\n";
    }
    mesh.text += face_lines;
    mesh.positions = positions.size();
    mesh.normals = normals.size();
    return mesh;
}
