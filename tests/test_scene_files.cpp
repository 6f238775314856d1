// Scene and mesh data files end to end: the real binary on real files, with
// the exact messages, exit status and picture.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support.h"

namespace
{

const std::string kMat = " kd(0.5 0.5 0.5) ks(0 0 0) s(1) kr(0) ke(0 0 0)";
const std::string kSphere = "s c(0 0 5) r(1)" + kMat + "\n";
const std::string kCamera = "c p(0 0 -10) t(0 0 0) fov(45)\n";
const std::string kTriMesh = "MESH3\nv 0 0 0\nv 1 0 0\nv 0 1 0\nn 0 0 -1\nf 1/1 2/1 3/1\n";

std::string error_line(int lnum, const std::string &line)
{
    return "error in line " + std::to_string(lnum) + ": \"" + line + "\", ignoring.\n";
}

struct Render {
    RunResult run;
    std::string image;
};

// Renders the named scene files window-less at a small size in dir.
Render render(const TempDir &dir, std::vector<std::string> scenes)
{
    std::vector<std::string> args = {"-nosdl", "-size", "16x12"};
    args.insert(args.end(), scenes.begin(), scenes.end());
    Render r;
    unlink(dir.file("out.ppm").c_str());
    r.run = run_rt(dir.path(), args);
    r.image = read_file(dir.file("out.ppm"));
    return r;
}

TEST(SceneFiles, BadLinesAreReportedWithTheirNumbersAndSkipped)
{
    TempDir dir;
    const std::string long_line = "# " + std::string(1500, 'x') + "\n";
    std::vector<std::string> lines = {
        "# a comment and an empty line are counted\n",
        "\n",
        "s c(0 0 5) r(1) kd(0.5 0.5 0.5) ks(0 0 0) s(1) kr(0) ke(0 0)\n", // 14 numbers
        "s c(0 0 5) rad(1)" + kMat + "\n",                                // misspelt keyword
        "s c(0 0 5) r(abc)" + kMat + "\n",
        " s c(0 0 5) r(1)" + kMat + "\n", // indented
        "S c(0 0 5) r(1)" + kMat + "\n",  // upper case
        "   \n",                          // blanks only
        "f c(0 0 0) r(1) i(0)" + kMat + "\n",
        "f c(0 0 0) r(1) i(-1)" + kMat + "\n",
        "f c(0 0 0) r(1) i(11)" + kMat + "\n",
        "c p(1 2 3) t(1 2 3) fov(45)\n", // no view direction
        "x marks the spot\n",
        "p n(0 1 0) d(-1) kd(0.5 0.5 0.5)\n", // a plane short of its material
        long_line,                            // a comment of 1023 characters, then the rest as a line of its own
    };
    std::string text;
    for (const std::string &l : lines) {
        text += l;
    }
    text += kCamera + "s c(0 0 5) r(1)" + kMat; // no final line break
    write_file(dir.file("bad.scene"), text);

    Render r = render(dir, {"bad.scene"});
    std::string expected;
    for (int i : {3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}) {
        expected += error_line(i, lines[i - 1]);
    }
    expected += error_line(16, long_line.substr(1023));
    EXPECT_EQ(r.run.err, expected);
    EXPECT_EQ(r.run.status, 0);

    // What remains is the same picture as the good lines alone.
    write_file(dir.file("good.scene"), kCamera + kSphere);
    EXPECT_EQ(render(dir, {"good.scene"}).image, r.image);
}

// Several files make one scene: a tie goes to the object of the earlier line
// (a red and a green sphere in one place show red) across files as within
// one, and a later file's camera replaces an earlier one's.
TEST(SceneFiles, SeveralFilesMakeOneScene)
{
    TempDir dir;
    const std::string red = "s c(0 0 0) r(1) kd(1 0 0) ks(0 0 0) s(1) kr(0) ke(0 0 0)\nl p(0 0 -10) c(1 1 1)\n";
    const std::string green = "s c(0 0 0) r(1) kd(0 1 0) ks(0 0 0) s(1) kr(0) ke(0 0 0)\n";
    const std::string far = "c p(0 0 -20) t(0 0 0) fov(45)\n";
    write_file(dir.file("one.scene"), kCamera + red + green);
    write_file(dir.file("a.scene"), kCamera + red);
    write_file(dir.file("b.scene"), green);
    write_file(dir.file("far.scene"), far);
    Render one = render(dir, {"one.scene"});
    EXPECT_EQ(render(dir, {"a.scene", "b.scene"}).image, one.image);
    EXPECT_NE(render(dir, {"a.scene", "b.scene", "far.scene"}).image, one.image);
    EXPECT_EQ(render(dir, {"a.scene", "far.scene", "b.scene"}).image,
              render(dir, {"far.scene", "one.scene", "far.scene"}).image);
}

TEST(MeshFiles, EveryFailureDiscardsTheMeshWithItsMessages)
{
    struct Case {
        const char *what;
        std::string data; // the mesh file's content
        std::string message;
    } cases[] = {
        {"empty file", "", "invalid"},
        {"no header", "v 0 0 0\n", "invalid"},
        {"comment before the header", "# hi\n" + kTriMesh, "invalid"},
        {"header of 5", "MESH5\n", "invalid primitive\ninvalid"},
        {"header of 0", "MESH0\n", "invalid primitive\ninvalid"},
        {"two numbers", "MESH3\nv 0 0\n", "invalid"},
        {"normal of letters", "MESH3\nn a b c\n", "invalid"},
        {"quad face in a triangle file", kTriMesh + "f 1/1 2/1 3/1 1/1\n", "invalid"},
        {"triangle face in a quad file", "MESH4\nv 0 0 0\nn 0 0 1\nf 1/1 1/1 1/1\n", "invalid"},
        {"no normal indices", "MESH3\nv 0 0 0\nv 1 0 0\nv 0 1 0\nn 0 0 1\nf 1 2 3\n", "invalid"},
        {"index 0", "MESH3\nv 0 0 0\nv 1 0 0\nv 0 1 0\nn 0 0 1\nf 0/1 2/1 3/1\n", "invalid"},
        {"index past the positions", "MESH3\nv 0 0 0\nv 1 0 0\nn 0 0 1\nf 1/1 2/1 3/1\nv 0 1 0\n", "invalid"},
        {"index past the normals", "MESH3\nv 0 0 0\nv 1 0 0\nv 0 1 0\nn 0 0 1\nf 1/1 2/2 3/1\n", "invalid"},
        {"negative index", "MESH3\nv 0 0 0\nv 1 0 0\nv 0 1 0\nn 0 0 1\nf -1/1 2/1 3/1\n", "invalid"},
        {"vt after good faces", kTriMesh + "vt 0 0\n", "invalid"},
        {"vn line", "MESH3\nvn 0 0 1\n", "invalid"},
        {"g line", kTriMesh + "g group\n", "invalid"},
    };
    TempDir dir;
    for (const Case &c : cases) {
        write_file(dir.file("bad.mesh"), c.data);
        std::string line = "m bad.mesh pos(0 0 0) rot(0 0 1 0) scale(1 1 1)" + kMat + "\n";
        write_file(dir.file("m.scene"), kCamera + line);
        RunResult r = render(dir, {"m.scene"}).run;
        std::string message = c.message == "invalid" ? "" : "invalid primitive\n";
        message += "failed to read mesh data file: bad.mesh: invalid format\n";
        EXPECT_EQ(r.err, message + error_line(2, line)) << c.what;
        EXPECT_EQ(r.status, 0) << c.what;
    }

    // Files that cannot be opened or read carry the system's reason.
    ASSERT_EQ(mkdir(dir.file("folder.mesh").c_str(), 0755), 0);
    for (const char *name : {"missing.mesh", "folder.mesh"}) {
        std::string line = std::string("m ") + name + " pos(0 0 0) rot(0 0 1 0) scale(1 1 1)" + kMat + "\n";
        write_file(dir.file("m.scene"), line + kCamera);
        RunResult r = render(dir, {"m.scene"}).run;
        std::string reason = name[0] == 'm' ? "No such file or directory" : "Is a directory";
        EXPECT_EQ(r.err,
                  "failed to open mesh data file: " + std::string(name) + ": " + reason + "\n" + error_line(1, line));
    }
}

// A mesh data file's name is taken from the working folder first, then
// from the scene file's folder: a scene with its meshes renders the same
// from its own folder and from any other, byte for byte. A file of that
// name in the working folder comes first; where neither exists, the
// message names the file as written.
TEST(MeshFiles, NamesAreFoundBesideTheSceneFileToo)
{
    TempDir dir;
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
    const std::string line = "m tri.mesh pos(0 0 0) rot(0 0 1 0) scale(1 1 1)" + kMat + "\n";
    write_file(dir.file("sub/s.scene"), kCamera + "l p(0 0 -10) c(1 1 1)\n" + line);
    write_file(dir.file("sub/tri.mesh"), kTriMesh);
    auto render_in = [](const std::string &folder, const std::string &scene) {
        return run_rt(folder, {"-nosdl", "-size", "16x12", "-o", "p.ppm", scene});
    };
    RunResult own = render_in(dir.file("sub"), "s.scene");
    RunResult other = render_in(dir.path(), "sub/s.scene");
    EXPECT_EQ(own.status, 0);
    EXPECT_EQ(own.err, "");
    EXPECT_EQ(without_time(other.out), without_time(own.out));
    EXPECT_EQ(other.err, own.err);
    EXPECT_EQ(other.status, own.status);
    EXPECT_EQ(read_file(dir.file("p.ppm")), read_file(dir.file("sub/p.ppm")));
    write_file(dir.file("none.scene"), kCamera + "l p(0 0 -10) c(1 1 1)\n");
    EXPECT_NE(read_file(dir.file("p.ppm")), render(dir, {"none.scene"}).image);

    write_file(dir.file("tri.mesh"), "MESH3\nv 0 0 0\nv 2 0 0\nv 0 2 0\nn 0 0 -1\nf 1/1 2/1 3/1\n");
    render_in(dir.path(), "sub/s.scene");
    EXPECT_NE(read_file(dir.file("p.ppm")), read_file(dir.file("sub/p.ppm")));

    unlink(dir.file("tri.mesh").c_str());
    unlink(dir.file("sub/tri.mesh").c_str());
    RunResult gone = render_in(dir.path(), "sub/s.scene");
    EXPECT_EQ(gone.err, "failed to open mesh data file: tri.mesh: No such file or directory\n" + error_line(3, line));
}

// Loose but valid files give the plain files' picture: scene lines with CRLF,
// no blanks at all, trailing words, a missing last parenthesis and numbers in
// every notation; mesh files with indented lines, blank lines, comments and
// no newline at the end.
// A mesh without faces loads and shows nothing.
TEST(SceneFiles, LooseButValidFilesGiveThePlainPicture)
{
    TempDir dir;
    write_file(dir.file("plain.mesh"), "MESH3\nv -1 -1 0\nv 1 -1 0\nv 0 1 0\nn 0 0 -1\nf 1/1 2/1 3/1\n");
    write_file(dir.file("loose.mesh"), "MESH 3 triangles\n\n   # indented comment\n  v -1 -1 0  \n\tv 1 -1 0\n"
                                       "v 0 1 0\n   \nn 0 0 -1\r\n  f 1/1 2/1 3/1   ");
    write_file(dir.file("header.mesh"), "MESH4\n");
    const std::string rest = " pos(0 0 0) rot(0 0 1 0) scale(1 1 1)" + kMat + "\n";
    write_file(dir.file("plain.scene"),
               kCamera + "s c(0 0 5) r(1)" + kMat + "\nl p(1 2 3) c(1 1 1)\nm plain.mesh" + rest);
    write_file(dir.file("loose.scene"), "c p(0 0 -1e1) t(+0 -0 0) fov(45)\r\n"
                                        "sc(0 0 5)r(1)kd(0.5 .5 5e-1)ks(0 0 0)s(1)kr(0)ke(0 0 0) and more words\r\n"
                                        "\r\nm loose.mesh" +
                                            rest + "m header.mesh" + rest + "l p(1 2 3) c(1 1 1");
    write_file(dir.file("none.scene"), kCamera + "s c(0 0 5) r(1)" + kMat + "\nl p(1 2 3) c(1 1 1)\n");
    Render plain = render(dir, {"plain.scene"});
    Render loose = render(dir, {"loose.scene"});
    EXPECT_EQ(loose.run.err, "");
    EXPECT_EQ(loose.run.status, 0);
    EXPECT_EQ(loose.image, plain.image);
    EXPECT_NE(plain.image, render(dir, {"none.scene"}).image);

    // A run with a state reads the whole scene file when it meets the first
    // mesh line (the key takes it before the mesh's bytes), also the lines
    // far beyond the reader's first block.
    write_file(dir.file("far.scene"), kCamera + "m plain.mesh" + rest + std::string(100000, '#') + "\n" + kSphere +
                                          "l p(1 2 3) c(1 1 1)\n");
    std::vector<std::string> args = {"-nosdl", "-size", "16x12", "-threads", "1", "-o", "far.ppm", "far.scene"};
    EXPECT_EQ(run_rt(dir.path(), args).status, 0);
    const std::string unkeyed = read_file(dir.file("far.ppm"));
    args.insert(args.end(), {"-state", "far.state"});
    EXPECT_EQ(run_rt(dir.path(), args).status, 0);
    EXPECT_EQ(read_file(dir.file("far.ppm")), unkeyed);
}

} // namespace
