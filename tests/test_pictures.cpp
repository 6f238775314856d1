// The pictures: one scene of every line kind and material field, pinned to
// the byte in both modes (any change to an arithmetic step, a file reader or
// the order of random draws shows here); the parallel mode's promise; the
// render farm.
//
// The goldens were written by rt itself, in tests/golden:
//   rt -nosdl [-threads 2 [-sampler hash]] -size 40x30 -rays 16 -gamma 2.2 every_kind.scene
// (every_kind.ppm, every_kind_sobol.ppm, every_kind_parallel.ppm; textured.scene alike).
#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfInputFile.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "parallel/noise_rounds.h"
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
    expect_golden(render({"-threads", "2"}, &run), "every_kind_sobol.ppm");
    EXPECT_EQ(without_time(run.out), "rays: 16  ->  subdiv: 2\n" + passes_done(1) + "rendering completed in # msec\n");
    // The hash streams, as the parallel mode drew before it had a choice.
    expect_golden(render({"-threads", "2", "-sampler", "hash"}), "every_kind_parallel.ppm");
}

// Textured meshes, pinned to the byte in both modes: quads and triangles
// coloured, and a triangle made to glow, by an image that repeats across
// the floor, beside an untextured sphere. Written by rt itself, as above,
// from textured.scene.
TEST(Pictures, TexturedGoldenInBothModes)
{
    for (const char *threads : {"", "2"}) {
        TempDir out;
        std::vector<std::string> args = {"-nosdl", "-o",  out.file("pic.ppm"), "-size", "40x30", "-rays", "16",
                                         "-gamma", "2.2", "textured.scene"};
        if (*threads != 0) {
            // Textures are looked up alike whatever the sampler.
            args.insert(args.begin(), {"-threads", threads, "-sampler", "hash"});
        }
        RunResult r = run_rt(kGoldenDir, args);
        EXPECT_EQ(r.err, "");
        expect_golden(read_file(out.file("pic.ppm")), *threads ? "textured_parallel.ppm" : "textured.ppm");
    }
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
    EXPECT_TRUE(render({"-threads", "1", "-passes", "3", "-state", dir.file("r")}) == four); // nothing left to do
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

    // -plan: the passes a run would render, in ranges, and nothing rendered.
    run_rt(dir.path(), {"-merge", "m13", "1", "3"});
    std::vector<std::string> plan = {"-nosdl", "-threads", "1", "-plan", "-o", dir.file("none.ppm")};
    plan.insert(plan.end(), kOptions.begin(), kOptions.end());
    struct {
        std::vector<std::string> args;
        std::string out;
    } plans[] = {
        {{"-passes", "6", "-state", dir.file("m13")},
         "passes held: 2\npasses to render: 0:1 2:3 4:6\nsampler: sobol\n"},
        {{"-passes", "2:7", "-state", dir.file("r")}, "passes held: 4\npasses to render: 4:7\nsampler: sobol\n"},
        {{"-passes", "3", "-state", dir.file("r")}, "passes held: 4\npasses to render: none\nsampler: sobol\n"},
        {{"-passes", "3", "-state", dir.file("new")}, "passes held: 0\npasses to render: 0:3\nsampler: sobol\n"},
    };
    for (auto &c : plans) {
        c.args.insert(c.args.begin(), plan.begin(), plan.end());
        RunResult r = run_rt(kGoldenDir, c.args);
        EXPECT_EQ(r.out + r.err, "rays: 16  ->  subdiv: 2\n" + c.out);
    }
    // A merge into a state keeps the passes it holds, also through a link.
    ASSERT_EQ(symlink("m13", dir.file("to13").c_str()), 0);
    m1 = run_rt(dir.path(), {"-merge", "to13", "0"});
    m2 = run_rt(dir.path(), {"-merge", "m13", "2"});
    EXPECT_EQ(m1.out + m1.err + m2.out + m2.err, "passes merged: 3\npasses merged: 4\n");
    EXPECT_TRUE(read_file(dir.file("m13")) == read_file(dir.file("r")));
    plan.insert(plan.end(), {"-size", "40x31", "-state", dir.file("r")});
    RunResult other = run_rt(kGoldenDir, plan);
    EXPECT_EQ(other.err, "cannot continue from state file " + dir.file("r") + ": saved for a 40x30 frame\n");
    EXPECT_EQ(other.status, 1);
    EXPECT_EQ(run_shell(dir.path(), "ls").out, "0\n1\n2\n3\nm1\nm1.ppm\nm13\nm2\nm2.ppm\nr\nto13\n");
}

// A noise target's promise: rounds of passes, their pixels chosen from the
// passes before them, give the same bytes on any number of threads, stopped
// and resumed, and with a round's passes rendered apart (each taking the
// rounds of the state so far) and merged; a pass of the hash streams too.
TEST(Pictures, NoiseTargetIsTheSameHoweverTheWorkIsSplit)
{
    TempDir dir;
    // A small frame, whose error falls to the target in 16 passes.
    const std::vector<std::string> options = {"-size",  "16x12", "-rays",           "16", "-gamma", "2.2",
                                              "-noise", "0.012", "every_kind.scene"};
    auto render_to_noise = [&](std::vector<std::string> args, RunResult *run = nullptr) {
        args.insert(args.begin(), {"-nosdl", "-o", dir.file("pic.ppm")});
        args.insert(args.end(), options.begin(), options.end());
        RunResult r = run_rt(kGoldenDir, args);
        EXPECT_EQ(r.status, 0) << r.err;
        if (run != nullptr) {
            *run = r;
        }
        return read_file(dir.file("pic.ppm"));
    };
    RunResult whole;
    const std::string one = render_to_noise({"-threads", "2"}, &whole);
    EXPECT_NE(whole.out.find(" rendering: pass 2   9%  noise 3.92%  "), std::string::npos) << whole.out;
    EXPECT_NE(whole.out.find("\npasses done: 16\nnoise: 1.16%\nrendering completed"), std::string::npos) << whole.out;
    EXPECT_TRUE(render_to_noise({"-threads", "1"}) == one);
    render_to_noise({"-threads", "3", "-passes", "9", "-state", dir.file("r")});
    EXPECT_TRUE(render_to_noise({"-threads", "2", "-state", dir.file("r")}) == one);

    // Passes 0 to 9; then the two passes of the next round, each by a run of
    // its own, merged; then the rest.
    render_to_noise({"-threads", "2", "-passes", "10", "-state", dir.file("base")});
    std::vector<std::string> plan = {"-nosdl", "-threads",       "1",  "-plan",
                                     "-state", dir.file("base"), "-o", dir.file("none.ppm")};
    plan.insert(plan.end(), options.begin(), options.end());
    RunResult planned = run_rt(kGoldenDir, plan);
    EXPECT_EQ(planned.out + planned.err, "rays: 16  ->  subdiv: 2\npasses held: 10\npasses to render: 10:12\n"
                                         "sampler: sobol\nnoise: 1.63%\n");
    for (const char *p : {"10", "11"}) {
        render_to_noise({"-threads", "2", "-passes", std::string(p) + ":" + std::to_string(std::stoi(p) + 1),
                         "-rounds-of", dir.file("base"), "-state", dir.file(p)});
    }
    RunResult merged = run_rt(dir.path(), {"-merge", "m", "11", "base", "10"});
    EXPECT_EQ(merged.out + merged.err, "passes merged: 12\n");
    EXPECT_TRUE(render_to_noise({"-threads", "2", "-state", dir.file("m")}) == one);
    EXPECT_TRUE(read_file(dir.file("m")) == read_file(dir.file("r")));

    // The hash streams' noise is their own.
    EXPECT_FALSE(render_to_noise({"-threads", "2", "-sampler", "hash"}) == one);
}

// The rounds of a noise target: their passes, the error estimated from the
// halves of a pixel's passes, and the pixels each round leaves out.
TEST(Pictures, NoiseRoundsChooseFromThePassesBefore)
{
    const int begins[][2] = {{0, 0}, {1, 2}, {4, 8}, {16, 32}, {17, 36}, {20, 48}, {21, 54}};
    for (const auto &b : begins) {
        EXPECT_EQ(NoiseRounds::round_begin(b[0]), b[1]);
        EXPECT_EQ(NoiseRounds::round_of(b[1]), b[0]);
        EXPECT_EQ(NoiseRounds::round_of(b[1] + 1), b[0]);
    }
    // A row of 8 pixels: pixel 7's passes alternate between 0.25 and 0.75
    // (its halves' means), every other pixel's are 0.5.
    const size_t pixels = 8;
    PassSum sum(pixels);
    NoiseRounds rounds(pixels);
    auto add = [&](int pass) {
        std::vector<Color> colours(pixels);
        for (size_t i = 0; i < pixels; i++) {
            double c = i < 7 ? 0.5 : pass % 2 ? 0.75 : 0.25;
            colours[i] = rounds.renders(i, pass) ? Color(c, c, c) : Color(); // as the renderer leaves them
        }
        NewPass p{pass, colours};
        rounds.add(p);
        sum.add(p);
        rounds.count(sum.passes());
    };
    // Every pixel is in the rounds before pass 8.
    for (int pass = 0; pass < 7; pass++) {
        add(pass);
        EXPECT_EQ(rounds.choose_next(sum, 8, 0.1), pass % 2 ? NoiseRounds::NEXT_CHOSEN : NoiseRounds::WAITING);
    }
    EXPECT_EQ(rounds.chosen(), 4);
    add(7);
    // Pixel 7's halves differ by 0.5 in each channel: for 4 passes each,
    // 0.5^2 / (1/4 + 1/4) estimates the variance of one pass, over 8 that of
    // their mean; the picture's squares are 3 0.5^2 8.
    const double variance = 3 * 0.25 / 0.5 / 8;
    EXPECT_DOUBLE_EQ(rounds.error(sum), std::sqrt(variance / 6.0));
    EXPECT_EQ(rounds.choose_next(sum, 8, 0.1), NoiseRounds::NEXT_CHOSEN);
    const uint32_t chosen[pixels] = {4, 4, 4, 4, 4, 4, 5, 5}; // pixel 6 for its neighbour's sake
    EXPECT_TRUE(std::equal(rounds.rounds.begin(), rounds.rounds.end(), chosen));
    EXPECT_EQ(rounds.choose_next(sum, 8, 1.0), NoiseRounds::WAITING); // a round is chosen once
    add(8);
    add(9);
    EXPECT_EQ(rounds.passes_of(0), 8);
    EXPECT_EQ(rounds.passes_of(7), 10);
    EXPECT_EQ(rounds.odd_passes_of(7), 5);
    expect_same(rounds.mean(sum, 0), Color(0.5, 0.5, 0.5));
    expect_same(rounds.mean(sum, 7), Color(0.5, 0.5, 0.5));
    EXPECT_EQ(rounds.choose_next(sum, 8, 0.18), NoiseRounds::FINISHED); // the picture's error is under the target
    EXPECT_DOUBLE_EQ(rounds.error(sum), std::sqrt(3 * 0.25 / 0.4 / 10 / 6.0));
    // A state file takes the odd passes' sums a run of pixels at a time.
    std::vector<uint64_t> all(3 * pixels), tail(3 * 3);
    rounds.words_after(nullptr, 0, pixels, all.data());
    rounds.words_after(nullptr, 5, 3, tail.data());
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), all.begin() + 15));

    // A state that left other pixels out of a round both chose.
    NoiseRounds other(pixels);
    other.chosen_rounds = 5;
    other.rounds.assign(pixels, 5);
    std::string why;
    EXPECT_FALSE(rounds.merge(other, &why));
    EXPECT_EQ(why, "other pixels in round 4");
    other.rounds = rounds.rounds;
    other.rounds[0] = 4;
    EXPECT_TRUE(rounds.merge(other, &why)) << why;

    // In a frame of 4 x 3 the neighbours of a noisy pixel at the start of
    // the middle row are those of its own column and the next, not the ends
    // of the rows above and below it.
    const size_t frame = 12;
    PassSum frame_sum(frame);
    NoiseRounds frame_rounds(frame);
    for (int pass = 0; pass < 8; pass++) {
        std::vector<Color> colours(frame, Color(0.5, 0.5, 0.5));
        colours[4] = pass % 2 ? Color(0.75, 0.75, 0.75) : Color(0.25, 0.25, 0.25);
        NewPass p{pass, colours};
        frame_rounds.add(p);
        frame_sum.add(p);
        frame_rounds.count(frame_sum.passes());
        frame_rounds.choose_next(frame_sum, 4, 0.1);
    }
    const uint32_t in_frame[frame] = {5, 5, 4, 4, 5, 5, 4, 4, 5, 5, 4, 4};
    EXPECT_TRUE(std::equal(frame_rounds.rounds.begin(), frame_rounds.rounds.end(), in_frame));
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
                                   read_file(kGoldenDir + "/every_kind_sobol.ppm")};
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
// (2, of which 1 is cast), still continues, with the hash streams it was
// rendered with, and merges with one that names them: the key of the scene
// and its meshes, and the layout, are what they were, and the passes too.
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
    run({"-rays", "1", "-passes", "2:3", "-state", dir.file("sobol.state")});
    run({"-rays", "2", "-passes", "2:3", "-sampler", "hash", "-state", dir.file("new.state")});
    RunResult unlike = run_rt(dir.path(), {"-merge", "all", "old.state", "sobol.state"});
    EXPECT_EQ(unlike.err, "cannot merge state file sobol.state: saved for the sobol sampler, unlike old.state\n");
    RunResult merged = run_rt(dir.path(), {"-merge", "all", "old.state", "new.state"});
    EXPECT_EQ(merged.out + merged.err, "passes merged: 3\n");
    // The three passes as one run of the hash streams renders them.
    RunResult whole = run({"-rays", "2", "-passes", "3", "-sampler", "hash", "-state", dir.file("whole.state")});
    EXPECT_EQ(whole.status, 0) << whole.err;
    EXPECT_TRUE(read_file(dir.file("all")) == read_file(dir.file("whole.state")));
    RunResult refused = run({"-rays", "4", "-passes", "3", "-state", old_state});
    EXPECT_EQ(refused.err, "cannot continue from state file " + old_state + ": saved for 1 rays per pixel\n");
    refused = run({"-rays", "1", "-passes", "3", "-sampler", "sobol", "-state", old_state});
    EXPECT_EQ(refused.err, "cannot continue from state file " + old_state + ": saved for the hash sampler\n");
}

// The render farm script, here and over ssh (a stand-in for ssh that runs
// the command in a home folder of its own) with this machine among the
// hosts: every name is data to it, also one with GNU parallel's replacement
// strings, quotes, a newline or a leading dash; the passes a state holds are
// not rendered again, a state of another frame is refused before any job; a
// failed job and a signal keep the passes done, and a reader that goes away
// costs only the progress lines; while it runs the state is held (rt and a
// second run are refused, naming the holder); passes that cannot be merged
// wait for the next run; bands are written through a link, keeping its
// target's permissions; nothing is left behind. Where a job fails, GNU
// parallel runs one job at a time (PARALLEL=-j1), so that the jobs done
// before are known.
TEST(Pictures, RenderFarmTakesNamesAsDataAndKeepsThePassesDone)
{
    if (system("command -v parallel >/dev/null 2>&1 && command -v rsync >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "GNU parallel or rsync is not installed";
    }
#ifdef RT_EMULATOR
    GTEST_SKIP() << "GNU parallel runs the jobs' rt itself, which needs no emulator";
#endif
#ifdef RT_SANITIZED
    GTEST_SKIP() << "the script's test runs in the plain build";
#endif
    TempDir dir;
    const std::string folder = dir.file("a b"), scene = "{=system(\"touch PWNED\")=} x{1} 'q\".scene",
                      far = "-n {2}\nx.scene";
    // A rival: rt, and the script again, on the state of the run under way.
    std::string fake = "#!/bin/sh\n"
                       "rival() {\n"
                       "  shift 9\n"
                       "  '" RT_BINARY "' -nosdl -threads 1 -passes 9 -state 's t.state' -o x.ppm \"$@\"\n"
                       "  '" +
                       source_file("scripts/render-farm") +
                       "' -passes 9 -state 's t.state' -o x.ppm \"$@\"\n"
                       "}\n"
                       "for a; do [ \"$a\" != \"$AT\" ] || case $DO in\n"
                       "  fail) echo \"no pass $a here\" >&2; exit 3 ;;\n"
                       "  stop) kill -TERM \"$FARM\"; sleep 30 ;;\n"
                       "  quiet) exit 0 ;;\n"
                       "  rival) rival \"$@\" > rival.txt 2>&1 ;;\n"
                       "esac; done\n"
                       "exec '" RT_BINARY "' \"$@\"\n";
    std::string ssh = "#!/bin/sh\n"
                      "while [ $# -gt 0 ]; do case $1 in -[lpoiFSEcmbeO]) shift 2 ;; -*) shift ;; *) shift; break ;; "
                      "esac; done\n"
                      "[ \"$1\" != -- ] || shift\n"
                      "PATH=$HOME/bin:$PATH\n"
                      "cd \"$HOME\" && exec /bin/sh -c \"$*\"\n";
    ASSERT_EQ(run_shell(dir.path(), "mkdir 'a b' 'a b/bin' 'a b/pics' 'tmp {=1=}' home home/bin && cp '" + kGoldenDir +
                                        "'/*.mesh 'a b' && cp '" RT_BINARY "' 'a b/r t' && ln -s '" RT_BINARY
                                        "' home/bin/rt && printf '1/host\\n1/:\\n' > 'a b/hosts' && cd 'a b' && "
                                        "echo old > 'pics/o u t.ppm' && chmod 600 'pics/o u t.ppm' && "
                                        "ln -s 'pics/o u t.ppm' 'o u t.ppm'")
                  .status,
              0);
    std::string golden_scene = read_file(kGoldenDir + "/every_kind.scene");
    write_file(folder + "/" + scene, golden_scene);
    std::string moved = golden_scene;
    moved.replace(moved.find("m gem.mesh"), 10, "m {1}gem.mesh");
    // A textured mesh too, whose image the hosts need as well.
    moved += "m textured_floor.mesh pos(0 0 -1) rot(0 0 1 0) scale(1 1 1) kd(0.5 0.4 0.3) ks(0 0 0) s(1) kr(0) "
             "ke(0 0 0) kd_map({1}tint.png)\n";
    write_file(folder + "/" + far, moved);
    write_file(folder + "/{1}gem.mesh", read_file(kGoldenDir + "/gem.mesh"));
    write_file(folder + "/{1}tint.png", read_file(kGoldenDir + "/tint.png"));
    write_file(folder + "/fake", fake);
    write_file(folder + "/bin/ssh", ssh);
    ASSERT_EQ(run_shell(folder, "chmod +x fake bin/ssh").status, 0);

    auto quoted = [](const std::string &word) {
        std::string q = "'";
        for (char c : word) {
            q += c == '\'' ? std::string("'\\''") : std::string(1, c);
        }
        return q + "'";
    };
    const std::string farm = "exec '" + source_file("scripts/render-farm") + "' ",
                      opts = " -size 40x30 -rays 16 -gamma 2.2 " + quoted(scene),
                      // A run without SHELL, as under env -i or some CI runners.
        remote = "SHELL= PATH=\"$PWD/bin:$PATH\" HOME=\"${PWD%/*}/home\" ";
    struct Case {
        std::string env, args, out, err;
        int status;
    } cases[] = {
        {"", "-bands 4 -rt './r t' -o 'o u t.ppm'" + opts,
         "band 1 of 4 done, #:## left\nband 2 of 4 done, #:## left\nband 3 of 4 done, #:## left\n"
         "band 4 of 4 done, #:## left\n",
         "", 0},
        {"", "-passes 2 -state 's t.state' -o 'p a.ppm'" + opts,
         "pass 1 of 2 done, #:## left\npass 2 of 2 done, #:## left\npasses merged: 2\n", "", 0},
        {"", "-passes 4 -state 's t.state' -o 'p a.ppm'" + opts,
         "pass 3 of 4 done, #:## left\npass 4 of 4 done, #:## left\npasses merged: 4\n", "", 0},
        {"", "-passes 2 -o 'h d.ppm'" + opts + " | head -n 1", "pass 1 of 2 done, #:## left\n", "", 0},
        {"", "-passes 6 -state 's t.state' -o x.ppm" + opts + " -size 40x31", "",
         "cannot continue from state file s t.state: saved for a 40x30 frame\n", 1},
        {"PARALLEL=-j1 AT=5:6 DO=fail ", "-rt ./fake -passes 8 -state 's t.state' -o x.ppm" + opts,
         "pass 5 of 8 done, #:## left\n",
         "render-farm: a job failed (status 3); s t.state keeps the passes done, 5 in all\n", 1},
        {"PARALLEL=-j1 AT=6:7 DO=stop FARM=$$ ", "-rt ./fake -passes 8 -state 's t.state' -o 's i g.ppm'" + opts,
         "pass 6 of 8 done, #:## left\n", "", 143},
        {"AT=0:2 DO=quiet ", "-rt ./fake -bands 4 -o x.ppm -size 8x8 " + quoted(scene),
         "band 1 of 4 done, #:## left\nband 2 of 4 done, #:## left\nband 3 of 4 done, #:## left\n"
         "band 4 of 4 done, #:## left\n",
         "render-farm: band 0 is missing or not whole\n", 1},
        {"AT=-plan DO=quiet ", "-rt ./fake -o x.ppm" + opts, "",
         "render-farm: ./fake gave no plan of the passes (is it an rt that knows -plan?)\n", 1},
        {"", "-o x.ppm -size 64x" + opts, "", "render-farm: -size should be followed by WxH\n", 2},
        {"", "-passes 3:3" + opts, "",
         "render-farm: -passes should be followed by a number of passes, or A:B, the first pass and one past the "
         "last\n",
         2},
        {"", "-bands 2 -o pics" + opts, "", "failed to write image: pics: Is a directory\n", 1},
        {"", "-bands 2 -o x.PNG" + opts, "",
         "render-farm: bands are stacked into a PPM: name the picture otherwise, or render -passes\n", 2},
        {"", "-state s -bands 2" + opts, "", "render-farm: -state goes with -passes\n", 2},
        {"", "-passes 9 -state 's t.state' -o './s t.state'" + opts, "",
         "render-farm: the picture ./s t.state would replace the state\n", 2},
        {"PARALLEL=-j1 AT=6:7 DO=rival ", "-rt ./fake -passes 7 -state 's t.state' -o 'n i n e.ppm'" + opts,
         "pass 7 of 7 done, #:## left\npasses merged: 7\n", "", 0},
        {"AT=-merge DO=fail ", "-rt ./fake -passes 8 -state 's t.state' -o 'n i n e.ppm'" + opts,
         "pass 8 of 8 done, #:## left\n",
         "render-farm: the passes could not be merged; .s t.state.passes keeps them for the next run\n", 1},
        {"", "-passes 9 -state 's t.state' -o 'n i n e.ppm'" + opts, "pass 9 of 9 done, #:## left\npasses merged: 9\n",
         "", 0},
        {"", "-bands 2 -threads 2" + opts, "", "render-farm sets -threads itself\n", 2},
        {"", "-passes 2 -noise .01" + opts, "",
         "render-farm does not render the rounds of -noise: rt -noise renders them on one machine\n", 2},
        {remote, "--sshloginfile hosts -passes 2 -o 's p.ppm' -size 40x30 -rays 16 " + quoted(far),
         "pass 1 of 2 done, #:## left\npass 2 of 2 done, #:## left\npasses merged: 2\n", "", 0},
        // A state of the hash streams goes on with them, named or not.
        {"", "-passes 1 -state h.state -o h.ppm -sampler hash" + opts,
         "pass 1 of 1 done, #:## left\npasses merged: 1\n", "", 0},
        {"", "-passes 2 -state h.state -o h.ppm" + opts, "pass 2 of 2 done, #:## left\npasses merged: 2\n", "", 0},
    };
    for (const Case &c : cases) {
        RunResult r = run_shell(folder, "export TMPDIR='../tmp {=1=}' " + c.env + "; " + farm + c.args);
        EXPECT_EQ(without_time(r.out), c.out) << c.args;
        // GNU parallel names the failed job, with the work folder's name in it.
        EXPECT_EQ(r.err.substr(r.err.find("render-farm") == std::string::npos ? 0 : r.err.rfind("\nrender-farm") + 1),
                  c.err)
            << c.args;
        EXPECT_EQ(r.status, c.status) << c.args;
    }
    EXPECT_TRUE(read_file(folder + "/o u t.ppm") == render({"-threads", "2"}));
    EXPECT_EQ(run_shell(folder, "stat -c %A 'o u t.ppm' 'pics/o u t.ppm'").out, "lrwxrwxrwx\n-rw-------\n");
    EXPECT_EQ(std::regex_replace(read_file(folder + "/rival.txt"), std::regex("process [0-9]+"), "process N"),
              "rays: 16  ->  subdiv: 2\ncannot use state file s t.state: in use by process N\n"
              "cannot use state file s t.state: in use by process N\n");
    EXPECT_TRUE(read_file(folder + "/n i n e.ppm") == render({"-threads", "2", "-passes", "9"}));
    EXPECT_TRUE(read_file(folder + "/p a.ppm") == render({"-threads", "2", "-passes", "4"}));
    EXPECT_TRUE(read_file(folder + "/s i g.ppm") == render({"-threads", "2", "-passes", "6"}));
    EXPECT_TRUE(read_file(folder + "/h d.ppm") == render({"-threads", "2", "-passes", "2"}));
    EXPECT_TRUE(read_file(folder + "/h.ppm") == render({"-threads", "2", "-passes", "2", "-sampler", "hash"}));
    RunResult held = run_rt(folder, {"-nosdl", "-threads", "1", "-plan", "-passes", "8", "-state", "s t.state", "-o",
                                     "x.ppm", "-size", "40x30", "-rays", "16", "-gamma", "2.2", scene});
    EXPECT_EQ(held.out, "rays: 16  ->  subdiv: 2\npasses held: 9\npasses to render: none\nsampler: sobol\n");
    RunResult here = run_rt(
        folder, {"-nosdl", "-threads", "2", "-passes", "2", "-o", "here.ppm", "-size", "40x30", "-rays", "16", far});
    EXPECT_EQ(here.status, 0);
    EXPECT_TRUE(read_file(folder + "/s p.ppm") == read_file(folder + "/here.ppm"));
    EXPECT_EQ(run_shell(dir.path(), "rm 'a b/here.ppm'; ls -A 'a b' 'tmp {=1=}' home").out,
              "a b:\n" + far +
                  "\nbin\ncube.mesh\nfake\ngem.mesh\nh d.ppm\nh.ppm\nh.state\nhosts\nn i n e.ppm\no u t.ppm\n"
                  "p a.ppm\npics\nr t\nrival.txt\ns i g.ppm\ns p.ppm\ns t.state\ntextured_floor.mesh\n"
                  "textured_glow.mesh\n{1}gem.mesh\n{1}tint.png\n" +
                  scene + "\n\nhome:\n.parallel\nbin\n\ntmp {=1=}:\n");

    // --help prints the script's manual.
    for (const char *script : {"scripts/render-farm", "scripts/render-slurm"}) {
        RunResult help = run_program(folder, source_file(script), {"--help"});
        EXPECT_EQ(help.out.substr(0, 17) + "/" + help.err + "/" + std::to_string(help.status), "Renders one frame//0")
            << script;
    }
}

} // namespace
