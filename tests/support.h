#ifndef RT_TESTS_SUPPORT_H
#define RT_TESTS_SUPPORT_H

#include <functional>
#include <string>
#include <vector>

#include "vector.h"

// A fresh folder below the system's temporary folder, removed with its
// contents when the object goes.
class TempDir
{
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return dir; }
    std::string file(const std::string &name) const { return dir + "/" + name; }

  private:
    std::string dir;
};

void write_file(const std::string &path, const std::string &content);
std::string read_file(const std::string &path);
bool file_exists(const std::string &path);

struct RunResult {
    int status = -1; // exit status, or -1 when the program did not exit normally
    std::string out;
    std::string err;
};

// Runs the real rt binary with args in the folder dir, standard input empty.
RunResult run_rt(const std::string &dir, const std::vector<std::string> &args);

// Runs any program of this machine the same way.
RunResult run_program(const std::string &dir, const std::string &program, const std::vector<std::string> &args);

// Runs a program built with the tests (rt, rt-import, an installed rt) the
// same way: through the emulator when they were cross-built for another
// architecture. target_command gives the words that run it, for /bin/sh.
RunResult run_target(const std::string &dir, const std::string &program, const std::vector<std::string> &args);
std::string target_command(const std::string &program);

// The number of rand() values fn consumes (up to 10000).
int count_draws(const std::function<void()> &fn);

// Expects the two vectors equal to the bit in every component.
void expect_same(const Vector3 &got, const Vector3 &want);

// Why a golden picture may not come out here: empty on the C library the
// goldens in tests/golden were made with, else a note naming both.
std::string golden_c_library_note();

// Expects a picture to be the golden file's bytes. The goldens hold the C
// library's rand() sequence and the last bits of its pow, acos, sin, cos and
// tan: on another C library a different picture is not a fault, and the
// test is skipped with the note instead of failed.
#define EXPECT_GOLDEN(image, golden_path)                                                                              \
    do {                                                                                                               \
        const std::string golden_ = (golden_path);                                                                     \
        const bool same_ = (image) == read_file(golden_);                                                              \
        if (!same_ && !golden_c_library_note().empty()) {                                                              \
            GTEST_SKIP() << "render differs from " << golden_ << ": " << golden_c_library_note();                      \
        }                                                                                                              \
        EXPECT_TRUE(same_) << "render differs from " << golden_;                                                       \
    } while (0)

// The binary PPM that rt writes for a w x h picture of the given bytes.
std::string ppm(int w, int h, const std::string &rgb);

#endif
