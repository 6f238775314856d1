// Scene and mesh data files end to end: the real binary on real files, with
// the exact messages, exit status and picture.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "scene.h"
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

// Every refusal names the line at fault and why: the first such line of
// the file, also when it lies blocks after the lines it refers back to
// (the 3 MB file is read in blocks on several threads).
TEST(MeshFiles, EveryFailureDiscardsTheMeshWithItsMessages)
{
    const std::string kTexMesh = "MESH3\nv 0 0 0\nv 1 0 0\nv 0 1 0\nn 0 0 -1\nt 0 0\nt 1 0\n";
    std::string many;
    for (int i = 0; i < 400000; i++) {
        many += "v 0 0 0\n";
    }
    struct Case {
        const char *what;
        std::string data; // the mesh file's content
        std::string message;
    } cases[] = {
        {"empty file", "", ": the file is empty"},
        {"no header", "v 0 0 0\n", " at line 1: the first line is not MESH3 or MESH4"},
        {"comment before the header", "# hi\n" + kTriMesh, " at line 1: the first line is not MESH3 or MESH4"},
        {"header of 5", "MESH5\n", " at line 1: the first line is not MESH3 or MESH4"},
        {"header of 0", "MESH0\n", " at line 1: the first line is not MESH3 or MESH4"},
        {"two numbers", "MESH3\nv 0 0\n", " at line 2: a position needs three numbers"},
        {"normal of letters", "MESH3\n\n\nn a b c\n", " at line 4: a normal needs three numbers"},
        {"quad face in a triangle file", kTriMesh + "f 1/1 2/1 3/1 1/1\n",
         " at line 7: a face needs three corners v/n (or v/n/t) in a MESH3 file"},
        {"triangle face in a quad file", "MESH4\nv 0 0 0\nn 0 0 1\nf 1/1 1/1 1/1\n",
         " at line 4: a face needs four corners v/n (or v/n/t) in a MESH4 file"},
        {"no normal indices", "MESH3\nv 0 0 0\nv 1 0 0\nv 0 1 0\nn 0 0 1\nf 1 2 3\n",
         " at line 6: a face needs three corners v/n (or v/n/t) in a MESH3 file"},
        {"index 0", "MESH3\nv 0 0 0\nv 1 0 0\nv 0 1 0\nn 0 0 1\nf 0/1 2/1 3/1\n", " at line 6: an index below 1"},
        {"index past the positions", "MESH3\nv 0 0 0\nv 1 0 0\nn 0 0 1\nf 1/1 2/1 3/1\nv 0 1 0\n",
         " at line 5: a position index beyond the v lines before it"},
        {"index past the normals", "MESH3\nv 0 0 0\nv 1 0 0\nv 0 1 0\nn 0 0 1\nf 1/1 2/2 3/1\n",
         " at line 6: a normal index beyond the n lines before it"},
        {"negative index", "MESH3\nv 0 0 0\nv 1 0 0\nv 0 1 0\nn 0 0 1\nf -1/1 2/1 3/1\n",
         " at line 6: an index below 1"},
        {"index past the positions, blocks later", "MESH3\n" + many + "n 0 0 1\nf 1/1 2/1 400001/1\n",
         " at line 400003: a position index beyond the v lines before it"},
        {"vt after good faces", kTriMesh + "vt 0 0\n", " at line 7: a position needs three numbers"},
        {"vn line", "MESH3\nvn 0 0 1\n", " at line 2: a position needs three numbers"},
        {"g line", kTriMesh + "g group\n", " at line 7: not a line of a mesh data file (v, n, t, f or #)"},
        // Texture coordinates: t lines, and faces of v/n/t corners.
        {"one number", kTexMesh + "t 0.5\n", " at line 8: a texture coordinate needs two numbers"},
        {"coordinate index past the t lines", kTexMesh + "f 1/1/1 2/1/2 3/1/3\n",
         " at line 8: a texture coordinate index beyond the t lines before it"},
        {"coordinate index 0", kTexMesh + "f 1/1/0 2/1/1 3/1/2\n", " at line 8: an index below 1"},
        {"a corner without one", kTexMesh + "f 1/1/1 2/1/2 3/1\n",
         " at line 8: a face needs three corners v/n (or v/n/t) in a MESH3 file"},
        {"words after the corners", kTexMesh + "f 1/1/1 2/1/2 3/1/2 x\n",
         " at line 8: a face needs three corners v/n (or v/n/t) in a MESH3 file"},
        {"a sign", kTexMesh + "f 1/1/1 2/1/2 3/1/+2\n",
         " at line 8: a face needs three corners v/n (or v/n/t) in a MESH3 file"},
        {"plain after textured", kTexMesh + "f 1/1/1 2/1/2 3/1/2\n\nf 1/1 2/1 3/1\n",
         " at line 10: a face without texture coordinates, after faces with them"},
        {"textured after plain", kTexMesh + "f 1/1 2/1 3/1\nf 1/1/1 2/1/2 3/1/2\n",
         " at line 9: a face with texture coordinates, after faces without them"},
    };
    TempDir dir;
    for (const Case &c : cases) {
        write_file(dir.file("bad.mesh"), c.data);
        std::string line = "m bad.mesh pos(0 0 0) rot(0 0 1 0) scale(1 1 1)" + kMat + "\n";
        write_file(dir.file("m.scene"), kCamera + line);
        RunResult r = render(dir, {"m.scene"}).run;
        std::string message =
            c.data.rfind("MESH5", 0) == 0 || c.data.rfind("MESH0", 0) == 0 ? "invalid primitive\n" : "";
        message += "failed to read mesh data file: bad.mesh: invalid format" + c.message + "\n";
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

// A BMP of w x h texels, rows from the bottom: the simplest picture to
// write by hand.
std::string bmp(int w, int h, const std::string &bgr_rows)
{
    auto le = [](uint64_t v, int bytes) {
        std::string s;
        for (int i = 0; i < bytes; i++) {
            s += static_cast<char>(v >> (8 * i));
        }
        return s;
    };
    return "BM" + le(54 + bgr_rows.size(), 4) + le(0, 4) + le(54, 4) + le(40, 4) + le(w, 4) + le(h, 4) + le(1, 2) +
           le(24, 2) + le(0, 4) + le(bgr_rows.size(), 4) + le(2835, 4) + le(2835, 4) + le(0, 8) + bgr_rows;
}

// An image that cannot be used leaves the mesh's colours as the line writes
// them, the picture the untextured line's, and is said once for each file
// however many lines name it; so is a mesh without texture coordinates
// (whose face with a third index after its pairs reads as it always has).
// An image is read once by any name, the picture may not go over it, and a
// state is kept for its bytes.
TEST(SceneFiles, TexturesThatCannotBeUsedLeaveTheColoursAsWritten)
{
    TempDir dir;
    const std::string corners = "MESH3\nv -1 -1 0\nv 1 -1 0\nv 0 1 0\nn 0 0 -1\n";
    write_file(dir.file("tex.mesh"), corners + "t 0 0\nt 1 0\nt 0.5 1\nf 1/1/1 2/1/2 3/1/3\n");
    write_file(dir.file("plain.mesh"), corners + "f 1/1 2/1 3/1/3\n");
    write_file(dir.file("tint.png"), read_file(source_file("tests/models/tint.png")));
    write_file(dir.file("text.png"), "not a picture\n");
    write_file(dir.file("cut.png"), read_file(dir.file("tint.png")).substr(0, 60));
    const char header[] = "\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\x27\x10\0\0\x27\x10\x08\x02\0\0\0\0\0\0\0";
    write_file(dir.file("huge.png"), std::string(header, sizeof header - 1));
    write_file(dir.file("tall.bmp"), bmp(8192, -16384, std::string(6, '\0'))); // top down: a negative height
    ASSERT_EQ(mkdir(dir.file("folder.png").c_str(), 0755), 0);
    const std::string light = kCamera + "l p(0 0 -10) c(1 1 1)\n";
    const std::string tex = "m tex.mesh pos(0 0 0) rot(0 0 1 0) scale(1 1 1)" + kMat;
    const std::string warning = "failed to read texture file: ";
    const struct {
        std::string lines, err;
    } cases[] = {
        {tex + " kd_map(gone.png) ke_map(gone.png)\n" + tex + " kd_map(gone.png)\n",
         warning + "gone.png: No such file or directory: the mesh's kd stands for it\n"},
        {tex + " kd_map(text.png)\n",
         warning + "text.png: not a PNG, JPEG, TGA or BMP picture: the mesh's kd stands for it\n"},
        {tex + " ke_map(cut.png)\n",
         warning + "cut.png: damaged (PNG not supported: unknown PNG chunk type): the mesh's ke stands for it\n"},
        {tex + " kd_map(huge.png) ke_map(tall.bmp)\n",
         warning + "huge.png: too large (10000x10000 texels, at most 67108864): the mesh's kd stands for it\n" +
             warning + "tall.bmp: too large (8192x16384 texels, at most 67108864): the mesh's ke stands for it\n"},
        {tex + " kd_map(folder.png)\n", warning + "folder.png: not a regular file: the mesh's kd stands for it\n"},
        {"m plain.mesh pos(0 0 0) rot(0 0 1 0) scale(1 1 1)" + kMat + " kd_map(tint.png)\n",
         "mesh data file plain.mesh has no texture coordinates: its images are left out\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.lines);
        write_file(dir.file("t.scene"), light + c.lines);
        Render r = render(dir, {"t.scene"});
        EXPECT_EQ(r.run.err, c.err);
        EXPECT_EQ(r.run.status, 0);
        std::string untextured = c.lines;
        for (size_t at; (at = untextured.find(" k")) != std::string::npos && untextured[at + 4] == 'm';) {
            untextured.erase(at, untextured.find_first_of(" \n", at + 1) - at);
        }
        write_file(dir.file("u.scene"), light + untextured);
        EXPECT_TRUE(render(dir, {"u.scene"}).image == r.image);
    }

    // Read once, by any name.
    write_file(dir.file("two.scene"),
               light + tex + " kd_map(tint.png)\n" + tex + " kd_map(./tint.png) ke_map(tint.png)\n");
    Scene scene;
    EXPECT_TRUE(scene.load(dir.file("two.scene").c_str()));
    EXPECT_EQ(scene.textures_loaded().bytes(), 12u);

    RunResult over = run_rt(dir.path(), {"-nosdl", "-size", "4x4", "-o", "tint.png", "two.scene"});
    EXPECT_EQ(over.err, "failed to write image: tint.png: the same file as texture file tint.png\n");
    EXPECT_EQ(over.status, 1);

    // Another picture under the same name is another scene: its passes do
    // not continue those of the first.
    RunResult first = run_rt(dir.path(), {"-nosdl", "-size", "4x4", "-threads", "1", "-state", "s", "two.scene"});
    EXPECT_EQ(first.status, 0);
    write_file(dir.file("tint.png"), bmp(2, 1, std::string("\x10\x20\x30\xff\xee\xdd\0\0", 8)));
    RunResult again =
        run_rt(dir.path(), {"-nosdl", "-size", "4x4", "-threads", "1", "-passes", "2", "-state", "s", "two.scene"});
    EXPECT_EQ(again.err, "cannot continue from state file s: saved for other contents of texture file tint.png\n");
    Scene bmp_scene;
    EXPECT_TRUE(bmp_scene.load(dir.file("two.scene").c_str()));
    EXPECT_EQ(bmp_scene.textures_loaded().bytes(), 6u);
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
    write_file(dir.file("far.scene"),
               kCamera + "m plain.mesh" + rest + std::string(100000, '#') + "\n" + kSphere + "l p(1 2 3) c(1 1 1)\n");
    std::vector<std::string> args = {"-nosdl", "-size", "16x12", "-threads", "1", "-o", "far.ppm", "far.scene"};
    EXPECT_EQ(run_rt(dir.path(), args).status, 0);
    const std::string unkeyed = read_file(dir.file("far.ppm"));
    args.insert(args.end(), {"-state", "far.state"});
    EXPECT_EQ(run_rt(dir.path(), args).status, 0);
    EXPECT_EQ(read_file(dir.file("far.ppm")), unkeyed);
}

} // namespace
