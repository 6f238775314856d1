// Output files and the informational options, through the real binary.
#include <gtest/gtest.h>

#include <png.h>

#include <string>
#include <vector>

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

TEST(Output, PngHoldsThePpmPixels)
{
    TempDir dir;
    write_file(dir.file("a.scene"), kScene);
    RunResult ppm_run = run_rt(dir.path(), {"-nosdl", "-size", "23x17", "-gamma", "2.2", "a.scene"});
    ASSERT_EQ(ppm_run.status, 0);
    RunResult png_run = run_rt(dir.path(), {"-nosdl", "-o", "pic.PNG", "-size", "23x17", "-gamma", "2.2", "a.scene"});
    EXPECT_EQ(png_run.status, 0);
    EXPECT_EQ(png_run.err, "");

    int w = 0, h = 0;
    std::string rgb;
    ASSERT_TRUE(decode_png(dir.file("pic.PNG"), &w, &h, &rgb));
    EXPECT_EQ(w, 23);
    EXPECT_EQ(h, 17);
    EXPECT_TRUE(ppm(23, 17, rgb) == read_file(dir.file("out.ppm"))) << "PNG pixels differ from the PPM";

    // Any other name is a PPM.
    RunResult other = run_rt(dir.path(), {"-nosdl", "-o", "pic.img", "-size", "23x17", "-gamma", "2.2", "a.scene"});
    EXPECT_EQ(other.status, 0);
    EXPECT_TRUE(read_file(dir.file("pic.img")) == read_file(dir.file("out.ppm")));
}

TEST(Output, FailedWriteNamesTheFile)
{
    TempDir dir;
    write_file(dir.file("a.scene"), kScene);
    for (const char *name : {"no/such/dir/x.png", "no/such/dir/x.ppm"}) {
        RunResult r = run_rt(dir.path(), {"-nosdl", "-o", name, "-size", "4x4", "a.scene"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, std::string("failed to write image: ") + name + "\n");
    }
    RunResult r = run_rt(dir.path(), {"a.scene", "-o"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "-o should be followed by the output file name\n");
}

TEST(Output, HelpAndVersion)
{
    TempDir dir;
    RunResult help = run_rt(dir.path(), {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(help.out.rfind("usage: rt [options] scene-file...\n", 0), 0u);
    for (const char *option : {"-nosdl", "-size WxH", "-rays N", "-gamma G", "-o FILE", "--version"}) {
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    }

    RunResult version = run_rt(dir.path(), {"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("rt ") + RT_VERSION + "\n");

    // Single-dash spellings are still scene file names.
    RunResult help1 = run_rt(dir.path(), {"-help"});
    EXPECT_EQ(help1.err, "failed to load scene file: -help\n");
}

} // namespace
