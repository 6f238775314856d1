#include "import_geometry.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <array>
#include <tuple>
#include <unordered_map>
#include <utility>

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

// Faces whose normals differ by more than this meet at a crease: each keeps
// its own normal there.
const double kCreaseCos = 0.5; // cos 60 degrees

// A corner of a face at a position, for crease_normals.
struct CornerAt {
    std::array<float, 3> position;
    Vec face_normal;
    double angle; // the face's angle at the corner
    unsigned face, k;
};

// The normals of the corners at one position, [first, last) of corners.
// Corners of faces with the same normal get the same one, worked out once:
// a flat fan of many faces costs no more than one face.
void normals_at_position(std::vector<CornerAt>::iterator first, std::vector<CornerAt>::iterator last,
                         std::vector<std::array<Vec, 4>> *normals)
{
    auto by_normal = [](const CornerAt &a, const CornerAt &b) {
        return std::tie(a.face_normal.x, a.face_normal.y, a.face_normal.z) <
               std::tie(b.face_normal.x, b.face_normal.y, b.face_normal.z);
    };
    std::sort(first, last, by_normal);
    // The distinct face normals here, each with the sum of its corners' angles.
    std::vector<std::pair<Vec, double>> bends;
    for (auto c = first; c != last; ++c) {
        if (bends.empty() || !(bends.back().first == c->face_normal)) {
            bends.push_back({c->face_normal, 0.0});
        }
        bends.back().second += c->angle;
    }
    for (auto c = first; c != last;) {
        Vec sum;
        for (const std::pair<Vec, double> &bend : bends) {
            if (c->face_normal * bend.first >= kCreaseCos) {
                sum += bend.first * bend.second;
            }
        }
        Vec normal = sum / sum.Length();
        for (Vec own = c->face_normal; c != last && c->face_normal == own; ++c) {
            (*normals)[c->face][c->k] = normal;
        }
    }
}

// The normal of every corner of every face (corner k of face f at [f][k]),
// for a mesh whose file gives none. At each position a corner takes the sum
// of the normals of the faces that meet there and bend from its own face by
// at most the crease angle, each weighted by its angle at that corner, so
// that splitting a face into triangles changes nothing. Flat faces meeting
// at a hard edge keep their own normals, a curved surface comes out smooth,
// and a corner where both meet is split. Corners are matched by position,
// since formats differ in whether faces share vertices. A degenerate face
// (no normal or no angle) gives nothing and gets no normal.
std::vector<std::array<Vec, 4>> crease_normals(const aiMesh *mesh)
{
    std::vector<CornerAt> corners;
    for (unsigned f = 0; f < mesh->mNumFaces; f++) {
        const aiFace &face = mesh->mFaces[f];
        unsigned n = face.mNumIndices;
        if (n < 3 || n > 4) {
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
                corners.push_back({{p.x, p.y, p.z}, normal, angle, f, k});
            }
        }
    }
    std::sort(corners.begin(), corners.end(),
              [](const CornerAt &a, const CornerAt &b) { return a.position < b.position; });
    std::vector<std::array<Vec, 4>> normals(mesh->mNumFaces);
    for (auto first = corners.begin(); first != corners.end();) {
        auto last = first;
        while (last != corners.end() && last->position == first->position) {
            ++last;
        }
        normals_at_position(first, last, &normals);
        first = last;
    }
    return normals;
}

// Where the vertices of a mesh stand in the model's world: the transform of
// each vertex, or one for all, and the inverse transpose of its 3x3 part,
// which turns normals.
struct Placement {
    std::vector<Matrix4> world;
    std::vector<Matrix3> normal;
    size_t index(unsigned vertex) const { return world.size() == 1 ? 0 : vertex; }
};

Placement placed_by(const Matrix4 &world)
{
    return {{world}, {Matrix3(world).Inverse().Transpose()}};
}

bool is_finite(const Matrix4 &m)
{
    for (unsigned r = 0; r < 4; r++) {
        for (unsigned c = 0; c < 4; c++) {
            if (!std::isfinite(m[r][c])) {
                return false;
            }
        }
    }
    return true;
}

// A skinned mesh stands where its bones put it, as the tool that made it
// shows it: each vertex moves by the world transforms of the bones that
// hold it, each after the bone's offset (from the mesh to the bone in the
// pose the skin was bound in), blended by their weights. The node's own
// transform may be another pose's, or none (a DirectX figure's head then
// floats beside its neck). A vertex no bone holds keeps the node's
// transform; a mesh whose bones are not all nodes of the model, or whose
// blend is not finite, keeps it whole.
Placement place_mesh(const aiScene *scene, const aiMesh *mesh, const Matrix4 &world)
{
    if (!mesh->HasBones()) {
        return placed_by(world);
    }
    const Matrix4 zero(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    std::vector<Matrix4> sum(mesh->mNumVertices, zero);
    std::vector<double> weight(mesh->mNumVertices, 0.0);
    for (unsigned b = 0; b < mesh->mNumBones; b++) {
        const aiBone *bone = mesh->mBones[b];
        const aiNode *node = scene->mRootNode->FindNode(bone->mName);
        if (node == nullptr) {
            return placed_by(world);
        }
        Matrix4 moved = node_to_world(node) * Matrix4(bone->mOffsetMatrix);
        for (unsigned w = 0; w < bone->mNumWeights; w++) {
            const aiVertexWeight &held = bone->mWeights[w];
            if (held.mVertexId < mesh->mNumVertices && held.mWeight > 0.0f) {
                sum[held.mVertexId] = sum[held.mVertexId] + moved * static_cast<double>(held.mWeight);
                weight[held.mVertexId] += held.mWeight;
            }
        }
    }
    Placement placed;
    for (unsigned v = 0; v < mesh->mNumVertices; v++) {
        sum[v] = weight[v] > 0.0 ? sum[v] * (1.0 / weight[v]) : world;
        if (!is_finite(sum[v])) {
            return placed_by(world);
        }
        placed.normal.push_back(Matrix3(sum[v]).Inverse().Transpose());
    }
    placed.world = std::move(sum);
    return placed;
}

// Appends the faces of one mesh placed by placed. Normals are made unit
// length again. The mirror into rt's frame would turn the corners' order
// clockwise seen from the front, so they are taken in reverse.
void collect_mesh(const aiMesh *mesh, const Placement &placed, bool file_normals, Geometry *geo)
{
    bool own = file_normals && mesh->HasNormals();
    std::vector<std::array<Vec, 4>> made;
    if (!own) {
        made = crease_normals(mesh);
    }
    auto normal_of = [&](unsigned f, unsigned k) {
        if (!own) {
            return made[f][k];
        }
        const aiVector3D &n = mesh->mNormals[mesh->mFaces[f].mIndices[k]];
        return Vec(n.x, n.y, n.z);
    };
    for (unsigned f = 0; f < mesh->mNumFaces; f++) {
        const aiFace &face = mesh->mFaces[f];
        if (face.mNumIndices < 3 || face.mNumIndices > 4) {
            geo->skipped++;
            continue;
        }
        Polygon poly;
        poly.count = face.mNumIndices;
        poly.material = mesh->mMaterialIndex;
        bool finite = true, usable = true;
        for (unsigned k = 0; k < poly.count; k++) {
            unsigned from = (poly.count - k) % poly.count;
            unsigned index = face.mIndices[from];
            size_t at = placed.index(index);
            poly.corner[k].pos = to_rt_frame(placed.world[at] * mesh_vertex(mesh, index));
            Vec n = to_rt_frame(placed.normal[at] * normal_of(f, from));
            poly.corner[k].norm = n / n.Length();
            finite = finite && is_finite(poly.corner[k].pos);
        }
        if (mesh->HasTextureCoords(0)) {
            poly.textured = true;
            for (unsigned k = 0; k < poly.count; k++) {
                const aiVector3D &t = mesh->mTextureCoords[0][face.mIndices[(poly.count - k) % poly.count]];
                // Not a number: the image's corner.
                poly.corner[k].u = std::isfinite(t.x) ? t.x : 0.0f;
                poly.corner[k].v = std::isfinite(t.y) ? t.y : 0.0f;
            }
        }
        // A zero normal in the file: the face's own normal stands in.
        Vec flat = unit_normal(poly.corner[0].pos, poly.corner[1].pos, poly.corner[2].pos);
        for (unsigned k = 0; k < poly.count; k++) {
            if (!is_unit(poly.corner[k].norm)) {
                poly.corner[k].norm = flat;
                usable = usable && is_unit(flat);
            }
        }
        if (!finite || !usable) {
            (finite ? geo->skipped : geo->not_finite)++;
            continue;
        }
        if (mesh->HasVertexColors(0)) {
            for (unsigned k = 0; k < poly.count; k++) {
                const aiColor4D &c = mesh->mColors[0][face.mIndices[k]];
                // Readers fill colours a file does not give with 0 (alpha
                // too) or -1: such a colour says nothing.
                Vec colour(c.r, c.g, c.b);
                if (c.a > 0.0f && is_finite(colour) && std::min({colour.x, colour.y, colour.z}) >= 0.0) {
                    ColourSum &sum = geo->colours[poly.material];
                    sum.sum += colour;
                    sum.count++;
                }
            }
        }
        geo->faces.push_back(poly);
    }
}

// Walks the node tree, accumulating each node's transform onto its parent's.
void collect_node(const aiScene *scene, const aiNode *node, const Matrix4 &parent, bool file_normals, Geometry *geo)
{
    Matrix4 world = parent * Matrix4(node->mTransformation);
    for (unsigned i = 0; i < node->mNumMeshes; i++) {
        const aiMesh *mesh = scene->mMeshes[node->mMeshes[i]];
        collect_mesh(mesh, place_mesh(scene, mesh, world), file_normals, geo);
    }
    for (unsigned i = 0; i < node->mNumChildren; i++) {
        collect_node(scene, node->mChildren[i], world, file_normals, geo);
    }
}

// A vector as the mesh file writes it: rounded to single precision, -0
// made 0, so that equal keys are equal lines.
using FloatKey = std::array<float, 3>;

FloatKey float_key(const Vec &v)
{
    return {static_cast<float>(v.x) + 0.0f, static_cast<float>(v.y) + 0.0f, static_cast<float>(v.z) + 0.0f};
}

struct FloatKeyHash {
    size_t operator()(const FloatKey &k) const
    {
        uint32_t bits[3];
        memcpy(bits, k.data(), sizeof bits);
        return (static_cast<size_t>(bits[0]) * 0x9E3779B97F4A7C15ull) ^
               (static_cast<size_t>(bits[1]) * 0xC2B2AE3D27D4EB4Full) ^ bits[2];
    }
};

// The lines of one kind ("v " or "n ") of a mesh file: each distinct vector
// once, in the order first met, numbered from 1.
class VectorLines
{
  public:
    explicit VectorLines(const char *kind) : kind(kind) {}
    size_t index(const Vec &v)
    {
        auto found = numbers.emplace(float_key(v), numbers.size() + 1);
        if (found.second) {
            text += kind + format_vector(v) + "\n";
        }
        return found.first->second;
    }
    // A texture coordinate: "t u v".
    size_t index(float u, float v)
    {
        auto found = numbers.emplace(float_key(Vec(u, v, 0.0)), numbers.size() + 1);
        if (found.second) {
            text += kind + format_number(u) + " " + format_number(v) + "\n";
        }
        return found.first->second;
    }
    size_t count() const { return numbers.size(); }
    std::string text;

  private:
    std::string kind;
    std::unordered_map<FloatKey, size_t, FloatKeyHash> numbers;
};

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

Geometry collect_geometry(const aiScene *scene, bool file_normals)
{
    Geometry geo;
    collect_node(scene, scene->mRootNode, Matrix4(), file_normals, &geo);
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

void place_faces(const Fit &fit, bool unit_box, std::vector<Polygon> *faces)
{
    for (Polygon &poly : *faces) {
        for (unsigned k = 0; k < poly.count; k++) {
            Vec p = fit.place(poly.corner[k].pos);
            // Rounding may step a hair past the box: keep it inside.
            poly.corner[k].pos =
                unit_box ? Vec(std::clamp(p.x, -0.5, 0.5), std::clamp(p.y, -0.5, 0.5), std::clamp(p.z, -0.5, 0.5)) : p;
        }
    }
}

MeshText mesh_text(const std::vector<Polygon> &faces, bool quads, bool coords)
{
    VectorLines positions("v "), normals("n "), uvs("t ");
    std::string face_lines;
    for (const Polygon &poly : faces) {
        face_lines += "f";
        for (unsigned k = 0; k < poly.count; k++) {
            size_t v = positions.index(poly.corner[k].pos);
            size_t n = normals.index(poly.corner[k].norm);
            face_lines += " " + std::to_string(v) + "/" + std::to_string(n);
            if (coords) {
                face_lines += "/" + std::to_string(uvs.index(poly.corner[k].u, poly.corner[k].v));
            }
        }
        face_lines += "\n";
    }
    MeshText mesh;
    mesh.text = (quads ? "MESH4\n" : "MESH3\n") + positions.text + normals.text + uvs.text + face_lines;
    mesh.positions = positions.count();
    mesh.normals = normals.count();
    mesh.coords = uvs.count();
    return mesh;
}
