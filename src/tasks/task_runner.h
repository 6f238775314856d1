#ifndef RT_TASK_RUNNER_H
#define RT_TASK_RUNNER_H

#include <cstddef>
#include <functional>

// Runs task(0) .. task(count - 1), each once, on up to `threads` threads
// (the calling one among them), and returns when every one has ended. Which
// thread takes which task is left to timing, so a task may write only what
// is its own; whatever must not depend on the thread count is split into
// tasks of a fixed size and merged in task order by the caller. The first
// exception a task throws (std::bad_alloc, say) stops the handing out of
// further tasks and is thrown again here once every thread has stopped.
// Threads the system refuses to start leave their share to the others.
void run_tasks(size_t count, int threads, const std::function<void(size_t)> &task);

// The threads set-up work (reading mesh data, building hierarchies) runs on:
// one per core, at least one. Nothing it computes depends on the number.
int setup_threads();

#endif
