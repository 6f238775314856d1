// Image files: the bytes of a PPM, a PNG holding the same pixels, and writes
// that fail without destroying an earlier picture or leaving anything behind.
#include <gtest/gtest.h>

#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

#include "files/hdr_file.h"
#include "files/image_file.h"
#include "support.h"

namespace
{

const char *const kScene = "c p(0 1 -5) t(0 0 0) fov(45)\n"
                           "p n(0 1 0) d(-1) kd(0.8 0.8 0.8) ks(0 0 0) s(1) kr(0) ke(0 0 0)\n"
                           "s c(0 0 0) r(1) kd(0.9 0.3 0.2) ks(0.3 0.3 0.3) s(20) kr(0) ke(0 0 0)\n"
                           "l p(3 5 -5) c(1 1 1)\n";

// The RGB bytes of a PNG file, as libpng decodes them.
bool decode_png(const std::string &path, int *w, int *h, std::string *rgb)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) {
        return false;
    }
    image.format = PNG_FORMAT_RGB;
    std::vector<png_byte> buf(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, buf.data(), 0, nullptr)) {
        return false;
    }
    *w = image.width;
    *h = image.height;
    rgb->assign(buf.begin(), buf.end());
    return true;
}

// The entries of a folder but for . and ..
int entries(const std::string &dir)
{
    RunResult r = run_program(dir, "/bin/sh", {"-c", "ls -A | wc -l"});
    return std::stoi(r.out);
}

// A packing with one step in every channel, at step_at: 1 from there up, 0
// below (and for NaN).
double step_at;
uint32_t step_pack(const Color &c)
{
    auto b = [](double v) { return v >= step_at ? 1u : 0u; };
    return b(c.x) << 16 | b(c.y) << 8 | b(c.z);
}

// A channel of a file of linear colours is the nearest value of its format,
// unless that packs to another byte: then its neighbour on the exact value's
// side. Half floats are rounded from the double itself, not through a float.
TEST(ImageFiles, LinearValuesKeepTheirByte)
{
    const double tiny = std::ldexp(1.0, -40); // below a float's precision near 1
    struct FloatCase {
        double step;
        Color c;
        float want[3];
    } floats[] = {
        // Below a step that the nearest float reaches: the float below; the
        // other channels stay the nearest.
        {0.75, Color(0.75 - tiny, 0.3, 0.75), {std::nextafter(0.75f, 0.0f), 0.3f, 0.75f}},
        // Above a step that lies between two floats: the float above.
        {0.75 + tiny / 2, Color(0.75 + tiny, 2.0, 0.75), {std::nextafter(0.75f, 1.0f), 2.0f, 0.75f}},
        // No step crossed: the nearest.
        {2.0, Color(0.75 - tiny, 0.75 + tiny, -0.3), {0.75f, 0.75f, -0.3f}},
    };
    for (const FloatCase &f : floats) {
        step_at = f.step;
        float got[3];
        file_floats(f.c, step_pack, got);
        for (int k = 0; k < 3; k++) {
            EXPECT_EQ(got[k], f.want[k]) << "step " << f.step << ", channel " << k;
        }
    }
    step_at = 0.0;
    float nan[3];
    file_floats(Color(NAN, 1.0, 0.0), step_pack, nan);
    EXPECT_TRUE(std::isnan(nan[0]) && nan[1] == 1.0f && nan[2] == 0.0f);

    const double half_ulp = std::ldexp(1.0, -10); // a half's step from 1 to 2
    struct HalfCase {
        double step;
        double c;
        uint16_t want;
    } halves[] = {
        // A float would round to the tie between 1 and the next half, and the
        // tie to the even one; the double is nearer one of them.
        {2.0, 1.0 + half_ulp / 2 + tiny, 0x3C01},
        {2.0, 1.0 + 3 * half_ulp / 2 - tiny, 0x3C01},
        {2.0, 1.0 + 3 * half_ulp / 2, 0x3C02},
        // Below a step at 1: the half below; above it: 1.
        {1.0, 1.0 - tiny, 0x3BFF},
        {1.0, 1.0 + tiny, 0x3C00},
        // Zero of either sign lies across a step near it: the smallest half
        // of the value's sign instead.
        {0.0, -1e-9, 0x8001},
        {1e-10, 1e-9, 0x0001},
    };
    for (const HalfCase &h : halves) {
        step_at = h.step;
        uint16_t got[3];
        file_halves(Color(h.c, h.c, h.c), step_pack, got);
        EXPECT_EQ(got[0], h.want) << h.c;
        EXPECT_EQ(got[2], h.want) << h.c;
    }
}

TEST(ImageFiles, PpmAndPngHoldTheSamePixels)
{
    TempDir dir;
    // Red, green, blue bytes of each pixel; the top byte is dropped.
    const uint32_t pixels[3] = {0x00FF8000, 0x000000FF, 0x0F0F0F0F};
    ASSERT_TRUE(write_ppm(dir.file("a.ppm").c_str(), pixels, 3, 1));
    EXPECT_EQ(read_file(dir.file("a.ppm")), ppm(3, 1, std::string("\xFF\x80\x00\x00\x00\xFF\x0F\x0F\x0F", 9)));

    // A name ending in .png in any case is a PNG of the same pixels; any
    // other name is a PPM.
    write_file(dir.file("a.scene"), kScene);
    for (const char *name : {"out.ppm", "pic.PNG", "pic.img"}) {
        RunResult r = run_rt(dir.path(), {"-nosdl", "-o", name, "-size", "23x17", "-gamma", "2.2", "a.scene"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
    }
    int w = 0, h = 0;
    std::string rgb;
    ASSERT_TRUE(decode_png(dir.file("pic.PNG"), &w, &h, &rgb));
    EXPECT_TRUE(ppm(w, h, rgb) == read_file(dir.file("out.ppm"))) << "the PNG's pixels differ from the PPM's";
    EXPECT_TRUE(read_file(dir.file("pic.img")) == read_file(dir.file("out.ppm")));
    EXPECT_EQ(entries(dir.path()), 5); // and no temporary file
}

// Every kind of target: checked before anything is rendered, written whole
// or not at all, never replaced by something of another kind.
TEST(ImageFiles, EveryKindOfTarget)
{
    TempDir dir;
    write_file(dir.file("a.scene"), kScene);
    RunResult ref = run_rt(dir.path(), {"-nosdl", "-size", "8x8", "-o", "ref.ppm", "a.scene"});
    ASSERT_EQ(ref.status, 0);
    const std::string picture = read_file(dir.file("ref.ppm"));
    const std::string rendered = "rays: 4  ->  subdiv: 1\n" + progress_bars(8) + "rendering completed in # msec\n";
    const std::string refused = "rays: 4  ->  subdiv: 1\n";
    const std::string long_name(255, 'n');
    std::string setup =
        "mkdir folder ro; echo earlier > out.ppm; echo kept > kept.ppm; chmod 640 kept.ppm;"
        "ln -s kept.ppm link.ppm; ln -s sub/made.ppm dangling.ppm; mkdir sub; mkfifo fifo;"
        "chmod 444 ro; touch ro.ppm; chmod 444 ro.ppm; ln -s /dev/full full.exr; echo earlier > out.exr;"
        "mkdir wo; chmod 333 wo; cp a.scene copy.scene; ln -s a.scene alias.scene;"
        "printf 'MESH3\\nv 0 0 0\\nv 1 0 0\\nv 0 1 0\\nn 0 0 1\\nf 1/1 2/1 3/1\\n' > tri.mesh; cp tri.mesh copy.mesh;"
        "echo 'm tri.mesh pos(0 0 0) rot(0 0 1 0) scale(1 1 1) kd(1 1 1) ks(0 0 0) s(1) kr(0) ke(0 0 0)' > m.scene;";
    bool root = geteuid() == 0;
    if (root) {
        setup += "mknod null c 1 3;";
    }
    ASSERT_EQ(run_shell(dir.path(), setup).status, 0);
    struct Case {
        const char *what;
        std::string command, out, err, check;
        int status;
        bool root_only = false, user_only = false;
    } cases[] = {
        {"a symbolic link: its target replaced, keeping its mode", "r -o link.ppm", rendered, "",
         "test -L link.ppm && cmp kept.ppm ref.ppm && test $(stat -c %a kept.ppm) = 640", 0},
        {"a dangling link: its target made", "r -o dangling.ppm", rendered, "",
         "test -L dangling.ppm && cmp sub/made.ppm ref.ppm", 0},
        {"a FIFO: written into", "cat fifo > got & r -o fifo; wait", rendered, "", "test -p fifo && cmp got ref.ppm",
         0},
        {"standard output: the picture alone there", "r -o /dev/stdout 2>err | cat > got", "", "",
         "cmp got ref.ppm && grep -q '^rays: 4 ' err", 0},
        {"a device: written into", "r -o null", rendered, "", "test -c null", 0, true},
        {"a name as long as a name can be", "r -o " + long_name, rendered, "", "cmp " + long_name + " ref.ppm", 0},
        // The files the scene was read from are never written over.
        {"the scene file, through a link", "r -o alias.scene", refused,
         "failed to write image: alias.scene: the same file as scene file a.scene\n", "cmp a.scene copy.scene", 1},
        {"a mesh data file of the scene", "r m.scene -o tri.mesh", refused,
         "failed to write image: tri.mesh: the same file as mesh data file tri.mesh\n", "cmp tri.mesh copy.mesh", 1},
        {"a folder", "r -o folder", refused, "failed to write image: folder: Is a directory\n", "", 1},
        {"a missing folder", "r -o no/x.png", refused, "failed to write image: no/x.png: No such file or directory\n",
         "", 1},
        {"a folder without write permission", "r -o ro/x.ppm", refused,
         "failed to write image: ro/x.ppm: Permission denied\n", "", 1, false, true},
        {"a folder without read permission: written", "r -o wo/x.ppm", rendered, "", "cmp wo/x.ppm ref.ppm", 0, false,
         true},
        {"a file without write permission", "r -o ro.ppm", refused,
         "failed to write image: ro.ppm: Permission denied\n", "", 1, false, true},
        {"a file size limit", "ulimit -f 1; r -o out.ppm -size 64x64 >/dev/null", "",
         "failed to write image: out.ppm: File too large\n", "", 1},
        {"an OpenEXR file over the size limit", "ulimit -f 1; r -o out.exr -size 64x64 >/dev/null", "",
         "failed to write image: out.exr: File too large\n", "grep -qx earlier out.exr", 1},
        {"a full disk", "r -o full.exr -exr-float", rendered,
         "failed to write image: full.exr: No space left on device\n", "", 1},
        {"a float map in a missing folder", "r -o no/x.pfm", refused,
         "failed to write image: no/x.pfm: No such file or directory\n", "", 1},
        // The render waits on a full pipe of progress lines while its folder
        // is renamed.
        {"a folder renamed during the render",
         "mkdir d; { r -o d/p.ppm -size 1x4000 2>err; echo $? >> err; } | "
         "{ head -c 1 >/dev/null; touch begun; while [ ! -e go ]; do sleep 0.01; done; cat >/dev/null; } & "
         "while [ ! -e begun ]; do sleep 0.01; done; mv d e; touch go; wait; rm begun go; cat err",
         "failed to write image: d/p.ppm: No such file or directory\n1\n", "", "test -z \"$(ls -A e)\"", 0},
    };
    for (const Case &c : cases) {
        if ((c.root_only && !root) || (c.user_only && root)) {
            continue;
        }
        RunResult r = run_shell(dir.path(), "r() { \"$RT\" -nosdl -size 8x8 a.scene \"$@\"; }; " + c.command);
        EXPECT_EQ(without_time(r.out), c.out) << c.what;
        EXPECT_EQ(r.err, c.err) << c.what;
        EXPECT_EQ(r.status, c.status) << c.what;
        if (!c.check.empty()) {
            EXPECT_EQ(run_shell(dir.path(), c.check).status, 0) << c.what;
        }
        EXPECT_EQ(read_file(dir.file("out.ppm")), "earlier\n") << c.what;
        EXPECT_EQ(run_shell(dir.path(), "ls -A | grep '^\\.'").out, "") << "a temporary was left by: " << c.what;
    }
}

} // namespace
