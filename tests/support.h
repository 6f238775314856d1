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
// A file of the source tree, by its path from the top.
std::string source_file(const std::string &path);

struct RunResult {
    int status = -1; // exit status, or -1 when the program did not exit normally
    std::string out;
    std::string err;
};

// Runs a program of this machine with args in the folder dir, standard
// input empty.
RunResult run_program(const std::string &dir, const std::string &program, const std::vector<std::string> &args);
// Runs a program built with the tests (rt, rt-import, an installed rt) the
// same way: through the emulator when they were cross-built for another
// architecture. shell_words gives the words that run it, quoted for /bin/sh.
RunResult run_target(const std::string &dir, const std::string &program, const std::vector<std::string> &args);
std::string shell_words(const std::string &program);

// Whether RT_UNDER_TEST names another build of rt (make tsan's) that runs in
// place of this build's.
bool rt_replaced();
// The real rt binary.
RunResult run_rt(const std::string &dir, const std::vector<std::string> &args);
// A shell command line in dir, with $RT standing for the words that run the
// rt binary.
RunResult run_shell(const std::string &dir, const std::string &command);

// A window-less run's standard output with the times in it replaced by #,
// and of the parallel mode's progress lines on a terminal only the last.
std::string without_time(const std::string &out);
// The progress bars of a classic window-less render of `rows` rows, and its
// newline; the lines of a parallel one of `passes` passes, to a file or pipe,
// times masked.
std::string progress_bars(int rows);
std::string passes_done(int passes);

// Expects the picture to be the golden file's bytes (tests/golden/NAME). On
// another C library (rand() and the last bits of pow are its own) a picture
// that differs skips the test with a note naming both. With RT_UPDATE_GOLDEN=1
// the golden file is written instead: only for a deliberate change of
// behaviour, said in the commit.
void expect_golden(const std::string &picture, const std::string &name);

// The number of rand() values fn consumes (up to 10000).
int count_draws(const std::function<void()> &fn);

// Expects the two vectors equal to the bit in every component.
void expect_same(const Vector3 &got, const Vector3 &want);

// The binary PPM that rt writes for a w x h picture of the given bytes.
std::string ppm(int w, int h, const std::string &rgb);

#endif
