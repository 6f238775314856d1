#include "tasks/task_runner.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "cli/signals.h"

void run_tasks(size_t count, int threads, const std::function<void(size_t)> &task)
{
    if (count == 0) {
        return;
    }
    std::atomic<size_t> next(0);
    std::atomic<bool> failed(false);
    std::mutex failure_mutex;
    std::exception_ptr failure;
    size_t failed_task = count;
    auto work = [&] {
        for (;;) {
            if (failed.load(std::memory_order_relaxed)) {
                return;
            }
            size_t i = next.fetch_add(1);
            if (i >= count) {
                return;
            }
            try {
                task(i);
            } catch (...) {
                std::lock_guard<std::mutex> guard(failure_mutex);
                if (i < failed_task) {
                    failed_task = i;
                    failure = std::current_exception();
                }
                failed.store(true);
            }
        }
    };

    size_t helpers = threads > 1 ? std::min(static_cast<size_t>(threads - 1), count - 1) : 0;
    std::vector<std::thread> started;
    if (helpers > 0) {
        // Helpers are born with the signals that end a run blocked.
        EndingSignalsBlocked blocked;
        try {
            started.reserve(helpers);
            for (size_t t = 0; t < helpers; t++) {
                started.emplace_back(work);
            }
        } catch (const std::exception &) {
            // No more threads (or no room to note one): the others carry on.
        }
    }
    work();
    for (std::thread &t : started) {
        t.join();
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

int setup_threads()
{
    unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : static_cast<int>(std::min(n, 64u));
}
