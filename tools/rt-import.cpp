// rt-import: converts a model in any format the assimp library reads (OBJ,
// PLY, STL, glTF, COLLADA ...) into a mesh data file for rt, and prints the
// scene line that places the mesh.
//
//   rt-import [-quads] [-fit] MODEL OUTPUT.mesh
//
// Every mesh of every node is merged into one mesh in world space. The file
// holds triangles (MESH3), or quads (MESH4) with -quads when every face of
// the model is a quad; otherwise -quads falls back to triangles with a note.
// Normals come from the model, or are made smooth when it has none; -fit
// scales and moves the model into a unit box centred at the origin.
// Exit status: 0 done, 1 the model or the output file failed, 2 bad usage.
#include <assimp/Importer.hpp>
#include <assimp/config.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

namespace
{

using Vec = aiVector3t<double>;
using Matrix4 = aiMatrix4x4t<double>;
using Matrix3 = aiMatrix3x3t<double>;

const char kUsage[] = "usage: rt-import [-quads] [-fit] MODEL OUTPUT.mesh\n";

// rt reads a scene line of at most 1023 characters, its line break
// included; the line printed here takes under 128 besides the name.
const size_t kMaxMeshName = 895;

const int kExitFailure = 1;
const int kExitUsage = 2;

struct Options {
    bool quads = false; // write quads when every face is one
    bool fit = false;   // scale and move into the unit box around the origin
    bool help = false;
    std::string model;
    std::string output;
};

struct Corner {
    Vec pos;
    Vec norm;
};

// One face in world space: three corners, or four in a quad mesh.
struct Polygon {
    unsigned count = 0;
    Corner corner[4];
};

struct Geometry {
    std::vector<Polygon> faces;
    int skipped = 0;         // points, lines and faces without any usable normal
    int first_material = -1; // material of the first mesh that gave a face
};

void print_help()
{
    printf("%s"
           "Converts a model that the assimp library reads (OBJ, PLY, STL, glTF, COLLADA ...)\n"
           "into a mesh data file for rt, and prints the scene line for it.\n"
           "\n"
           "  -quads   write quads (MESH4) when every face of the model is a quad\n"
           "  -fit     scale and move the model into a unit box centred at the origin\n"
           "  --help   show this help\n"
           "\n"
           "Exit status: 0 when done, 1 when the model cannot be imported or the output\n"
           "cannot be written, 2 on a bad command line.\n",
           kUsage);
}

bool has_space(const std::string &s)
{
    return std::any_of(s.begin(), s.end(), [](char c) { return isspace(static_cast<unsigned char>(c)) != 0; });
}

// Returns 0 to go on, or the exit status of a bad command line.
int parse_args(int argc, char **argv, Options *opt)
{
    std::vector<std::string> names;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "-quads") {
            opt->quads = true;
        } else if (arg == "-fit") {
            opt->fit = true;
        } else if (arg == "--help") {
            opt->help = true;
            return 0;
        } else if (arg.size() > 1 && arg[0] == '-') {
            fprintf(stderr, "rt-import: unknown option: %s\n%s", arg.c_str(), kUsage);
            return kExitUsage;
        } else {
            names.push_back(arg);
        }
    }
    if (names.size() != 2) {
        fprintf(stderr, "%s", kUsage);
        return kExitUsage;
    }
    opt->model = names[0];
    opt->output = names[1];
    // The scene line must be able to name the output: rt reads the name up
    // to the first blank.
    if (has_space(opt->output)) {
        fprintf(stderr, "rt-import: the output name must not contain white space: %s\n", opt->output.c_str());
        return kExitUsage;
    }
    if (opt->output.size() > kMaxMeshName) {
        fprintf(stderr, "rt-import: the output name is longer than %zu characters: %s\n", kMaxMeshName,
                opt->output.c_str());
        return kExitUsage;
    }
    return 0;
}

// Faces of three or more corners only: points and lines are never written.
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

// A vector made unit length is finite and about 1 long; one made of a zero
// vector is not a number.
bool is_unit(const Vec &v)
{
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z) && v.Length() > 0.5;
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
// length again.
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
        for (unsigned k = 0; k < poly.count; k++) {
            unsigned index = face.mIndices[k];
            poly.corner[k].pos = world * mesh_vertex(mesh, index);
            Vec n = normal_matrix * normals[index];
            poly.corner[k].norm = n / n.Length();
        }
        // A zero normal in the file: the face's own normal stands in.
        Vec flat = unit_normal(poly.corner[0].pos, poly.corner[1].pos, poly.corner[2].pos);
        bool usable = true;
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
        if (geo->first_material < 0) {
            geo->first_material = static_cast<int>(mesh->mMaterialIndex);
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

// Moves the centre of the bounding box to the origin and scales uniformly so
// that the largest extent is 1.
void fit_unit_box(Geometry *geo)
{
    Vec lo(INFINITY, INFINITY, INFINITY), hi(-INFINITY, -INFINITY, -INFINITY);
    for (const Polygon &poly : geo->faces) {
        for (unsigned k = 0; k < poly.count; k++) {
            const Vec &p = poly.corner[k].pos;
            lo = Vec(std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z));
            hi = Vec(std::max(hi.x, p.x), std::max(hi.y, p.y), std::max(hi.z, p.z));
        }
    }
    Vec centre = (lo + hi) * 0.5;
    double extent = std::max({hi.x - lo.x, hi.y - lo.y, hi.z - lo.z});
    if (!(extent > 0.0)) {
        return; // every corner in one point: nothing to scale
    }
    for (Polygon &poly : geo->faces) {
        for (unsigned k = 0; k < poly.count; k++) {
            Vec p = (poly.corner[k].pos - centre) / extent;
            // Rounding may step a hair past the box: keep it inside.
            poly.corner[k].pos =
                Vec(std::clamp(p.x, -0.5, 0.5), std::clamp(p.y, -0.5, 0.5), std::clamp(p.z, -0.5, 0.5));
        }
    }
}

// The shortest decimal text that rt's single-precision reading turns back
// into the same float as the value rounded to single precision.
std::string format_number(double value)
{
    float f = static_cast<float>(value) + 0.0f; // + 0.0f turns -0 into 0
    char buf[32];
    for (int digits = 1; digits <= 9; digits++) {
        snprintf(buf, sizeof buf, "%.*g", digits, f);
        if (strtof(buf, nullptr) == f) {
            break;
        }
    }
    return buf;
}

std::string format_vector(const Vec &v)
{
    return format_number(v.x) + " " + format_number(v.y) + " " + format_number(v.z);
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

struct MeshText {
    std::string text;
    size_t positions = 0;
    size_t normals = 0;
};

// The mesh data file: header, positions, normals, faces. Equal positions (and
// equal normals) as written share one line.
MeshText mesh_text(const Geometry &geo, bool quads)
{
    std::vector<std::string> positions, normals;
    std::unordered_map<std::string, size_t> pos_index, norm_index;
    std::string faces;
    for (const Polygon &poly : geo.faces) {
        faces += "f";
        for (unsigned k = 0; k < poly.count; k++) {
            size_t v = line_index(format_vector(poly.corner[k].pos), &positions, &pos_index);
            size_t n = line_index(format_vector(poly.corner[k].norm), &normals, &norm_index);
            faces += " " + std::to_string(v) + "/" + std::to_string(n);
        }
        faces += "\n";
    }
    MeshText mesh;
    mesh.text = quads ? "MESH4\n" : "MESH3\n";
    for (const std::string &p : positions) {
        mesh.text += "v " + p + "\n";
    }
    for (const std::string &n : normals) {
        mesh.text += "n " + n + "\n";
    }
    mesh.text += faces;
    mesh.positions = positions.size();
    mesh.normals = normals.size();
    return mesh;
}

// Writes text to a temporary file beside path and renames it to path, so
// that path is never left half written. On failure *reason says why. Only a
// regular file is replaced: a rename onto a device or a folder would not do
// what was asked.
bool write_whole_file(const std::string &path, const std::string &text, std::string *reason)
{
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        *reason = "not a regular file";
        return false;
    }
    std::string temp = path + ".XXXXXX";
    int fd = mkstemp(&temp[0]);
    if (fd < 0) {
        *reason = strerror(errno);
        return false;
    }
    // mkstemp makes the file private; give it the usual mode of a new file.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);

    FILE *fp = fdopen(fd, "w");
    if (fp == nullptr) {
        *reason = strerror(errno);
        close(fd);
        unlink(temp.c_str());
        return false;
    }
    bool ok = fwrite(text.data(), 1, text.size(), fp) == text.size();
    ok = fclose(fp) == 0 && ok;
    ok = ok && rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) {
        *reason = strerror(errno);
        unlink(temp.c_str());
    }
    return ok;
}

// The diffuse colour of the first face's material, or a light grey when it
// has none or is not the model's own: assimp gives a model without materials
// one of its own, unnamed or named AI_DEFAULT_MATERIAL_NAME.
Vec diffuse_colour(const aiScene *scene, int material)
{
    Vec grey(0.7, 0.7, 0.7);
    if (material < 0 || static_cast<unsigned>(material) >= scene->mNumMaterials) {
        return grey;
    }
    const aiMaterial *mat = scene->mMaterials[material];
    aiString name;
    aiColor3D colour;
    if (mat->Get(AI_MATKEY_NAME, name) != AI_SUCCESS || name.length == 0 ||
        strcmp(name.C_Str(), AI_DEFAULT_MATERIAL_NAME) == 0) {
        return grey;
    }
    if (mat->Get(AI_MATKEY_COLOR_DIFFUSE, colour) != AI_SUCCESS) {
        return grey;
    }
    return Vec(colour.r, colour.g, colour.b);
}

const aiScene *read_model(Assimp::Importer *importer, const Options &opt)
{
    // Faces that collapse to a line or a point become lines or points, which
    // are skipped; small but proper triangles are kept whatever their area.
    importer->SetPropertyInteger(AI_CONFIG_PP_FD_REMOVE, 0);
    importer->SetPropertyInteger(AI_CONFIG_PP_FD_CHECKAREA, 0);
    unsigned flags = aiProcess_FindDegenerates | aiProcess_ValidateDataStructure;
    if (!opt.quads) {
        flags |= aiProcess_Triangulate;
    }
    return importer->ReadFile(opt.model, flags);
}

int import(const Options &opt)
{
    Assimp::Importer importer;
    const aiScene *scene = read_model(&importer, opt);
    if (scene == nullptr || scene->mRootNode == nullptr) {
        fprintf(stderr, "rt-import: cannot import %s: %s\n", opt.model.c_str(), importer.GetErrorString());
        return kExitFailure;
    }
    bool quads = opt.quads && every_face_is_quad(scene);
    if (opt.quads && !quads) {
        fprintf(stderr, "rt-import: %s: not every face is a quad, writing triangles\n", opt.model.c_str());
        scene = importer.ApplyPostProcessing(aiProcess_Triangulate);
        if (scene == nullptr) {
            fprintf(stderr, "rt-import: cannot import %s: %s\n", opt.model.c_str(), importer.GetErrorString());
            return kExitFailure;
        }
    }

    Geometry geo;
    collect_node(scene, scene->mRootNode, Matrix4(), &geo);
    if (geo.faces.empty()) {
        fprintf(stderr, "rt-import: cannot import %s: the model has no faces\n", opt.model.c_str());
        return kExitFailure;
    }
    if (opt.fit) {
        fit_unit_box(&geo);
    }

    MeshText mesh = mesh_text(geo, quads);
    std::string reason;
    if (!write_whole_file(opt.output, mesh.text, &reason)) {
        fprintf(stderr, "rt-import: cannot write %s: %s\n", opt.output.c_str(), reason.c_str());
        return kExitFailure;
    }

    fprintf(stderr, "rt-import: %s: %zu %s, %zu vertices, %zu normals", opt.output.c_str(), geo.faces.size(),
            quads ? "quads" : "triangles", mesh.positions, mesh.normals);
    if (geo.skipped > 0) {
        fprintf(stderr, "; %d degenerate faces skipped", geo.skipped);
    }
    fprintf(stderr, "\n");
    printf("m %s pos(0 0 0) rot(0 0 1 0) scale(1 1 1) kd(%s) ks(0 0 0) s(1) kr(0) ke(0 0 0)\n", opt.output.c_str(),
           format_vector(diffuse_colour(scene, geo.first_material)).c_str());
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    Options opt;
    int status = parse_args(argc, argv, &opt);
    if (status != 0) {
        return status;
    }
    if (opt.help) {
        print_help();
        return 0;
    }
    return import(opt);
}
