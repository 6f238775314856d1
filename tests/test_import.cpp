// rt-import end to end: the real importer on the small models of
// tests/models, the exact files it writes, rt rendering the scenes, the
// refusals.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support.h"

namespace
{

#ifdef RT_IMPORT_BINARY

// The names in a folder, without . and .., sorted.
std::set<std::string> list_dir(const std::string &path)
{
    std::set<std::string> names;
    std::error_code absent;
    for (const auto &entry : std::filesystem::directory_iterator(path, absent)) {
        names.insert(entry.path().filename());
    }
    return names;
}

const std::string kModels = std::string(RT_SOURCE_DIR) + "/tests/models/";
const std::string kPlace = " pos(0 0 0) rot(0 0 1 0) scale(1 1 1) kd(";

// Runs rt-import in dir with the blank-separated words of command, in which
// @ stands for the folder of the test models.
RunResult run_import(const TempDir &dir, const std::string &command)
{
    std::vector<std::string> args;
    std::istringstream in(command);
    for (std::string word; std::getline(in, word, ' ');) {
        args.push_back(word[0] == '@' ? kModels + word.substr(1) : word);
    }
    return run_target(dir.path(), RT_IMPORT_BINARY, args);
}

// The number of faces of a mesh data file, after checking that every face
// is counter-clockwise seen from the side its vertex normals point to: in
// rt's left-handed frame that is the front, as in the right-handed model.
int faces_facing_their_normals(const std::string &text)
{
    std::vector<Vector3> v, n;
    std::istringstream in(text);
    std::string line;
    int faces = 0;
    while (std::getline(in, line)) {
        char kind;
        double x, y, z;
        int i[3], k[3];
        if (sscanf(line.c_str(), "%c %lf %lf %lf", &kind, &x, &y, &z) == 4) {
            (kind == 'v' ? v : n).push_back(Vector3(x, y, z));
        } else if (sscanf(line.c_str(), "f %d/%d %d/%d %d/%d", &i[0], &k[0], &i[1], &k[1], &i[2], &k[2]) == 6) {
            Vector3 face = cross(v[i[1] - 1] - v[i[0] - 1], v[i[2] - 1] - v[i[0] - 1]);
            // A normal in the face's plane, as in nodes.dae, counts as either side.
            EXPECT_GE(dot(face, n[k[0] - 1] + n[k[1] - 1] + n[k[2] - 1]), 0.0) << line;
            faces++;
        }
    }
    return faces;
}

// The pixels of rt's w x w picture in dir in which channel c (0 red, 1
// green, 2 blue) outweighs both others twice, in the left and right half.
std::pair<int, int> dominant(const TempDir &dir, int w, int c)
{
    std::string image = read_file(dir.file("out.ppm"));
    std::string rgb = image.substr(image.size() - 3 * w * w);
    EXPECT_EQ(image, ppm(w, w, rgb));
    std::pair<int, int> count{0, 0};
    for (int p = 0; p < w * w; p++) {
        auto at = [&](int k) { return static_cast<unsigned char>(rgb[3 * p + (c + k) % 3]); };
        if (at(0) > 30 && at(0) > 2 * at(1) && at(0) > 2 * at(2)) {
            (p % w < w / 2 ? count.first : count.second)++;
        }
    }
    return count;
}

// The plain mode: one mesh, mirrored into rt's frame (z negated, corners in
// reverse order), with the scene line on standard output.
TEST(Import, PlainModeWritesOneMirroredMesh)
{
    const std::vector<std::vector<std::string>> cases = {
        // options and model, text the mesh data file holds, its diffuse colour, the summary.
        // A zero facet normal gives way to the face's own; facets with two
        // equal corners, or with three on a line and a zero normal, are skipped.
        {"@square.stl", "MESH3\nv 0 0 0\nv 2 2 0\nv 2 0 0\nv 0 2 0\nn 0 0 -1\nf 1/1 2/1 3/1\nf 1/1 4/1 2/1\n",
         "0.7 0.7 0.7", "2 triangles, 4 vertices, 1 normals; 2 degenerate or non-finite faces skipped"},
        // Node transforms down the tree; normals by the inverse transpose.
        {"@nodes.dae",
         "MESH3\nv 2 0 0\nv 2 1 0\nv 3 0 0\nv 0 0 -5\nv -4 -1.7484555e-07 -5\nv -1.3113416e-07 3 -5\n"
         "n 0.70710677 0.70710677 0\nn -0.6 0.79999995 0\nf 1/1 2/1 3/1\nf 4/2 5/2 6/2\n",
         "0.7 0.7 0.7", "2 triangles, 6 vertices, 2 normals"},
        {"-quads @pyramid.obj", "MESH3\n", "0.8 0.5 0.25", "6 triangles, 5 vertices, 5 normals"},
        // Smooth normals where the file has none, weighted by the corners'
        // angles: a split quad counts as one face.
        {"@cube.ply", "n -0.57735026 -0.57735026 0.57735026\nn 0.57735026 0.57735026 0.57735026\n", "0.7 0.7 0.7",
         "12 triangles, 8 vertices, 8 normals"},
        {"-fit -quads @cube.ply", "MESH4\nv -0.5 -0.5 0.5\nv 0.5 -0.5 0.5\nv 0.5 0.5 0.5\n", "0.7 0.7 0.7",
         "6 quads, 8 vertices, 8 normals"},
    };
    for (const std::vector<std::string> &c : cases) {
        SCOPED_TRACE(c[0]);
        TempDir dir;
        RunResult r = run_import(dir, c[0] + " out.mesh");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "m out.mesh" + kPlace + c[2] + ") ks(0 0 0) s(1) kr(0) ke(0 0 0)\n");
        std::string fallback = "rt-import: " + kModels + "pyramid.obj: not every face is a quad, writing triangles\n";
        EXPECT_EQ(r.err, (c[0].rfind("-quads", 0) == 0 ? fallback : "") + "rt-import: out.mesh: " + c[3] + "\n");
        std::string mesh = read_file(dir.file("out.mesh"));
        EXPECT_NE(mesh.find(c[1]), std::string::npos) << mesh;
        EXPECT_EQ(faces_facing_their_normals(mesh), std::stoi(c[3]));
        EXPECT_EQ(list_dir(dir.path()), std::set<std::string>{"out.mesh"}); // no temporary left
    }
}

// A bad command line (status 2), or a model that cannot be imported or
// written (status 1), leaves the folder as it was, in either mode: no scene,
// no mesh, no temporary, an earlier file untouched.
TEST(Import, RefusalsLeaveNothingBehind)
{
    const std::string usage = "usage: rt-import [-quads] [-fit] MODEL OUTPUT.mesh\n"
                              "       rt-import -scene [-quads] [-fit] MODEL OUTPUT.scene\n";
    const std::string cannot = "rt-import: cannot import ", tri = "v 0 0 0\nv 1 0 0\nv 0 1 0\n";
    const std::vector<std::vector<std::string>> cases = {
        // the model's name and text (none: missing), the command line, standard error
        {"", "", "-scene a.obj", usage},
        {"", "", "- a.obj b.mesh", usage}, // a lone - is a name
        {"", "", "-triangles a.obj b.mesh", "rt-import: unknown option: -triangles\n" + usage},
        // rt reads a mesh name up to the first blank.
        {"", "", "-scene a.obj my\troom", "rt-import: the output name must not contain white space: my\troom\n"},
        {"missing.obj", "", "missing.obj old.mesh", cannot + "missing.obj: Unable to open file \"missing.obj\".\n"},
        {"lines.obj", "v 0 0 0\nv 1 0 0\nl 1 2\n", "lines.obj old.mesh",
         cannot + "lines.obj: the model has no faces\n"},
        {"nan.obj", tri + "v nan 0 0\nvn 0 0 1\nf 1//1 2//1 4//1\n", "-scene nan.obj old.scene",
         cannot + "nan.obj: the model has no faces\n"},
        {"tri.obj", tri + "f 1 2 3\n", "tri.obj no/out.mesh",
         "rt-import: cannot write no/out.mesh: No such file or directory\n"},
        // The second mesh's name is a folder's: the first mesh is not left.
        {"two.obj", tri + "usemtl a\nf 1 2 3\nusemtl b\nf 1 2 3\n", "-scene two.obj old.scene",
         "rt-import: the model gives no light: one white light at the camera\n"
         "rt-import: cannot write old-b.mesh: not a regular file\n"},
    };
    for (const std::vector<std::string> &c : cases) {
        SCOPED_TRACE(c[2]);
        TempDir dir;
        if (!c[1].empty()) {
            write_file(dir.file(c[0]), c[1]);
        }
        write_file(dir.file("old.mesh"), "earlier\n");
        write_file(dir.file("old.scene"), "earlier\n");
        mkdir(dir.file("old-b.mesh").c_str(), 0755);
        std::set<std::string> before = list_dir(dir.path());
        RunResult r = run_import(dir, c[2]);
        EXPECT_EQ(r.status, c[0].empty() ? 2 : 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c[3]);
        EXPECT_EQ(list_dir(dir.path()), before);
        EXPECT_EQ(read_file(dir.file("old.mesh")) + read_file(dir.file("old.scene")), "earlier\nearlier\n");
    }

    // A scene line that cannot be written (a full disk) is an error, and the
    // mesh file is not left without it; a name as long as a name can be fits.
    TempDir dir;
    const std::string import = shell_words(RT_IMPORT_BINARY) + " '" + kModels + "pyramid.obj' ", long_name(250, 'n');
    RunResult r = run_shell(dir.path(), import + "p.mesh >/dev/full; echo $?; " + import + long_name +
                                            ".mesh >/dev/null 2>&1; echo $?; ls");
    EXPECT_EQ(r.out, "1\n0\n" + long_name + ".mesh\n");
    EXPECT_EQ(r.err, "rt-import: cannot write the scene line: No space left on device\n");
}

// Whole scenes rendered from their camera, the red wall or panel on the
// left. A Cornell box in OBJ and MTL, without camera or light, seen from the
// front of its own right-handed frame, green on the right, lit by its
// glowing ceiling panel alone. A glTF scene, its camera looking along -x and
// 10 degrees down (frame 3:2), blue on the right; a point light of 20 and a
// spot light of 10 candela, 2.25 and 2.56 from the middle, and a sun of 2
// lux far away against its direction, scaled together to sum to 1.
// And what rt cannot show left out with a note, the rest imported: a camera
// without a view direction, a light not a number, an ambient light, a face
// with a corner not a number; the turn of a camera about its view dropped
// (60 degrees across a 1:2 frame, 98.2 up); with no light left, one at the
// camera, which -fit moves with the model.
TEST(ImportScene, ScenesRenderTheRightWayRound)
{
    const std::vector<std::vector<std::string>> cases = {
        // options and model, standard error, the scene file up to the mesh lines, the colour on the right
        {"@cornell.obj", "rt-import: s.scene: 4 meshes, 12 triangles, 0 lights\n",
         "c p(0 2.6317072 -4.4871945) t(0 1 0) fov(45)\n", "1"},
        {"@room.gltf",
         "rt-import: spot light \"spot\" becomes a point light: its cone is dropped\n"
         "rt-import: s.scene: 3 meshes, 6 triangles, 3 lights\n",
         "# The model's camera shows the middle 512x341 of that.\n"
         "c p(3 1.5 0) t(-0.037796497 0.96435463 3.677201e-07) fov(65.560905)\n"
         "l p(0 3 0) c(0.5285512 0.5285512 0.5285512)\nl p(0 1387.067 -800.39056) c(0.26757905 0.26757905 0.26757905)\n"
         "l p(2 2 -1) c(0.20386975 0.1630958 0.12232185)\n",
         "2"},
        {"-fit @broken.dae",
         "rt-import: camera \"flat\" has no view direction: skipped\n"
         "rt-import: camera \"front\" is turned about its view; rt keeps +y up, so the turn is dropped\n"
         "rt-import: light \"lamp\" has values that are not finite numbers: skipped\n"
         "rt-import: light \"ambient\" is an ambient light, which rt does not have: skipped\n"
         "rt-import: the model gives no light: one white light at the camera\n"
         "rt-import: s.scene: 1 meshes, 1 triangles, 1 lights; 1 degenerate or non-finite faces skipped\n",
         "# The model's camera shows the middle 256x512 of that.\n"
         "c p(-0.25 -1 -1.5) t(-0.25 -1 0) fov(98.21321)\nl p(-0.25 -1 -1.5) c(1 1 1)\n",
         "0"},
    };
    for (const std::vector<std::string> &c : cases) {
        SCOPED_TRACE(c[0]);
        TempDir dir;
        RunResult r = run_import(dir, "-scene " + c[0] + " s.scene");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c[1]);
        std::string scene = read_file(dir.file("s.scene"));
        EXPECT_EQ(scene.substr(0, scene.find("\nm s-") + 1),
                  "# Imported by rt-import from " + c[0].substr(c[0].find('@') + 1) + ".\n" +
                      "# Render it from this folder, square: rt -size 512x512 s.scene\n" + c[2]);
        if (c[3] == "0") {
            EXPECT_EQ(read_file(dir.file("s-default.mesh")),
                      "MESH3\nv -0.25 -0.5 0\nv -0.25 0.5 0\nv 0.25 -0.5 0\nn 0 0 -1\nf 1/1 2/1 3/1\n");
            continue;
        }
        r = run_rt(dir.path(), {"-nosdl", "-size", "48x48", "-rays", "4", "s.scene"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        std::pair<int, int> left = dominant(dir, 48, 0), right = dominant(dir, 48, std::stoi(c[3]));
        EXPECT_GT(left.first, 60);
        EXPECT_EQ(left.second, 0);
        EXPECT_EQ(right.first, 0);
        EXPECT_GT(right.second, 60);
    }
}

// The material mapping, one row per material: Phong from MTL, glTF's
// metallic-roughness and specular-glossiness, emission, textures dropped,
// kd + ks kept at most 1, names made file names, a broken material left out.
TEST(ImportScene, MaterialMapping)
{
    const std::vector<std::string> rows = {
        "m m-plastic.mesh kd(0.48 0.24 0.96) ks(0.04 0.04 0.04) s(30) ke(0 0 0)",
        "m m-gold.mesh kd(0 0 0) ks(1 0.8 0.3) s(510) ke(0 0 0)",
        "m m-half.mesh kd(0.48 0.48 0.48) ks(0.52 0.52 0.52) s(1000) ke(0 0 0)",
        "m m-unset.mesh kd(0 0 0) ks(1 1 1) s(1) ke(0 0 0)", // glTF's defaults: a rough metal
        "m m-specgloss.mesh kd(0.4 0.32 0.24000001) ks(0.2 0.2 0.2) s(510) ke(0 0 0)",
        "m m-lamp.mesh kd(0.192 0.192 0.192) ks(0.04 0.04 0.04) s(1) ke(1 0.5 0)",
        "m m-wood.mesh kd(0.57600003 0.384 0.192) ks(0.04 0.04 0.04) s(1) ke(0 0 0)",
        "m m-shiny.mesh kd(0.5 0.5 0.5) ks(0.25 0.25 0.25) s(50) ke(0 0 0)",
        "m m-bright.mesh kd(0.64285713 0.42857146 0.21428573) ks(0.35714287 0.35714287 0.35714287) s(1000) ke(0 0 0)",
        "m m-glow.mesh kd(0 0 0) ks(0 0 0) s(1) ke(2 1 0)",
        "m m-negative.mesh kd(0 0.5 0.5) ks(0 0 0.25) s(1) ke(0 0 0)",
        "# The mesh of material \"a/b?c\":", // a tab in the name
        "m m-a_b_c.mesh kd(0.5 0.5 0.5) ks(0 0 0) s(1) ke(0 0 0)",
        "m m-red.mesh kd(1 0 0) ks(0 0 0) s(1) ke(0 0 0)",
        "# The mesh of material \"RED\":",
        "m m-RED-2.mesh kd(0.5 0 0) ks(0 0 0) s(1) ke(0 0 0)",
    };
    std::vector<std::string> got;
    std::string notes; // standard error of both
    for (const char *model : {"materials.gltf", "materials.obj"}) {
        TempDir dir;
        RunResult r = run_import(dir, std::string("-scene @") + model + " m.scene");
        EXPECT_EQ(r.status, 0);
        notes += r.err;
        std::istringstream in(read_file(dir.file("m.scene")));
        for (std::string line; std::getline(in, line);) {
            if (line[0] == 'm' && line.find(kPlace) != std::string::npos && line.find(" kr(0)") != std::string::npos) {
                line.replace(line.find(kPlace), kPlace.size(), " kd(");
                got.push_back(line.erase(line.find(" kr(0)"), 6));
            } else if (line.rfind("# The mesh", 0) == 0) {
                got.push_back(line);
            }
        }
    }
    EXPECT_EQ(got, rows);
    EXPECT_EQ(notes, "rt-import: material \"wood\" has textures, which rt does not show: its colours are used\n"
                     "rt-import: m.scene: 7 meshes, 7 triangles, 0 lights\n"
                     "rt-import: material \"broken\" has values that are not finite numbers: 1 faces skipped\n"
                     "rt-import: m.scene: 7 meshes, 7 triangles, 0 lights\n");
}

#endif // RT_IMPORT_BINARY
} // namespace
