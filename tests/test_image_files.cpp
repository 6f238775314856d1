// Image files: the bytes of a PPM, a PNG holding the same pixels, and writes
// that fail without destroying an earlier picture or leaving anything behind.
#include <gtest/gtest.h>

#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "image_file.h"
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

TEST(ImageFiles, PpmAndPngHoldTheSamePixels)
{
    TempDir dir;
    // Red, green, blue bytes of each pixel; the top byte is dropped.
    const uint32_t pixels[3] = {0x00FF8000, 0x000000FF, 0x0F0F0F0F};
    ASSERT_TRUE(write_ppm(dir.file("a.ppm").c_str(), pixels, 3, 1));
    EXPECT_EQ(read_file(dir.file("a.ppm")), ppm(3, 1, std::string("\xFF\x80\x00\x00\x00\xFF\x0F\x0F\x0F", 9)));
    ASSERT_TRUE(write_ppm(dir.file("b.ppm").c_str(), nullptr, 0, 0));
    EXPECT_EQ(read_file(dir.file("b.ppm")), "P6\n0 0\n255\n");

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
    EXPECT_EQ(entries(dir.path()), 6); // and no temporary file
}

TEST(ImageFiles, FailedWritesKeepTheEarlierPicture)
{
    TempDir dir;
    write_file(dir.file("a.scene"), kScene);
    ASSERT_EQ(mkdir(dir.file("folder.ppm").c_str(), 0755), 0);
    write_file(dir.file("out.ppm"), "earlier");
    struct Case {
        const char *command, *target;
    } cases[] = {
        {"\"$RT\" -nosdl -size 8x8 -o no/such/dir/x.ppm a.scene", "no/such/dir/x.ppm"},
        {"\"$RT\" -nosdl -size 8x8 -o no/such/dir/x.png a.scene", "no/such/dir/x.png"},
        {"\"$RT\" -nosdl -size 8x8 -o folder.ppm a.scene", "folder.ppm"},
        // A file size limit stops the write halfway through.
        {"ulimit -f 1; trap '' XFSZ; exec \"$RT\" -nosdl -size 32x32 a.scene", "out.ppm"},
        {"ulimit -f 1; trap '' XFSZ; exec \"$RT\" -nosdl -size 32x32 -o out.ppm -threads 2 a.scene", "out.ppm"},
    };
    for (const Case &c : cases) {
        RunResult r = run_shell(dir.path(), c.command);
        EXPECT_EQ(r.status, 1) << c.command;
        EXPECT_EQ(r.err, std::string("failed to write image: ") + c.target + "\n") << c.command;
        EXPECT_EQ(read_file(dir.file("out.ppm")), "earlier");
        EXPECT_EQ(entries(dir.path()), 3) << "a temporary file was left by " << c.command;
    }

    // A folder without write permission (root writes anywhere: skipped then).
    if (geteuid() != 0) {
        ASSERT_EQ(chmod(dir.path().c_str(), 0555), 0);
        RunResult r = run_rt(dir.path(), {"-nosdl", "-size", "8x8", "a.scene"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "failed to write image: out.ppm\n");
        EXPECT_EQ(read_file(dir.file("out.ppm")), "earlier");
        chmod(dir.path().c_str(), 0755);
    }
}

} // namespace
