// The pictures themselves. One scene of every line kind and every material
// field, rendered by the real binary and pinned to the byte in both modes:
// any change to an arithmetic step, a file reader or the order of random
// draws shows here. Then the parallel mode's promise (any number of threads,
// any bands, any machines) and the flat walk against the accelerated one on
// the whole frame.
//
// The goldens were written by rt itself, in tests/golden:
//   rt -nosdl [-threads 2] -size 40x30 -rays 16 -gamma 2.2 every_kind.scene
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "image_file.h"
#include "rt.h"
#include "support.h"

namespace
{

const std::string kGoldenDir = source_file("tests/golden");
const std::vector<std::string> kOptions = {"-size", "40x30", "-rays", "16", "-gamma", "2.2", "every_kind.scene"};

// Renders the golden scene in its folder, where its mesh names resolve, with
// the options given before the usual ones; the picture goes elsewhere.
std::string render(std::vector<std::string> args, RunResult *run = nullptr)
{
    TempDir out;
    args.insert(args.begin(), {"-nosdl", "-o", out.file("pic.ppm")});
    args.insert(args.end(), kOptions.begin(), kOptions.end());
    RunResult r = run_rt(kGoldenDir, args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    if (run != nullptr) {
        *run = r;
    }
    return read_file(out.file("pic.ppm"));
}

TEST(Pictures, GoldenInBothModes)
{
    RunResult run;
    expect_golden(render({}, &run), "every_kind.ppm");
    EXPECT_EQ(without_time(run.out),
              "rays: 16  ->  subdiv: 2\n" + progress_bars(30) + "rendering completed in # msec\n");
    expect_golden(render({"-threads", "2"}, &run), "every_kind_parallel.ppm");
    EXPECT_EQ(without_time(run.out),
              "rays: 16  ->  subdiv: 2\n" + progress_bars(30) + "rendering completed in # msec\n");
}

TEST(Pictures, ParallelModeIsTheSameHoweverTheWorkIsSplit)
{
    const std::string golden = read_file(kGoldenDir + "/every_kind_parallel.ppm");
    EXPECT_TRUE(render({"-threads", "1"}) == golden);
    EXPECT_TRUE(render({"-threads", "7"}) == golden);

    // Bands stacked in order are the frame; each band's bar counts its rows.
    std::string stacked = "P6\n40 30\n255\n";
    for (const char *band : {"0:7", "7:8", "8:30"}) {
        RunResult run;
        std::string part = render({"-threads", "2", "-rows", band}, &run);
        int rows = std::stoi(std::string(band).substr(std::string(band).find(':') + 1)) - std::stoi(band);
        std::string header = "P6\n40 " + std::to_string(rows) + "\n255\n";
        ASSERT_EQ(part.substr(0, header.size()), header);
        stacked += part.substr(header.size());
        EXPECT_EQ(without_time(run.out),
                  "rays: 16  ->  subdiv: 2\n" + progress_bars(rows) + "rendering completed in # msec\n");
    }
    EXPECT_TRUE(stacked == golden);
}

// The render farm script: names with blanks (scene, folder, program), and
// failures that leave nothing behind: a bad size, an rt that writes no band.
TEST(Pictures, RenderFarmStacksTheFrameOrLeavesNothing)
{
    if (system("command -v parallel >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "GNU parallel is not installed";
    }
    TempDir dir;
    std::string setup = "mkdir 'a b' tmp && cp '" + kGoldenDir + "'/*.mesh 'a b' && cp '" + kGoldenDir +
                        "/every_kind.scene' 'a b/my scene' && cp \"$RT\" 'a b/r t' && printf '#!/bin/sh\\n' > "
                        "'a b/fake' && chmod +x 'a b/fake'";
    ASSERT_EQ(run_shell(dir.path(), setup).status, 0);
    const std::string farm = "'" + source_file("scripts/render-farm") + "' ";
    struct Case {
        std::string args, err;
        int status;
    } cases[] = {
        {"-bands 4 -rt './r t' -o 'o u t.ppm' -size 40x30 -rays 16 -gamma 2.2 'my scene'", "", 0},
        {"-o x.ppm -size 64x 'my scene'", "render-farm: -size should be followed by WxH\n", 2},
        {"-rt ./fake -o x.ppm -size 8x8 'my scene'", "render-farm: band 0 is missing or not whole\n", 1},
    };
    for (const Case &c : cases) {
        RunResult r = run_shell(dir.path() + "/a b", "TMPDIR=../tmp " + farm + c.args);
        EXPECT_EQ(r.err, c.err) << c.args;
        EXPECT_EQ(r.status, c.status) << c.args;
    }
    EXPECT_TRUE(read_file(dir.file("a b/o u t.ppm")) == read_file(kGoldenDir + "/every_kind_parallel.ppm"));
    EXPECT_EQ(run_shell(dir.path() + "/a b", "ls -A . ../tmp").out,
              ".:\ncube.mesh\nfake\ngem.mesh\nmy scene\no u t.ppm\nr t\n\n../tmp:\n");
}

// The program renders with the accelerated walk; the same frame with the
// flat walk (every object and every face asked in order) is the same bytes.
TEST(Pictures, FlatWalkRendersTheGolden)
{
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(kGoldenDir.c_str()), 0); // mesh names are relative to it
    scene.clear();
    bool loaded = scene.load("every_kind.scene");
    ASSERT_EQ(chdir(cwd), 0);
    ASSERT_TRUE(loaded);

    width = 40;
    height = 30;
    rays_ppxl = 16;
    pix_subdiv = calc_subdiv(rays_ppxl);
    inv_gamma = 1.0 / 2.2;
    scene.set_accelerated(false);
    std::vector<uint32_t> pixels(width * height);
    srand(1); // what an unseeded rand() starts from
    for (int y = 0; y < height; y++) {
        render_scanline(pixels.data(), y);
    }
    TempDir out;
    ASSERT_TRUE(write_ppm(out.file("flat.ppm").c_str(), pixels.data(), width, height));
    EXPECT_TRUE(read_file(out.file("flat.ppm")) == read_file(kGoldenDir + "/every_kind.ppm"));
    scene.clear();
}

} // namespace
