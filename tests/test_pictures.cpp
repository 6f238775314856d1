// The pictures: one scene of every line kind and material field, pinned to
// the byte in both modes (any change to an arithmetic step, a file reader or
// the order of random draws shows here); the parallel mode's promise; the
// render farm.
//
// The goldens were written by rt itself, in tests/golden:
//   rt -nosdl [-threads 2] -size 40x30 -rays 16 -gamma 2.2 every_kind.scene
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

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
    EXPECT_EQ(without_time(run.out), "rays: 16  ->  subdiv: 2\n" + passes_done(1) + "rendering completed in # msec\n");
}

// The parallel mode's promise: the same passes give the same bytes, whatever
// the number of threads, the bands, where a run was stopped and resumed, and
// the order in which passes rendered apart were merged.
TEST(Pictures, ParallelModeIsTheSameHoweverTheWorkIsSplit)
{
#ifdef RT_EMULATOR
    // How the work is split is the same logic on every machine, and the
    // slowest test through an emulator; scripts/cross-test compares the
    // passes' bytes with this machine's instead.
    GTEST_SKIP() << "the same on every machine; the cross test compares passes with the native build";
#endif
    const std::string golden = render({"-threads", "2"}); // pinned above, on one C library
    EXPECT_TRUE(render({"-threads", "1"}) == golden);
    EXPECT_TRUE(render({"-threads", "7", "-passes", "0:1"}) == golden);

    // Bands stacked in order are the frame.
    std::string stacked = "P6\n40 30\n255\n";
    for (const char *band : {"0:7", "7:8", "8:30"}) {
        std::string part = render({"-threads", "2", "-rows", band});
        int rows = std::stoi(std::string(band).substr(std::string(band).find(':') + 1)) - std::stoi(band);
        std::string header = "P6\n40 " + std::to_string(rows) + "\n255\n";
        ASSERT_EQ(part.substr(0, header.size()), header);
        stacked += part.substr(header.size());
    }
    EXPECT_TRUE(stacked == golden);

    // Four passes: at once on one thread; stopped after two and resumed on
    // three; one at a time, merged in two orders.
    TempDir dir;
    const std::string four = render({"-threads", "1", "-passes", "4"});
    EXPECT_FALSE(four == golden);
    render({"-threads", "3", "-passes", "2", "-state", dir.file("r")});
    EXPECT_TRUE(render({"-threads", "3", "-passes", "4", "-state", dir.file("r")}) == four);
    for (std::string p : {"0", "1", "2", "3"}) {
        render({"-threads", "2", "-passes", p + ":" + std::to_string(std::stoi(p) + 1), "-state", dir.file(p)});
    }
    RunResult m1 = run_rt(dir.path(), {"-merge", "m1", "2", "0", "3", "1", "-o", "m1.ppm"});
    RunResult m2 = run_rt(dir.path(), {"-merge", "m2", "1", "3", "0", "2", "-o", "m2.ppm"});
    EXPECT_EQ(m1.out + m1.err + m2.out + m2.err, "passes merged: 4\npasses merged: 4\n");
    EXPECT_TRUE(read_file(dir.file("m1.ppm")) == four);
    EXPECT_TRUE(read_file(dir.file("m2.ppm")) == four);
    EXPECT_TRUE(read_file(dir.file("m1")) == read_file(dir.file("r")));
    EXPECT_TRUE(read_file(dir.file("m2")) == read_file(dir.file("r")));
}

// The render farm script: names with blanks (scene, folder, program), and
// failures that leave nothing behind: a bad size, an rt that writes no band.
TEST(Pictures, RenderFarmStacksTheFrameOrLeavesNothing)
{
    if (system("command -v parallel >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "GNU parallel is not installed";
    }
#ifdef RT_EMULATOR
    GTEST_SKIP() << "GNU parallel runs the jobs' rt itself, which needs no emulator";
#endif
    TempDir dir;
    std::string setup = "mkdir 'a b' tmp && cp '" + kGoldenDir + "'/*.mesh 'a b' && cp '" + kGoldenDir +
                        "/every_kind.scene' 'a b/my scene' && cp '" RT_BINARY "' 'a b/r t' && printf '#!/bin/sh\\n' > "
                        "'a b/fake' && chmod +x 'a b/fake'";
    ASSERT_EQ(run_shell(dir.path(), setup).status, 0);
    const std::string farm = "'" + source_file("scripts/render-farm") + "' ";
    struct Case {
        std::string args, err;
        int status;
    } cases[] = {
        {"-bands 4 -rt './r t' -o 'o u t.ppm' -size 40x30 -rays 16 -gamma 2.2 'my scene'", "", 0},
        {"-passes 3 -rt './r t' -o 'p a.ppm' -size 40x30 -rays 16 -gamma 2.2 'my scene'", "", 0},
        {"-o x.ppm -size 64x 'my scene'", "render-farm: -size should be followed by WxH\n", 2},
        {"-rt ./fake -o x.ppm -size 8x8 'my scene'", "render-farm: band 0 is missing or not whole\n", 1},
    };
    for (const Case &c : cases) {
        RunResult r = run_shell(dir.path() + "/a b", "TMPDIR=../tmp " + farm + c.args);
        EXPECT_EQ(r.err, c.err) << c.args;
        EXPECT_EQ(r.status, c.status) << c.args;
    }
    EXPECT_TRUE(read_file(dir.file("a b/o u t.ppm")) == render({"-threads", "2"}));
    EXPECT_TRUE(read_file(dir.file("a b/p a.ppm")) == render({"-threads", "2", "-passes", "3"}));
    EXPECT_EQ(run_shell(dir.path() + "/a b", "ls -A . ../tmp").out,
              ".:\ncube.mesh\nfake\ngem.mesh\nmy scene\no u t.ppm\np a.ppm\nr t\n\n../tmp:\n");
}

} // namespace
