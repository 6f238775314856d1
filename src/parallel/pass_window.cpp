#include "parallel/pass_window.h"

#include <algorithm>
#include <string>

#include "cli/report.h"
#include "cli/signals.h"
#include "parallel/parallel_mode.h"

// The passes while they run in the window.
static PassRender *running = nullptr;

std::unique_lock<std::mutex> hold_pass_image()
{
    return running != nullptr ? running->lock_image() : std::unique_lock<std::mutex>();
}

bool passes_running()
{
    return running != nullptr;
}

Color shown_pass_colour(size_t i)
{
    return running->shown_colour(i);
}

// The caption names the pass under way when there is more than one.
static void show_pass(const PassWindow &window, const PassRender &r)
{
    if (r.passes_planned() == 1 && parallel_run().state_file == nullptr) {
        return;
    }
    // Counted on from the passes the state held before this run.
    int before = r.passes_before(), pass = r.passes_rendered() + 1;
    if (r.passes_planned() > 0) {
        pass = std::min(pass, r.passes_planned());
    }
    window.caption(before + pass, r.passes_planned() > 0 ? before + r.passes_planned() : 0);
}

// Ends the window's run: with a state file the passes done are kept there,
// and their picture is written as well; then a signal that asked for the
// end ends the program by it.
static int end_window(const PassWindow &window, PassRender *r, uint32_t *image, int status, int sig)
{
    running = nullptr;
    sig = stop_passes(r, sig);
    const ParallelRun &run = parallel_run();
    std::string reason;
    if (run.state_file != nullptr && r->passes_in_picture() > 0 &&
        !write_image(run.output, run.format, image, run.plan.width, run.plan.rows, run.place, shown_colours(*r),
                     &reason)) {
        image_write_failed(run.output, reason.c_str());
        status = 1;
    }
    window.close();
    if (sig != 0) {
        end_by_signal(sig);
    }
    return status;
}

int run_passes_in_window(const PassWindow &window, uint32_t *image)
{
    const ParallelRun &run = parallel_run();
    PassRender r(pass_plan(), run.colour, run.pack, image);
    if (!start_passes(&r)) {
        window.close();
        return 1;
    }
    running = &r;
    hold_signals();
    bool rendering = true, told = false;
    int shown_pass = -2, shown_rows = -1;
    for (;;) {
        int sig = take_signal();
        if (sig != 0) {
            return end_window(window, &r, image, 0, sig);
        }
        int served = window.serve_event();
        if (served < 0) {
            return end_window(window, &r, image, 0, 0);
        }
        if (served > 0) {
            continue;
        }
        if (!rendering) {
            // The frame is done: events and signals are all there is to
            // wait for, looked at as often as SDL_WaitEvent would.
            window.pause(10);
            continue;
        }
        rendering = r.step(10);
        if (!check_passes(r, &told)) {
            return end_window(window, &r, image, 1, 0);
        }
        if (r.pass() != shown_pass || r.rows_done() != shown_rows || !rendering) {
            shown_pass = r.pass();
            shown_rows = r.rows_done();
            window.show();
            show_pass(window, r);
        }
        if (!rendering) {
            window.completed();
        }
    }
}
