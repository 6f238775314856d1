// The pictures: one scene of every line kind and material field, pinned to
// the byte in both modes (any change to an arithmetic step, a file reader or
// the order of random draws shows here); the parallel mode's promise; the
// render farm.
//
// The goldens were written by rt itself, in tests/golden:
//   rt -nosdl [-threads 2] -size 40x30 -rays 16 -gamma 2.2 every_kind.scene
#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfInputFile.h>
#include <gtest/gtest.h>

#include <cmath>
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

// An OpenEXR file as OpenEXR's own library reads it: its windows, the pixel
// type of its channels, and R, G, B as floats, rows top to bottom.
struct Exr {
    Imath::Box2i data, display;
    Imf::PixelType type = Imf::UINT;
    std::vector<float> rgb;
};

Exr read_exr(const std::string &path)
{
    Exr exr;
    Imf::InputFile file(path.c_str());
    exr.data = file.header().dataWindow();
    exr.display = file.header().displayWindow();
    int w = exr.data.max.x - exr.data.min.x + 1, h = exr.data.max.y - exr.data.min.y + 1;
    exr.rgb.resize(static_cast<size_t>(w) * h * 3);
    Imf::FrameBuffer frame;
    const char *const names[3] = {"R", "G", "B"};
    for (int k = 0; k < 3; k++) {
        const Imf::Channel *channel = file.header().channels().findChannel(names[k]);
        EXPECT_TRUE(channel != nullptr && (k == 0 || channel->type == exr.type)) << names[k];
        exr.type = channel != nullptr ? channel->type : exr.type;
        frame.insert(names[k], Imf::Slice::Make(Imf::FLOAT, &exr.rgb[k], exr.data, 3 * sizeof(float)));
    }
    file.setFrameBuffer(frame);
    file.readPixels(exr.data.min.y, exr.data.max.y);
    return exr;
}

// The PPM bytes of linear colours, gamma-corrected and packed as rt packs
// them, written out here on their own.
std::string packed(const std::vector<float> &rgb, int w, int h, double gamma)
{
    std::string bytes;
    for (float v : rgb) {
        double x = std::pow(static_cast<double>(v), 1.0 / gamma) * 255.0;
        bytes += static_cast<char>(!(x >= 0.0) ? 0 : x > 255.0 ? 255 : static_cast<int>(x));
    }
    return ppm(w, h, bytes);
}

// A PFM as a few lines of Python read it (little-endian floats, rows bottom
// to top), packed with the gamma into the PPM that rt would write.
const char *const kPfmToPpm = R"(
import math, struct, sys
magic, size, scale, data = open(sys.argv[1], 'rb').read().split(b'\n', 3)
w, h = map(int, size.split())
assert magic == b'PF' and float(scale) == -1.0 and len(data) == w * h * 12
v = struct.unpack('<%df' % (w * h * 3), data)
def byte(x):
    y = math.pow(x, 1 / float(sys.argv[2])) * 255.0 if x >= 0 else 0.0
    return 255 if y > 255 else int(y) if y >= 0 else 0
rows = [bytes(byte(x) for x in v[(h - 1 - y) * w * 3:(h - y) * w * 3]) for y in range(h)]
sys.stdout.buffer.write(b'P6\n%d %d\n255\n' % (w, h) + b''.join(rows))
)";

// The files of linear colours hold, in both modes, the colours that the
// 8-bit picture packs: packing them again gives its bytes, with 32-bit and
// with half floats. A band keeps its place in the frame; passes and their
// merge write the mean that their picture packs.
TEST(Pictures, LinearColoursPackIntoThePicture)
{
    TempDir dir;
    const std::string golden[2] = {read_file(kGoldenDir + "/every_kind.ppm"),
                                   read_file(kGoldenDir + "/every_kind_parallel.ppm")};
    for (int mode = 0; mode < 2; mode++) {
        std::vector<std::string> threads;
        if (mode == 1) {
            threads = {"-threads", "2"};
        }
        auto with = [&](std::vector<std::string> args) {
            args.insert(args.end(), threads.begin(), threads.end());
            return args;
        };
        render(with({"-o", dir.file("h.exr")}));
        render(with({"-o", dir.file("f.EXR"), "-exr-float"}));
        render(with({"-o", dir.file("p.pfm")}));
        Exr half = read_exr(dir.file("h.exr")), full = read_exr(dir.file("f.EXR"));
        EXPECT_EQ(half.type, Imf::HALF);
        EXPECT_EQ(full.type, Imf::FLOAT);
        EXPECT_TRUE(full.data == Imath::Box2i(Imath::V2i(0, 0), Imath::V2i(39, 29)) && half.data == full.data &&
                    half.display == full.data && full.display == full.data);
        EXPECT_TRUE(packed(full.rgb, 40, 30, 2.2) == golden[mode]) << "32-bit floats, mode " << mode;
        EXPECT_TRUE(packed(half.rgb, 40, 30, 2.2) == golden[mode]) << "half floats, mode " << mode;
        // A half is the 32-bit value within one unit in its last place.
        for (size_t i = 0; i < full.rgb.size(); i++) {
            int e = full.rgb[i] > 0.0f ? std::max(std::ilogb(full.rgb[i]), -14) : -14;
            ASSERT_LE(std::fabs(half.rgb[i] - full.rgb[i]), std::ldexp(1.0, e - 10)) << i;
        }
        RunResult py = run_program(dir.path(), "python3", {"-c", kPfmToPpm, "p.pfm", "2.2"});
        EXPECT_EQ(py.err, "");
        EXPECT_TRUE(py.out == golden[mode]) << "PFM, mode " << mode;
    }

    // A band: its rows, in its place in the frame.
    render({"-threads", "2", "-rows", "7:9", "-o", dir.file("band.exr"), "-exr-float"});
    Exr band = read_exr(dir.file("band.exr"));
    EXPECT_TRUE(band.data == Imath::Box2i(Imath::V2i(0, 7), Imath::V2i(39, 8)));
    EXPECT_TRUE(band.display == Imath::Box2i(Imath::V2i(0, 0), Imath::V2i(39, 29)));
    const size_t header = ppm(40, 30, "").size();
    EXPECT_TRUE(packed(band.rgb, 40, 2, 2.2) == ppm(40, 2, golden[1].substr(header + 7 * 40 * 3, 2 * 40 * 3)));

    // Three passes at once; two states merged; a run resumed from a state.
    const std::string three = render({"-threads", "2", "-passes", "3"});
    render({"-threads", "2", "-passes", "0:2", "-state", dir.file("a"), "-o", dir.file("a.pfm")});
    render({"-threads", "2", "-passes", "2:3", "-state", dir.file("b")});
    RunResult m = run_rt(dir.path(), {"-merge", "m", "a", "b", "-o", "m.exr", "-exr-float"});
    EXPECT_EQ(m.out + m.err, "passes merged: 3\n");
    EXPECT_TRUE(packed(read_exr(dir.file("m.exr")).rgb, 40, 30, 2.2) == three);
    render({"-threads", "2", "-passes", "3", "-state", dir.file("a"), "-o", dir.file("a.pfm")});
    RunResult py = run_program(dir.path(), "python3", {"-c", kPfmToPpm, "a.pfm", "2.2"});
    EXPECT_TRUE(py.out == three);
}

// A state saved by an earlier rt, which kept the number of rays asked for
// (2, of which 1 is cast), still continues, and merges with one of 1 ray: the
// key of the scene and its meshes, and the layout, are what they were.
TEST(Pictures, StatesOfEarlierRunsStillContinue)
{
    TempDir dir;
    const std::string old_state = dir.file("old.state");
    write_file(old_state, read_file(source_file("tests/golden/every_kind_rays2.state")));
    auto run = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"-nosdl", "-threads", "1", "-size", "8x6", "-gamma", "2.2", "-o", "/dev/null"});
        args.push_back("every_kind.scene");
        return run_rt(kGoldenDir, args);
    };
    RunResult cont = run({"-rays", "3", "-passes", "2", "-state", old_state});
    EXPECT_EQ(cont.status, 0) << cont.err;
    EXPECT_NE(cont.out.find("\npasses done: 2\n"), std::string::npos) << cont.out;
    run({"-rays", "1", "-passes", "2:3", "-state", dir.file("new.state")});
    RunResult merged = run_rt(dir.path(), {"-merge", "all", "old.state", "new.state"});
    EXPECT_EQ(merged.out + merged.err, "passes merged: 3\n");
    RunResult refused = run({"-rays", "4", "-passes", "3", "-state", old_state});
    EXPECT_EQ(refused.err, "cannot continue from state file " + old_state + ": saved for 1 rays per pixel\n");
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
