// The command line end to end: the real binary's exact standard output,
// standard error and exit status for every kind of argument.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include "support.h"

namespace
{

const char *const kScene = "c p(0 0 -5) t(0 0 0) fov(45)\n"
                           "s c(0 0 0) r(1) kd(1 1 1) ks(0 0 0) s(1) kr(0) ke(0 0 0)\n"
                           "l p(0 5 -5) c(1 1 1)\n";

const std::string kSize = "-size should be followed by WxH\n";
const std::string kRays = "-rays should be followed by the number of rays per pixel\n";
const std::string kGamma = "-gamma should be followrd by the desired output gamma\n";
const std::string kThreads = "-threads should be followed by the number of threads\n";
const std::string kRows = "-rows should be followed by A:B, the first row and one past the last\n";
const std::string kPasses =
    "-passes should be followed by a number of passes, or A:B, the first pass and one past the last\n";
const std::string kTime = "-time should be followed by a number of seconds\n";
const std::string kSampler = "-sampler should be followed by sobol or hash\n";
const std::string kNoise = "-noise should be followed by the relative error wanted, a number above 0\n";
const std::string kDone = "rendering completed in # msec\n";

std::string report(int rays, int subdiv)
{
    return "rays: " + std::to_string(rays) + "  ->  subdiv: " + std::to_string(subdiv) + "\n";
}

TEST(CommandLine, EveryKindOfArgument)
{
    struct Case {
        std::vector<std::string> args;
        std::string out, err;
        int status;
    } cases[] = {
        {{}, report(4, 1), "must specify a scene file\n", 1},
        {{"-rays", "1"}, report(1, 0), "must specify a scene file\n", 1},
        {{"-rays", "3"}, report(3, 0), "must specify a scene file\n", 1},
        {{"-rays", "64"}, report(64, 3), "must specify a scene file\n", 1},
        {{"-rays", "2147483647"}, report(2147483647, 15), "must specify a scene file\n", 1},
        {{"-rays", "2147483648"}, "", kRays, 1},
        // Options after the scene file apply; -rays takes the leading number.
        {{"a.scene", "-size", "3x2", "-rays", "16abc", "-nosdl", "-gamma", "2.2"},
         report(16, 2) + progress_bars(2) + kDone,
         "",
         0},
        // The bar of a row is printed before the row is rendered.
        {{"-nosdl", "-size", "1x3", "-rays", "1", "a.scene"}, report(1, 0) + progress_bars(3) + kDone, "", 0},
        {{"-nosdl", "-size", "1x512", "-rays", "1", "a.scene"}, report(1, 0) + progress_bars(512) + kDone, "", 0},
        {{"-nosdl", "-threads", "3", "-size", "2x9", "a.scene"}, report(4, 1) + passes_done(1) + kDone, "", 0},
        {{"-nosdl", "-threads", "2", "-rows", "7:8", "-passes", "3", "-size", "30x20", "a.scene"},
         report(4, 1) + passes_done(3) + kDone,
         "",
         0},
        // The time box ends the passes, but not before the first.
        {{"-nosdl", "-threads", "2", "-time", ".5", "-passes", "1", "-size", "2x2", "a.scene"},
         report(4, 1) + passes_done(1) + kDone,
         "",
         0},
        {{"-nosdl", "-threads", "2", "-time", "1e3", "-passes", "1", "-size", "2x2", "a.scene"},
         report(4, 1) + passes_done(1) + kDone,
         "",
         0},
        {{"-nosdl", "-threads", "2", "-time", "0", "-passes", "5", "-size", "2x2", "a.scene"},
         report(4, 1) + " rendering: pass 1/5  20%  #:## taken   #:## left\npasses done: 1\n" + kDone,
         "",
         0},
        // A resumed run counts its passes on from those the state holds.
        {{"-nosdl", "-threads", "2", "-passes", "1", "-state", "s", "-o", "s.ppm", "-size", "2x2", "a.scene"},
         report(4, 1) + passes_done(1) + kDone,
         "",
         0},
        {{"-nosdl", "-threads", "2", "-passes", "3", "-state", "s", "-o", "s.ppm", "-size", "2x2", "a.scene"},
         report(4, 1) + " rendering: pass 2/3  50%  #:## taken   #:## left\n" +
             " rendering: pass 3/3 100%  #:## taken   #:## left\npasses done: 3\n" + kDone,
         "",
         0},
        {{"-nosdl", "-size", "2x2", "empty.scene"},
         report(4, 1) + progress_bars(2) + kDone,
         "no camera specified, using the default camera\n",
         0},
        {{"--version"}, std::string("rt ") + RT_VERSION + "\n", "", 0},
        {{"-help"}, "", "failed to load scene file: -help\n", 1},
        {{"-fast", "a.scene"}, "", "failed to load scene file: -fast\n", 1},
        {{"missing.scene"}, "", "failed to load scene file: missing.scene\n", 1},
        {{"folder"}, "", "failed to load scene file: folder\n", 1},
        {{"a.scene", "-size"}, "", kSize, 1},
        {{"-size", "640x"}, "", kSize, 1},
        {{"-size", "0x480"}, "", kSize, 1},
        {{"-size", "16385x16385"}, "", kSize, 1}, // over 268435456 pixels
        {{"-size", "4294967297x1"}, "", kSize, 1},
        {{"-rays"}, "", kRays, 1},
        {{"-rays", "-4"}, "", kRays, 1},
        {{"-rays", "x"}, "", kRays, 1},
        {{"-rays", "0"}, "", kRays, 1},
        {{"-rays", "00"}, "", kRays, 1},
        {{"-gamma"}, "", kGamma, 1},
        {{"-gamma", ".5"}, "", kGamma, 1},
        {{"-gamma", "0"}, "", kGamma, 1},
        {{"-gamma", "1e999"}, "", kGamma, 1},
        {{"a.scene", "-o"}, "", "-o should be followed by the output file name\n", 1},
        {{"-o", ""}, "", "-o should be followed by the output file name\n", 1},
        {{"-threads"}, "", kThreads, 1},
        {{"-threads", "x"}, "", kThreads, 1},
        {{"-threads", "2", "-rows", "5"}, "", kRows, 1},
        {{"-threads", "2", "-rows", "5:5"}, "", kRows, 1},
        {{"-threads", "2", "-rows", "-1:5"}, "", kRows, 1},
        {{"-threads", "2", "-rows", "1:2x"}, "", kRows, 1},
        {{"-rows", "0:5", "a.scene"}, "", "-rows needs -threads: only the parallel mode renders part of a frame\n", 1},
        // The last row of the tallest frame.
        {{"-nosdl", "-threads", "1", "-size", "1x268435456", "-rows", "268435455:268435456", "-plan", "a.scene"},
         "rays: 4  ->  subdiv: 1\npasses held: 0\npasses to render: 0:1\nsampler: sobol\n",
         "",
         0},
        {{"-threads", "2", "-passes"}, "", kPasses, 1},
        {{"-threads", "2", "-passes", "0"}, "", kPasses, 1},
        {{"-threads", "2", "-passes", "3:3"}, "", kPasses, 1},
        {{"-threads", "2", "-passes", "5x"}, "", kPasses, 1},
        {{"-threads", "2", "-passes", "4194305"}, "", kPasses, 1},
        {{"-threads", "2", "-time", "x"}, "", kTime, 1},
        {{"-threads", "2", "-time", "5abc"}, "", kTime, 1},
        {{"-threads", "2", "-time", "0x1p3"}, "", kTime, 1},
        {{"-threads", "2", "-time", "."}, "", kTime, 1},
        {{"-threads", "2", "-time", "1e"}, "", kTime, 1},
        {{"-threads", "2", "-time", "1e999"}, "", kTime, 1},
        {{"-threads", "2", "-state"}, "", "-state should be followed by the state file name\n", 1},
        {{"-threads", "2", "-sampler"}, "", kSampler, 1},
        {{"-threads", "2", "-sampler", "Sobol"}, "", kSampler, 1},
        {{"-sampler", "hash", "a.scene"}, "", "-sampler needs -threads: the classic mode draws from rand()\n", 1},
        {{"-threads", "2", "-noise", "0"}, "", kNoise, 1},
        {{"-threads", "2", "-noise", "1%"}, "", kNoise, 1},
        {{"-threads", "2", "-noise"}, "", kNoise, 1},
        {{"-noise", ".01", "a.scene"}, "", "-noise needs -threads: only the parallel mode renders in passes\n", 1},
        {{"-threads", "2", "-noise", ".01", "-rows", "0:1", "a.scene"},
         "",
         "-noise needs the whole frame: the pixels of a round are chosen from all of them\n",
         1},
        {{"-threads", "2", "-state", "s", "-rounds-of", "t", "a.scene"},
         "",
         "-rounds-of needs -noise and -state: the passes of a round go into a state of their own\n",
         1},
        {{"-time", "1", "-passes", "2", "a.scene"},
         "",
         "-time needs -threads: only the parallel mode renders in passes\n",
         1},
        {{"-merge", "m"}, "", "-merge is followed by the merged state file and the state files to merge\n", 1},
        {{"-threads", "2", "-size", "8x8", "-rows", "4:9", "a.scene"},
         "",
         "-rows 4:9 reaches past the frame's 8 rows\n",
         1},
    };
    TempDir dir;
    write_file(dir.file("a.scene"), kScene);
    write_file(dir.file("empty.scene"), "# nothing at all\n");
    ASSERT_EQ(mkdir(dir.file("folder").c_str(), 0755), 0);
    for (const Case &c : cases) {
        std::string args;
        for (const std::string &a : c.args) {
            args += " " + a;
        }
        RunResult r = run_rt(dir.path(), c.args);
        EXPECT_EQ(without_time(r.out), c.out) << args;
        EXPECT_EQ(r.err, c.err) << args;
        EXPECT_EQ(r.status, c.status) << args;
    }
    // Only the runs that rendered wrote a picture; the empty scene is black.
    EXPECT_EQ(read_file(dir.file("out.ppm")), ppm(2, 2, std::string(12, '\0')));

    RunResult help = run_rt(dir.path(), {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(help.out.rfind("usage: rt [options] scene-file...\n", 0), 0u);
}

// On a terminal the parallel mode's progress is one line rewritten in place
// (a log file gets a line a pass instead, as the cases above show).
TEST(CommandLine, ParallelProgressOnATerminalIsOneLine)
{
    TempDir dir;
    write_file(dir.file("a.scene"), kScene);
    write_file(dir.file("rt.sh"), "exec " + shell_words(RT_BINARY) + " \"$@\"\n");
    RunResult r = run_shell(dir.path(), "command -v script >/dev/null || exit 77; script -qec 'sh rt.sh -nosdl "
                                        "-threads 2 -passes 2 -size 3x5 a.scene' /dev/null");
    if (r.status == 77) {
        GTEST_SKIP() << "no script(1) to run rt on a terminal";
    }
    // The terminal turns every newline into a carriage return and a newline.
    std::string out = std::regex_replace(r.out, std::regex("\r\n"), "\n");
    EXPECT_EQ(without_time(out), report(4, 1) + " rendering: [" + std::string(50, '=') +
                                     "] 100%  pass 2/2   #:## left\r\npasses done: 2\n" + kDone);
    EXPECT_EQ(r.status, 0);
}

// A reader of both streams sees each report before the message that follows
// it: standard output is flushed at every line.
TEST(CommandLine, ReportsComeBeforeLaterMessages)
{
    TempDir dir;
    write_file(dir.file("empty.scene"), "");
    RunResult r = run_shell(dir.path(), "\"$RT\" -rays 1 2>&1; \"$RT\" -nosdl -size 1x1 empty.scene 2>&1");
    EXPECT_EQ(without_time(r.out), report(1, 0) + "must specify a scene file\n" + report(4, 1) +
                                       "no camera specified, using the default camera\n" + progress_bars(1) + kDone);
}

// The time in the completion line is the time the render took.
TEST(CommandLine, CompletionLineTellsTheTime)
{
    TempDir dir;
    write_file(dir.file("a.scene"), kScene);
    auto t0 = std::chrono::steady_clock::now();
    RunResult r = run_rt(dir.path(), {"-nosdl", "-size", "128x128", "-rays", "16", "a.scene"});
    auto wall = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    size_t at = r.out.rfind("rendering completed in ");
    ASSERT_NE(at, std::string::npos);
    long reported = std::stol(r.out.substr(at + 23));
    EXPECT_GT(reported, 0); // 262,144 rays and their shading take longer than a millisecond
    EXPECT_LE(reported, wall);
}

// RT_ISA holds the walks to a vector path, which changes no byte of the
// picture (the demo scene's meshes, both modes); a value naming no path is
// refused before any scene is read, and nothing is written.
TEST(CommandLine, VectorPathNamedOrRefused)
{
    TempDir dir;
    for (const char *f : {"demo.scene", "cube.mesh", "gem.mesh"}) {
        write_file(dir.file(f), read_file(source_file(std::string("scenes/") + f)));
    }
    for (const char *mode : {"", "-threads 2"}) {
        std::string first;
        for (const char *isa : {"", "sse2", "avx2", "avx512"}) {
            RunResult r = run_shell(dir.path(), std::string("RT_ISA=") + isa + " \"$RT\" -nosdl -size 48x36 -rays 1 " +
                                                    mode + " demo.scene >/dev/null && cat out.ppm");
            EXPECT_EQ(r.status, 0) << isa << r.err;
            EXPECT_EQ(r.out.size(), 48u * 36 * 3 + 13) << isa;
            EXPECT_TRUE(first.empty() || r.out == first) << isa << " " << mode;
            first = r.out;
        }
    }
    ASSERT_EQ(unlink(dir.file("out.ppm").c_str()), 0);
    for (const char *isa : {"AVX2", "sse", "avx2 ", "scalar"}) {
        RunResult r = run_shell(dir.path(), std::string("RT_ISA='") + isa + "' \"$RT\" -nosdl demo.scene");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err,
                  std::string("RT_ISA should be sse2, avx2 or avx512 (or unset for the widest the processor has), "
                              "not \"") +
                      isa + "\"\n");
    }
    EXPECT_FALSE(file_exists(dir.file("out.ppm")));
}

// make install: the programs, their manual pages and the example scenes,
// from which the installed rt renders the demo.
TEST(CommandLine, InstalledProgramRendersTheInstalledDemo)
{
    TempDir prefix;
    RunResult r =
        run_shell(prefix.path(), std::string("'" RT_CMAKE_COMMAND "' --install '" RT_BUILD_DIR
                                             "' --prefix . >/dev/null && cd share/rt/scenes && ") +
                                     shell_words("../../../bin/rt") +
                                     " -nosdl -size 32x24 demo.scene "
                                     ">/dev/null && rm out.ppm && cd ../../.. && find . -type f | LC_ALL=C sort");
    std::string expected = "./bin/rt\n";
#ifdef RT_IMPORT_BINARY
    expected += "./bin/rt-import\n./share/man/man1/rt-import.1\n";
#endif
    expected += "./share/man/man1/rt.1\n";
    expected += "./share/rt/scenes/cube.mesh\n./share/rt/scenes/demo.scene\n./share/rt/scenes/gem.mesh\n";
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, expected);
}

} // namespace
