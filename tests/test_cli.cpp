// The command line end to end: the real binary, its exact output and status.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "support.h"

namespace
{

const char *const kSphereScene = "c p(0 0 -5) t(0 0 0) fov(45)\n"
                                 "s c(0 0 0) r(1) kd(1 1 1) ks(0 0 0) s(1) kr(0) ke(0 0 0)\n"
                                 "l p(0 5 -5) c(1 1 1)\n";

// The progress bar of a window-less render, one bar per row.
std::string bars(int height)
{
    std::string all;
    for (int y = 0; y < height; y++) {
        int progr = static_cast<int>(100LL * (y + 1) / height);
        std::string bar;
        for (int i = 0; i < 100; i += 2) {
            bar += i < progr ? '=' : (i - progr > 1 ? ' ' : '>');
        }
        all += " rendering: [" + bar + "] " + std::to_string(progr) + "%\r";
    }
    return all + "\n";
}

// Splits off the completion line, checking its form.
std::string without_completion(const std::string &out)
{
    static const std::regex completion("rendering completed in [0-9]+ msec\n$");
    std::smatch m;
    if (!std::regex_search(out, m, completion)) {
        ADD_FAILURE() << "no completion line in: " << out;
        return out;
    }
    return out.substr(0, out.size() - m.length(0));
}

TEST(CommandLine, NoArguments)
{
    TempDir dir;
    RunResult r = run_rt(dir.path(), {});
    EXPECT_EQ(r.out, "rays: 4  ->  subdiv: 1\n");
    EXPECT_EQ(r.err, "must specify a scene file\n");
    EXPECT_EQ(r.status, 1);
}

TEST(CommandLine, RefusedOptions)
{
    const std::string size = "-size should be followed by WxH\n";
    const std::string rays = "-rays should be followed by the number of rays per pixel\n";
    const std::string gamma = "-gamma should be followrd by the desired output gamma\n";
    struct Case {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"-size"}, size},
        {{"-size", "640"}, size},
        {{"-size", "640x"}, size},
        {{"-size", "0x480"}, size},
        {{"-size", "640x-1"}, size},
        {{"-size", "16385x16385"}, size}, // over 268435456 pixels
        {{"-size", "4294967297x1"}, size},
        {{"-rays"}, rays},
        {{"-rays", "-4"}, rays},
        {{"-rays", "x"}, rays},
        {{"-rays", "0"}, rays},
        {{"-rays", "00"}, rays},
        {{"-rays", "0abc"}, rays},
        {{"-gamma"}, gamma},
        {{"-gamma", ".5"}, gamma},
        {{"-gamma", "0"}, gamma},
        {{"-gamma", "0.0e5"}, gamma},
        {{"-gamma", "1e999"}, gamma},
        {{"-fast"}, "failed to load scene file: -fast\n"},
        {{"missing.scene"}, "failed to load scene file: missing.scene\n"},
    };
    TempDir dir;
    write_file(dir.file("a.scene"), kSphereScene);
    for (const Case &c : cases) {
        // Refused before the ray report, and before any rendering.
        std::vector<std::string> args = {"-nosdl", "a.scene"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunResult r = run_rt(dir.path(), args);
        EXPECT_EQ(r.out, "") << c.args[0];
        EXPECT_EQ(r.err, c.err) << c.args[0];
        EXPECT_EQ(r.status, 1) << c.args[0];
        EXPECT_FALSE(file_exists(dir.file("out.ppm")));
    }
}

TEST(CommandLine, ScenesAndOptionsInAnyOrder)
{
    TempDir dir;
    write_file(dir.file("a.scene"), kSphereScene);

    // Options after the scene file still apply; -rays takes the leading
    // number and rounds down to a power of four.
    RunResult r = run_rt(dir.path(), {"a.scene", "-size", "3x2", "-rays", "16abc", "-nosdl", "-gamma", "2.2"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(without_completion(r.out), "rays: 16  ->  subdiv: 2\n" + bars(2));
    EXPECT_EQ(read_file(dir.file("out.ppm")).substr(0, 11), "P6\n3 2\n255\n");

    struct Case {
        const char *rays, *report;
    } cases[] = {{"1", "rays: 1  ->  subdiv: 0\n"},
                 {"3", "rays: 3  ->  subdiv: 0\n"},
                 {"64", "rays: 64  ->  subdiv: 3\n"},
                 {"99999999999", "rays: 2147483647  ->  subdiv: 15\n"}};
    for (const Case &c : cases) {
        RunResult rr = run_rt(dir.path(), {"-rays", c.rays});
        EXPECT_EQ(rr.out, c.report);
        EXPECT_EQ(rr.status, 1); // no scene file
    }
}

TEST(CommandLine, ProgressBarForEveryRow)
{
    TempDir dir;
    write_file(dir.file("empty.scene"), "c p(0 0 0) t(0 0 1) fov(45)\n");
    for (int h : {3, 512}) {
        RunResult r = run_rt(dir.path(), {"-nosdl", "-size", "1x" + std::to_string(h), "-rays", "1", "empty.scene"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(without_completion(r.out), "rays: 1  ->  subdiv: 0\n" + bars(h));
    }
    // Spelled out for three rows: the bar of a row is printed before it.
    EXPECT_NE(bars(3).find("[" + std::string(17, '=') + ">" + std::string(32, ' ') + "] 33%\r"), std::string::npos);
    EXPECT_NE(bars(3).find("[" + std::string(50, '=') + "] 100%\r\n"), std::string::npos);
    EXPECT_EQ(bars(512).substr(0, 13 + 50 + 5), " rendering: [>" + std::string(49, ' ') + "] 0%\r");
}

TEST(CommandLine, ImageOfAnEmptySceneIsBlack)
{
    TempDir dir;
    write_file(dir.file("empty.scene"), "# nothing at all\n");
    RunResult r = run_rt(dir.path(), {"-nosdl", "-size", "4x2", "empty.scene"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "no camera specified, using the default camera\n");
    EXPECT_EQ(read_file(dir.file("out.ppm")), ppm(4, 2, std::string(24, '\0')));
}

TEST(CommandLine, FailedWriteIsReportedAndKeepsTheEarlierImage)
{
    TempDir dir;
    write_file(dir.file("a.scene"), kSphereScene);
    const std::string expected_out_start = "rays: 4  ->  subdiv: 1\n" + bars(32);

    // out.ppm is a folder: nothing can replace it.
    ASSERT_EQ(mkdir(dir.file("out.ppm").c_str(), 0755), 0);
    RunResult r = run_rt(dir.path(), {"-nosdl", "-size", "32x32", "a.scene"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "failed to write image: out.ppm\n");
    EXPECT_EQ(without_completion(r.out), expected_out_start);
    ASSERT_EQ(rmdir(dir.file("out.ppm").c_str()), 0);

    // A file size limit stops the write halfway: the earlier out.ppm stays
    // whole and no temporary file is left behind.
    write_file(dir.file("out.ppm"), "earlier");
    r = run_program(dir.path(), "/bin/sh",
                    {"-c", std::string("ulimit -f 1; trap '' XFSZ; exec ") + target_command(RT_BINARY) +
                               " -nosdl -size 32x32 a.scene"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "failed to write image: out.ppm\n");
    EXPECT_EQ(read_file(dir.file("out.ppm")), "earlier");
    EXPECT_EQ(system(("test $(ls -A " + dir.path() + " | wc -l) -eq 2").c_str()), 0) << "temporary file left";

    // A folder without write permission (root writes anywhere: skipped then).
    if (geteuid() != 0) {
        ASSERT_EQ(chmod(dir.path().c_str(), 0555), 0);
        r = run_rt(dir.path(), {"-nosdl", "-size", "32x32", "a.scene"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "failed to write image: out.ppm\n");
        EXPECT_EQ(read_file(dir.file("out.ppm")), "earlier");
        chmod(dir.path().c_str(), 0755);
    }
}

} // namespace
