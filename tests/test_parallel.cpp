// The parallel mode: one picture whatever the number of threads, the split
// into bands, or the machines that render them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support.h"

namespace
{

const std::string kGolden = std::string(RT_SOURCE_DIR) + "/tests/golden";
const std::string kScenes = std::string(RT_SOURCE_DIR) + "/scenes";

// Renders in folder `dir` (where the scene's mesh names resolve) and returns
// the picture, which is written to a temporary folder.
std::string render(const std::string &dir, std::vector<std::string> args, RunResult *run = nullptr)
{
    TempDir out;
    args.insert(args.begin(), {"-nosdl", "-o", out.file("pic.ppm")});
    RunResult r = run_rt(dir, args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    if (run != nullptr) {
        *run = r;
    }
    return read_file(out.file("pic.ppm"));
}

TEST(Parallel, SamePictureOnAnyNumberOfThreads)
{
    // The demo scene (every line kind, an emissive sphere, both meshes) and
    // a scene of emissive spheres and meshes lighting each other.
    struct Case {
        std::string dir, scene;
    } cases[] = {{kScenes, "demo.scene"}, {kGolden, "all_kinds.scene"}};
    for (const Case &c : cases) {
        std::vector<std::string> opts = {"-size", "48x40", "-rays", "4", c.scene};
        std::vector<std::string> one = opts, two = opts, seven = opts;
        one.insert(one.begin(), {"-threads", "1"});
        two.insert(two.begin(), {"-threads", "2"});
        seven.insert(seven.begin(), {"-threads", "7"});
        std::string pic = render(c.dir, one);
        ASSERT_EQ(pic.size(), std::string("P6\n48 40\n255\n").size() + 48 * 40 * 3);
        EXPECT_TRUE(render(c.dir, two) == pic) << c.scene;
        EXPECT_TRUE(render(c.dir, seven) == pic) << c.scene;
    }
}

// The parallel mode's own golden picture: its random streams are part of
// the behaviour too. tests/golden/all_kinds_parallel.ppm was written by
//   rt -nosdl -threads 2 -size 40x30 -rays 4 -gamma 2.2 all_kinds.scene
// in tests/golden; regenerate it only for a deliberate change of behaviour.
TEST(Parallel, GoldenRender)
{
    std::string pic =
        render(kGolden, {"-threads", "2", "-size", "40x30", "-rays", "4", "-gamma", "2.2", "all_kinds.scene"});
    EXPECT_GOLDEN(pic, kGolden + "/all_kinds_parallel.ppm");
}

TEST(Parallel, BandsStackIntoTheWholeFrame)
{
    RunResult run;
    std::string whole = render(kGolden, {"-threads", "2", "-size", "30x20", "all_kinds.scene"});
    std::string stacked = "P6\n30 20\n255\n";
    for (const char *band : {"0:7", "7:8", "8:20"}) {
        std::string part = render(kGolden, {"-threads", "2", "-rows", band, "-size", "30x20", "all_kinds.scene"}, &run);
        int rows = std::stoi(std::string(band).substr(std::string(band).find(':') + 1)) - std::stoi(band);
        std::string header = "P6\n30 " + std::to_string(rows) + "\n255\n";
        ASSERT_EQ(part.substr(0, header.size()), header);
        stacked += part.substr(header.size());
    }
    EXPECT_TRUE(stacked == whole);
    // The progress bar counts the band's rows.
    EXPECT_NE(run.out.find("] 8%\r"), std::string::npos);
    EXPECT_NE(run.out.find("] 100%\r\n"), std::string::npos);
}

TEST(Parallel, RefusedOptions)
{
    TempDir dir;
    write_file(dir.file("a.scene"), "c p(0 0 -5) t(0 0 0) fov(45)\n");
    struct Case {
        std::vector<std::string> args;
        std::string out, err;
    } cases[] = {
        {{"-threads"}, "", "-threads should be followed by the number of threads\n"},
        {{"-threads", "x"}, "", "-threads should be followed by the number of threads\n"},
        {{"-threads", "-2"}, "", "-threads should be followed by the number of threads\n"},
        {{"-threads", "2", "-rows", "5"}, "", "-rows should be followed by A:B, the first row and one past the last\n"},
        {{"-threads", "2", "-rows", "5:5"},
         "",
         "-rows should be followed by A:B, the first row and one past the last\n"},
        {{"-threads", "2", "-rows", "-1:5"},
         "",
         "-rows should be followed by A:B, the first row and one past the last\n"},
        {{"-threads", "2", "-rows", "1:2x"},
         "",
         "-rows should be followed by A:B, the first row and one past the last\n"},
        {{"-rows", "0:5"}, "", "-rows needs -threads: only the parallel mode renders part of a frame\n"},
        {{"-threads", "2", "-size", "8x8", "-rows", "4:9"}, "", "-rows 4:9 reaches past the frame's 8 rows\n"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = {"-nosdl", "a.scene"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunResult r = run_rt(dir.path(), args);
        EXPECT_EQ(r.out, c.out) << c.args.back();
        EXPECT_EQ(r.err, c.err) << c.args.back();
        EXPECT_EQ(r.status, 1) << c.args.back();
    }
}

TEST(Parallel, RenderFarmScriptReproducesTheFrame)
{
    if (system("command -v parallel >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "GNU parallel is not installed";
    }
    TempDir out;
    std::string whole = render(kGolden, {"-threads", "1", "-size", "24x18", "all_kinds.scene"});
    RunResult r =
        run_program(kGolden, "/bin/bash",
                    {std::string(RT_SOURCE_DIR) + "/scripts/render-farm", "-bands", "4", "-rt",
                     target_command(RT_BINARY), "-o", out.file("farm.ppm"), "-size", "24x18", "all_kinds.scene"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_file(out.file("farm.ppm")) == whole);
}

} // namespace
