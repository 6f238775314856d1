// rt-import: converts a model in any format the assimp library reads (OBJ,
// PLY, STL, glTF, COLLADA ...) into a mesh data file for rt, and prints the
// scene line that places the mesh.
//
//   rt-import [-quads] [-fit] MODEL OUTPUT.mesh
//
// Every mesh of every node is merged into one mesh in world space, turned
// from the model's right-handed frame into rt's left-handed one. The file
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
#include <cctype>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "import_common.h"
#include "import_geometry.h"

namespace
{

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

    Geometry geo = collect_geometry(scene);
    if (geo.faces.empty()) {
        fprintf(stderr, "rt-import: cannot import %s: the model has no faces\n", opt.model.c_str());
        return kExitFailure;
    }
    if (opt.fit) {
        fit_faces(unit_box_fit(bounding_box(geo.faces)), &geo.faces);
    }

    MeshText mesh = mesh_text(geo.faces, quads);
    std::string reason;
    if (!write_whole_file(opt.output, mesh.text, &reason)) {
        fprintf(stderr, "rt-import: cannot write %s: %s\n", opt.output.c_str(), reason.c_str());
        return kExitFailure;
    }

    fprintf(stderr, "rt-import: %s: %zu %s, %zu vertices, %zu normals", opt.output.c_str(), geo.faces.size(),
            quads ? "quads" : "triangles", mesh.positions, mesh.normals);
    if (geo.skipped > 0) {
        fprintf(stderr, "; %d degenerate or non-finite faces skipped", geo.skipped);
    }
    fprintf(stderr, "\n");
    printf("m %s pos(0 0 0) rot(0 0 1 0) scale(1 1 1) kd(%s) ks(0 0 0) s(1) kr(0) ke(0 0 0)\n", opt.output.c_str(),
           format_vector(diffuse_colour(scene, geo.faces[0].material)).c_str());
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
