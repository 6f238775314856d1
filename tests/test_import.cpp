// rt-import end to end: the real importer on the small models of
// tests/models, the exact files it writes, rt rendering the scenes, the
// refusals.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <regex>
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
// A COLLADA triangle 0.001 across and a point light 3e38 away; and the same
// with a camera there instead.
const std::string kFarLight =
    "<?xml version=\"1.0\"?>\n<COLLADA xmlns=\"http://www.collada.org/2005/11/COLLADASchema\" version=\"1.4.1\">"
    "<library_lights><light id=\"l\"><technique_common><point><color>1 1 1</color></point></technique_common>"
    "</light></library_lights><library_geometries><geometry id=\"t\"><mesh><source id=\"p\">"
    "<float_array id=\"pa\" count=\"9\">0 0 0 0.001 0 0 0 0.001 0</float_array><technique_common>"
    "<accessor source=\"#pa\" count=\"3\" stride=\"3\"><param name=\"X\" type=\"float\"/>"
    "<param name=\"Y\" type=\"float\"/><param name=\"Z\" type=\"float\"/></accessor></technique_common></source>"
    "<vertices id=\"v\"><input semantic=\"POSITION\" source=\"#p\"/></vertices><triangles count=\"1\">"
    "<input semantic=\"VERTEX\" source=\"#v\" offset=\"0\"/><p>0 1 2</p></triangles></mesh></geometry>"
    "</library_geometries><library_visual_scenes><visual_scene id=\"s\"><node><instance_geometry url=\"#t\"/>"
    "</node><node><translate>0 0 3e38</translate><instance_light url=\"#l\"/></node></visual_scene>"
    "</library_visual_scenes><scene><instance_visual_scene url=\"#s\"/></scene></COLLADA>\n";
const std::string kFarCamera = std::regex_replace(
    std::regex_replace(kFarLight, std::regex("<instance_light url=\"#l\"/>"), "<instance_camera url=\"#c\"/>"),
    std::regex("<library_lights>.*</library_lights>"),
    "<library_cameras><camera id=\"c\"><optics><technique_common><perspective><yfov>45</yfov></perspective>"
    "</technique_common></optics></camera></library_cameras>");
const std::string kPlace = " pos(0 0 0) rot(0 0 1 0) scale(1 1 1) kd(";
// The notes on the lights that a model without its own gets.
const std::string kLights = "a white key light above and left of the camera, and a fill light right of it";
const std::string kNoLight = "rt-import: the model gives no light: " + kLights + "\n";
const std::string kDarkToo = "rt-import: the model's lights leave what the camera sees dark: " + kLights + ", too\n";

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

// The plain mode: one mesh, stood on +y and mirrored into rt's frame (z
// negated, corners in reverse order), with the scene line on standard
// output.
TEST(Import, PlainModeWritesOneMirroredMesh)
{
    const std::string quads = "rt-import: " + kModels + "pyramid.obj: not every face is a quad, writing triangles\n";
    const std::string stl_up = "rt-import: up is +z, the STL format's convention (-up changes it): the model is "
                               "stood on rt's +y\n";
    const std::vector<std::vector<std::string>> cases = {
        // options and model, text the mesh data file holds, its diffuse colour, standard error.
        // STL keeps +z up (whatever the case of the name's extension): the
        // square's normal, +z, becomes rt's +y; -up says otherwise. A zero
        // facet normal gives way to the face's own; facets with two equal
        // corners, or with three on a line and a zero normal, are skipped.
        {"@square.STL", "MESH3\nv 0 0 0\nv 2 0 2\nv 2 0 0\nv 0 0 2\nn 0 1 0\nf 1/1 2/1 3/1\nf 1/1 4/1 2/1\n",
         "0.7 0.7 0.7",
         stl_up + "rt-import: out.mesh: 2 triangles, 4 vertices, 1 normal; 2 faces without area, which cannot be seen, "
                  "skipped\n"},
        {"-up y @square.STL", "MESH3\nv 0 0 0\nv 2 2 0\nv 2 0 0\nv 0 2 0\nn 0 0 -1\n", "0.7 0.7 0.7",
         "rt-import: out.mesh: 2 triangles, 4 vertices, 1 normal; 2 faces without area, which cannot be seen, "
         "skipped\n"},
        {"-up -y @square.STL", "MESH3\nv 0 0 0\nv 2 -2 0\nv 2 0 0\nv 0 -2 0\nn 0 0 1\n", "0.7 0.7 0.7",
         "rt-import: up is -y, as asked: the model is stood on rt's +y\n"
         "rt-import: out.mesh: 2 triangles, 4 vertices, 1 normal; 2 faces without area, which cannot be seen, "
         "skipped\n"},
        // Node transforms down the tree; normals by the inverse transpose.
        {"@nodes.dae",
         "MESH3\nv 2 0 0\nv 2 1 0\nv 3 0 0\nv 0 0 -5\nv -4 -1.7484555e-07 -5\nv -1.3113416e-07 3 -5\n"
         "n 0.70710677 0.70710677 0\nn -0.6 0.79999995 0\nf 1/1 2/1 3/1\nf 4/2 5/2 6/2\n",
         "0.7 0.7 0.7", "rt-import: out.mesh: 2 triangles, 6 vertices, 2 normals\n"},
        // A skinned DirectX figure stands where its bones put it, its head
        // on its neck, not where its nodes lay it; -up z stands the file's
        // +z (its nose) up, although the reader mirrors the file's frame.
        {"@figure.x", "MESH3\nv 0.2 0 0\nv -0.2 0 0\nv 0 1.6 0\nv 0 1 0.3\nv 0.1 1.6 0\nv -0.1 1.6 0\nv 0 2 0\n",
         "0.7 0.7 0.7", "rt-import: out.mesh: 3 triangles, 7 vertices, 2 normals\n"},
        {"-up z @figure.x", "MESH3\nv 0.2 0 0\nv -0.2 0 0\nv 0 0 -1.6\nv 0 0.3 -1\n", "0.7 0.7 0.7",
         "rt-import: up is +z, as asked: the model is stood on rt's +y\n"
         "rt-import: out.mesh: 3 triangles, 7 vertices, 2 normals\n"},
        {"-quads @pyramid.obj", "MESH3\n", "0.8 0.5 0.25",
         quads + "rt-import: out.mesh: 6 triangles, 5 vertices, 5 normals\n"},
        // Normals worked out where the file has none: the cube's faces meet
        // at right angles, so each keeps its own and every corner is split.
        {"@cube.ply", "n 0 0 1\nn 0 0 -1\nn 0 -1 0\nn 0 1 0\nn 1 0 0\nn -1 0 0\n", "0.7 0.7 0.7",
         "rt-import: out.mesh: 12 triangles, 8 vertices, 6 normals\n"},
        {"-fit -quads @cube.ply", "MESH4\nv -0.5 -0.5 0.5\nv 0.5 -0.5 0.5\nv 0.5 0.5 0.5\n", "0.7 0.7 0.7",
         "rt-import: out.mesh: 6 quads, 8 vertices, 6 normals\n"},
        // Faces bent by 20 degrees share the mean of their normals where
        // they meet; by 70, each keeps its own.
        {"@fold.obj", "n 0 0 -1\nn -0.17364809 0 -0.9848078\nn -0.34201998 0 -0.9396927\nn -1 0 0\nf", "0.7 0.7 0.7",
         "rt-import: out.mesh: 6 triangles, 8 vertices, 4 normals\n"},
        // STL's facet normals are each face's own: its twin of fold.obj
        // comes out as smooth.
        {"-up y @fold.stl", "n 0 0 -1\nn -0.17364809 0 -0.9848078\nn -0.34201998 0 -0.9396927\nn -1 0 0\nf",
         "0.7 0.7 0.7", "rt-import: out.mesh: 6 triangles, 8 vertices, 4 normals\n"},
    };
    for (const std::vector<std::string> &c : cases) {
        SCOPED_TRACE(c[0]);
        TempDir dir;
        RunResult r = run_import(dir, c[0] + " out.mesh");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "m out.mesh" + kPlace + c[2] + ") ks(0 0 0) s(1) kr(0) ke(0 0 0)\n");
        EXPECT_EQ(r.err, c[3]);
        std::string mesh = read_file(dir.file("out.mesh"));
        EXPECT_NE(mesh.find(c[1]), std::string::npos) << mesh;
        EXPECT_EQ(faces_facing_their_normals(mesh), std::stoi(c[3].substr(c[3].find("mesh: ") + 6)));
        EXPECT_EQ(list_dir(dir.path()), std::set<std::string>{"out.mesh"}); // no temporary left
    }

    // The reader of a COLLADA file whose up axis is +z stands it on +y
    // already, scaled by its unit (here half a metre): -up z asks for what
    // is done, -up y turns it back.
    TempDir dir;
    std::string nodes = read_file(kModels + "nodes.dae");
    nodes.replace(nodes.find("Y_UP"), 4, "Z_UP");
    write_file(dir.file("zup.dae"), nodes.replace(nodes.find("meter=\"1\""), 9, "meter=\"0.5\""));
    std::vector<std::string> meshes;
    for (const char *up : {"", "-up z ", "-up y "}) {
        EXPECT_EQ(run_import(dir, std::string(up) + "zup.dae out.mesh").status, 0);
        meshes.push_back(read_file(dir.file("out.mesh")));
    }
    EXPECT_EQ(meshes[1], meshes[0]);
    EXPECT_EQ(meshes[2].substr(0, meshes[2].find("\nn ")),
              "MESH3\nv 1 0 0\nv 1 0.5 0\nv 1.5 0 0\nv 0 0 -2.5\nv -2 -8.742278e-08 -2.5\nv -6.556708e-08 1.5 -2.5");
}

// A bad command line (status 2), or a model that cannot be imported or
// written (status 1), leaves the folder as it was, in either mode: no scene,
// no mesh, no temporary, an earlier file untouched.
TEST(Import, RefusalsLeaveNothingBehind)
{
    const std::string usage = "usage: rt-import [options] MODEL OUTPUT.mesh\n"
                              "       rt-import -scene [options] MODEL OUTPUT.scene\n";
    const std::string cannot = "rt-import: cannot import ", tri = "v 0 0 0\nv 1 0 0\nv 0 1 0\n";
    const std::string kEarlier = "# Imported by rt-import from two.obj.\nm old-b.mesh\n";
    const std::string kPly = "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
                             "property float z\nelement face ",
                      kPlyBody = "property list uchar int vertex_indices\nend_header\n0 0 0\n1 0 0\n0 1 0\n";
    const std::string ply = "ply\nformat ascii 1.0\nelement vertex 2000000000\nproperty float x\nproperty float y\n"
                            "property float z\nelement face 1\nproperty list uchar int vertex_indices\nend_header\n"
                            "0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n";
    // A model of 20000 triangles, which takes its reader megabytes.
    std::string many = tri;
    for (int i = 0; i < 20000; i++) {
        many += "f 1 2 3\n";
    }
    const std::vector<std::vector<std::string>> cases = {
        // the status, the model's name and text (none: missing), the command line, standard error
        {"2", "", "", "-scene a.obj", usage},
        {"2", "", "", "- a.obj b.mesh", usage}, // a lone - is a name
        {"2", "", "", "-triangles a.obj b.mesh", "rt-import: unknown option: -triangles\n" + usage},
        {"2", "", "", "-up w a.obj b.mesh", "rt-import: -up needs an axis: x, y, z, -x, -y or -z, not: w\n" + usage},
        {"2", "", "", "-scene -frame -keep-camera a.obj b.scene",
         "rt-import: -frame and -keep-camera ask for different cameras: give one\n" + usage},
        {"2", "", "", "-size 0x5 a.obj b.mesh", "rt-import: -size needs a picture size WxH, not: 0x5\n" + usage},
        {"2", "", "", "-max-memory 5X a.obj b.mesh",
         "rt-import: -max-memory needs a number of bytes, or of K, M or G, not: 5X\n" + usage},
        {"2", "", "", "a.obj b.mesh -max-time",
         "rt-import: -max-time needs a number of seconds, not: nothing\n" + usage},
        // rt reads a mesh name up to the first blank.
        {"2", "", "", "-scene a.obj my\troom", "rt-import: the output name must not contain white space: my\troom\n"},
        {"2", "", "", "-keep-camera a.obj b.mesh", "rt-import: -keep-camera is for -scene only\n" + usage},
        // A scene that rt-import did not write is not replaced unless asked;
        // the output is checked before the model is read.
        {"2", "tri.obj", tri + "f 1 2 3\n", "-scene tri.obj mine.scene",
         "rt-import: mine.scene is not a scene that rt-import wrote: left as it is (-replace-scene replaces it)\n"},
        {"1", "", "", "-scene missing.obj no/s.scene",
         "rt-import: cannot write no/s.scene: No such file or directory\n"},
        // The model itself, under another name too, and a file the reader
        // opens for it (here its material library) are never written over.
        {"2", "tri.obj", tri + "f 1 2 3\n", "tri.obj ./tri.obj",
         "rt-import: the output is the model itself: ./tri.obj\n"},
        {"1", "lib.obj", "mtllib old.mesh\n" + tri + "f 1 2 3\n", "lib.obj old.mesh",
         "rt-import: cannot write old.mesh: it is one of the model's files\n"},
        {"1", "missing.obj", "", "missing.obj old.mesh",
         cannot + "missing.obj: Unable to open file \"missing.obj\".\n"},
        {"1", "lines.obj", "v 0 0 0\nv 1 0 0\nl 1 2\n", "lines.obj old.mesh",
         cannot + "lines.obj: the model has no faces\n"},
        {"1", "nan.obj", tri + "v nan 0 0\nvn 0 0 1\nf 1//1 2//1 4//1\n", "-scene nan.obj old.scene",
         cannot + "nan.obj: the model has no faces\n"},
        // Counts a file cannot hold are refused before a reader believes them.
        {"1", "big.ply", ply, "big.ply old.mesh",
         cannot + "big.ply: it declares 2000000000 vertex elements, more than its 189 bytes can hold\n"},
        {"1", "big.off", "OFF\n3535352353580 1 0\n0 0 0\n", "big.off old.mesh",
         cannot + "big.off: it declares 3535352353580 vertices, more than its 28 bytes can hold\n"},
        {"1", "faces.off", "# a comment\nOFF 3 9 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n", "faces.off old.mesh",
         cannot + "faces.off: it declares 9 faces, more than its 48 bytes can hold\n"},
        {"1", "bin.ply",
         "ply\nformat binary_little_endian 1.0\nelement vertex 4\nproperty float x\nproperty float y\n"
         "property float z\nend_header\n" +
             std::string(36, '\0'),
         "bin.ply old.mesh", cannot + "bin.ply: it declares 4 vertex elements, more than its 151 bytes can hold\n"},
        // A PLY file is walked as its header declares it before the reader
        // sees it: cut short (in its header, in a list, a list of 255 with
        // 3 given), or a face naming a vertex it does not hold.
        {"1", "head.ply", "ply\nformat binary_little_endian 1.0\nelement", "head.ply old.mesh",
         cannot + "head.ply: it ends within its header\n"},
        {"1", "cut.ply", kPly + "2\n" + kPlyBody + "3 0 1 2\n3 0\n", "cut.ply old.mesh",
         cannot + "cut.ply: it holds less than its header declares: it ends within face element 2 of 2\n"},
        {"1", "list.ply", kPly + "1\n" + kPlyBody + "255 0 1 2\n", "list.ply old.mesh",
         cannot + "list.ply: it holds less than its header declares: it ends within face element 1 of 1\n"},
        {"1", "far.ply", kPly + "1\n" + kPlyBody + "3 0 1 3\n", "far.ply old.mesh",
         cannot + "far.ply: its face element 1 of 1 names vertex 3, of 3\n"},
        // An OFF face naming a vertex the file lacks, which the reader would
        // take for its last.
        {"1", "far.off", "OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 7\n", "far.off old.mesh",
         cannot + "far.off: its face 1 of 1 names vertex 7, of 3\n"},
        {"1", "binlist.ply",
         "ply\nformat binary_big_endian 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
         "property float z\nelement face 1\nproperty list uchar int vertex_indices\nend_header\n" +
             std::string(36, '\0') + "\3" + std::string(11, '\0'),
         "binlist.ply old.mesh",
         cannot + "binlist.ply: it holds less than its header declares: it ends within face element 1 of 1\n"},
        // A light of the model that the scale it is written at would take
        // past a float's range.
        {"1", "far.dae", kFarLight, "-scene far.dae old.scene",
         "rt-import: the model is 0.00141421 across, which rt's rays do not span well: written 10000 times as large\n" +
             cannot + "far.dae: a light lies at (0 0 -3e+42), beyond the numbers rt reads\n"},
        {"1", "cam.dae", kFarCamera, "-scene -keep-camera cam.dae old.scene",
         kNoLight +
             "rt-import: the model is 0.00141421 across, which rt's rays do not span well: written 10000 times as "
             "large\n" +
             cannot + "cam.dae: its camera lies at (0 0 -3e+42), beyond the numbers rt reads\n"},
        {"1", "many.obj", many, "-max-memory 1048576 many.obj old.mesh",
         cannot + "many.obj: it needs more memory than 1 MB (-max-memory changes the limit)\n"},
        {"1", "tri.obj", tri + "f 1 2 3\n", "tri.obj no/out.mesh",
         "rt-import: cannot write no/out.mesh: No such file or directory\n"},
        // The second mesh's name is a folder's, which the earlier scene
        // names: the first mesh is not left.
        {"1", "two.obj", tri + "usemtl a\nf 1 2 3\nusemtl b\nf 1 2 3\n", "-scene two.obj old.scene",
         kNoLight + "rt-import: cannot write old-b.mesh: not a regular file\n"},
    };
    for (const std::vector<std::string> &c : cases) {
        SCOPED_TRACE(c[3]);
        TempDir dir;
        if (!c[2].empty()) {
            write_file(dir.file(c[1]), c[2]);
        }
        write_file(dir.file("old.mesh"), "earlier\n");
        write_file(dir.file("old.scene"), kEarlier);
        write_file(dir.file("mine.scene"), "c p(0 0 -5) t(0 0 0) fov(45)\n");
        mkdir(dir.file("old-b.mesh").c_str(), 0755);
        std::set<std::string> before = list_dir(dir.path());
        RunResult r = run_import(dir, c[3]);
        EXPECT_EQ(r.status, std::stoi(c[0]));
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c[4]);
        EXPECT_EQ(list_dir(dir.path()), before);
        EXPECT_EQ(read_file(dir.file("old.mesh")) + read_file(dir.file("old.scene")) +
                      read_file(dir.file("mine.scene")),
                  "earlier\n" + kEarlier + "c p(0 0 -5) t(0 0 0) fov(45)\n");
        if (!c[2].empty()) {
            EXPECT_EQ(read_file(dir.file(c[1])), c[2]);
        }
    }

    // A model on which the reader stops the program (assimp 5.2 on a line
    // of blanks among a PLY file's vertices) ends only the child process
    // that reads it: a message and status 1, nothing written.
    TempDir crash;
    write_file(crash.file("blank.ply"),
               kPly + "1\n" + kPlyBody.substr(0, kPlyBody.size() - 6) + "  \n0 1 0\n3 0 1 2\n");
    RunResult r = run_import(crash, "blank.ply b.mesh");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.substr(r.err.rfind('\n', r.err.size() - 2) + 1, 36), "rt-import: cannot import blank.ply: ");
    EXPECT_EQ(list_dir(crash.path()), std::set<std::string>{"blank.ply"});

    // Help and version are answers, not refusals.
    TempDir asked;
    RunResult help = run_import(asked, "--help"), version = run_import(asked, "--version");
    EXPECT_EQ(help.status + version.status, 0);
    EXPECT_EQ(help.out.substr(0, usage.size()), usage);
    EXPECT_EQ(version.out.substr(0, version.out.find('(')), std::string("rt-import ") + RT_VERSION + " ");
    EXPECT_EQ(help.err + version.err, "");

    // A scene line that cannot be written (a full disk) is an error, and the
    // mesh file is not left without it; a name as long as a name can be fits.
    // With the standard streams closed the mesh is the same. A model that
    // never ends (a pipe without a writer) is given up after the time allowed.
    TempDir dir;
    const std::string import = shell_words(RT_IMPORT_BINARY) + " '" + kModels + "pyramid.obj' ", long_name(250, 'n');
    ASSERT_EQ(mkfifo(dir.file("pipe.obj").c_str(), 0600), 0);
    r = run_shell(dir.path(), import + "p.mesh >/dev/full; echo $?; " + import + long_name +
                                  ".mesh >/dev/null 2>&1; echo $?; " + import + "c.mesh <&- >&- 2>&-; cmp c.mesh " +
                                  long_name + ".mesh && rm c.mesh; " + shell_words(RT_IMPORT_BINARY) +
                                  " -max-time 0.2 pipe.obj p.mesh; echo $?; ls");
    EXPECT_EQ(r.out, "1\n0\n1\n" + long_name + ".mesh\npipe.obj\n");
    EXPECT_EQ(r.err, "rt-import: cannot write the scene line: No space left on device\n"
                     "rt-import: cannot import pipe.obj: reading it takes longer than 0.2 seconds (-max-time changes "
                     "the limit)\n");
}

// Whole scenes imported into a folder and rendered from the one above,
// the red wall or panel on the left. A Cornell box in OBJ and MTL, without
// camera or light, seen from above and to the right of the front of its own
// right-handed frame, lit by its glowing ceiling panel alone. A glTF scene,
// its camera looking along -x and 10 degrees down (frame 3:2), blue on the
// right; a point light of 20 and a spot light of 10 candela, 2.25 and 2.56
// from the middle, and a sun of 2 lux far away against its direction,
// scaled together so that the brightest gives 0.8.
// And what rt cannot show left out with a note, the rest imported: a camera
// without a view direction, a light not a number, an ambient light, a face
// with a corner not a number; the turn of a camera about its view dropped
// (60 degrees across a 1:2 frame, 98.2 up), kept although it shows little
// of the model; with no light left, a key light up and left of the camera
// and a fill of half its strength right of it, each as far along the
// picture's right and up as the target is from the camera, which -fit
// moves with the model.
TEST(ImportScene, ScenesRenderTheRightWayRound)
{
    const std::string render = "rt-import: render it with: rt -nosdl -size 512x512 -gamma 2.2 -o sub/s.png sub/s.scene "
                               "(leave out -nosdl to watch it in a window)\n";
    const std::vector<std::vector<std::string>> cases = {
        // options and model, standard error, the scene file up to the mesh lines, the colour on the right
        {"@cornell.obj", "rt-import: sub/s.scene: 4 meshes, 12 triangles, 0 lights\n" + render,
         "# Render it: rt -nosdl -size 512x512 -gamma 2.2 -o s.png s.scene (leave out -nosdl to watch it in a window)\n"
         "c p(0 1.5818894 -4.002282) t(0 0.87991273 -0.021174626) fov(45)\n",
         "1"},
        // The box turned half round, open towards -z: from the front, its
        // walls would show their backs; it is seen into from behind.
        {"turned.obj", "rt-import: sub/s.scene: 4 meshes, 12 triangles, 0 lights\n" + render,
         "# Render it: rt -nosdl -size 512x512 -gamma 2.2 -o s.png s.scene (leave out -nosdl to watch it in a window)\n"
         "c p(2.99607e-16 1.5818894 4.002282) t(-1.879381e-16 0.87991273 0.021174626) fov(45)\n",
         "1"},
        // For a picture of 640x480, the camera's 3:2 frame is its middle 640x320.
        {"-size 640x480 @room.gltf",
         "rt-import: spot light \"spot\" becomes a point light: its cone is dropped\n"
         "rt-import: sub/s.scene: 3 meshes, 6 triangles, 3 lights\n"
         "rt-import: render it with: rt -nosdl -size 640x480 -gamma 2.2 -o sub/s.png sub/s.scene (leave out -nosdl to "
         "watch it in a window)\n",
         "# Render it: rt -nosdl -size 640x480 -gamma 2.2 -o s.png s.scene (leave out -nosdl to watch it in a window)\n"
         "# The model's camera shows the middle 640x320 of that.\n"
         "c p(3 1.5 0) t(-0.037796497 0.96435463 3.677201e-07) fov(65.560905)\n"
         "l p(0 3 0) c(0.8 0.8 0.8)\nl p(0 1387.067 -800.39056) c(0.405 0.405 0.405)\n"
         "l p(2 2 -1) c(0.30857143 0.24685714 0.18514286)\n",
         "2"},
        {"-fit -keep-camera @broken.dae",
         "rt-import: camera \"flat\" has no view direction: skipped\n"
         "rt-import: camera \"front\" is turned about its view; rt keeps +y up, so the turn is dropped\n"
         "rt-import: light \"lamp\" has values that are not finite numbers: skipped\n"
         "rt-import: light \"ambient\" is an ambient light, which rt does not have: skipped\n" +
             kNoLight +
             "rt-import: sub/s.scene: 1 mesh, 1 triangle, 2 lights; 1 face with corners that are not finite numbers "
             "skipped\n" +
             render,
         "# Render it: rt -nosdl -size 512x512 -gamma 2.2 -o s.png s.scene (leave out -nosdl to watch it in a window)\n"
         "# The model's camera shows the middle 256x512 of that.\n"
         "c p(-0.25 -1 -1.5) t(-0.25 -1 0) fov(98.21321)\nl p(-1.75 0.5 -1.5) c(0.8 0.8 0.8)\n"
         "l p(1.25 -1 -1.5) c(0.4 0.4 0.4)\n",
         "0"},
    };
    for (const std::vector<std::string> &c : cases) {
        SCOPED_TRACE(c[0]);
        TempDir dir;
        mkdir(dir.file("sub").c_str(), 0755);
        run_shell(dir.path(), "cp '" + kModels + "cornell.mtl' .; awk '/^vn? /{$2 = -$2; $4 = -$4} 1' '" + kModels +
                                  "cornell.obj' > turned.obj");
        RunResult r = run_import(dir, "-scene " + c[0] + " sub/s.scene");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c[1]);
        std::string scene = read_file(dir.file("sub/s.scene"));
        EXPECT_EQ(scene.substr(0, scene.find("\nm s-") + 1),
                  "# Imported by rt-import from " + c[0].substr(c[0].find('@') + 1) + ".\n" + c[2]);
        if (c[3] == "0") {
            EXPECT_EQ(read_file(dir.file("sub/s-default.mesh")),
                      "MESH3\nv -0.25 -0.5 0\nv -0.25 0.5 0\nv 0.25 -0.5 0\nn 0 0 -1\nf 1/1 2/1 3/1\n");
            continue;
        }
        r = run_rt(dir.path(), {"-nosdl", "-size", "48x48", "-rays", "4", "sub/s.scene"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        // Light bounced off a wall may tint a stray pixel of the ceiling.
        std::pair<int, int> left = dominant(dir, 48, 0);
        EXPECT_GT(left.first, 60);
        EXPECT_LE(left.second, 2);
        if (!c[3].empty()) {
            std::pair<int, int> right = dominant(dir, 48, std::stoi(c[3]));
            EXPECT_LE(right.first, 2);
            EXPECT_GT(right.second, 60);
        }
    }
}

// The material mapping, one row per material: Phong from MTL, glTF's
// metallic-roughness and specular-glossiness, emission kept below the key
// light, a texture's mean colour (decoded from sRGB) times the base colour,
// vertex colours' mean for a model without materials, a glTF material
// without a name kept as it is, kd + ks kept at most 1, names made file
// names, a broken material left out.
TEST(ImportScene, MaterialMapping)
{
    const std::vector<std::string> rows = {
        "m m-plastic.mesh kd(0.48 0.24 0.96) ks(0.04 0.04 0.04) s(30) ke(0 0 0)",
        "m m-gold.mesh kd(0 0 0) ks(1 0.8 0.3) s(510) ke(0 0 0)",
        "m m-half.mesh kd(0.48 0.48 0.48) ks(0.52 0.52 0.52) s(1000) ke(0 0 0)",
        "m m-unset.mesh kd(0 0 0) ks(1 1 1) s(1) ke(0 0 0)", // glTF's defaults: a rough metal
        "m m-specgloss.mesh kd(0.4 0.32 0.24000001) ks(0.2 0.2 0.2) s(510) ke(0 0 0)",
        "m m-lamp.mesh kd(0.192 0.192 0.192) ks(0.04 0.04 0.04) s(1) ke(0.8 0.4 0)",
        "m m-wood.mesh kd(0.124335654 0.11104984 0.096) ks(0.04 0.04 0.04) s(1) ke(0 0 0)",
        "m m-material.mesh kd(0 0 0) ks(1 1 1) s(1) ke(0 0.5 0)",
        "m m-shiny.mesh kd(0.5 0.5 0.5) ks(0.25 0.25 0.25) s(50) ke(0 0 0)",
        "m m-bright.mesh kd(0.64285713 0.42857146 0.21428573) ks(0.35714287 0.35714287 0.35714287) s(1000) ke(0 0 0)",
        "m m-glow.mesh kd(0 0 0) ks(0 0 0) s(1) ke(0.8 0.4 0)",
        "m m-negative.mesh kd(0 0.5 0.5) ks(0 0 0.25) s(1) ke(0 0 0)",
        "# The mesh of material \"a/b?c\":", // a tab in the name
        "m m-a_b_c.mesh kd(0.5 0.5 0.5) ks(0 0 0) s(1) ke(0 0 0)",
        "m m-red.mesh kd(1 0 0) ks(0 0 0) s(1) ke(0 0 0)",
        "# The mesh of material \"RED\":",
        "m m-RED-2.mesh kd(0.5 0 0) ks(0 0 0) s(1) ke(0 0 0)",
        "m m-default.mesh kd(0.6666667 0.33333334 0.33333334) ks(0 0 0) s(1) ke(0 0 0)",
    };
    std::vector<std::string> got;
    std::string notes; // standard error of all
    for (const char *model : {"materials.gltf", "materials.obj", "tinted.ply"}) {
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
    const std::string render = "rt-import: render it with: rt -nosdl -size 512x512 -gamma 2.2 -o m.png m.scene (leave "
                               "out -nosdl to watch it in a window)\n";
    // The glowing triangles lie beside the others, in their plane: they
    // light none of them.
    EXPECT_EQ(notes, "rt-import: material \"wood\": texture tint.png: its mean colour (0.216 0.289 0.5)\n" + kDarkToo +
                         "rt-import: material \"wood\": faces without texture coordinates: its textures' mean "
                         "colours stand for them\n"
                         "rt-import: m.scene: 8 meshes, 8 triangles, 2 lights\n" +
                         render +
                         "rt-import: material \"broken\" has values that are not finite numbers: 1 face skipped\n" +
                         kDarkToo + "rt-import: m.scene: 7 meshes, 7 triangles, 2 lights\n" + render +
                         "rt-import: material \"default\": vertex colours: their mean colour (0.667 0.333 0.333)\n" +
                         kNoLight + "rt-import: m.scene: 1 mesh, 1 triangle, 2 lights\n" + render);

    // Emission that every material shares is an old format's ambient
    // habit: it goes. One material that glows otherwise keeps them all.
    TempDir dir;
    const std::string two = "mtllib two.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl a\nf 1 2 3\nusemtl b\nf 1 3 2\n";
    write_file(dir.file("two.obj"), two);
    for (const char *b_glow : {"0.3 0.3 0.3", "0.3 0.3 0.2"}) {
        write_file(dir.file("two.mtl"), std::string("newmtl a\nKe 0.3 0.3 0.3\nnewmtl b\nKe ") + b_glow + "\n");
        RunResult r = run_import(dir, "-scene two.obj t.scene");
        std::string scene = read_file(dir.file("t.scene"));
        bool alike = b_glow[10] == '3';
        EXPECT_EQ(r.err.find("rt-import: every material of the model glows alike (0.3 0.3 0.3), an ambient colour by "
                             "old formats' habit, not a light: left out\n") == 0,
                  alike)
            << r.err;
        EXPECT_EQ(scene.find("ke(0.3 0.3 0.3)") == std::string::npos, alike) << scene;
    }

    // A picture whose header claims 100 million pixels is not decoded.
    write_file(dir.file("big.obj"), "mtllib big.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl big\nf 1 2 3\n");
    write_file(dir.file("big.mtl"), "newmtl big\nKd 0.5 0.5 0.5\nmap_Kd big.png\n");
    const char header[] = "\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\x27\x10\0\0\x27\x10\x08\x02\0\0\0\0\0\0\0";
    write_file(dir.file("big.png"), std::string(header, sizeof header - 1));
    RunResult r = run_import(dir, "-scene big.obj b.scene");
    EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1),
              "rt-import: material \"big\": texture big.png is too large to read (10000x10000): its colour factor is "
              "used\n");
}

// What the automatic camera shows, in rt's picture coordinates (-1 to 1
// across and up): the extent of the vertices of the mesh file, seen from
// the camera line of the scene, by rt's camera (its right and up vectors
// as long as the sine of the view's angle to +y).
std::vector<double> picture_extent(const std::string &scene, const std::string &mesh)
{
    double p[3], t[3], fov;
    size_t at = scene.find("\nc p(");
    EXPECT_EQ(sscanf(scene.c_str() + at, "\nc p(%lf %lf %lf) t(%lf %lf %lf) fov(%lf)", &p[0], &p[1], &p[2], &t[0],
                     &t[1], &t[2], &fov),
              7);
    Vector3 eye(p[0], p[1], p[2]), k = normalize(Vector3(t[0], t[1], t[2]) - eye);
    Vector3 i = cross(Vector3(0, 1, 0), k), j = cross(k, i);
    double focal = 1.0 / tan(fov * 3.141592653589793 / 360.0);
    std::vector<double> extent = {1e9, -1e9, 1e9, -1e9};
    std::istringstream in(mesh);
    double x, y, z;
    for (std::string line; std::getline(in, line);) {
        if (sscanf(line.c_str(), "v %lf %lf %lf", &x, &y, &z) == 3) {
            Vector3 q = Vector3(x, y, z) - eye;
            double across = focal * dot(q, i) / (dot(i, i) * dot(q, k)),
                   up = focal * dot(q, j) / (dot(j, j) * dot(q, k));
            extent = {std::min(extent[0], across), std::max(extent[1], across), std::min(extent[2], up),
                      std::max(extent[3], up)};
        }
    }
    return extent;
}

// Models look like themselves. A glTF triangle whose camera looks away:
// the camera is passed over for one that frames the triangle, centred, its
// farthest corner at 0.85 of the way to the picture's edge; its light is
// behind it, and its glow comes from a texture (embedded in the file), so
// that nothing lights what the camera sees and the key and fill lights are
// added. A model too small for rt's rays is written larger, and framed
// alike. A cube without normals keeps its hard edges: its three faces in view show
// three flat shades, with sharp steps between them.
TEST(ImportScene, ModelsLookLikeThemselves)
{
    TempDir dir;
    RunResult r = run_import(dir, "-scene @away.gltf s.scene");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err,
              "rt-import: material \"sign\": emission texture (embedded 0): its mean colour (0.216 0.289 0.5)\n"
              "rt-import: camera \"away\": the model's front fills 0 % of its picture (it is small there, or "
              "out of view): passed over (-keep-camera keeps it)\n" +
                  kDarkToo +
                  "rt-import: material \"sign\": faces without texture coordinates: its textures' mean colours "
                  "stand for them\n"
                  "rt-import: s.scene: 1 mesh, 1 triangle, 3 lights\n"
                  "rt-import: render it with: rt -nosdl -size 512x512 -gamma 2.2 -o s.png s.scene (leave out -nosdl "
                  "to watch it in a window)\n");
    std::string scene = read_file(dir.file("s.scene"));
    EXPECT_NE(scene.find("\nl p(0 0 2) c(0.8 0.8 0.8)\nl p("), std::string::npos) << scene;
    EXPECT_NE(scene.find(" ke(0.2158605 0.2891923 0.5)\n"), std::string::npos) << scene;
    std::vector<double> seen = picture_extent(scene, read_file(dir.file("s-sign.mesh")));
    EXPECT_NEAR(std::max({-seen[0], seen[1], -seen[2], seen[3]}), 0.85, 1e-6);
    EXPECT_NEAR(seen[0] + seen[1], 0.0, 0.01);
    EXPECT_NEAR(seen[2] + seen[3], 0.0, 0.01);
    // Kept, the camera says what it leaves out and how to see it all; -frame
    // passes it over without a word.
    r = run_import(dir, "-scene -keep-camera @away.gltf k.scene");
    EXPECT_NE(read_file(dir.file("k.scene")).find("\nc p(0 0 5) t(0 0 "), std::string::npos);
    EXPECT_EQ(r.err.substr(0, r.err.find("rt-import: the model's")),
              r.err.substr(0, r.err.find('\n') + 1) + "rt-import: camera \"away\" leaves some of the model out of its "
                                                      "picture: kept (-frame frames the whole model)\n");
    r = run_import(dir, "-scene -frame @away.gltf f.scene");
    EXPECT_EQ(r.err.find("camera \""), std::string::npos) << r.err;
    std::string framed = read_file(dir.file("f.scene"));
    EXPECT_EQ(framed.substr(framed.find("\nc "), framed.find("\nm ") - framed.find("\nc ")),
              scene.substr(scene.find("\nc "), scene.find("\nm ") - scene.find("\nc ")));

    // broken.dae's good triangle made a wall in the plane through its
    // camera: the key light would stand behind it, 5.39 up and left of the
    // camera, and comes a tenth short of it, in front.
    std::string blocked = read_file(kModels + "broken.dae");
    write_file(dir.file("blocked.dae"),
               blocked.replace(blocked.find("0 1 0 1 1 0 0 3 0"), 17, "-1 -5 2 -1 5 2 -1 0 6"));
    r = run_import(dir, "-scene -keep-camera blocked.dae b.scene");
    EXPECT_NE(
        read_file(dir.file("b.scene")).find("\nl p(-0.9 0.9 -3) c(0.8 0.8 0.8)\nl p(5.3851647 0 -3) c(0.4 0.4 0.4)\n"),
        std::string::npos);

    write_file(dir.file("tiny.obj"), "v 0 0 0\nv 0.001 0 0\nv 0 0.001 0\nf 1 2 3\n");
    r = run_import(dir, "-scene tiny.obj t.scene");
    EXPECT_NE(r.err.find("rt-import: the model is 0.00141421 across, which rt's rays do not span well: written 10000 "
                         "times as large\n"),
              std::string::npos)
        << r.err;
    std::string tiny = read_file(dir.file("t-default.mesh"));
    EXPECT_EQ(tiny.substr(0, tiny.find("\nn ")), "MESH3\nv 0 0 0\nv 0 10 0\nv 10 0 0");
    seen = picture_extent(read_file(dir.file("t.scene")), tiny);
    EXPECT_NEAR(std::max({-seen[0], seen[1], -seen[2], seen[3]}), 0.85, 1e-6);
    // So is one too large, at the edge of a float's range, whose middle is
    // so far from the origin that a step of one unit from it is lost.
    write_file(dir.file("huge.obj"), "v 3.4e38 3.4e38 -3.4e38\nv -3.4e38 -3.4e38 3.4e38\nv 0 3.4e38 0\nf 1 2 3\n");
    r = run_import(dir, "-scene huge.obj h.scene");
    seen = picture_extent(read_file(dir.file("h.scene")), read_file(dir.file("h-default.mesh")));
    EXPECT_NEAR(std::max({-seen[0], seen[1], -seen[2], seen[3]}), 0.85, 1e-6) << read_file(dir.file("h.scene"));

    // The cube fitted to the unit box, seen edge-on from the front and the
    // right, lit from the right: the middle row of the picture is flat on
    // either face, with one step where they meet.
    r = run_import(dir, "-fit @cube.ply cube.mesh");
    write_file(dir.file("stage.scene"), "c p(2 0 -2) t(0 0 0) fov(40)\nl p(3 1 -1) c(1 1 1)\n" + r.out);
    r = run_rt(dir.path(), {"-nosdl", "-size", "32x32", "-rays", "4", "stage.scene"});
    std::string image = read_file(dir.file("out.ppm"));
    std::string row = image.substr(image.size() - 3 * 32 * 16, 3 * 32);
    std::vector<int> steps; // between neighbours that both show the cube
    for (int x = 1; x < 32; x++) {
        int a = static_cast<unsigned char>(row[3 * x - 3]), b = static_cast<unsigned char>(row[3 * x]);
        if (a > 0 && b > 0) {
            steps.push_back(std::abs(b - a));
        }
    }
    ASSERT_GT(steps.size(), 10u);
    std::sort(steps.begin(), steps.end());
    EXPECT_GT(steps.back(), 100);
    EXPECT_LT(steps[steps.size() - 2], 5);
}

// A textured model shows its texture: the picture held in the glTF file is
// written beside the scene, the mesh says where each corner lies on it, and
// rt's picture of the square shows the image's two texels where they lie
// on it, their red alike, green and blue differing as in the image. A
// texture of the model's own layout, named as on the machine that made it,
// is found in the folder beside the model's and named from the scene's.
TEST(ImportScene, TexturesShowOnTheModel)
{
    TempDir dir;
    RunResult r = run_import(dir, "-scene @textured.gltf s.scene");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err,
              "rt-import: material \"tinted\": texture (embedded 0): its mean colour (0.216 0.289 0.5)\n" + kNoLight +
                  "rt-import: texture (embedded 0) written beside the scene: s-tinted.png\n"
                  "rt-import: s.scene: 1 mesh, 2 triangles, 2 lights\n"
                  "rt-import: render it with: rt -nosdl -size 512x512 -gamma 2.2 -o s.png s.scene (leave out -nosdl "
                  "to watch it in a window)\n");
    EXPECT_EQ(list_dir(dir.path()), (std::set<std::string>{"s.scene", "s-tinted.mesh", "s-tinted.png"}));
    EXPECT_TRUE(read_file(dir.file("s-tinted.png")) == read_file(kModels + "tint.png"));
    EXPECT_NE(read_file(dir.file("s.scene")).find(" ke(0 0 0) kd_map(s-tinted.png)\n"), std::string::npos);
    EXPECT_EQ(read_file(dir.file("s-tinted.mesh")),
              "MESH3\nv 0 0 0\nv 1 1 0\nv 1 0 0\nv 0 1 0\nn 0 0 -1\nt 0.25 0.5\nt 0.75 0.5\n"
              "f 1/1/1 2/1/2 3/1/2\nf 1/1/1 4/1/1 2/1/2\n");
    r = run_rt(dir.path(), {"-nosdl", "-size", "32x32", "-rays", "4", "s.scene"});
    EXPECT_EQ(r.err, "");
    // The square spans columns 7 to 25: its left and right fifths, rows 12 to 19.
    std::string image = read_file(dir.file("out.ppm"));
    std::string rgb = image.substr(image.size() - 3 * 32 * 32);
    int sum[2][3] = {};
    for (int y = 12; y < 20; y++) {
        for (int x : {8, 9, 10, 22, 23, 24}) {
            for (int c = 0; c < 3; c++) {
                sum[x > 16][c] += static_cast<unsigned char>(rgb[3 * (32 * y + x) + c]);
            }
        }
    }
    EXPECT_GT(sum[0][0], 24 * 20); // lit
    EXPECT_NEAR(sum[0][0], sum[1][0], sum[0][0] / 20);
    EXPECT_GT(sum[0][2], 3 * sum[0][1]);
    EXPECT_GT(sum[1][1], 3 * sum[1][2]);

    // D:\art\models\obj\TINT.PNG, made on another machine, is models/OBJ/Tint.png here.
    ASSERT_EQ(
        run_shell(dir.path(), "mkdir -p models/OBJ models/FBX && cp '" + kModels + "tint.png' models/OBJ/Tint.png")
            .status,
        0);
    write_file(dir.file("models/FBX/m.obj"), "mtllib m.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0 0\nvt 1 0\nvt 0 1\n"
                                             "usemtl art\nf 1/1 2/2 3/3\n");
    write_file(dir.file("models/FBX/m.mtl"), "newmtl art\nKd 1 1 1\nmap_Kd D:\\art\\models\\obj\\TINT.PNG\n");
    r = run_import(dir, "-scene models/FBX/m.obj models/m.scene");
    EXPECT_EQ(r.err.substr(0, r.err.find('\n')),
              "rt-import: material \"art\": texture D:\\art\\models\\obj\\TINT.PNG: its mean colour (0.216 0.289 0.5)");
    EXPECT_NE(read_file(dir.file("models/m.scene")).find(" kd_map(OBJ/Tint.png)\n"), std::string::npos);
    r = run_rt(dir.path(), {"-nosdl", "-size", "8x8", "models/m.scene"});
    EXPECT_EQ(r.err, "");

    // A JPEG file made to overflow the decoder's tables is not decoded.
    write_file(dir.file("models/OBJ/Tint.png"),
               read_file(source_file("tests/fuzz-regressions/image/jpeg-huffman-table-overflow.jpg")));
    r = run_import(dir, "-scene models/FBX/m.obj models/m.scene");
    EXPECT_EQ(r.err.substr(0, r.err.find('\n')),
              "rt-import: material \"art\": texture D:\\art\\models\\obj\\TINT.PNG cannot be read (Corrupt JPEG: a "
              "Huffman table of more than 256 codes): its colour factor is used");
}

// The files in a folder by name, with their contents.
std::map<std::string, std::string> folder_contents(const TempDir &dir)
{
    std::map<std::string, std::string> files;
    for (const std::string &name : list_dir(dir.path())) {
        files[name] = read_file(dir.file(name));
    }
    return files;
}

// A scene replaces the files of its earlier import, and says which, but
// never another file in the way of a mesh's name. A re-import that fails
// at its last step, putting the scene file in place (made immutable here),
// leaves the earlier import whole, byte for byte.
TEST(ImportScene, ReimportsReplaceOnlyTheirOwnFiles)
{
    TempDir dir;
    write_file(dir.file("cb-white.mesh"), "MESH3\n");
    const std::string other = "rt-import: cb-white.mesh is not a file of cb.scene: left as it is, the mesh goes to "
                              "cb-white-2.mesh\n";
    const std::string summary = "rt-import: cb.scene: 4 meshes, 12 triangles, 0 lights\n"
                                "rt-import: render it with: rt -nosdl -size 512x512 -gamma 2.2 -o cb.png cb.scene "
                                "(leave out -nosdl to watch it in a window)\n";
    RunResult r = run_import(dir, "-scene @cornell.obj cb.scene");
    EXPECT_EQ(r.err, other + summary);
    r = run_import(dir, "-scene @cornell.obj cb.scene");
    EXPECT_EQ(r.err, other +
                         "rt-import: replaced the earlier import's cb.scene, cb-white-2.mesh, cb-red.mesh, "
                         "cb-green.mesh, cb-light.mesh\n" +
                         summary);
    EXPECT_EQ(read_file(dir.file("cb-white.mesh")), "MESH3\n");
    EXPECT_EQ(list_dir(dir.path()).size(), 6u);
    // A scene of the user's is replaced when asked, the files it names
    // being none of the import's.
    write_file(dir.file("mine.scene"), "m mine-red.mesh\n");
    write_file(dir.file("mine-red.mesh"), "MESH3\n");
    r = run_import(dir, "-scene -replace-scene @cornell.obj mine.scene");
    EXPECT_EQ(r.err.substr(0, r.err.find("rt-import: mine.scene: ")),
              "rt-import: mine-red.mesh is not a file of mine.scene: left as it is, the mesh goes to mine-red-2.mesh\n"
              "rt-import: replaced mine.scene, which rt-import did not write, as -replace-scene asks\n");
    EXPECT_EQ(read_file(dir.file("mine-red.mesh")), "MESH3\n");
    for (const char *name :
         {"mine.scene", "mine-white.mesh", "mine-red-2.mesh", "mine-green.mesh", "mine-light.mesh"}) {
        EXPECT_EQ(unlink(dir.file(name).c_str()), 0) << name;
    }
    unlink(dir.file("mine-red.mesh").c_str());
    // The plain mode writes the file it is given, and says so.
    r = run_import(dir, "@pyramid.obj cb-white.mesh");
    EXPECT_EQ(r.err,
              "rt-import: replaced cb-white.mesh\nrt-import: cb-white.mesh: 6 triangles, 5 vertices, 5 normals\n");
    std::map<std::string, std::string> earlier = folder_contents(dir);

    // chattr needs root and a file system that keeps the flag.
    if (system(("chattr +i " + dir.file("cb.scene") + " 2>/dev/null").c_str()) != 0) {
        GTEST_SKIP() << "the scene file cannot be made immutable here";
    }
    r = run_import(dir, "-scene -up z @cornell.obj cb.scene");
    int unlocked = system(("chattr -i " + dir.file("cb.scene")).c_str());
    EXPECT_EQ(unlocked, 0);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "rt-import: up is +z, as asked: the model is stood on rt's +y\n" + other +
                         "rt-import: cannot write cb.scene: Operation not permitted\n");
    EXPECT_EQ(folder_contents(dir), earlier);
}

#endif // RT_IMPORT_BINARY
} // namespace
