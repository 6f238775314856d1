// Hostile input and a hostile environment: every input with which fuzzing
// (scripts/fuzz) once made the loaders crash, leak or misbehave, and the
// fuzzers' seeds, replayed through the real binary (a window-less render of
// each must end normally with a whole picture; the sanitizer build runs these
// too and fails on any memory error or leak); too little memory, too few
// threads, signals and a reader that goes away.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "../fuzz/fuzz_meshes.h"
#include "support.h"
#include "tasks/task_runner.h"

// The sanitizers reserve far more address space than any limit the tests set.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define RT_UNDER_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define RT_UNDER_SANITIZER 1
#endif
#endif

namespace
{

// The saved inputs of one kind, sorted by name: the regressions, then the
// fuzzers' seed corpus, which holds valid and invalid files of every sort.
std::vector<std::string> saved_inputs(const std::string &kind)
{
    RunResult r = run_shell(RT_SOURCE_DIR, "for d in tests/fuzz-regressions fuzz/corpus; do ls -d \"$PWD/$d/" + kind +
                                               "\"/* 2>/dev/null | LC_ALL=C sort; done");
    std::vector<std::string> all;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) {
        all.push_back(line);
    }
    return all;
}

// Renders scene.scene in dir at 8 x 6, one ray a pixel, and checks what any
// scene file must give: status 0 (a sanitizer's report or a signal is
// anything but), the ray report first, and a whole out.ppm.
RunResult render_saved(const TempDir &dir, const std::string &what)
{
    RunResult r = run_rt(dir.path(), {"-nosdl", "-size", "8x6", "-rays", "1", "scene.scene"});
    EXPECT_EQ(r.status, 0) << what << "\n" << r.err;
    EXPECT_EQ(r.out.rfind("rays: 1  ->  subdiv: 0\n", 0), 0u) << what;
    std::string image = read_file(dir.file("out.ppm"));
    EXPECT_EQ(image.substr(0, 11) + std::to_string(image.size()), "P6\n8 6\n255\n" + std::to_string(11 + 8 * 6 * 3))
        << what;
    return r;
}

TEST(FuzzRegressions, SceneFiles)
{
    std::vector<std::string> inputs = saved_inputs("scene");
    ASSERT_FALSE(inputs.empty());
    TempDir dir;
    for (const FuzzMesh &m : kFuzzMeshes) {
        write_file(dir.file(m.name), m.text);
    }
    for (const std::string &input : inputs) {
        write_file(dir.file("scene.scene"), read_file(input));
        unlink(dir.file("out.ppm").c_str());
        render_saved(dir, input);
    }
}

TEST(FuzzRegressions, MeshFiles)
{
    std::vector<std::string> inputs = saved_inputs("mesh");
    ASSERT_FALSE(inputs.empty());
    TempDir dir;
    write_file(dir.file("scene.scene"), std::string("c p(0 0 -10) t(1 2 3) fov(60)\n") + kFuzzMeshLine);
    const std::string refused = std::string("error in line 2: \"") + kFuzzMeshLine + "\", ignoring.\n";
    for (const std::string &input : inputs) {
        write_file(dir.file("in.mesh"), read_file(input));
        unlink(dir.file("out.ppm").c_str());
        RunResult r = render_saved(dir, input);
        // Either the mesh is taken silently, or it is discarded whole and its
        // line reported last, after the reason.
        bool taken = r.err.empty();
        bool discarded =
            r.err.size() > refused.size() && r.err.compare(r.err.size() - refused.size(), refused.size(), refused) == 0;
        EXPECT_TRUE(taken || discarded) << input << "\n" << r.err;
    }
}

TEST(FuzzRegressions, ImageFiles)
{
    std::vector<std::string> inputs = saved_inputs("image");
    ASSERT_FALSE(inputs.empty());
    TempDir dir;
    write_file(dir.file("tx.mesh"), kFuzzMeshes[4].text);
    write_file(dir.file("scene.scene"), "c p(0.3 0.3 -2) t(0.3 0.3 0) fov(60)\nl p(0 0 -5) c(1 1 1)\n"
                                        "m tx.mesh pos(0 0 0) rot(0 0 1 0) scale(1 1 1) kd(0.5 0.5 0.5) ks(0 0 0) "
                                        "s(1) kr(0) ke(0.1 0.1 0.1) kd_map(in.img) ke_map(in.img)\n");
    for (const std::string &input : inputs) {
        write_file(dir.file("in.img"), read_file(input));
        unlink(dir.file("out.ppm").c_str());
        RunResult r = render_saved(dir, input);
        // Either the image is taken silently, or left out with its reason.
        EXPECT_TRUE(r.err.empty() || r.err.rfind("failed to read texture file: in.img: ", 0) == 0) << input << r.err;
    }
}

// Requests that are valid but need more memory, or threads, than there are:
// each ends with a message naming what could not be had, or carries on with
// what it got; never an uncaught exception, never a temporary left behind.
TEST(HostileInput, TooLittleMemoryOrTooFewThreads)
{
#ifdef RT_UNDER_SANITIZER
    GTEST_SKIP() << "a sanitizer cannot run under an address space limit";
#endif
#ifdef RT_EMULATOR
    GTEST_SKIP() << "the address space limit would fall on the emulator, not on rt";
#endif
    TempDir dir;
    write_file(dir.file("cam.scene"), "c p(0 0 -5) t(0 0 0) fov(45)\n");
    write_file(dir.file("flake.scene"), "f c(0 0 0) r(1) i(9) kd(1 1 1) ks(0 0 0) s(1) kr(0) ke(0 0 0)\n");
    struct Case {
        const char *args, *out, *err;
    } cases[] = {
        {"-size 16384x16384 cam.scene", "rays: 4  ->  subdiv: 1\n", "not enough memory for a 16384x16384 image\n"},
        // The image fits, the linear colours of a float map do not.
        {"-size 8192x8192 -o big.pfm cam.scene", "rays: 4  ->  subdiv: 1\n",
         "not enough memory for the colours of a 8192x8192 image\n"},
        {"cam.scene flake.scene", "", "not enough memory to load scene file: flake.scene\n"},
        // A PNG's row, taken before the first pixel: 805 MB.
        {"-size 268435456x1 -o wide.png cam.scene", "rays: 4  ->  subdiv: 1\n",
         "failed to write image: wide.png: not enough memory for a row of 268435456 pixels\n"},
    };
    for (const Case &c : cases) {
        RunResult r = run_shell(dir.path(), std::string("ulimit -v 400000; \"$RT\" -nosdl ") + c.args);
        EXPECT_EQ(r.status, 1) << c.args;
        EXPECT_EQ(r.out, c.out) << c.args;
        EXPECT_EQ(r.err, c.err) << c.args;
        EXPECT_EQ(run_shell(dir.path(), "ls -A").out, "cam.scene\nflake.scene\n");
    }

    // Each thread's stack takes 8 MB of the address space: 300 do not fit in
    // 1 GB. Those that do render the same picture.
    RunResult r = run_shell(dir.path(), "ulimit -v 1000000; \"$RT\" -nosdl -threads 300 -size 8x300 -o many.ppm "
                                        "cam.scene && \"$RT\" -nosdl -threads 1 -size 8x300 -o one.ppm cam.scene");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err.rfind("only ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(" of 300 threads could be started (Resource temporarily unavailable); rendering on "),
              std::string::npos);
    EXPECT_EQ(read_file(dir.file("many.ppm")), read_file(dir.file("one.ppm")));

    // The colours of a float map fit, the row it is written by does not.
    RunResult row = run_shell(dir.path(), "ulimit -v 400000; \"$RT\" -nosdl -size 10000000x1 -rays 1 -o w.pfm "
                                          "cam.scene >/dev/null; echo \"status $?\"; ls w.pfm");
    EXPECT_EQ(row.out, "status 1\n");
    EXPECT_EQ(row.err.substr(0, row.err.find("ls:")),
              "failed to write image: w.pfm: not enough memory for a row of 10000000 pixels\n");
}

// The set-up's tasks: each runs once; a failure (running out of memory, say)
// stops the handing out of more and reaches the caller, the first by task
// number, whatever the threads' timing.
TEST(HostileInput, FailingTasksStopTheRestAndReachTheCaller)
{
    for (int threads : {1, 3}) {
        std::vector<std::atomic<int>> runs(200);
        std::string caught;
        try {
            run_tasks(runs.size(), threads, [&](size_t i) {
                runs[i]++;
                if (i % 50 == 17) {
                    throw std::runtime_error(std::to_string(i));
                }
            });
        } catch (const std::runtime_error &e) {
            caught = e.what();
        }
        EXPECT_EQ(caught, "17") << threads;
        int total = 0;
        for (const std::atomic<int> &r : runs) {
            EXPECT_LE(r.load(), 1);
            total += r.load();
        }
        if (threads == 1) {
            EXPECT_EQ(total, 18);
        }
    }
    std::vector<std::atomic<int>> runs(1000);
    run_tasks(runs.size(), 3, [&](size_t i) { runs[i]++; });
    for (const std::atomic<int> &r : runs) {
        EXPECT_EQ(r.load(), 1);
    }
}

// Each ending signal during a window-less render ends it by that signal; the
// earlier picture stays, and no temporary is left, also after SIGKILL: the
// picture's temporary is made only once the pixels are done. In the parallel
// mode the passes done are kept and shown first. A reader of the reports that
// goes away costs the reports, not the picture.
TEST(HostileInput, SignalsAndAReaderThatGoesAway)
{
    TempDir dir;
    write_file(dir.file("a.scene"), "c p(0 0 -5) t(0 0 0) fov(45)\n"
                                    "s c(0 0 0) r(1) kd(1 1 1) ks(0 0 0) s(1) kr(0) ke(0 0 0)\nl p(0 5 -5) c(1 1 1)\n");
    const struct {
        const char *name, *status, *job; // the job's end as bash reports it
    } ending[] = {{"INT", "130", "Interrupt"},
                  {"TERM", "143", "Terminated"},
                  {"HUP", "129", "Hangup"},
                  {"QUIT", "131", "Quit"},
                  {"KILL", "137", "Killed"}};
    for (const auto &sig : ending) {
        // With job control, as from a terminal: a background job of a plain
        // script ignores SIGINT, which the program leaves as it finds it.
        RunResult r =
            run_program(dir.path(), "/bin/bash",
                        {"-c", std::string("set -m; ulimit -c 0; echo earlier > out.ppm; ") + shell_words(RT_BINARY) +
                                   " -nosdl -rays 4096 a.scene > log & "
                                   "while ! grep -q rendering log; do sleep 0.01; done; rm log; "
                                   "ls -A | grep -c '^\\.'; kill -" +
                                   sig.name + " $!; wait $!; echo $?; ls -A"});
        // No temporary while the pixels are rendered.
        EXPECT_EQ(r.out, "0\n" + std::string(sig.status) + "\na.scene\nout.ppm\n") << sig.name;
        // Ended by the signal itself, not by an exit with its number.
        EXPECT_NE(r.err.find(sig.job), std::string::npos) << r.err;
        EXPECT_EQ(read_file(dir.file("out.ppm")), "earlier\n");
    }
    // In the parallel mode the passes done are kept in the state and shown.
    RunResult r = run_program(dir.path(), "/bin/bash",
                              {"-c", std::string("set -m; ") + shell_words(RT_BINARY) +
                                         " -nosdl -threads 2 -passes 9999 -rays 64 -size 64x64 -state s -o p.ppm "
                                         "a.scene >/dev/null & while ! test -s s; do sleep 0.01; done; kill -TERM $!; "
                                         "wait $!; echo $?; " +
                                         shell_words(RT_BINARY) + " -merge m s -o m.ppm"});
    EXPECT_EQ(r.out.substr(0, 4), "143\n") << r.err;
    EXPECT_EQ(r.out.rfind("passes merged: ", 4), 4u) << r.out;
    EXPECT_TRUE(read_file(dir.file("p.ppm")) == read_file(dir.file("m.ppm"))) << "the picture is not the state's";
    EXPECT_EQ(read_file(dir.file("p.ppm")).size(), ppm(64, 64, std::string(64 * 64 * 3, 0)).size());
    // A merge is stopped by a file size limit like any write: with a reason,
    // and no temporary left.
    r = run_shell(dir.path(), "ulimit -f 8; \"$RT\" -merge big s; echo $?; ls -A | grep -c big");
    EXPECT_EQ(r.out, "1\n0\n");
    EXPECT_EQ(r.err, "failed to write state file big: File too large\n");

    r = run_program(
        dir.path(), "/bin/bash",
        {"-c", shell_words(RT_BINARY) + " -nosdl -size 64x64 a.scene | head -c 10; " + "echo \" ${PIPESTATUS[0]}\""});
    EXPECT_EQ(r.out, "rays: 4  - 0\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(dir.file("out.ppm")).size(), ppm(64, 64, std::string(64 * 64 * 3, 0)).size());
}

// Started with standard streams closed, rt and rt -merge write the picture
// and the state as with them open: the files they open must not take the
// streams' numbers, where the progress lines would go into them. Every
// combination of 0, 1 and 2 closed, in both modes, the four formats in turn.
TEST(HostileInput, ClosedStandardStreams)
{
    TempDir dir;
    write_file(dir.file("a.scene"), "c p(0 0 -5) t(0 0 0) fov(45)\nl p(0 5 -5) c(1 1 1)\n"
                                    "s c(0 0 0) r(1) kd(1 1 1) ks(0 0 0) s(1) kr(0) ke(0 0 0)\n");
    RunResult r =
        run_shell(dir.path(), "r() { \"$RT\" -nosdl -size 8x6 -rays 1 a.scene \"$@\"; }; n=0; "
                              "for mode in '' '-threads 2'; do for f in ppm png exr pfm; do "
                              "r $mode -o ref.$f >/dev/null || echo failed; done; "
                              "for closed in '<&-' '>&-' '2>&-' '<&- >&-' '<&- 2>&-' '>&- 2>&-' "
                              "'<&- >&- 2>&-'; do set -- ppm png exr pfm; shift $((n % 4)); n=$((n + 1)); "
                              "eval \"r $mode -o got.$1 $closed\" >/dev/null; cmp ref.$1 got.$1 || echo \"$closed\"; "
                              "done; done; "
                              "r -threads 2 -state s >/dev/null; "
                              "\"$RT\" -merge m s -o m.ppm <&- >&- 2>&-; cmp s m && cmp ref.ppm m.ppm; ls -A");
    EXPECT_EQ(
        r.out,
        "a.scene\ngot.exr\ngot.pfm\ngot.png\ngot.ppm\nm\nm.ppm\nout.ppm\nref.exr\nref.pfm\nref.png\nref.ppm\ns\n");
    EXPECT_EQ(r.err, "");
}

// The pictures at their libraries' and the process's limits: a PNG wider than
// libpng allows unless asked is written, and a picture whose temporary cannot
// be opened for want of a descriptor (only the standard streams and the
// picture's folder fit) is refused with that reason, nothing left behind.
TEST(HostileInput, PicturesAtTheLimits)
{
    TempDir dir;
    write_file(dir.file("cam.scene"), "c p(0 0 -5) t(0 0 0) fov(45)\n");
    RunResult wide = run_shell(dir.path(), "\"$RT\" -nosdl -size 1000001x1 -rays 1 -o w.png cam.scene >/dev/null && "
                                           "od -A n -t x1 -j 16 -N 4 w.png");
    EXPECT_EQ(wide.out, " 00 0f 42 41\n") << wide.err; // 1000001 pixels wide
#if defined(RT_UNDER_SANITIZER) || defined(RT_EMULATOR)
    GTEST_SKIP() << "a sanitizer or an emulator takes descriptors of its own";
#endif
    if (system("command -v prlimit >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "prlimit (util-linux) is not installed";
    }
    RunResult few =
        run_shell(dir.path(), "exec 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&-; prlimit --nofile=4 " + shell_words(RT_BINARY) +
                                  " -nosdl -size 8x8 -o p.ppm cam.scene >/dev/null; echo \"status $?\"; ls -A");
    EXPECT_EQ(few.out, "status 1\ncam.scene\nw.png\n");
    EXPECT_EQ(few.err, "failed to write image: p.ppm: Too many open files\n");
}

// A state file continues or merges only with its own frame (its key: the
// bytes of the scene and mesh files as they were loaded, piped or on lines of
// any length), a damaged or foreign one is refused, and so is an output that
// is a state; either way the state stays as it was, and nothing is left.
TEST(HostileInput, StateFilesOfAnotherFrameOrDamaged)
{
    TempDir dir;
    const std::string scene = "c p(0 0 -5) t(0 0 0) fov(45)\nl p(0 5 -5) c(1 1 1)\n"
                              "s c(0 0 0) r(1) kd(1 1 1) ks(0 0 0) s(1) kr(0) ke(0 0 0)\n";
    write_file(dir.file("a.scene"), scene);
    write_file(dir.file("b.scene"), scene + "# another scene\n");
    // A mesh line on the same line as a comment that fills a whole piece.
    write_file(dir.file("long.scene"), scene + "#" + std::string(1022, 'x') +
                                           "m x.mesh pos(0 0 0) rot(0 0 1 0) scale(1 1 1) kd(1 1 1) ks(0 0 0) s(1) "
                                           "kr(0) ke(0 0 0)\n");
    write_file(dir.file("tail.scene"), scene +
                                           "m x.mesh pos(0 0 0) rot(0 0 1 0) scale(1 1 1) kd(1 1 1) ks(0 0 0) s(1) "
                                           "kr(0) ke(0 0 0)\n" +
                                           std::string(100000, '#') + "\n");
    write_file(dir.file("x.mesh"), "MESH3\nv 0 0 0\nv 1 0 0\nv 0 1 0\nn 0 0 1\nf 1/1 2/1 3/1\n");
    RunResult first = run_shell(dir.path(), "\"$RT\" -nosdl -threads 2 -passes 2 -size 8x6 -state s a.scene && "
                                            "\"$RT\" -nosdl -threads 2 -passes 2:3 -size 8x6 -state t a.scene && "
                                            "cat a.scene | \"$RT\" -nosdl -threads 2 -size 8x6 -state p /dev/stdin && "
                                            "\"$RT\" -nosdl -threads 2 -size 8x6 -state q long.scene && mkfifo ff && "
                                            "\"$RT\" -nosdl -threads 2 -size 8x6 -state v tail.scene && "
                                            "\"$RT\" -nosdl -threads 2 -passes 4 -size 8x6 -noise .1 -state n a.scene");
    ASSERT_EQ(first.status, 0) << first.err;
    const std::string saved = read_file(dir.file("s")), noise_saved = read_file(dir.file("n"));
    const std::string cont = "cannot continue from state file s: ";
    const std::string damaged = "damaged: truncated, or not as written\n";
    // An allocation of the size a damaged header claims would fail under this
    // limit, before the damage is found. A sanitized rt run in this build's
    // place (RT_UNDER_TEST) cannot start under it.
#if defined(RT_UNDER_SANITIZER) || defined(RT_EMULATOR)
    const std::string limited = "";
#else
    const std::string limited = rt_replaced() ? "" : "ulimit -v 1000000; ";
#endif
    struct Case {
        std::string setup, command, err;
    } cases[] = {
        {"", "r -size 8x7 a.scene", cont + "saved for a 8x6 frame\n"},
        {"", "r -rows 0:3 a.scene", cont + "saved for rows 0:6\n"},
        {"", "r -rays 16 a.scene", cont + "saved for 4 rays per pixel\n"},
        {"", "r -gamma 2 a.scene", cont + "saved for a gamma of 1\n"},
        {"", "r b.scene", cont + "saved for other contents of scene file b.scene\n"},
        {"", "r a.scene b.scene", cont + "saved for other scene files\n"},
        {"", "cat b.scene | r -state p /dev/stdin",
         "cannot continue from state file p: saved for other contents of scene file /dev/stdin\n"},
        {"echo '# changed' >> x.mesh", "r -state q long.scene",
         "cannot continue from state file q: saved for other contents of mesh data file x.mesh\n"},
        // A scene's bytes after its mesh line, past the first block read, are
        // the scene's.
        {"echo '# changed' >> tail.scene", "r -state v tail.scene",
         "cannot continue from state file v: saved for other contents of scene file tail.scene\n"},
        {"head -c 100 s > x && mv x s", "r a.scene", cont + damaged},
        {"printf X | dd of=s bs=1 seek=900 conv=notrunc 2>/dev/null", "r a.scene", cont + damaged},
        {"printf X >> s", "r a.scene", cont + damaged}, // one byte past the end
        {"printf '\\002' | dd of=s bs=1 seek=27 conv=notrunc 2>/dev/null", limited + "r a.scene", cont + damaged},
        {"printf 'P6\\n8 6\\n255\\n' > s", "r a.scene", cont + "not a state file of rt\n"},
        {"printf '\\004' | dd of=s bs=1 seek=8 conv=notrunc 2>/dev/null", "r a.scene",
         cont + "a state file of version 4; this rt reads versions 1 to 3\n"},
        {"printf '\\002' | dd of=s bs=1 seek=52 conv=notrunc 2>/dev/null", "r a.scene", cont + damaged},
        {"", "r -sampler hash a.scene", cont + "saved for the sobol sampler\n"},
        // A noise target is part of what a state is the state of.
        {"", "r -noise .5 a.scene", cont + "saved for no noise target\n"},
        {"", "r -noise .5 -state n a.scene", "cannot continue from state file n: saved for a noise target of 0.1\n"},
        {"", "r -noise .1 -state x -rounds-of s a.scene",
         "cannot continue from state file x: the rounds' state s: saved for no noise target\n"},
        {"", "r -noise .1 -state n -rounds-of n a.scene",
         "cannot use state file n: the same file as n, whose rounds it takes\n"},
        {"cp n x", "r -noise .1 -state x -rounds-of n a.scene || { rm x; false; }",
         "cannot continue from state file x: pass 0 is in n too\n"},
        {"head -c 2000 n > x && mv x n", "r -noise .1 -state n a.scene",
         "cannot continue from state file n: " + damaged},
        {"", "r -state ff a.scene", "cannot use state file ff: not a regular file\n"},
        {"", "r -o s a.scene", "failed to write image: s: the same file as state file s\n"},
        {"", "m m t s s", "cannot merge state file s: pass 0 is in s too\n"},
        {"\"$RT\" -nosdl -threads 1 -size 8x7 -passes 3:4 -state u a.scene >/dev/null", "m m t u",
         "cannot merge state file u: saved for a 8x7 frame, unlike t\n"},
        // A state OUT holds is merged too: a pass twice, or another frame, is
        // refused, and OUT kept.
        {"", "m s p", "cannot merge state file s: pass 0 is in p too\n"},
        {"cp u k", "m u t; cmp u k >&2 && rm k && false",
         "cannot merge state file u: saved for a 8x7 frame, unlike t\n"},
        {"", "m m t ff", "cannot merge state file ff: not a regular file\n"},
        {": > e", "m m t e", "cannot merge state file e: empty: no pass was saved in it\n"},
        {"", "m m t s -o s", "failed to write image: s: the same file as state file s\n"},
        {"", "m t t s -o t", "failed to write image: t: the same file as state file t\n"},
        // Nor is a picture written over another state, of this frame or not.
        {"cp t k", "r -o t a.scene; cmp t k >&2 && rm k && false", "failed to write image: t: a state file of rt\n"},
        {"", "m m s -o t", "failed to write image: t: a state file of rt\n"},
        // Only a state, or nothing, is replaced by the merged state.
        {"cp a.scene k", "m a.scene t s; cmp a.scene k >&2 && rm k && false",
         "cannot use state file a.scene: not a state file of rt\n"},
        // The outputs are checked before any input is read.
        {"", "m no/m t missing", "cannot use state file no/m: No such file or directory\n"},
        {"", "m m missing -o no/p.ppm", "failed to write image: no/p.ppm: No such file or directory\n"},
        {"", "\"$RT\" -nosdl -state s -size 8x6 a.scene",
         "-state needs -threads: only the parallel mode renders in passes\n"},
        {"", "r -state no/s a.scene", "cannot use state file no/s: No such file or directory\n"},
    };
    for (const Case &c : cases) {
        RunResult r = run_shell(dir.path(), "r() { \"$RT\" -nosdl -threads 2 -passes 3 -size 8x6 -state s \"$@\"; }; "
                                            "m() { \"$RT\" -merge \"$@\"; }; " +
                                                c.setup + (c.setup.empty() ? "" : " && ") + c.command);
        EXPECT_EQ(r.err, c.err) << c.setup << " " << c.command;
        EXPECT_EQ(r.status, 1) << c.command;
        EXPECT_FALSE(file_exists(dir.file("m")));
        write_file(dir.file("s"), saved);
        write_file(dir.file("n"), noise_saved);
    }
    // No temporary, no empty state left behind.
    EXPECT_EQ(run_shell(dir.path(), "ls -A").out,
              "a.scene\nb.scene\ne\nff\nlong.scene\nn\nout.ppm\np\nq\ns\nt\ntail.scene\nu\nv\nx.mesh\n");

    // A mesh file found invalid at its second line is keyed by all of it,
    // however far it goes past what was read (the first window, 4 MiB on two
    // threads): a change at its end is another scene.
    TempDir big;
    write_file(big.file("a.scene"), scene + "m x.mesh pos(0 0 0) rot(0 0 1 0) scale(1 1 1) kd(1 1 1) ks(0 0 0) s(1) "
                                            "kr(0) ke(0 0 0)\n");
    write_file(big.file("x.mesh"), "MESH3\nnot a line of a mesh\n" + std::string(8 << 20, '\n'));
    RunResult r =
        run_shell(big.path(), "\"$RT\" -nosdl -threads 2 -passes 1 -size 8x6 -state s a.scene >/dev/null 2>&1 && "
                              "printf X >> x.mesh && "
                              "\"$RT\" -nosdl -threads 2 -passes 2 -size 8x6 -state s a.scene");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "failed to read mesh data file: x.mesh: invalid format at line 2: a normal needs three numbers\n"
                     "error in line 4: \"m x.mesh pos(0 0 0) rot(0 0 1 0) scale(1 1 1) kd(1 1 1) ks(0 0 0) s(1) kr(0) "
                     "ke(0 0 0)\n\", ignoring.\n"
                     "cannot continue from state file s: saved for other contents of mesh data file x.mesh\n");
}

// A state that cannot be saved (a file size limit that lets the state of one
// pass be written, not that of two) ends the render: the picture is that of
// the passes saved, the report says how many they are, nothing is left over.
TEST(HostileInput, AStateThatCannotBeSaved)
{
    if (system("command -v prlimit >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "prlimit (util-linux) is not installed";
    }
    TempDir dir;
    write_file(dir.file("a.scene"), "c p(0 0 -5) t(0 0 0) fov(45)\nl p(0 5 -5) c(1 1 1)\n"
                                    "s c(0 0 0) r(1) kd(1 1 1) ks(0 0 0) s(1) kr(0) ke(0 0 0)\n");
    const std::string rt = shell_words(RT_BINARY) + " -nosdl -threads 1 -size 8x6 ";
    RunResult r = run_shell(dir.path(), "{ prlimit --fsize=1244 " + rt +
                                            "-passes 3 -state s -o p.ppm a.scene 2>err; echo \"status $?\"; } | "
                                            "grep -a -e '^passes' -e '^status'; cat err; " +
                                            rt +
                                            "-state one -o one.ppm a.scene >/dev/null && cmp s one && "
                                            "cmp p.ppm one.ppm && ls -A");
    EXPECT_EQ(r.out, "passes done: 1\nstatus 1\nfailed to write state file s: File too large\n"
                     "a.scene\nerr\none\none.ppm\np.ppm\ns\n");
}

// Two runs on one state: the second is refused at once, naming the first,
// for the first's whole life (after its state was replaced, and while it
// writes its picture); a run that died holds nothing, and no pass is lost.
TEST(HostileInput, TwoRunsOnOneState)
{
    TempDir dir;
    write_file(dir.file("a.scene"), "c p(0 0 -5) t(0 0 0) fov(45)\nl p(0 5 -5) c(1 1 1)\n"
                                    "s c(0 0 0) r(1) kd(1 1 1) ks(0 0 0) s(1) kr(0) ke(0 0 0)\n");
    const std::string rt = shell_words(RT_BINARY) + " -nosdl -threads 1 -size 8x6 ";
    // The first run's picture goes to a FIFO that nobody reads: once its
    // passes are saved (the state then has two), it waits there.
    RunResult r = run_program(
        dir.path(), "/bin/bash",
        {"-c", "mkfifo pic; " + rt + "-passes 1 -state c a.scene >/dev/null; " + rt +
                   "-passes 2 -state c -o pic a.scene >/dev/null & a=$!; "
                   "while kill -0 $a 2>/dev/null && [ $(wc -c < c) != 1248 ]; do sleep 0.01; done; " +
                   rt + "-passes 2:4 -state c a.scene >/dev/null 2>err; echo \"second run $?\"; " +
                   shell_words(RT_BINARY) + " -merge c c 2>>err; echo \"merge into it $?\"; " +
                   "[ \"$(cat err)\" = \"$(printf 'cannot use state file c: in use by process %s\\n' $a $a)\" ] && "
                   "echo named; kill -9 $a; wait $a 2>/dev/null; echo \"killed $?\"; " +
                   rt + "-passes 4 -state c -o p.ppm a.scene | grep -a '^passes'; " + rt +
                   "-passes 4 -o q.ppm a.scene >/dev/null; cmp p.ppm q.ppm && ls -A"});
    EXPECT_EQ(r.out, "second run 1\nmerge into it 1\nnamed\nkilled 137\npasses done: 4\n"
                     "a.scene\nc\nerr\nout.ppm\np.ppm\npic\nq.ppm\n");
    EXPECT_EQ(r.err, "");
}

} // namespace
