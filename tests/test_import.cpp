// rt-import end to end: the real importer on the small models of
// tests/models, the exact mesh data files it writes, rt rendering them, the
// refusals; and `make install` into a temporary prefix.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support.h"

namespace
{

const std::string kModels = std::string(RT_SOURCE_DIR) + "/tests/models/";
const std::string kUsage = "usage: rt-import [-quads] [-fit] MODEL OUTPUT.mesh\n";

#ifdef RT_IMPORT_BINARY

RunResult run_import(const TempDir &dir, const std::vector<std::string> &args)
{
    return run_target(dir.path(), RT_IMPORT_BINARY, args);
}

std::string scene_line(const std::string &mesh, const std::string &kd)
{
    return "m " + mesh + " pos(0 0 0) rot(0 0 1 0) scale(1 1 1) kd(" + kd + ") ks(0 0 0) s(1) kr(0) ke(0 0 0)\n";
}

#endif

// The names in a folder, without . and .., sorted.
std::set<std::string> list_dir(const std::string &path)
{
    std::set<std::string> names;
    DIR *d = opendir(path.c_str());
    if (d == nullptr) {
        return names;
    }
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..") {
            names.insert(name);
        }
    }
    closedir(d);
    return names;
}

struct Vec3 {
    double x, y, z;
};

struct MeshFile {
    std::string header;
    std::vector<Vec3> v, n;
    int faces = 0;
};

MeshFile parse_mesh(const std::string &text)
{
    MeshFile mesh;
    std::istringstream in(text);
    std::string line;
    std::getline(in, mesh.header);
    while (std::getline(in, line)) {
        Vec3 p{};
        if (sscanf(line.c_str(), "v %lf %lf %lf", &p.x, &p.y, &p.z) == 3) {
            mesh.v.push_back(p);
        } else if (sscanf(line.c_str(), "n %lf %lf %lf", &p.x, &p.y, &p.z) == 3) {
            mesh.n.push_back(p);
        } else if (line[0] == 'f') {
            mesh.faces++;
        } else {
            ADD_FAILURE() << "unexpected line: " << line;
        }
    }
    return mesh;
}

void expect_unit_normals(const MeshFile &mesh)
{
    for (const Vec3 &n : mesh.n) {
        EXPECT_NEAR(std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z), 1.0, 1e-6);
    }
}

bool not_all_black(const std::string &ppm_file)
{
    // P6 header of three lines, then the pixels.
    size_t pos = 0;
    for (int i = 0; i < 3 && pos != std::string::npos; i++) {
        pos = ppm_file.find('\n', pos + 1);
    }
    return pos != std::string::npos && ppm_file.find_first_not_of('\0', pos + 1) != std::string::npos;
}

#ifdef RT_IMPORT_BINARY

const std::string kPyramid = "MESH3\n"
                             "v -1 0 -1\nv 1 0 -1\nv 1 0 1\nv -1 0 1\nv 0 0.75 0\n"
                             "n 0 -1 0\nn 0 0.8 -0.6\nn 0.6 0.8 0\nn 0 0.8 0.6\nn -0.6 0.8 0\n"
                             "f 1/1 2/1 3/1\nf 1/1 3/1 4/1\n"
                             "f 2/2 1/2 5/2\nf 3/3 2/3 5/3\nf 4/4 3/4 5/4\nf 1/5 4/5 5/5\n";

// The cube's corners, with the smooth normals of its three sides at each.
const std::string kCubeNormals = "n -0.57735026 -0.57735026 -0.57735026\n"
                                 "n -0.57735026 0.57735026 -0.57735026\n"
                                 "n 0.57735026 0.57735026 -0.57735026\n"
                                 "n 0.57735026 -0.57735026 -0.57735026\n"
                                 "n -0.57735026 -0.57735026 0.57735026\n"
                                 "n 0.57735026 -0.57735026 0.57735026\n"
                                 "n 0.57735026 0.57735026 0.57735026\n"
                                 "n -0.57735026 0.57735026 0.57735026\n";
const std::string kCubeCorners = "v 0 0 0\nv 0 1 0\nv 1 1 0\nv 1 0 0\nv 0 0 1\nv 1 0 1\nv 1 1 1\nv 0 1 1\n";
const std::string kCubeQuads = "f 1/1 2/2 3/3 4/4\nf 5/5 6/6 7/7 8/8\nf 1/1 4/4 6/6 5/5\n"
                               "f 3/3 2/2 8/8 7/7\nf 4/4 3/3 7/7 6/6\nf 1/1 5/5 8/8 2/2\n";

TEST(Import, WritesTheExpectedMeshDataFiles)
{
    struct Case {
        std::vector<std::string> options;
        std::string model;
        std::string mesh;
        std::string kd;
        std::string err; // before the summary line
        std::string summary;
    };
    const std::vector<Case> cases = {
        // Quad base triangulated, normals and the material's colour from the file.
        {{}, "pyramid.obj", kPyramid, "0.8 0.5 0.25", "", "6 triangles, 5 vertices, 5 normals"},
        // Not all quads: -quads falls back to triangles and says so.
        {{"-quads"},
         "pyramid.obj",
         kPyramid,
         "0.8 0.5 0.25",
         "rt-import: " + kModels + "pyramid.obj: not every face is a quad, writing triangles\n",
         "6 triangles, 5 vertices, 5 normals"},
        // No normals in the file: smooth ones, also across the triangles of a split quad.
        {{},
         "cube.ply",
         "MESH3\n" + kCubeCorners + kCubeNormals +
             "f 1/1 2/2 3/3\nf 1/1 3/3 4/4\nf 5/5 6/6 7/7\nf 5/5 7/7 8/8\nf 1/1 4/4 6/6\nf 1/1 6/6 5/5\n"
             "f 3/3 2/2 8/8\nf 3/3 8/8 7/7\nf 4/4 3/3 7/7\nf 4/4 7/7 6/6\nf 1/1 5/5 8/8\nf 1/1 8/8 2/2\n",
         "0.7 0.7 0.7",
         "",
         "12 triangles, 8 vertices, 8 normals"},
        {{"-quads"},
         "cube.ply",
         "MESH4\n" + kCubeCorners + kCubeNormals + kCubeQuads,
         "0.7 0.7 0.7",
         "",
         "6 quads, 8 vertices, 8 normals"},
        // -fit moves the unit cube to the origin; options in any order.
        {{"-fit", "-quads"},
         "cube.ply",
         "MESH4\n"
         "v -0.5 -0.5 -0.5\nv -0.5 0.5 -0.5\nv 0.5 0.5 -0.5\nv 0.5 -0.5 -0.5\n"
         "v -0.5 -0.5 0.5\nv 0.5 -0.5 0.5\nv 0.5 0.5 0.5\nv -0.5 0.5 0.5\n" +
             kCubeNormals + kCubeQuads,
         "0.7 0.7 0.7",
         "",
         "6 quads, 8 vertices, 8 normals"},
        // A zero facet normal is replaced by the face's own; a facet with two
        // equal corners is skipped.
        {{},
         "square.stl",
         "MESH3\nv 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nn 0 0 1\nf 1/1 2/1 3/1\nf 1/1 3/1 4/1\n",
         "0.7 0.7 0.7",
         "",
         "2 triangles, 4 vertices, 1 normals; 1 degenerate faces skipped"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.model + (c.options.empty() ? "" : " " + c.options[0]));
        TempDir dir;
        std::vector<std::string> args = c.options;
        args.push_back(kModels + c.model);
        args.push_back("out.mesh");
        RunResult r = run_import(dir, args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, scene_line("out.mesh", c.kd));
        EXPECT_EQ(r.err, c.err + "rt-import: out.mesh: " + c.summary + "\n");
        std::string mesh = read_file(dir.file("out.mesh"));
        EXPECT_EQ(mesh, c.mesh);
        expect_unit_normals(parse_mesh(mesh));
        EXPECT_EQ(list_dir(dir.path()), std::set<std::string>{"out.mesh"}); // no temporary left
    }
}

// Two nodes instance one triangle: one moved, one rotated and scaled unevenly
// below a moved parent. Positions take the whole chain; normals the inverse
// transpose, made unit again.
TEST(Import, NodeTransformsPlacePositionsAndNormalsInWorldSpace)
{
    TempDir dir;
    RunResult r = run_import(dir, {kModels + "nodes.dae", "nodes.mesh"});
    ASSERT_EQ(r.status, 0) << r.err;
    MeshFile mesh = parse_mesh(read_file(dir.file("nodes.mesh")));
    EXPECT_EQ(mesh.header, "MESH3");
    EXPECT_EQ(mesh.faces, 2);
    const std::vector<Vec3> v = {{2, 0, 0}, {3, 0, 0}, {2, 1, 0}, {0, 0, 5}, {0, 3, 5}, {-4, 0, 5}};
    const std::vector<Vec3> n = {{0.70710678, 0.70710678, 0}, {-0.6, 0.8, 0}};
    ASSERT_EQ(mesh.v.size(), v.size());
    ASSERT_EQ(mesh.n.size(), n.size());
    for (size_t i = 0; i < v.size(); i++) {
        EXPECT_NEAR(mesh.v[i].x, v[i].x, 1e-6) << "v " << i;
        EXPECT_NEAR(mesh.v[i].y, v[i].y, 1e-6) << "v " << i;
        EXPECT_NEAR(mesh.v[i].z, v[i].z, 1e-6) << "v " << i;
    }
    for (size_t i = 0; i < n.size(); i++) {
        EXPECT_NEAR(mesh.n[i].x, n[i].x, 1e-6) << "n " << i;
        EXPECT_NEAR(mesh.n[i].y, n[i].y, 1e-6) << "n " << i;
        EXPECT_NEAR(mesh.n[i].z, n[i].z, 1e-6) << "n " << i;
    }
    expect_unit_normals(mesh);
}

TEST(Import, FitPutsTheModelInAUnitBoxAroundTheOrigin)
{
    for (const char *model : {"pyramid.obj", "nodes.dae"}) {
        SCOPED_TRACE(model);
        TempDir dir;
        RunResult r = run_import(dir, {"-fit", kModels + model, "fit.mesh"});
        ASSERT_EQ(r.status, 0) << r.err;
        MeshFile mesh = parse_mesh(read_file(dir.file("fit.mesh")));
        Vec3 lo{1e30, 1e30, 1e30}, hi{-1e30, -1e30, -1e30};
        for (const Vec3 &p : mesh.v) {
            lo = {std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z)};
            hi = {std::max(hi.x, p.x), std::max(hi.y, p.y), std::max(hi.z, p.z)};
        }
        for (double c : {lo.x, lo.y, lo.z, hi.x, hi.y, hi.z}) {
            EXPECT_GE(c, -0.5);
            EXPECT_LE(c, 0.5);
        }
        // Centred: each axis as far below the origin as above.
        EXPECT_NEAR(lo.x + hi.x, 0.0, 1e-6);
        EXPECT_NEAR(lo.y + hi.y, 0.0, 1e-6);
        EXPECT_NEAR(lo.z + hi.z, 0.0, 1e-6);
        EXPECT_NEAR(std::max({hi.x - lo.x, hi.y - lo.y, hi.z - lo.z}), 1.0, 1e-6);
        expect_unit_normals(mesh);
    }
}

// The scene lines the importer prints, pasted under a camera and a light,
// render without a word from rt: both the triangle and the quad file read.
TEST(Import, ImportedModelsRender)
{
    TempDir dir;
    RunResult tri = run_import(dir, {"-fit", kModels + "pyramid.obj", "pyramid.mesh"});
    RunResult quad = run_import(dir, {"-fit", "-quads", kModels + "cube.ply", "cube.mesh"});
    ASSERT_EQ(tri.status, 0) << tri.err;
    ASSERT_EQ(quad.status, 0) << quad.err;
    EXPECT_EQ(read_file(dir.file("cube.mesh")).substr(0, 6), "MESH4\n");
    write_file(dir.file("model.scene"), "c p(0 0.6 -1.6) t(0 0 0) fov(45)\n"
                                        "l p(-2 3 -3) c(1 1 1)\n" +
                                            tri.out + quad.out);

    RunResult r = run_rt(dir.path(), {"-nosdl", "-size", "32x24", "-rays", "1", "model.scene"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    std::string image = read_file(dir.file("out.ppm"));
    EXPECT_EQ(image.size(), ppm(32, 24, std::string(32 * 24 * 3, '\0')).size());
    EXPECT_TRUE(not_all_black(image));
}

// A model that cannot be imported leaves nothing behind: no output, no
// temporary, and an existing output file as it was.
TEST(Import, UnreadableModelsAreRefusedWithoutOutput)
{
    const std::string ply_header = "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
                                   "property float z\nelement face 1\nproperty list uchar int vertex_indices\n"
                                   "end_header\n0 0 0\n1 0 0\n0 1 0\n";
    struct Case {
        std::string name;
        std::string content; // empty: the file does not exist
        std::string reason;  // the start of the library's reason, or the importer's own
    };
    const std::vector<Case> cases = {
        {"missing.obj", "", "Unable to open file"},
        {"corrupt.stl", "solid x\n facet normal 0 0 1\n  outer loop\n   vertex 0 0 zz\n", "Cannot parse"},
        {"badindex.ply", ply_header + "3 0 1 7\n", "Validation failed"},
        {"nofaces.obj", "v 0 0 0\nv 1 0 0\n", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        if (!c.content.empty()) {
            write_file(dir.file(c.name), c.content);
        }
        write_file(dir.file("kept.mesh"), "MESH3\n");
        for (const char *output : {"new.mesh", "kept.mesh"}) {
            RunResult r = run_import(dir, {c.name, output});
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err.rfind("rt-import: cannot import " + c.name + ": " + c.reason, 0), 0u) << r.err;
            EXPECT_GT(r.err.size(), ("rt-import: cannot import " + c.name + ": ").size() + 5);
        }
        std::set<std::string> expected = {"kept.mesh"};
        if (!c.content.empty()) {
            expected.insert(c.name);
        }
        EXPECT_EQ(list_dir(dir.path()), expected);
        EXPECT_EQ(read_file(dir.file("kept.mesh")), "MESH3\n");
    }
}

TEST(Import, UnwritableOutputIsRefused)
{
    TempDir dir;
    const std::string model = kModels + "square.stl";
    RunResult r = run_import(dir, {model, "nodir/out.mesh"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "rt-import: cannot write nodir/out.mesh: No such file or directory\n");
    mkdir(dir.file("folder.mesh").c_str(), 0755);
    r = run_import(dir, {model, "folder.mesh"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "rt-import: cannot write folder.mesh: not a regular file\n");
    EXPECT_EQ(list_dir(dir.path()), std::set<std::string>{"folder.mesh"});
    EXPECT_EQ(list_dir(dir.file("folder.mesh")), std::set<std::string>{});
}

TEST(Import, BadCommandLinesPrintTheUsage)
{
    const std::vector<std::vector<std::string>> cases = {
        {}, {"model.obj"}, {"a.obj", "b.mesh", "c.mesh"}, {"-quads", "-fit", "model.obj"}};
    TempDir dir;
    for (const std::vector<std::string> &args : cases) {
        RunResult r = run_import(dir, args);
        EXPECT_EQ(r.status, 2) << args.size();
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, kUsage);
    }
    RunResult r = run_import(dir, {"-triangles", "a.obj", "b.mesh"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "rt-import: unknown option: -triangles\n" + kUsage);
    // Names the scene line could not hold: rt reads a mesh name up to the
    // first blank, on a line of at most 1023 characters.
    r = run_import(dir, {"a.obj", "my model.mesh"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "rt-import: the output name must not contain white space: my model.mesh\n");
    const std::string long_name(896, 'a');
    r = run_import(dir, {"a.obj", long_name});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "rt-import: the output name is longer than 895 characters: " + long_name + "\n");
    r = run_import(dir, {"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind(kUsage, 0), 0u);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(list_dir(dir.path()), std::set<std::string>{});
}

#endif // RT_IMPORT_BINARY

bool is_dir(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ends_with(const std::string &s, const std::string &end)
{
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

// Every file below path, named relative to it.
void walk(const std::string &path, const std::string &rel, std::set<std::string> *files)
{
    for (const std::string &name : list_dir(path)) {
        std::string sub = rel.empty() ? name : rel + "/" + name;
        if (is_dir(path + "/" + name)) {
            walk(path + "/" + name, sub, files);
        } else {
            files->insert(sub);
        }
    }
}

// `make install` into a temporary prefix: the programs, the manual pages and
// the example scenes, nothing else; the installed rt renders an installed
// example from the installed scenes folder.
TEST(Install, InstallsProgramsManualPagesAndScenes)
{
    TempDir prefix;
    RunResult r = run_program(prefix.path(), RT_CMAKE_COMMAND, {"--install", RT_BUILD_DIR, "--prefix", prefix.path()});
    ASSERT_EQ(r.status, 0) << r.out << r.err;

    std::set<std::string> files;
    walk(prefix.path(), "", &files);
    std::set<std::string> expected = {"bin/rt", "share/man/man1/rt.1"};
#ifdef RT_IMPORT_BINARY
    expected.insert({"bin/rt-import", "share/man/man1/rt-import.1"});
#endif
    for (const std::string &name : list_dir(std::string(RT_SOURCE_DIR) + "/scenes")) {
        if (ends_with(name, ".scene") || ends_with(name, ".mesh")) {
            expected.insert("share/rt/scenes/" + name);
        }
    }
    EXPECT_TRUE(expected.count("share/rt/scenes/demo.scene"));
    EXPECT_EQ(files, expected);

    const std::string scenes = prefix.file("share/rt/scenes");
    r = run_target(scenes, prefix.file("bin/rt"), {"-nosdl", "-size", "32x24", "-rays", "1", "demo.scene"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(not_all_black(read_file(scenes + "/out.ppm")));
#ifdef RT_IMPORT_BINARY
    r = run_target(prefix.path(), prefix.file("bin/rt-import"), {"--help"});
    EXPECT_EQ(r.status, 0);
#endif
}

} // namespace
