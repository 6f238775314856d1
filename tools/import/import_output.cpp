#include "import_output.h"

#include <assimp/version.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "import_camera_lights.h"
#include "import_material.h"
#include "import_rays.h"
#include "import_texture.h"
#include "import_view.h"

namespace
{

// A material's part of a mesh file name.
const size_t kMaxMaterialName = 64;
// A camera of the model that shows less of the model's front than this
// share of its picture is passed over, and so is one whose view this share
// of meets the model within a quarter of its radius: it is shut in a part.
const double kLeastCoverage = 0.05;
const double kShutIn = 0.5;
// Lights that give what the camera sees less than this on average (see
// view_lighting) leave it dark; the view gets the key and fill lights too.
const double kDarkView = 0.2;

const int kExitFailure = 1;

// "1 triangle", "2 vertices" and the like.
std::string count_of(size_t n, const char *one, const char *many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string face_count(size_t faces, bool quads)
{
    return quads ? count_of(faces, "quad", "quads") : count_of(faces, "triangle", "triangles");
}

std::string skipped_note(const Geometry &geo)
{
    std::string note;
    if (geo.skipped > 0) {
        note += "; " + count_of(geo.skipped, "face", "faces") + " without area, which cannot be seen, skipped";
    }
    if (geo.not_finite > 0) {
        note += "; " + count_of(geo.not_finite, "face", "faces") + " with corners that are not finite numbers skipped";
    }
    return note;
}

std::string base_name(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool is_gltf(const std::string &model)
{
    return model_extension(model) == ".gltf" || model_extension(model) == ".glb";
}

// A colour, or a place, for a note: three digits are enough to tell.
std::string colour_note(const Vec &c)
{
    char text[64];
    snprintf(text, sizeof text, "(%.3g %.3g %.3g)", c.x, c.y, c.z);
    return text;
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

// The scene line of a mesh; maps, the words that name its images, if any,
// with a blank before each.
std::string mesh_line(const std::string &name, const RtMaterial &mat, const std::string &maps = "")
{
    return "m " + name + " pos(0 0 0) rot(0 0 1 0) scale(1 1 1) kd(" + format_vector(mat.kd) + ") ks(" +
           format_vector(mat.ks) + ") s(" + format_number(mat.s) + ") kr(0) ke(" + format_vector(mat.ke) + ")" + maps +
           "\n";
}

// One mesh data file of the scene: the faces of one material.
struct Part {
    std::string label; // the material's name in the model
    RtMaterial material;
    bool lights = false; // its glow lights the scene
    std::vector<Polygon> faces;
    std::string file; // its name, beside the scene file
    // The model's names of the textures that colour it (diffuse, emission),
    // of those that could be read; and the words that name their pictures.
    std::string kd_texture, ke_texture;
    std::string maps;
};

// A texture's name for a note: assimp names the model's own "*0", "*1" ...
std::string texture_name(const std::string &path)
{
    return !path.empty() && path[0] == '*' ? "(embedded " + path.substr(1) + ")" : path;
}

// The colours a material's textures and its faces' vertex colours give
// source, with a note for each.
void paint_material(const aiMaterial *mat, ModelTextures *textures, SourceMaterial *source, Part *part)
{
    const std::string &label = part->label;
    Vec mean;
    std::string problem;
    std::string colour = colour_texture(mat);
    if (!colour.empty()) {
        if (textures->mean(colour, &mean, &problem)) {
            part->kd_texture = colour;
            source->diffuse = source->diffuse.SymMul(mean);
            fprintf(stderr, "rt-import: material \"%s\": texture %s: its mean colour %s\n", label.c_str(),
                    texture_name(colour).c_str(), colour_note(mean).c_str());
        } else {
            fprintf(stderr, "rt-import: material \"%s\": texture %s %s: its colour factor is used\n", label.c_str(),
                    texture_name(colour).c_str(), problem.c_str());
        }
    }
    std::string emission = emission_texture(mat);
    if (!emission.empty() && max_channel(source->emissive) > 0.0) {
        source->emission_textured = true;
        if (textures->mean(emission, &mean, &problem)) {
            part->ke_texture = emission;
            source->emissive = source->emissive.SymMul(mean);
            fprintf(stderr, "rt-import: material \"%s\": emission texture %s: its mean colour %s\n", label.c_str(),
                    texture_name(emission).c_str(), colour_note(mean).c_str());
        } else {
            // What glows and where is the texture's to say: without it,
            // nothing does.
            source->emissive = Vec();
            fprintf(stderr, "rt-import: material \"%s\": emission texture %s %s: the material does not glow\n",
                    label.c_str(), texture_name(emission).c_str(), problem.c_str());
        }
    }
    std::string unshown = unshown_textures(mat);
    if (!unshown.empty()) {
        fprintf(stderr, "rt-import: material \"%s\" has textures that rt does not show: %s\n", label.c_str(),
                unshown.c_str());
    }
}

// A material's name as part of a file name: letters, digits, '.', '_' and
// '-' kept, any other byte (a slash, white space, a byte of a longer UTF-8
// character) made '_', at most kMaxMaterialName bytes; "material" for none.
// A number is added where two names would be equal, also when they differ
// only in case, which some file systems do not tell apart, and where the
// file that name gives is in the way: free(name) says whether it is not.
template <typename Free> std::string file_part(const std::string &name, std::set<std::string> *taken, Free free)
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
        if (taken->count(key) == 0 && free(unique)) {
            taken->insert(key);
            return unique;
        }
        unique = part + "-" + std::to_string(n);
    }
}

// Emission that every material of a model shares is no light: it lights
// nothing of the model but itself, and old formats (Milkshape's, for one)
// fill it in by habit, as ambient colour, so that the model shows as a flat
// glow. glows holds the emission of each of the model's own materials
// (negative where it is textured, which is the model's design); when all
// are the same and not black, the glow of the model's own parts goes.
void drop_shared_glow(const std::vector<Vec> &glows, std::vector<Part> *parts)
{
    if (glows.empty() || !(max_channel(glows[0]) > 0.0) ||
        std::any_of(glows.begin(), glows.end(), [&](const Vec &g) { return !(g == glows[0]); })) {
        return;
    }
    for (Part &part : *parts) {
        if (part.lights) {
            part.material.ke = Vec();
            part.lights = false;
        }
    }
    fprintf(stderr,
            "rt-import: every material of the model glows alike %s, an ambient colour by old formats' "
            "habit, not a light: left out\n",
            colour_note(glows[0]).c_str());
}

// The model's faces grouped by material, in the order of the materials,
// each material mapped for rt with its textures' and vertex colours. A
// material with a value that is not a finite number is left out with its
// faces, with a note.
std::vector<Part> group_by_material(const aiScene *scene, const Geometry &geo, const std::string &model,
                                    ModelTextures *textures)
{
    std::map<unsigned, Part> parts;
    for (const Polygon &poly : geo.faces) {
        parts[poly.material].faces.push_back(poly);
    }
    std::vector<Part> kept;
    std::vector<Vec> own_glows; // the untextured emission of each of the model's own materials kept
    for (auto &entry : parts) {
        Part &part = entry.second;
        const aiMaterial *mat = scene->mMaterials[entry.first];
        SourceMaterial source;
        part.label = "default";
        bool own = !is_made_up_material(scene, entry.first, is_gltf(model));
        if (own) {
            part.label = mat->GetName().C_Str();
            if (!read_material(mat, &source)) {
                fprintf(stderr, "rt-import: material \"%s\" has values that are not finite numbers: %s skipped\n",
                        part.label.c_str(), count_of(part.faces.size(), "face", "faces").c_str());
                continue;
            }
            paint_material(mat, textures, &source, &part);
        }
        auto colours = geo.colours.find(entry.first);
        if (colours != geo.colours.end()) {
            Vec mean = colours->second.sum / static_cast<double>(colours->second.count);
            source.diffuse = own ? source.diffuse.SymMul(mean) : mean;
            fprintf(stderr, "rt-import: material \"%s\": vertex colours: their mean colour %s\n", part.label.c_str(),
                    colour_note(mean).c_str());
        }
        part.material = map_material(source);
        part.lights = !source.emission_textured && max_channel(part.material.ke) > 0.0;
        if (own) {
            own_glows.push_back(source.emission_textured ? Vec(-1.0, -1.0, -1.0) : source.emissive);
        }
        kept.push_back(std::move(part));
    }
    drop_shared_glow(own_glows, &kept);
    return kept;
}

// How assimp reads the cameras of model, by its name: in glTF a camera
// sits at its node's origin, and assimp up to 5.2 gives its angle as the
// vertical angle times the aspect ratio; other formats, and later versions,
// give the full horizontal angle.
CameraReading camera_reading(const std::string &model)
{
    CameraReading reading;
    reading.at_node_origin = is_gltf(model);
    reading.vertical_times_aspect =
        reading.at_node_origin && (aiGetVersionMajor() < 5 || (aiGetVersionMajor() == 5 && aiGetVersionMinor() <= 2));
    return reading;
}

// A model's camera kept, with a note when it cuts off part of the model.
RtCamera kept_camera(const NamedCamera &cam, const std::vector<Polygon> &faces, const Box &box)
{
    if (view_crops(cam.camera, faces, box)) {
        fprintf(stderr,
                "rt-import: camera \"%s\" leaves some of the model out of its picture: kept (-frame frames the "
                "whole model)\n",
                cam.name.c_str());
    }
    return cam.camera;
}

// The model's first camera that shows its front (any that rt can show with
// -keep-camera), or the automatic one, which -frame asks for.
RtCamera choose_camera(const Options &opt, const aiScene *scene, const std::vector<Polygon> &faces,
                       const FaceTree &tree, const Box &box, double scale)
{
    if (opt.frame) {
        return framing_camera(faces, box, tree, scale);
    }
    for (const NamedCamera &cam : model_cameras(scene, box, camera_reading(opt.model))) {
        if (opt.keep_camera) {
            return kept_camera(cam, faces, box);
        }
        Coverage seen = view_coverage(cam.camera, tree, faces, box.radius() / 4.0, scale);
        if (seen.front >= kLeastCoverage && seen.close < kShutIn) {
            return kept_camera(cam, faces, box);
        }
        if (seen.front < kLeastCoverage) {
            fprintf(stderr,
                    "rt-import: camera \"%s\": the model's front fills %.0f %% of its picture (it is small there, "
                    "or out of view): passed over (-keep-camera keeps it)\n",
                    cam.name.c_str(), 100.0 * seen.front);
        } else {
            fprintf(stderr,
                    "rt-import: camera \"%s\" sees only faces close around it, from inside the model: "
                    "passed over (-keep-camera keeps it)\n",
                    cam.name.c_str());
        }
    }
    return framing_camera(faces, box, tree, scale);
}

// The factor the scene is written at: 1, or for a model whose radius is
// under 0.1 or over 1000 the power of ten that makes it 1 to 10. rt's
// rays see from 0.01 to 10000 units along a bounce (a little more along a
// primary ray): a model much smaller loses its light between its own
// surfaces, one much larger what lies beyond. rt's lights do not fall
// off, so the scaled scene gives the same picture.
double scene_scale(const Box &box)
{
    double r = box.radius();
    if (!(r > 0.0) || (r >= 0.1 && r <= 1000.0)) {
        return 1.0;
    }
    return std::pow(10.0, -std::floor(std::log10(r)));
}

// The lights, and the parts that glow as rt shades them: each lights a
// point from a point of its surface, whatever its size. A glowing part
// stands here as a few of its faces' middles, its colour shared among them.
std::vector<RtLight> lights_and_glows(const std::vector<RtLight> &lights, const std::vector<Part> &parts)
{
    const size_t samples = 4;
    std::vector<RtLight> all = lights;
    for (const Part &part : parts) {
        if (!part.lights) {
            continue;
        }
        size_t count = std::min(samples, part.faces.size());
        for (size_t n = 0; n < count; n++) {
            const Polygon &poly = part.faces[n * part.faces.size() / count];
            Vec middle;
            for (unsigned k = 0; k < poly.count; k++) {
                middle += poly.corner[k].pos / static_cast<double>(poly.count);
            }
            all.push_back({middle, part.material.ke / static_cast<double>(count)});
        }
    }
    return all;
}

// rt reads every number through a float: a vector that is finite as
// floats.
bool finite_for_rt(const Vec &v)
{
    return std::isfinite(static_cast<float>(v.x)) && std::isfinite(static_cast<float>(v.y)) &&
           std::isfinite(static_cast<float>(v.z));
}

// Why the camera or a light cannot be written as rt would read it: a place
// beyond a float's range (a light of the model far away, made larger with
// the model); empty when all can.
std::string unwritable(const RtCamera &cam, const std::vector<RtLight> &lights)
{
    if (!finite_for_rt(cam.position) || !finite_for_rt(cam.target)) {
        return "its camera lies at " + colour_note(cam.position) + ", beyond the numbers rt reads";
    }
    for (const RtLight &light : lights) {
        if (!finite_for_rt(light.position) || !finite_for_rt(light.colour)) {
            return "a light lies at " + colour_note(light.position) + ", beyond the numbers rt reads";
        }
    }
    return "";
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

// A name as one word for the shell: quoted where it holds anything but
// letters, digits and the few marks no shell takes for its own.
std::string shell_word(const std::string &name)
{
    const char *plain = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_./+,:=@%^-";
    if (!name.empty() && name.find_first_not_of(plain) == std::string::npos) {
        return name;
    }
    std::string quoted = "'";
    for (char c : name) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

// The command that renders the scene as it is made to be seen, to a PNG
// beside it: without a window, which needs a display, and with a note that
// leaving -nosdl out shows one.
std::string render_command(const Options &opt, const std::string &scene)
{
    std::string picture = scene;
    if (picture.size() > 6 && picture.compare(picture.size() - 6, 6, ".scene") == 0) {
        picture.resize(picture.size() - 6);
    }
    return "rt -nosdl -size " + std::to_string(opt.width) + "x" + std::to_string(opt.height) + " -gamma 2.2 -o " +
           shell_word(picture + ".png") + " " + shell_word(scene) + " (leave out -nosdl to watch it in a window)";
}

// The first line of every scene file rt-import writes, up to the model's name.
const char kHeader[] = "# Imported by rt-import from ";

// The opening lines of the scene file: where it came from and how to render
// it, with the model's own frame when it differs from the picture's.
std::string scene_header(const Options &opt, const RtCamera &cam)
{
    std::string text = kHeader + comment_text(base_name(opt.model)) + ".\n" +
                       "# Render it: " + comment_text(render_command(opt, base_name(opt.output))) + "\n";
    if (cam.aspect != 1.0) {
        // rt's angle holds across and up: the wider of the camera's two
        // fills the picture, the other the middle part.
        long width = std::lround(opt.width * std::fmin(1.0, cam.aspect));
        long height = std::lround(opt.height * std::fmin(1.0, 1.0 / cam.aspect));
        text += "# The model's camera shows the middle " + std::to_string(width) + "x" + std::to_string(height) +
                " of that.\n";
    }
    return text;
}

// Image names longer than this are not written on a scene line (which rt
// reads up to 1023 characters, a mesh line taking some 200 besides).
const size_t kMaxImageName = 256;
const size_t kMaxSceneLine = 1023;

// How the scene in folder names a picture file of the model's: by its path
// from that folder when it lies below it, else by its whole path. "" when no
// scene line can hold that name: rt reads a name up to a blank.
std::string scene_name_of(const std::string &file, const std::string &folder)
{
    namespace fs = std::filesystem;
    std::error_code failed;
    fs::path whole = fs::canonical(file, failed);
    fs::path from = fs::canonical(folder.empty() ? "." : folder, failed);
    if (failed) {
        return "";
    }
    auto below = std::mismatch(from.begin(), from.end(), whole.begin(), whole.end());
    std::string name = below.first == from.end() ? whole.lexically_relative(from).string() : whole.string();
    bool plain = name.size() <= kMaxImageName && std::none_of(name.begin(), name.end(), [](char c) {
                     return isspace(static_cast<unsigned char>(c)) || iscntrl(static_cast<unsigned char>(c));
                 });
    return plain ? name : "";
}

// A file's extension, for a copy of it: letters and digits, lower case.
std::string extension_of(const std::string &path)
{
    std::string ext = model_extension(path);
    ext.erase(std::remove_if(ext.begin(), ext.end(), [](char c) { return !isalnum(static_cast<unsigned char>(c)); }),
              ext.end());
    return ext.empty() ? "img" : ext;
}

bool all_textured(const std::vector<Polygon> &faces)
{
    return std::all_of(faces.begin(), faces.end(), [](const Polygon &poly) { return poly.textured; });
}

} // namespace

// The plain mode: one mesh data file, and its scene line on standard output
// with the diffuse colour of the first face's material, or a light grey
// when that is not the model's own.
int import_mesh(const Options &opt, const aiScene *scene, Geometry geo, const FileSet &inputs)
{
    if (inputs.holds(opt.output)) {
        fprintf(stderr, "rt-import: cannot write %s: it is one of the model's files\n", opt.output.c_str());
        return kExitFailure;
    }
    if (opt.fit) {
        place_faces(unit_box_fit(bounding_box(geo.faces)), true, &geo.faces);
    }
    MeshText mesh = mesh_text(geo.faces, geo.faces[0].count == 4);
    RtMaterial material; // grey unless the model has a diffuse colour
    material.kd = SourceMaterial().diffuse;
    const aiMaterial *mat = scene->mMaterials[geo.faces[0].material];
    aiColor3D colour;
    if (!is_made_up_material(scene, geo.faces[0].material, is_gltf(opt.model)) &&
        mat->Get(AI_MATKEY_COLOR_DIFFUSE, colour) == AI_SUCCESS) {
        if (is_finite(Vec(colour.r, colour.g, colour.b))) {
            material.kd = Vec(colour.r, colour.g, colour.b);
        } else {
            fprintf(stderr, "rt-import: the diffuse colour is not a finite number: grey is used\n");
        }
    }
    bool replacing = file_exists(opt.output);
    // The mesh file is put in place only once its scene line is out: a line
    // that cannot be written leaves no mesh file without a line behind.
    std::vector<PendingFile> files(1);
    files[0].path = opt.output;
    files[0].text = mesh.text;
    if (!write_files(&files, "the scene line", print_line, mesh_line(opt.output, material))) {
        return kExitFailure;
    }
    if (replacing) {
        fprintf(stderr, "rt-import: replaced %s\n", opt.output.c_str());
    }
    fprintf(stderr, "rt-import: %s: %s, %s, %s%s\n", opt.output.c_str(),
            face_count(geo.faces.size(), geo.faces[0].count == 4).c_str(),
            count_of(mesh.positions, "vertex", "vertices").c_str(), count_of(mesh.normals, "normal", "normals").c_str(),
            skipped_note(geo).c_str());
    return 0;
}

// The scene mode: a mesh data file per material beside the scene file, and
// the scene file with the camera, the lights and a mesh line for each. The
// files of an earlier import of the same scene are replaced; any other file
// in the way of a mesh file's name is left alone and the mesh named anew.
int import_scene(const Options &opt, const aiScene *scene, const Geometry &geo, const FileSet &inputs)
{
    if (inputs.holds(opt.output)) {
        fprintf(stderr, "rt-import: cannot write %s: it is one of the model's files\n", opt.output.c_str());
        return kExitFailure;
    }
    ModelTextures textures(scene, opt.model);
    std::vector<Part> parts = group_by_material(scene, geo, opt.model, &textures);
    if (parts.empty()) {
        fprintf(stderr, "rt-import: cannot import %s: no material is usable\n", opt.model.c_str());
        return kExitFailure;
    }
    std::vector<Polygon> kept;
    bool glowing = false;
    for (const Part &part : parts) {
        kept.insert(kept.end(), part.faces.begin(), part.faces.end());
        glowing = glowing || part.lights;
    }
    Box box = bounding_box(kept);

    double scale = opt.fit ? 1.0 : scene_scale(box);
    FaceTree tree(kept);
    RtCamera cam = choose_camera(opt, scene, kept, tree, box, scale);
    std::vector<RtLight> lights = model_lights(scene, box);
    const char *added = nullptr;
    if (lights.empty() && !glowing) {
        added = "the model gives no light";
    } else if (view_lighting(cam, tree, kept, lights_and_glows(lights, parts), scale) < kDarkView) {
        added = "the model's lights leave what the camera sees dark";
    }
    if (added != nullptr) {
        fprintf(stderr,
                "rt-import: %s: a white key light above and left of the camera, and a fill light right of "
                "it%s\n",
                added, lights.empty() && !glowing ? "" : ", too");
        for (const RtLight &light : key_and_fill(cam, tree)) {
            lights.push_back(light);
        }
    }
    if (opt.fit || scale != 1.0) {
        Fit fit = unit_box_fit(box);
        if (!opt.fit) {
            fprintf(stderr,
                    "rt-import: the model is %g across, which rt's rays do not span well: written %g times as "
                    "large\n",
                    2.0 * box.radius(), scale);
            fit.centre = Vec();
            fit.extent = 1.0 / scale;
        }
        for (Part &part : parts) {
            place_faces(fit, opt.fit, &part.faces);
        }
        cam.position = fit.place(cam.position);
        cam.target = fit.place(cam.target);
        for (RtLight &light : lights) {
            light.position = fit.place(light.position);
        }
    }

    std::string why = unwritable(cam, lights);
    if (!why.empty()) {
        fprintf(stderr, "rt-import: cannot import %s: %s\n", opt.model.c_str(), why.c_str());
        return kExitFailure;
    }

    // Mesh names relative to the scene file's folder, where rt looks for
    // them.
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
    // The files of the earlier import: those its scene names, but for the
    // model's own files (its textures included). A scene of the user's
    // (replaced as -replace-scene asks) names none of ours.
    bool ours = written_by_import(opt.output);
    std::set<std::string> earlier = ours ? files_named_by(opt.output) : std::set<std::string>();
    FileSet model_files = inputs;
    for (const std::string &file : textures.files_read()) {
        model_files.add(file);
    }
    std::string replaced = ours ? base_name(opt.output) : "";
    bool user_scene = !ours && file_exists(opt.output);
    std::vector<std::string> blocked; // files in the way of a name
    std::string extension;            // of the file being named
    auto free = [&](const std::string &name) {
        std::string path = folder + stem + "-" + name + extension;
        bool ours = earlier.count(stem + "-" + name + extension) > 0 && !model_files.holds(path);
        if (file_exists(path) && !ours) {
            blocked.push_back(path);
            return false;
        }
        return true;
    };
    // A file of the scene beside it, stem-LABEL.EXT, LABEL made unique
    // among taken, with a note on each file in the way.
    auto name_file = [&](const std::string &label, const std::string &ext, std::set<std::string> *taken,
                         const char *what) {
        extension = ext;
        blocked.clear();
        std::string file = stem + "-" + file_part(label, taken, free) + ext;
        for (const std::string &path : blocked) {
            fprintf(stderr, "rt-import: %s is not a file of %s: left as it is, the %s goes to %s%s\n", path.c_str(),
                    opt.output.c_str(), what, folder.c_str(), file.c_str());
        }
        if (file_exists(folder + file)) {
            replaced += (replaced.empty() ? "" : ", ") + file;
        }
        return file;
    };
    std::vector<PendingFile> files;
    // The textures' pictures by the model's names of them: files of the
    // model's by their names from the scene, the model's own written beside
    // it; "" for one that cannot be.
    std::map<std::string, std::string> pictures;
    std::set<std::string> picture_taken;
    auto picture = [&](const std::string &texture, const std::string &label) {
        auto known = pictures.find(texture);
        if (known != pictures.end()) {
            return known->second;
        }
        TextureImage image = textures.image(texture);
        std::string name = image.file.empty() ? "" : scene_name_of(image.file, folder);
        if (name.empty()) {
            if (!image.file.empty()) {
                image.bytes = file_bytes(image.file);
                image.extension = extension_of(image.file);
            }
            if (!image.bytes.empty()) {
                name = name_file(label, "." + image.extension, &picture_taken, "texture");
                files.push_back(PendingFile{folder + name, image.bytes, "", "", false});
                fprintf(stderr, "rt-import: texture %s written beside the scene: %s\n", texture_name(texture).c_str(),
                        name.c_str());
            }
        }
        return pictures[texture] = name;
    };
    // The longest word that names a picture on a mesh line: a name from the
    // scene's folder, or one written beside it (a number and an extension
    // added to the material's part).
    const size_t longest_map =
        std::string(" kd_map()").size() + std::max(kMaxImageName, stem.size() + 1 + kMaxMaterialName + 16);
    std::set<std::string> taken;
    bool quads = kept[0].count == 4;
    for (Part &part : parts) {
        std::string file = name_file(part.label, ".mesh", &taken, "mesh");
        // A textured part names its pictures, when its faces say where they
        // lie on them and its scene line has room for the longest names.
        bool coords = !part.kd_texture.empty() || !part.ke_texture.empty();
        if (coords && !all_textured(part.faces)) {
            fprintf(stderr,
                    "rt-import: material \"%s\": faces without texture coordinates: its textures' mean colours "
                    "stand for them\n",
                    part.label.c_str());
            coords = false;
        }
        if (coords && mesh_line(file, part.material).size() + 2 * longest_map > kMaxSceneLine) {
            fprintf(stderr,
                    "rt-import: material \"%s\": the names of its textures may not fit on its scene line: "
                    "their mean colours stand for them\n",
                    part.label.c_str());
            coords = false;
        }
        const std::pair<const std::string &, const char *> maps[] = {{part.kd_texture, "kd_map"},
                                                                     {part.ke_texture, "ke_map"}};
        for (const auto &map : maps) {
            std::string name = coords && !map.first.empty() ? picture(map.first, part.label) : "";
            if (!name.empty()) {
                part.maps += std::string(" ") + map.second + "(" + name + ")";
            }
        }
        if (file != stem + "-" + part.label + ".mesh" && !part.label.empty()) {
            text += "# The mesh of material \"" + comment_text(part.label) + "\":\n";
        }
        part.file = file;
        files.emplace_back();
        files.back().path = folder + part.file;
        files.back().text = mesh_text(part.faces, quads, !part.maps.empty()).text;
        text += mesh_line(part.file, part.material, part.maps);
    }
    files.emplace_back();
    files.back().path = opt.output;
    files.back().text = text;
    if (!write_files(&files)) {
        return kExitFailure;
    }
    if (user_scene) {
        fprintf(stderr, "rt-import: replaced %s, which rt-import did not write, as -replace-scene asks\n",
                opt.output.c_str());
    }
    if (!replaced.empty()) {
        fprintf(stderr, "rt-import: replaced the earlier import's %s\n", replaced.c_str());
    }
    fprintf(stderr, "rt-import: %s: %s, %s, %s%s\n", opt.output.c_str(),
            count_of(parts.size(), "mesh", "meshes").c_str(), face_count(kept.size(), quads).c_str(),
            count_of(lights.size(), "light", "lights").c_str(), skipped_note(geo).c_str());
    fprintf(stderr, "rt-import: render it with: %s\n", render_command(opt, opt.output).c_str());
    return 0;
}

bool written_by_import(const std::string &path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return false; // a FIFO would wait for a writer
    }
    char first[sizeof kHeader - 1];
    FILE *fp = fopen(path.c_str(), "rb");
    bool ours =
        fp != nullptr && fread(first, 1, sizeof first, fp) == sizeof first && memcmp(first, kHeader, sizeof first) == 0;
    if (fp != nullptr) {
        fclose(fp);
    }
    return ours;
}
