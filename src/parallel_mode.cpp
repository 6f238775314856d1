#include "parallel_mode.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "output_file.h"
#include "report.h"
#include "rt.h"
#include "signals.h"

// What the state file of this run is the state of.
static StateKey state_key;

// The key of the state file, and a check that it can be written, before the
// first pixel; false after a message.
bool prepare_state(const std::vector<std::string> &scene_files)
{
    std::string why;
    if (!hash_scene_files(scene_files, &state_key.scene, &why)) {
        fprintf(stderr, "failed to read the scene files again for the state: %s\n", why.c_str());
        return false;
    }
    state_key.width = width;
    state_key.height = height;
    state_key.row_begin = band_begin;
    state_key.row_end = band_end;
    state_key.rays = rays_ppxl;
    state_key.inv_gamma = inv_gamma;
    OutputFile probe;
    if (!probe.open(state_file)) {
        fprintf(stderr, "failed to write state file %s: %s\n", state_file, probe.reason());
        return false;
    }
    return true;
}

// rt -merge OUT STATE... [-o FILE]: the states of different passes of one
// frame, merged into the state OUT and, with -o, its picture.
int merge_main(int argc, char **argv)
{
    const char *merged_name = nullptr, *picture_name = nullptr;
    std::vector<const char *> inputs;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "-merge") == 0 && merged_name == nullptr && i + 1 < argc) {
            merged_name = argv[++i];
        } else if (strcmp(argv[i], "-o") == 0 && i + 1 < argc && argv[i + 1][0] != 0) {
            picture_name = argv[++i];
        } else if (strcmp(argv[i], "-nosdl") == 0) {
            // Merging opens no window anyway.
        } else if (argv[i][0] == '-' || argv[i][0] == 0) {
            fprintf(stderr,
                    "-merge is followed by the merged state file and the state files to merge, and "
                    "takes -o and -nosdl only: %s\n",
                    argv[i]);
            return 1;
        } else {
            inputs.push_back(argv[i]);
        }
    }
    if (merged_name == nullptr || inputs.empty()) {
        fprintf(stderr, "-merge is followed by the merged state file and the state files to merge\n");
        return 1;
    }
    State merged;
    std::map<int, const char *> owner; // the file each pass came from
    for (const char *name : inputs) {
        State one;
        std::string why;
        if (!read_state(name, &one, &why)) {
            fprintf(stderr, "cannot merge state file %s: %s\n", name, why.c_str());
            return 1;
        }
        std::string differs = owner.empty() ? "" : key_difference(one.key, merged.key);
        if (!differs.empty()) {
            fprintf(stderr, "cannot merge state file %s: saved for %s, unlike %s\n", name, differs.c_str(), inputs[0]);
            return 1;
        }
        int shared;
        if (owner.empty()) {
            merged.key = one.key;
            merged.sum = PassSum(one.sum.pixels());
        }
        if (!merged.sum.merge(one.sum, &shared)) {
            fprintf(stderr, "cannot merge state file %s: pass %d is in %s too\n", name, shared, owner[shared]);
            return 1;
        }
        for (int pass : one.sum.passes()) {
            owner[pass] = name;
        }
    }
    std::string why;
    if (!write_state(merged_name, merged, &why)) {
        fprintf(stderr, "failed to write state file %s: %s\n", merged_name, why.c_str());
        return 1;
    }
    printf("passes merged: %d\n", static_cast<int>(merged.sum.passes().size()));
    if (picture_name == nullptr) {
        return 0;
    }
    inv_gamma = merged.key.inv_gamma;
    std::vector<uint32_t> pixels(merged.sum.pixels());
    for (size_t i = 0; i < pixels.size(); i++) {
        pixels[i] = pack_color(merged.sum.mean(i));
    }
    int rows = merged.key.row_end - merged.key.row_begin;
    if (!write_image(picture_name, pixels.data(), merged.key.width, rows, &why)) {
        fprintf(stderr, "failed to write image: %s: %s\n", picture_name, why.c_str());
        return 1;
    }
    return 0;
}

// " rendering: [====>     ] 10%  pass 2/4   0:12 left\r": the parallel
// mode's progress over every pass it renders, with the time left at the pace
// so far.
void print_pass_progress(const PassRender &r)
{
    int progr = static_cast<int>(100.0 * r.fraction_done());
    char bar[51];
    progress_bar(progr, bar);
    char pass[32], left[32] = "--:--";
    int number = r.passes_rendered() + (r.busy() ? 1 : 0);
    if (r.passes_planned() > 0) {
        snprintf(pass, sizeof pass, "%d/%d", number, r.passes_planned());
    } else {
        snprintf(pass, sizeof pass, "%d", number);
    }
    double secs = r.seconds_left();
    if (secs >= 0.0) {
        long s = static_cast<long>(secs + 0.5);
        snprintf(left, sizeof left, "%ld:%02ld", s / 60, s % 60);
    }
    report(" rendering: [%s] %d%%  pass %s %6s left\r", bar, progr, pass, left);
}

// The plan of the parallel mode, from the settings.
PassRender::Plan pass_plan()
{
    PassRender::Plan plan;
    plan.threads = threads;
    plan.width = width;
    plan.first_row = band_begin;
    plan.rows = band_end - band_begin;
    plan.first_pass = pass_begin;
    plan.end_pass = pass_end;
    plan.seconds = time_box;
    plan.state_path = state_file != nullptr ? state_file : "";
    plan.key = state_key;
    return plan;
}

// Starts the passes; false after a message.
bool start_passes(PassRender *r)
{
    std::string why;
    if (!r->start(&why)) {
        fprintf(stderr, "cannot continue from state file %s: %s\n", state_file, why.c_str());
        return false;
    }
    return true;
}

// Says so when the system gave fewer threads than asked for, or a state
// could not be saved; false after a message when the render cannot go on.
bool check_passes(const PassRender &r, bool *told)
{
    if (!r.state_error().empty()) {
        fprintf(stderr, "failed to write state file %s: %s\n", state_file, r.state_error().c_str());
        return false;
    }
    if (r.threads_started() == 0 && r.pass() >= 0) {
        fprintf(stderr, "could not start a thread: %s\n", r.thread_failure().c_str());
        return false;
    }
    if (!*told && r.threads_started() > 0 && r.threads_started() < threads) {
        fprintf(stderr, "only %d of %d threads could be started (%s); rendering on %d\n", r.threads_started(), threads,
                r.thread_failure().c_str(), r.threads_started());
        *told = true;
    }
    return true;
}

bool print_pass_plan()
{
    PassRender r(pass_plan(), pixel_colour, pack_color, nullptr);
    std::string why;
    if (!r.read_saved(&why)) {
        fprintf(stderr, "cannot continue from state file %s: %s\n", state_file, why.c_str());
        return false;
    }
    std::string ranges;
    const std::vector<int> &wanted = r.passes_wanted();
    for (size_t i = 0; i < wanted.size(); i++) {
        size_t j = i;
        while (j + 1 < wanted.size() && wanted[j + 1] == wanted[j] + 1) {
            j++;
        }
        ranges += " " + std::to_string(wanted[i]) + ":" + std::to_string(wanted[j] + 1);
        i = j;
    }
    report("passes held: %d\npasses to render:%s\n", static_cast<int>(r.passes_held().size()),
           ranges.empty() ? " none" : ranges.c_str());
    return true;
}

// The parallel mode without a window: passes until done, the time is up or
// a signal asks to end; then the picture of the passes done.
bool render_passes(ImageFile *picture, bool *began)
{
    PassRender r(pass_plan(), pixel_colour, pack_color, image);
    if (!start_passes(&r)) {
        return false;
    }
    *began = true;
    note_signals();
    bool ok = true, told = false;
    int shown_pass = -1, shown_rows = -1;
    for (;;) {
        bool more = r.step(100);
        ok = check_passes(r, &told);
        if (!ok || stop_signal != 0) {
            break;
        }
        if (r.pass() != shown_pass || r.rows_done() != shown_rows || !more) {
            shown_pass = r.pass();
            shown_rows = r.rows_done();
            print_pass_progress(r);
        }
        if (!more) {
            break;
        }
    }
    r.stop();
    end_on_signals();
    report("\npasses done: %d\n", r.passes_in_picture());
    bool whole = r.passes_in_picture() > 0;
    if (whole && !picture->write(image)) {
        fprintf(stderr, "failed to write image: %s: %s\n", output, picture->reason());
        ok = false;
    }
    if (stop_signal != 0) {
        end_by_signal(stop_signal);
    }
    return ok && whole;
}
