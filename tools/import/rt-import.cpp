// rt-import: converts a model in any format the assimp library reads (OBJ,
// PLY, STL, glTF, COLLADA ...) for rt.
//
//   rt-import [options] MODEL OUTPUT.mesh
//   rt-import -scene [options] MODEL OUTPUT.scene
//
// The first form merges every mesh of every node into one mesh data file in
// world space and prints the scene line that places it. The second writes a
// whole scene: a scene file with the model's first camera that shows it (or
// one that frames the model), its lights (or one at the camera) and one mesh
// line per material, each naming a mesh data file written beside the scene
// file. Models are stood up on +y and turned from their right-handed frame
// into rt's left-handed one. The files hold triangles (MESH3), or quads
// (MESH4) with -quads when every face of the model is a quad; otherwise
// -quads falls back to triangles with a note. Normals come from the model,
// or are worked out with a crease angle when it has none; -fit scales and
// moves the model into a unit box centred at the origin.
// Exit status: 0 done, 1 the model or the output failed, 2 bad usage.
#include <assimp/DefaultIOSystem.h>
#include <assimp/Importer.hpp>
#include <assimp/config.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <assimp/version.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "files/standard_streams.h"
#include "import_axes.h"
#include "import_counts.h"
#include "import_files.h"
#include "import_geometry.h"
#include "import_limits.h"
#include "import_options.h"
#include "import_output.h"

namespace
{

const char kUsage[] = "usage: rt-import [options] MODEL OUTPUT.mesh\n"
                      "       rt-import -scene [options] MODEL OUTPUT.scene\n";

// rt reads a scene line of at most 1023 characters, its line break
// included; the line printed here takes under 128 besides the name.
const size_t kMaxMeshName = 895;

const int kExitFailure = 1;
const int kExitUsage = 2;

void print_help()
{
    printf("%s"
           "Converts a model that the assimp library reads (OBJ, PLY, STL, glTF, COLLADA ...)\n"
           "into a mesh data file for rt and prints the scene line for it, or with -scene\n"
           "into a scene file with the model's camera, lights and materials, and one mesh\n"
           "data file per material beside it.\n"
           "\n"
           "  -scene        write a whole scene\n"
           "  -quads        write quads (MESH4) when every face of the model is a quad\n"
           "  -fit          scale and move the model into a unit box centred at the origin\n"
           "  -up AXIS      the model's up axis: x, y, z, -x, -y or -z (default: what the\n"
           "                file or its format says, else y)\n"
           "  -keep-camera  with -scene, keep the model's camera even when it shows little\n"
           "                of the model\n"
           "  -frame        with -scene, pass over the model's cameras for one that frames\n"
           "                the whole model\n"
           "  -replace-scene  with -scene, replace OUTPUT.scene also when rt-import did not\n"
           "                write it (a scene of your own is otherwise refused)\n"
           "  -size WxH     with -scene, the picture size of the render command it\n"
           "                suggests (default 512x512)\n"
           "  -max-memory SIZE  give up a model that needs more memory, in bytes or with\n"
           "                K, M or G (default half the machine's memory; 0: no limit)\n"
           "  -max-time S   give up a model whose reading takes longer than S seconds\n"
           "                (default 120; 0: no limit)\n"
           "  --help        show this help\n"
           "  --version     show the version\n"
           "\n"
           "Exit status: 0 when done, 1 when the model cannot be imported or the output\n"
           "cannot be written, 2 on a bad command line.\n",
           kUsage);
}

bool has_space(const std::string &s)
{
    return std::any_of(s.begin(), s.end(), [](char c) { return isspace(static_cast<unsigned char>(c)) != 0; });
}

// "WxH" with both from 1 to 65535.
bool parse_size(const char *text, int *width, int *height)
{
    char x, rest;
    return sscanf(text, "%d%c%d%c", width, &x, height, &rest) == 3 && x == 'x' && *width >= 1 && *width <= 65535 &&
           *height >= 1 && *height <= 65535 && isdigit(static_cast<unsigned char>(text[0]));
}

// A count of bytes: digits, then K, M or G for powers of 1024.
bool parse_bytes(const char *text, size_t *bytes)
{
    char *end;
    errno = 0;
    unsigned long long n = isdigit(static_cast<unsigned char>(text[0])) ? strtoull(text, &end, 10) : 0;
    if (!isdigit(static_cast<unsigned char>(text[0])) || errno != 0) {
        return false;
    }
    int shift = 0;
    if (*end != 0) {
        const char *units = "KMG";
        const char *unit = strchr(units, toupper(static_cast<unsigned char>(*end)));
        if (unit == nullptr || *unit == 0 || end[1] != 0) {
            return false;
        }
        shift = 10 * static_cast<int>(unit - units + 1);
    }
    if (n > (SIZE_MAX >> shift)) {
        return false;
    }
    *bytes = static_cast<size_t>(n) << shift;
    return true;
}

// Seconds: digits with an optional fraction, no sign, no exponent.
bool parse_seconds(const char *text, double *seconds)
{
    size_t digits = strspn(text, "0123456789");
    size_t fraction = text[digits] == '.' ? strspn(text + digits + 1, "0123456789") : 0;
    size_t length = digits + (text[digits] == '.' ? 1 + fraction : 0);
    if (digits + fraction == 0 || text[length] != 0 || length > 12) {
        return false;
    }
    *seconds = strtod(text, nullptr);
    return true;
}

// What the value of an option that takes one must be, for its message.
const char *value_needed(const std::string &option)
{
    if (option == "-up") {
        return "an axis: x, y, z, -x, -y or -z";
    }
    if (option == "-size") {
        return "a picture size WxH";
    }
    if (option == "-max-memory") {
        return "a number of bytes, or of K, M or G";
    }
    return "a number of seconds";
}

// Returns 0 to go on, or the exit status of a bad command line.
int parse_args(int argc, char **argv, Options *opt)
{
    std::vector<std::string> names;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        // The options that take a value, and the value's check.
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        bool valid = true;
        if (arg == "-scene") {
            opt->scene = true;
        } else if (arg == "-quads") {
            opt->quads = true;
        } else if (arg == "-fit") {
            opt->fit = true;
        } else if (arg == "-keep-camera") {
            opt->keep_camera = true;
        } else if (arg == "-frame") {
            opt->frame = true;
        } else if (arg == "-replace-scene") {
            opt->replace_scene = true;
        } else if (arg == "-up") {
            valid = value != nullptr && parse_up_axis(value, &opt->up);
            opt->up_given = true;
            i++;
        } else if (arg == "-size") {
            valid = value != nullptr && parse_size(value, &opt->width, &opt->height);
            opt->size_given = true;
            i++;
        } else if (arg == "-max-memory") {
            valid = value != nullptr && parse_bytes(value, &opt->max_memory);
            i++;
        } else if (arg == "-max-time") {
            valid = value != nullptr && parse_seconds(value, &opt->max_time);
            i++;
        } else if (arg == "--help") {
            opt->help = true;
            return 0;
        } else if (arg == "--version") {
            opt->version = true;
            return 0;
        } else if (arg.size() > 1 && arg[0] == '-') {
            fprintf(stderr, "rt-import: unknown option: %s\n%s", arg.c_str(), kUsage);
            return kExitUsage;
        } else {
            names.push_back(arg);
        }
        if (!valid) {
            fprintf(stderr, "rt-import: %s needs %s, not: %s\n%s", arg.c_str(), value_needed(arg),
                    value == nullptr ? "nothing" : value, kUsage);
            return kExitUsage;
        }
    }
    if (names.size() != 2) {
        fprintf(stderr, "%s", kUsage);
        return kExitUsage;
    }
    // What only a scene has: without -scene these would be ignored.
    const char *scene_only = opt->keep_camera     ? "-keep-camera"
                             : opt->frame         ? "-frame"
                             : opt->replace_scene ? "-replace-scene"
                             : opt->size_given    ? "-size"
                                                  : nullptr;
    if (!opt->scene && scene_only != nullptr) {
        fprintf(stderr, "rt-import: %s is for -scene only\n%s", scene_only, kUsage);
        return kExitUsage;
    }
    if (opt->frame && opt->keep_camera) {
        fprintf(stderr, "rt-import: -frame and -keep-camera ask for different cameras: give one\n%s", kUsage);
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

// Files that assimp opens while it reads a model: the model's own files,
// which no output may replace.
class RecordingIOSystem : public Assimp::DefaultIOSystem
{
  public:
    explicit RecordingIOSystem(FileSet *opened) : opened(opened) {}
    Assimp::IOStream *Open(const char *file, const char *mode) override
    {
        Assimp::IOStream *stream = Assimp::DefaultIOSystem::Open(file, mode);
        if (stream != nullptr) {
            opened->add(file);
        }
        return stream;
    }

  private:
    FileSet *opened;
};

// The model, read and stood up on rt's +y, owned by the caller; null after a
// message when it cannot be read. Every file the reader opens goes into
// inputs.
std::unique_ptr<aiScene> read_model(const Options &opt, FileSet *inputs)
{
    Assimp::Importer importer;
    importer.SetIOHandler(new RecordingIOSystem(inputs));
    // Faces that collapse to a line or a point become lines or points, which
    // are skipped; small but proper triangles are kept whatever their area.
    importer.SetPropertyInteger(AI_CONFIG_PP_FD_REMOVE, 0);
    importer.SetPropertyInteger(AI_CONFIG_PP_FD_CHECKAREA, 0);
    unsigned flags = aiProcess_FindDegenerates | aiProcess_ValidateDataStructure | aiProcess_GenUVCoords |
                     aiProcess_TransformUVCoords;
    if (!opt.quads) {
        flags |= aiProcess_Triangulate;
    }
    const aiScene *scene = importer.ReadFile(opt.model, flags);
    if (scene != nullptr && opt.quads && !every_face_is_quad(scene)) {
        fprintf(stderr, "rt-import: %s: not every face is a quad, writing triangles\n", opt.model.c_str());
        scene = importer.ApplyPostProcessing(aiProcess_Triangulate);
    }
    if (scene == nullptr || scene->mRootNode == nullptr) {
        if (memory_limit_reached()) {
            throw std::bad_alloc();
        }
        fprintf(stderr, "rt-import: cannot import %s: %s\n", opt.model.c_str(), importer.GetErrorString());
        return nullptr;
    }
    std::unique_ptr<aiScene> model(importer.GetOrphanedScene());
    UpAxis up = model_up_axis(model.get(), opt.model);
    if (opt.up_given) {
        up = opt.up;
        up.why = "as asked";
    }
    // -up names an axis of the file; the defaults are the reader's world's.
    UpAxis world = opt.up_given ? world_axis(up, model.get(), opt.model) : up;
    if (world.axis != 1 || world.sign != 1) {
        fprintf(stderr, "rt-import: up is %s, %s%s: the model is stood on rt's +y\n", axis_name(up).c_str(),
                up.why.c_str(), opt.up_given ? "" : " (-up changes it)");
    }
    aiMatrix4x4 turn = up_turn(world);
    model->mRootNode->mTransformation = turn * model->mRootNode->mTransformation;
    return model;
}

// Whether the normals a format's reader gives are the model's own shading.
// The Blender reader gives every vertex its smooth normal, also on faces
// that the file keeps flat; STL holds only each facet's flat normal, so a
// curved surface would stay faceted. Such normals are worked out anew.
bool normals_are_the_models(const std::string &extension)
{
    return extension != ".blend" && extension != ".stl";
}

int import(const Options &opt)
{
    std::string too_big;
    if (!declared_counts_fit(opt.model, &too_big)) {
        fprintf(stderr, "rt-import: cannot import %s: %s\n", opt.model.c_str(), too_big.c_str());
        return kExitFailure;
    }
    FileSet inputs;
    inputs.add(opt.model);
    char seconds[32];
    snprintf(seconds, sizeof seconds, "%g", opt.max_time);
    start_time_limit(opt.max_time, "rt-import: cannot import " + opt.model + ": reading it takes longer than " +
                                       seconds + " seconds (-max-time changes the limit)\n");
    std::unique_ptr<aiScene> scene = read_model(opt, &inputs);
    stop_time_limit();
    if (scene == nullptr) {
        return kExitFailure;
    }
    Geometry geo = collect_geometry(scene.get(), normals_are_the_models(model_extension(opt.model)));
    if (geo.faces.empty()) {
        fprintf(stderr, "rt-import: cannot import %s: the model has no faces\n", opt.model.c_str());
        return kExitFailure;
    }
    return opt.scene ? import_scene(opt, scene.get(), geo, inputs) : import_mesh(opt, scene.get(), geo, inputs);
}

// The output, checked before the model is read (which may take minutes):
// a folder that cannot be written, or a scene file of the user's, which is
// replaced only when asked. 0 to go on, or the exit status after a message.
int check_output(const Options &opt)
{
    std::string reason;
    if (!can_write(opt.output, &reason)) {
        fprintf(stderr, "rt-import: cannot write %s: %s\n", opt.output.c_str(), reason.c_str());
        return kExitFailure;
    }
    if (opt.scene && !opt.replace_scene && file_exists(opt.output) && !written_by_import(opt.output)) {
        fprintf(stderr,
                "rt-import: %s is not a scene that rt-import wrote: left as it is (-replace-scene replaces it)\n",
                opt.output.c_str());
        return kExitUsage;
    }
    return 0;
}

// "512 MB", "11.7 GB" and the like, for the memory message.
std::string memory_text(size_t bytes)
{
    const char *units[] = {"bytes", "KB", "MB", "GB", "TB"};
    double amount = static_cast<double>(bytes);
    int unit = 0;
    while (unit < 4 && amount >= 1024.0) {
        amount /= 1024.0;
        unit++;
    }
    char text[32];
    snprintf(text, sizeof text, "%.3g %s", amount, units[unit]);
    return text;
}

} // namespace

int main(int argc, char **argv)
{
    if (!open_closed_standard_streams()) {
        fprintf(stderr, "rt-import: cannot open /dev/null in place of a closed standard stream\n");
        return kExitFailure;
    }
    Options opt;
    opt.max_memory = default_memory_limit();
    int status = parse_args(argc, argv, &opt);
    if (status != 0) {
        return status;
    }
    if (opt.help) {
        print_help();
        return 0;
    }
    if (opt.version) {
        printf("rt-import %s (assimp %u.%u.%u)\n", RT_VERSION, aiGetVersionMajor(), aiGetVersionMinor(),
               aiGetVersionPatch());
        return 0;
    }
    // The output may not be the model: it would be gone before it is read.
    FileSet model;
    model.add(opt.model);
    if (model.holds(opt.output)) {
        fprintf(stderr, "rt-import: the output is the model itself: %s\n", opt.output.c_str());
        return kExitUsage;
    }
    status = check_output(opt);
    if (status != 0) {
        return status;
    }
    return run_apart(
        [&opt] {
            set_memory_limit(opt.max_memory);
            try {
                return import(opt);
            } catch (const std::bad_alloc &) {
                set_memory_limit(0);
                fprintf(stderr,
                        "rt-import: cannot import %s: it needs more memory than %s (-max-memory changes the limit)\n",
                        opt.model.c_str(), memory_text(opt.max_memory).c_str());
                return kExitFailure;
            }
        },
        opt.model);
}
