#include "import_limits.h"

#include <malloc.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace
{

std::atomic<size_t> in_use{0};
size_t limit = 0; // 0: none
std::atomic<bool> reached{false};

// The time limit's message, ready for the signal handler, which may only
// write it.
char timeout_message[1200];
size_t timeout_length = 0;

void on_time_limit(int)
{
    ssize_t ignored = write(STDERR_FILENO, timeout_message, timeout_length);
    (void)ignored;
    _exit(1);
}

// The child of run_apart, to which the ending signals go on.
volatile sig_atomic_t child = 0;
const int kEnding[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

void pass_on(int sig)
{
    if (child > 0) {
        kill(child, sig);
    }
}

void *counted_allocation(size_t n)
{
    // A reader that believes a count of billions asks for it at once: that
    // must fail here, not in the system.
    if (limit != 0 && (n > limit || in_use.load(std::memory_order_relaxed) > limit - n)) {
        reached = true;
        return nullptr;
    }
    void *p = malloc(n == 0 ? 1 : n);
    if (p != nullptr) {
        in_use.fetch_add(malloc_usable_size(p), std::memory_order_relaxed);
    }
    return p;
}

void counted_release(void *p)
{
    if (p != nullptr) {
        in_use.fetch_sub(malloc_usable_size(p), std::memory_order_relaxed);
        free(p);
    }
}

void *allocate_or_throw(size_t n)
{
    void *p = counted_allocation(n);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}

} // namespace

size_t default_memory_limit()
{
    long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGE_SIZE);
    size_t memory = pages > 0 && page > 0 ? static_cast<size_t>(pages) * static_cast<size_t>(page) : 0;
    // A container may have less than the machine: its control group says.
    unsigned long long group = 0;
    FILE *fp = fopen("/sys/fs/cgroup/memory.max", "r");
    if (fp != nullptr) {
        if (fscanf(fp, "%llu", &group) == 1 && group > 0 && (memory == 0 || group < memory)) {
            memory = static_cast<size_t>(group);
        }
        fclose(fp);
    }
    return memory / 2;
}

void set_memory_limit(size_t bytes)
{
    limit = bytes;
}

bool memory_limit_reached()
{
    return reached;
}

void start_time_limit(double seconds, const std::string &message)
{
    timeout_length = message.copy(timeout_message, sizeof timeout_message);
    if (!(seconds > 0.0)) {
        return;
    }
    struct sigaction action = {};
    action.sa_handler = on_time_limit;
    sigemptyset(&action.sa_mask);
    sigaction(SIGALRM, &action, nullptr);
    struct itimerval timer = {};
    double whole = std::floor(seconds);
    timer.it_value.tv_sec = static_cast<time_t>(whole);
    timer.it_value.tv_usec = static_cast<suseconds_t>((seconds - whole) * 1e6);
    if (timer.it_value.tv_sec == 0 && timer.it_value.tv_usec == 0) {
        timer.it_value.tv_usec = 1;
    }
    setitimer(ITIMER_REAL, &timer, nullptr);
}

void stop_time_limit()
{
    struct itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
}

int run_apart(const std::function<int()> &work, const std::string &model)
{
    fflush(nullptr);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        return work(); // no process to spare: read it here
    }
    if (pid == 0) {
        // A crash is told here, not left as a core file; and a child whose
        // parent has gone is ended as the parent would have been.
        struct rlimit none = {0, 0};
        setrlimit(RLIMIT_CORE, &none);
#ifdef __linux__
        prctl(PR_SET_PDEATHSIG, SIGTERM);
#endif
        if (getppid() != parent) {
            _exit(1);
        }
        int status = work();
        fflush(nullptr);
        _exit(status);
    }
    child = pid;
    struct sigaction forward = {}, before[sizeof kEnding / sizeof kEnding[0]];
    forward.sa_handler = pass_on;
    sigemptyset(&forward.sa_mask);
    for (size_t i = 0; i < sizeof kEnding / sizeof kEnding[0]; i++) {
        sigaction(kEnding[i], &forward, &before[i]);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    child = 0;
    for (size_t i = 0; i < sizeof kEnding / sizeof kEnding[0]; i++) {
        sigaction(kEnding[i], &before[i], nullptr);
    }
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    int sig = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    for (int ending : kEnding) {
        if (sig == ending) {
            signal(sig, SIG_DFL);
            raise(sig);
        }
    }
    fprintf(stderr, "rt-import: cannot import %s: reading it ended the import (%s)\n", model.c_str(),
            sig != 0 ? strsignal(sig) : "no status");
    return 1;
}

// Every allocation of the program through new counts against the limit.
void *operator new(size_t n)
{
    return allocate_or_throw(n);
}

void *operator new[](size_t n)
{
    return allocate_or_throw(n);
}

void *operator new(size_t n, const std::nothrow_t &) noexcept
{
    return counted_allocation(n);
}

void *operator new[](size_t n, const std::nothrow_t &) noexcept
{
    return counted_allocation(n);
}

void operator delete(void *p) noexcept
{
    counted_release(p);
}

void operator delete[](void *p) noexcept
{
    counted_release(p);
}

void operator delete(void *p, size_t) noexcept
{
    counted_release(p);
}

void operator delete[](void *p, size_t) noexcept
{
    counted_release(p);
}
