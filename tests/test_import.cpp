// rt-import end to end: the real importer on the small models of
// tests/models, the exact files it writes, the refusals.
#include <gtest/gtest.h>

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
    return run_program(dir.path(), RT_IMPORT_BINARY, args);
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
// written (status 1), leaves the folder as it was: no mesh, no temporary, an
// earlier file untouched.
TEST(Import, RefusalsLeaveNothingBehind)
{
    const std::string usage = "usage: rt-import [-quads] [-fit] MODEL OUTPUT.mesh\n";
    const std::string cannot = "rt-import: cannot import ", tri = "v 0 0 0\nv 1 0 0\nv 0 1 0\n";
    const std::vector<std::vector<std::string>> cases = {
        // the model's name and text (none: missing), the command line, standard error
        {"", "", "a.obj", usage},
        {"", "", "- a.obj b.mesh", usage}, // a lone - is a name
        {"", "", "-triangles a.obj b.mesh", "rt-import: unknown option: -triangles\n" + usage},
        // rt reads a mesh name up to the first blank.
        {"", "", "a.obj my\troom", "rt-import: the output name must not contain white space: my\troom\n"},
        {"missing.obj", "", "missing.obj old.mesh", cannot + "missing.obj: Unable to open file \"missing.obj\".\n"},
        {"lines.obj", "v 0 0 0\nv 1 0 0\nl 1 2\n", "lines.obj old.mesh",
         cannot + "lines.obj: the model has no faces\n"},
        {"nan.obj", tri + "v nan 0 0\nf 1 2 4\n", "nan.obj old.mesh", cannot + "nan.obj: the model has no faces\n"},
        {"tri.obj", tri + "f 1 2 3\n", "tri.obj no/out.mesh",
         "rt-import: cannot write no/out.mesh: No such file or directory\n"},
    };
    for (const std::vector<std::string> &c : cases) {
        SCOPED_TRACE(c[2]);
        TempDir dir;
        if (!c[1].empty()) {
            write_file(dir.file(c[0]), c[1]);
        }
        write_file(dir.file("old.mesh"), "earlier\n");
        std::set<std::string> before = list_dir(dir.path());
        RunResult r = run_import(dir, c[2]);
        EXPECT_EQ(r.status, c[0].empty() ? 2 : 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c[3]);
        EXPECT_EQ(list_dir(dir.path()), before);
        EXPECT_EQ(read_file(dir.file("old.mesh")), "earlier\n");
    }
}

#endif // RT_IMPORT_BINARY
} // namespace
