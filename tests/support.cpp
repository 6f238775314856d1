#include "support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <gnu/libc-version.h>
#endif

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

TempDir::TempDir()
{
    const char *base = getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/rt-test-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back(0);
    if (mkdtemp(buf.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    dir = buf.data();
}

TempDir::~TempDir()
{
    // Write permission back first: some tests take it away.
    std::string cmd = "chmod -R u+rwx '" + dir + "' 2>/dev/null; rm -rf '" + dir + "'";
    if (system(cmd.c_str()) != 0) {
        fprintf(stderr, "could not remove %s\n", dir.c_str());
    }
}

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream f(path, std::ios::binary);
    f << content;
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool file_exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string source_file(const std::string &path)
{
    return std::string(RT_SOURCE_DIR) + "/" + path;
}

RunResult run_program(const std::string &dir, const std::string &program, const std::vector<std::string> &args)
{
    // Captured outside dir, so that runs in one folder may overlap.
    TempDir capture;
    std::string out_path = capture.file("stdout"), err_path = capture.file("stderr");
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0) {
            _exit(127);
        }
        int in = open("/dev/null", O_RDONLY);
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(program.c_str()));
        for (const std::string &a : args) {
            argv.push_back(const_cast<char *>(a.c_str()));
        }
        argv.push_back(nullptr);
        execvp(program.c_str(), argv.data());
        _exit(127);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    RunResult r;
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    r.out = read_file(out_path);
    r.err = read_file(err_path);
    return r;
}

// The emulator's words that go before a cross-built program, if any.
static std::vector<std::string> emulator()
{
    std::vector<std::string> words;
#ifdef RT_EMULATOR
    std::istringstream in(RT_EMULATOR);
    for (std::string w; in >> w;) {
        words.push_back(w);
    }
#endif
    return words;
}

bool rt_replaced()
{
    const char *other = getenv("RT_UNDER_TEST");
    return other != nullptr && other[0] != 0;
}

// The program that runs for `program`. RT_UNDER_TEST names another build of
// rt to run in place of this one's: make tsan runs the tests of this build
// against rt built with ThreadSanitizer, which alone starts threads.
static std::string resolved(const std::string &program)
{
    return program == RT_BINARY && rt_replaced() ? getenv("RT_UNDER_TEST") : program;
}

RunResult run_target(const std::string &dir, const std::string &program, const std::vector<std::string> &args)
{
    std::vector<std::string> words = emulator();
    if (words.empty()) {
        return run_program(dir, resolved(program), args);
    }
    words.push_back(resolved(program));
    words.insert(words.end(), args.begin(), args.end());
    return run_program(dir, words[0], std::vector<std::string>(words.begin() + 1, words.end()));
}

std::string shell_words(const std::string &program)
{
    std::string line;
    for (const std::string &w : emulator()) {
        line += "'" + w + "' ";
    }
    return line + "'" + resolved(program) + "'";
}

RunResult run_rt(const std::string &dir, const std::vector<std::string> &args)
{
    return run_target(dir, RT_BINARY, args);
}

RunResult run_shell(const std::string &dir, const std::string &command)
{
    return run_program(dir, "/bin/sh",
                       {"-c", "run_rt() { " + shell_words(RT_BINARY) + " \"$@\"; }; RT=run_rt; " + command});
}

std::string without_time(const std::string &out)
{
    static const std::regex completion("rendering completed in [0-9]+ msec\n");
    static const std::regex pass_lines("( rendering: \\[[^\\]]*\\] [0-9]+%  pass [^\r]*\r)+");
    static const std::regex left("[0-9]+:[0-9][0-9] (left|taken)|--:-- left");
    std::string text = std::regex_replace(out, completion, "rendering completed in # msec\n");
    // The parallel mode's lines come as the work does: the last one stays.
    std::string kept;
    std::sregex_iterator end;
    size_t at = 0;
    for (std::sregex_iterator m(text.begin(), text.end(), pass_lines); m != end; ++m) {
        std::string lines = m->str();
        size_t last = lines.rfind('\r', lines.size() - 2);
        kept += text.substr(at, m->position() - at) + (last == std::string::npos ? lines : lines.substr(last + 1));
        at = m->position() + m->length();
    }
    kept += text.substr(at);
    return std::regex_replace(kept, left, "#:## $1");
}

std::string passes_done(int passes)
{
    // A run of one pass has a line for every tenth of it.
    int lines = passes == 1 ? 10 : passes;
    std::string all;
    for (int k = 1; k <= lines; k++) {
        char line[96];
        snprintf(line, sizeof line, " rendering: pass %d/%d %3d%%  #:## taken   #:## left\n", passes == 1 ? 1 : k,
                 passes, 100 * k / lines);
        all += line;
    }
    return all + "passes done: " + std::to_string(passes) + "\n";
}

std::string progress_bars(int rows)
{
    std::string all;
    for (int y = 0; y < rows; y++) {
        int progr = static_cast<int>(100LL * (y + 1) / rows);
        std::string bar;
        for (int i = 0; i < 100; i += 2) {
            bar += i < progr ? '=' : (i - progr > 1 ? ' ' : '>');
        }
        all += " rendering: [" + bar + "] " + std::to_string(progr) + "%\r";
    }
    return all + "\n";
}

static std::string golden_c_library_note();

void expect_golden(const std::string &picture, const std::string &name)
{
    std::string path = source_file("tests/golden/" + name);
    if (getenv("RT_UPDATE_GOLDEN") != nullptr) {
        write_file(path, picture);
    }
    bool same = picture == read_file(path);
    if (!same && !golden_c_library_note().empty()) {
        GTEST_SKIP() << "the picture differs from tests/golden/" << name << ": " << golden_c_library_note();
    }
    EXPECT_TRUE(same) << "the picture differs from tests/golden/" << name;
}

int count_draws(const std::function<void()> &fn)
{
    srand(12345);
    fn();
    int next = rand();
    srand(12345);
    for (int k = 0; k < 10000; k++) {
        if (rand() == next) {
            return k;
        }
    }
    return -1;
}

std::string ppm(int w, int h, const std::string &rgb)
{
    return "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n" + rgb;
}

void expect_same(const Vector3 &got, const Vector3 &want)
{
    EXPECT_EQ(got.x, want.x);
    EXPECT_EQ(got.y, want.y);
    EXPECT_EQ(got.z, want.z);
}

// The goldens were rendered with this C library; regenerating them on another
// one means changing it too.
static const char *const golden_c_library = "glibc 2.36 on x86-64";

// The C library these tests run on, in the same words.
static std::string c_library()
{
#if defined(__GLIBC__)
    std::string name = std::string("glibc ") + gnu_get_libc_version();
#else
    std::string name = "a C library other than glibc";
#endif
#if defined(__x86_64__)
    return name + " on x86-64";
#elif defined(__i386__)
    return name + " on i386";
#elif defined(__aarch64__)
    return name + " on arm64";
#else
    return name + " on another architecture";
#endif
}

// Why a golden picture may not come out here: empty on the C library the
// goldens were made with, else a note naming both.
static std::string golden_c_library_note()
{
    std::string here = c_library();
    if (here == golden_c_library) {
        return "";
    }
    return std::string("the goldens were made with ") + golden_c_library + ", these tests run with " + here +
           ", whose rand() sequence or math functions may give other bits (see \"The same picture on other machines\" "
           "in doc/design.md)";
}
