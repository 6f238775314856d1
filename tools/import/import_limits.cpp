#include "import_limits.h"

#include <malloc.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
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
