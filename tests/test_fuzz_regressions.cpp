// Every input with which fuzzing (scripts/fuzz) once made the loaders crash,
// leak or misbehave, and the fuzzers' seeds, replayed through the real binary: a window-less render
// of each must end normally with a whole picture. The sanitizer build
// (make sanitize) runs these too and fails on any memory error or leak.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../fuzz/fuzz_meshes.h"
#include "support.h"

#if defined(__SANITIZE_ADDRESS__)
#define RT_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define RT_UNDER_ASAN 1
#endif
#endif

namespace
{

// The saved inputs of one kind, sorted by name: the regressions, then the
// fuzzers' seed corpus, which holds valid and invalid files of every sort.
std::vector<std::string> saved_inputs(const std::string &kind)
{
    std::vector<std::string> all;
    for (const char *folder : {"/tests/fuzz-regressions/", "/fuzz/corpus/"}) {
        std::string dir = std::string(RT_SOURCE_DIR) + folder + kind;
        std::vector<std::string> names;
        if (DIR *d = opendir(dir.c_str())) {
            while (dirent *e = readdir(d)) {
                if (e->d_name[0] != '.') {
                    names.push_back(dir + "/" + e->d_name);
                }
            }
            closedir(d);
        }
        std::sort(names.begin(), names.end());
        all.insert(all.end(), names.begin(), names.end());
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
    EXPECT_EQ(image.size(), ppm(8, 6, std::string(8 * 6 * 3, '\0')).size()) << what;
    EXPECT_EQ(image.rfind("P6\n8 6\n255\n", 0), 0u) << what;
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

// Requests that are valid but need more memory than there is: a 1 GiB frame
// and a flake of depth 9 (about 900 MB), under a 400 MB address space. Each
// ends with its message and status 1, not an uncaught exception.
TEST(HostileInput, RunningOutOfMemoryIsARefusalNotACrash)
{
#ifdef RT_UNDER_ASAN
    GTEST_SKIP() << "AddressSanitizer cannot run under an address space limit";
#endif
    TempDir dir;
    write_file(dir.file("cam.scene"), "c p(0 0 -5) t(0 0 0) fov(45)\n");
    write_file(dir.file("flake.scene"), "f c(0 0 0) r(1) i(9) kd(1 1 1) ks(0 0 0) s(1) kr(0) ke(0 0 0)\n");
    struct Case {
        const char *args, *out, *err;
    } cases[] = {
        {"-size 16384x16384 cam.scene", "rays: 4  ->  subdiv: 1\n", "not enough memory for a 16384x16384 image\n"},
        {"cam.scene flake.scene", "", "failed to load scene file: flake.scene\n"},
    };
    for (const Case &c : cases) {
        RunResult r = run_program(
            dir.path(), "/bin/sh",
            {"-c", std::string("ulimit -v 400000; exec ") + target_command(RT_BINARY) + " -nosdl " + c.args});
        EXPECT_EQ(r.status, 1) << c.args;
        EXPECT_EQ(r.out, c.out) << c.args;
        EXPECT_EQ(r.err, c.err) << c.args;
        EXPECT_FALSE(file_exists(dir.file("out.ppm")));
    }
}

} // namespace
