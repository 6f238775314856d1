// rt-import: converts a model in any format the assimp library reads (OBJ,
// PLY, STL, glTF, COLLADA ...) for rt.
//
//   rt-import [-quads] [-fit] MODEL OUTPUT.mesh
//   rt-import -scene [-quads] [-fit] MODEL OUTPUT.scene
//
// The first form merges every mesh of every node into one mesh data file in
// world space and prints the scene line that places it. The second writes a
// whole scene: a scene file with the model's first camera (or one that
// frames the model), its lights (or one at the camera) and one mesh line per
// material, each naming a mesh data file written beside the scene file.
// Models are turned from their right-handed frame into rt's left-handed one.
// The files hold triangles (MESH3), or quads (MESH4) with -quads when every
// face of the model is a quad; otherwise -quads falls back to triangles with
// a note. Normals come from the model, or are made smooth when it has none;
// -fit scales and moves the model into a unit box centred at the origin.
// Exit status: 0 done, 1 the model or the output failed, 2 bad usage.
#include <assimp/Importer.hpp>
#include <assimp/config.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <assimp/version.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "import_camera_lights.h"
#include "import_common.h"
#include "import_geometry.h"
#include "import_material.h"
#include "files/output_file.h"

namespace
{

const char kUsage[] = "usage: rt-import [-quads] [-fit] MODEL OUTPUT.mesh\n"
                      "       rt-import -scene [-quads] [-fit] MODEL OUTPUT.scene\n";

// rt reads a scene line of at most 1023 characters, its line break
// included; the line printed here takes under 128 besides the name.
const size_t kMaxMeshName = 895;
// A material's part of a mesh file name.
const size_t kMaxMaterialName = 64;

const int kExitFailure = 1;
const int kExitUsage = 2;

struct Options {
    bool scene = false; // write a whole scene, not one mesh
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
           "into a mesh data file for rt and prints the scene line for it, or with -scene\n"
           "into a scene file with the model's camera, lights and materials, and one mesh\n"
           "data file per material beside it.\n"
           "\n"
           "  -scene   write a whole scene\n"
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
        if (arg == "-scene") {
            opt->scene = true;
        } else if (arg == "-quads") {
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
    // The scene lines must be able to name the mesh files: rt reads a name
    // up to the first blank.
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

struct PendingFile {
    std::string path;
    std::string text;
    std::string temp; // the temporary beside path, once written
};

// Writes file->text to a temporary file beside file->path. On failure
// *reason says why. Only a regular file is to be replaced: a rename onto a
// device or a folder would not do what was asked.
bool write_temporary(PendingFile *file, std::string *reason)
{
    struct stat st;
    if (stat(file->path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        *reason = "not a regular file";
        return false;
    }
    std::string temp = temporary_beside(file->path);
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
    bool ok = fwrite(file->text.data(), 1, file->text.size(), fp) == file->text.size();
    ok = fclose(fp) == 0 && ok;
    if (!ok) {
        *reason = strerror(errno);
        unlink(temp.c_str());
        return false;
    }
    file->temp = temp;
    return true;
}

// Removes the temporaries, and the files renamed into place before a
// failure, and names the file that failed; false.
bool undo_files(const std::vector<PendingFile> &files, size_t renamed, const std::string &failed,
                const std::string &reason)
{
    for (size_t i = 0; i < files.size(); i++) {
        if (i < renamed) {
            unlink(files[i].path.c_str());
        } else if (!files[i].temp.empty()) {
            unlink(files[i].temp.c_str());
        }
    }
    fprintf(stderr, "rt-import: cannot write %s: %s\n", failed.c_str(), reason.c_str());
    return false;
}

// Writes every file whole, or none: each to a temporary first, then, once
// `last_step` (if any) has succeeded, all renamed, in order, so that the last
// (the scene file) appears only when every file it names is in place. On a
// failure every temporary and every file renamed so far are removed, a
// message names the file, and the result is false.
bool write_files(std::vector<PendingFile> *files, const char *last_step_name = nullptr,
                 bool (*last_step)(const std::string &) = nullptr, const std::string &last_step_text = "")
{
    std::string reason;
    for (PendingFile &file : *files) {
        if (!write_temporary(&file, &reason)) {
            return undo_files(*files, 0, file.path, reason);
        }
    }
    if (last_step != nullptr && !last_step(last_step_text)) {
        return undo_files(*files, 0, last_step_name, strerror(errno));
    }
    for (size_t renamed = 0; renamed < files->size(); renamed++) {
        PendingFile &file = (*files)[renamed];
        if (rename(file.temp.c_str(), file.path.c_str()) != 0) {
            return undo_files(*files, renamed, file.path, strerror(errno));
        }
    }
    return true;
}

// The scene line on standard output, all of it or an error.
bool print_line(const std::string &line)
{
    errno = 0;
    bool ok = fputs(line.c_str(), stdout) >= 0 && fflush(stdout) == 0 && !ferror(stdout);
    if (!ok && errno == 0) {
        errno = EIO;
    }
    return ok;
}

std::string mesh_line(const std::string &name, const RtMaterial &mat)
{
    return "m " + name + " pos(0 0 0) rot(0 0 1 0) scale(1 1 1) kd(" + format_vector(mat.kd) + ") ks(" +
           format_vector(mat.ks) + ") s(" + format_number(mat.s) + ") kr(0) ke(" + format_vector(mat.ke) + ")\n";
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
    const aiScene *scene = importer->ReadFile(opt.model, flags);
    if (scene != nullptr && opt.quads && !every_face_is_quad(scene)) {
        fprintf(stderr, "rt-import: %s: not every face is a quad, writing triangles\n", opt.model.c_str());
        scene = importer->ApplyPostProcessing(aiProcess_Triangulate);
    }
    if (scene == nullptr || scene->mRootNode == nullptr) {
        fprintf(stderr, "rt-import: cannot import %s: %s\n", opt.model.c_str(), importer->GetErrorString());
        return nullptr;
    }
    return scene;
}

// "N triangles" or "N quads".
std::string face_count(size_t faces, bool quads)
{
    return std::to_string(faces) + (quads ? " quads" : " triangles");
}

std::string skipped_note(const Geometry &geo)
{
    return geo.skipped > 0 ? "; " + std::to_string(geo.skipped) + " degenerate or non-finite faces skipped" : "";
}

// The plain mode: one mesh data file, and its scene line on standard output
// with the diffuse colour of the first face's material, or a light grey
// when that is not the model's own.
int import_mesh(const Options &opt, const aiScene *scene, Geometry geo)
{
    if (opt.fit) {
        fit_faces(unit_box_fit(bounding_box(geo.faces)), &geo.faces);
    }
    MeshText mesh = mesh_text(geo.faces, geo.faces[0].count == 4);
    RtMaterial material; // grey unless the model has a diffuse colour
    material.kd = SourceMaterial().diffuse;
    const aiMaterial *mat = scene->mMaterials[geo.faces[0].material];
    aiColor3D colour;
    if (!is_made_up_material(mat) && mat->Get(AI_MATKEY_COLOR_DIFFUSE, colour) == AI_SUCCESS) {
        if (is_finite(Vec(colour.r, colour.g, colour.b))) {
            material.kd = Vec(colour.r, colour.g, colour.b);
        } else {
            fprintf(stderr, "rt-import: the diffuse colour is not a finite number: grey is used\n");
        }
    }
    // The mesh file is put in place only once its scene line is out: a line
    // that cannot be written leaves no mesh file without a line behind.
    std::vector<PendingFile> files = {{opt.output, mesh.text, ""}};
    if (!write_files(&files, "the scene line", print_line, mesh_line(opt.output, material))) {
        return kExitFailure;
    }
    fprintf(stderr, "rt-import: %s: %s, %zu vertices, %zu normals%s\n", opt.output.c_str(),
            face_count(geo.faces.size(), geo.faces[0].count == 4).c_str(), mesh.positions, mesh.normals,
            skipped_note(geo).c_str());
    return 0;
}

// One mesh data file of the scene: the faces of one material.
struct Part {
    std::string label; // the material's name in the model
    RtMaterial material;
    std::vector<Polygon> faces;
    std::string file; // its name, beside the scene file
};

// A material's name as part of a file name: letters, digits, '.', '_' and
// '-' kept, any other byte (a slash, white space, a byte of a longer UTF-8
// character) made '_', at most kMaxMaterialName bytes; "material" for none.
// A number is added where two names would be equal, also when they differ
// only in case, which some file systems do not tell apart.
std::string file_part(const std::string &name, std::set<std::string> *taken)
{
    std::string part = name.substr(0, kMaxMaterialName);
    for (char &c : part) {
        if (!isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-') {
            c = '_';
        }
    }
    if (part.empty()) {
        part = "material";
    }
    std::string unique = part;
    for (int n = 2;; n++) {
        std::string key = unique;
        std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return tolower(c); });
        if (taken->insert(key).second) {
            return unique;
        }
        unique = part + "-" + std::to_string(n);
    }
}

// The model's faces grouped by material, in the order of the materials,
// each material mapped for rt. A material with a value that is not a finite
// number is left out with its faces, with a note.
std::vector<Part> group_by_material(const aiScene *scene, const Geometry &geo)
{
    std::map<unsigned, Part> parts;
    for (const Polygon &poly : geo.faces) {
        parts[poly.material].faces.push_back(poly);
    }
    std::vector<Part> kept;
    for (auto &entry : parts) {
        Part &part = entry.second;
        const aiMaterial *mat = scene->mMaterials[entry.first];
        SourceMaterial source;
        part.label = "default";
        if (!is_made_up_material(mat)) {
            part.label = mat->GetName().C_Str();
            if (!read_material(mat, &source)) {
                fprintf(stderr,
                        "rt-import: material \"%s\" has values that are not finite numbers: %zu faces skipped\n",
                        part.label.c_str(), part.faces.size());
                continue;
            }
            if (has_textures(mat)) {
                fprintf(stderr,
                        "rt-import: material \"%s\" has textures, which rt does not show: its colours are used\n",
                        part.label.c_str());
            }
        }
        part.material = map_material(source);
        kept.push_back(part);
    }
    return kept;
}

// How assimp reads the cameras of model, by its name: in glTF a camera
// sits at its node's origin, and assimp up to 5.2 gives its angle as the
// vertical angle times the aspect ratio; other formats, and later versions,
// give the full horizontal angle.
CameraReading camera_reading(const std::string &model)
{
    std::string ext = model.substr(std::min(model.size(), model.rfind('.')));
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return tolower(c); });
    CameraReading reading;
    reading.at_node_origin = ext == ".gltf" || ext == ".glb";
    reading.vertical_times_aspect =
        reading.at_node_origin && (aiGetVersionMajor() < 5 || (aiGetVersionMajor() == 5 && aiGetVersionMinor() <= 2));
    return reading;
}

// Text from a model for a comment line of the scene file: rt reads a line
// of at most 1023 characters, and a line break would end the comment.
std::string comment_text(const std::string &text)
{
    std::string out = text.substr(0, 200);
    for (char &c : out) {
        if (iscntrl(static_cast<unsigned char>(c))) {
            c = '?';
        }
    }
    return out;
}

std::string base_name(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The opening lines of the scene file: where it came from and how to render
// it, with the model's own frame when it is not square.
std::string scene_header(const Options &opt, const RtCamera &cam)
{
    std::string text = "# Imported by rt-import from " + comment_text(base_name(opt.model)) + ".\n" +
                       "# Render it from this folder, square: rt -size 512x512 " + base_name(opt.output) + "\n";
    if (cam.aspect != 1.0) {
        long width = cam.aspect < 1.0 ? std::lround(512.0 * cam.aspect) : 512;
        long height = cam.aspect > 1.0 ? std::lround(512.0 / cam.aspect) : 512;
        text += "# The model's camera shows the middle " + std::to_string(width) + "x" + std::to_string(height) +
                " of that.\n";
    }
    return text;
}

// The scene mode: a mesh data file per material beside the scene file, and
// the scene file with the camera, the lights and a mesh line for each.
int import_scene(const Options &opt, const aiScene *scene, const Geometry &geo)
{
    std::vector<Part> parts = group_by_material(scene, geo);
    if (parts.empty()) {
        fprintf(stderr, "rt-import: cannot import %s: no material is usable\n", opt.model.c_str());
        return kExitFailure;
    }
    std::vector<Polygon> kept;
    bool emissive = false;
    for (const Part &part : parts) {
        kept.insert(kept.end(), part.faces.begin(), part.faces.end());
        emissive = emissive || max_channel(part.material.ke) > 0.0;
    }
    Box box = bounding_box(kept);

    RtCamera cam;
    if (!model_camera(scene, box, camera_reading(opt.model), &cam)) {
        cam = framing_camera(box);
    }
    std::vector<RtLight> lights = model_lights(scene, box);
    if (lights.empty() && !emissive) {
        fprintf(stderr, "rt-import: the model gives no light: one white light at the camera\n");
        lights.push_back({cam.position, Vec(1.0, 1.0, 1.0)});
    }
    if (opt.fit) {
        Fit fit = unit_box_fit(box);
        for (Part &part : parts) {
            fit_faces(fit, &part.faces);
        }
        cam.position = fit.place(cam.position);
        cam.target = fit.place(cam.target);
        for (RtLight &light : lights) {
            light.position = fit.place(light.position);
        }
    }

    // Mesh names relative to the scene file's folder, where rt is to run.
    std::string folder = opt.output.substr(0, opt.output.size() - base_name(opt.output).size());
    std::string stem = base_name(opt.output);
    if (stem.size() > 6 && stem.compare(stem.size() - 6, 6, ".scene") == 0) {
        stem.resize(stem.size() - 6);
    }
    std::string text = scene_header(opt, cam) + "c p(" + format_vector(cam.position) + ") t(" +
                       format_vector(cam.target) + ") fov(" + format_number(cam.fov) + ")\n";
    for (const RtLight &light : lights) {
        text += "l p(" + format_vector(light.position) + ") c(" + format_vector(light.colour) + ")\n";
    }
    std::vector<PendingFile> files;
    std::set<std::string> taken;
    bool quads = kept[0].count == 4;
    for (Part &part : parts) {
        std::string name = file_part(part.label, &taken);
        if (name != part.label) {
            text += "# The mesh of material \"" + comment_text(part.label) + "\":\n";
        }
        part.file = stem + "-" + name + ".mesh";
        files.push_back({folder + part.file, mesh_text(part.faces, quads).text, ""});
        text += mesh_line(part.file, part.material);
    }
    files.push_back({opt.output, text, ""});
    if (!write_files(&files)) {
        return kExitFailure;
    }
    fprintf(stderr, "rt-import: %s: %zu meshes, %s, %zu lights%s\n", opt.output.c_str(), parts.size(),
            face_count(kept.size(), quads).c_str(), lights.size(), skipped_note(geo).c_str());
    return 0;
}

int import(const Options &opt)
{
    Assimp::Importer importer;
    const aiScene *scene = read_model(&importer, opt);
    if (scene == nullptr) {
        return kExitFailure;
    }
    Geometry geo = collect_geometry(scene);
    if (geo.faces.empty()) {
        fprintf(stderr, "rt-import: cannot import %s: the model has no faces\n", opt.model.c_str());
        return kExitFailure;
    }
    return opt.scene ? import_scene(opt, scene, geo) : import_mesh(opt, scene, geo);
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
