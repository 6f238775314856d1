#include "parallel/parallel_mode.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "files/output_file.h"
#include "parallel/picture_target.h"
#include "cli/report.h"
#include "cli/signals.h"

// The settings and the renderer handed over by the program.
static ParallelRun run;
// The state file, held from before the first pixel to the end of the run.
static StateLock held_state;

void set_parallel_run(const ParallelRun &settings)
{
    run = settings;
}

const ParallelRun &parallel_run()
{
    return run;
}

bool prepare_state(const FilesKey &scene_key)
{
    run.plan.key.scene = scene_key.value;
    run.plan.key.file_ends = scene_key.ends;
    run.plan.key.file_names = scene_key.names;
    std::string why;
    if (!held_state.hold(run.state_file, &why)) {
        fprintf(stderr, "cannot use state file %s: %s\n", run.state_file, why.c_str());
        return false;
    }
    const char *rounds_of = run.plan.rounds_of;
    if (rounds_of != nullptr && held_state.holds(rounds_of)) {
        fprintf(stderr, "cannot use state file %s: the same file as %s, whose rounds it takes\n", run.state_file,
                rounds_of);
        return false;
    }
    return true;
}

// Reads one input of rt -merge: through the lock when it is the output
// itself, which this process must open no other way.
static bool read_input(const StateLock &merged, const char *name, State *one, std::string *why)
{
    return merged.holds(name) ? merged.read(one, why) : read_state(name, one, why);
}

// rt -merge OUT STATE... [-o FILE]: the states of different passes of one
// frame, merged with what OUT holds into the state OUT and, with -o, its
// picture. OUT is held throughout, and both outputs are checked before any
// input is read.
int merge_main(int argc, char **argv, void (*use_gamma)(double inv_gamma), ColourPacker pack)
{
    const char *merged_name = nullptr, *picture_name = nullptr;
    bool exr_float = false;
    std::vector<const char *> inputs;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "-merge") == 0 && merged_name == nullptr && i + 1 < argc) {
            merged_name = argv[++i];
        } else if (strcmp(argv[i], "-o") == 0 && i + 1 < argc && argv[i + 1][0] != 0) {
            picture_name = argv[++i];
        } else if (strcmp(argv[i], "-nosdl") == 0) {
            // Merging opens no window anyway.
        } else if (strcmp(argv[i], "-exr-float") == 0) {
            exr_float = true;
        } else if (argv[i][0] == '-' || argv[i][0] == 0) {
            fprintf(stderr,
                    "-merge is followed by the merged state file and the state files to merge, and "
                    "takes -o, -exr-float and -nosdl only: %s\n",
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
    end_on_signals();
    std::vector<const char *> states = inputs;
    states.push_back(merged_name);
    if (picture_name != nullptr && !check_picture_target(picture_name, nullptr, states)) {
        return 1;
    }
    StateLock merged_file;
    std::string why;
    if (!merged_file.hold(merged_name, &why)) {
        fprintf(stderr, "cannot use state file %s: %s\n", merged_name, why.c_str());
        return 1;
    }
    // OUT is replaced only when it holds nothing or a state: a picture or a
    // scene named there by a slip would otherwise be lost.
    if (!merged_file.empty() && !merged_file.begins_as_state()) {
        fprintf(stderr, "cannot use state file %s: not a state file of rt\n", merged_name);
        return 1;
    }
    // What OUT holds is kept: it is merged as one more input, last, so that
    // a pass it holds twice or another frame is named as such.
    bool named = false;
    for (const char *name : inputs) {
        named = named || merged_file.holds(name);
    }
    if (!named && !merged_file.empty()) {
        inputs.push_back(merged_name);
    }
    State merged;
    std::map<int, const char *> owner; // the file each pass came from
    for (const char *name : inputs) {
        State one;
        if (!read_input(merged_file, name, &one, &why)) {
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
            merged.begin(one.key, one.sum.pixels());
        }
        // A state of old names no files: the merged one takes them from
        // another that does.
        if (merged.key.file_ends.empty()) {
            merged.key.file_ends = one.key.file_ends;
        }
        if (!merged.merge(one, &shared, &why)) {
            if (shared >= 0) {
                fprintf(stderr, "cannot merge state file %s: pass %d is in %s too\n", name, shared, owner[shared]);
            } else {
                fprintf(stderr, "cannot merge state file %s: %s than %s\n", name, why.c_str(), inputs[0]);
            }
            return 1;
        }
        for (int pass : one.sum.passes()) {
            owner[pass] = name;
        }
    }
    if (!merged_file.write(merged, nullptr, &why)) {
        fprintf(stderr, "failed to write state file %s: %s\n", merged_name, why.c_str());
        return 1;
    }
    printf("passes merged: %d\n", static_cast<int>(merged.sum.passes().size()));
    if (picture_name == nullptr) {
        return 0;
    }
    use_gamma(merged.key.inv_gamma);
    std::vector<uint32_t> pixels(merged.sum.pixels());
    for (size_t i = 0; i < pixels.size(); i++) {
        pixels[i] = pack(merged.mean(i));
    }
    int rows = merged.key.row_end - merged.key.row_begin;
    FramePlace place;
    place.first_row = merged.key.row_begin;
    place.frame_rows = merged.key.height;
    LinearColours colours;
    colours.pack = pack;
    colours.row = [&merged](int y, Color *out) {
        size_t at = static_cast<size_t>(y) * merged.key.width;
        for (int x = 0; x < merged.key.width; x++) {
            out[x] = merged.mean(at + x);
        }
    };
    if (!write_image(picture_name, ImageFile::by_name(picture_name, exr_float), pixels.data(), merged.key.width, rows,
                     place, colours, &why)) {
        image_write_failed(picture_name, why.c_str());
        return 1;
    }
    return 0;
}

// "2/4", the k-th pass of this run of those planned, counted on from the
// passes the state held before; "2" when only the time box ends the run.
static void pass_count(const PassRender &r, int k, char pass[32])
{
    if (r.passes_planned() > 0) {
        snprintf(pass, 32, "%d/%d", r.passes_before() + k, r.passes_before() + r.passes_planned());
    } else {
        snprintf(pass, 32, "%d", r.passes_before() + k);
    }
}

// The pass under way, or just done.
static void pass_number(const PassRender &r, char pass[32])
{
    pass_count(r, r.passes_rendered() + (r.busy() ? 1 : 0), pass);
}

// "12:05", minutes and seconds; "--:--" for a negative time, not yet known.
static void minutes(double secs, char text[32])
{
    if (secs < 0.0) {
        snprintf(text, 32, "--:--");
        return;
    }
    long s = static_cast<long>(secs + 0.5);
    snprintf(text, 32, "%ld:%02ld", s / 60, s % 60);
}

// "  noise 1.83%" with a noise target, "  noise --" before there is an
// estimate; nothing without one.
static void noise_words(const PassRender &r, char text[32])
{
    if (run.plan.key.noise <= 0.0) {
        text[0] = 0;
    } else if (r.noise() < 0.0) {
        snprintf(text, 32, "  noise --");
    } else {
        snprintf(text, 32, "  noise %.2f%%", 100.0 * r.noise());
    }
}

// " rendering: [====>     ] 10%  pass 2/4   0:12 left\r": the parallel
// mode's progress over every pass it renders, with the time left at the pace
// so far.
static void print_pass_progress(const PassRender &r)
{
    int progr = static_cast<int>(100.0 * r.fraction_done());
    char bar[51];
    progress_bar(progr, bar);
    char pass[32], left[32], noise[32];
    pass_number(r, pass);
    minutes(r.seconds_left(), left);
    noise_words(r, noise);
    report(" rendering: [%s] %d%%  pass %s%s %6s left\r", bar, progr, pass, noise, left);
}

// " rendering: pass 2/4  50%  0:12 taken   0:12 left\n": where standard output
// is not a terminal, one such line after every pass, or after every tenth of
// a run of one pass. *shown is the pass count or tenth last reported (0
// before the first).
static void print_pass_line(const PassRender &r, int *shown)
{
    // A run of one pass reports its tenths; any other run its passes. A
    // milestone passed between two looks still gets its line.
    bool tenths = r.passes_planned() == 1;
    int now = tenths ? static_cast<int>(10.0 * r.fraction_done()) : r.passes_rendered();
    char taken[32], left[32], noise[32];
    minutes(r.elapsed(), taken);
    minutes(r.seconds_left(), left);
    noise_words(r, noise);
    while (*shown < now) {
        int k = ++*shown;
        char pass[32];
        int percent;
        pass_count(r, tenths ? 1 : k, pass);
        if (tenths) {
            percent = 10 * k;
        } else if (r.passes_planned() > 0) {
            percent = static_cast<int>(100LL * k / r.passes_planned());
        } else {
            percent = static_cast<int>(100.0 * r.fraction_done());
        }
        report(" rendering: pass %s %3d%%%s  %s taken %6s left\n", pass, percent, noise, taken, left);
    }
}

PassRender::Plan pass_plan()
{
    PassRender::Plan plan = run.plan;
    plan.state = run.state_file != nullptr ? &held_state : nullptr;
    return plan;
}

// Starts the passes; false after a message.
bool start_passes(PassRender *r)
{
    std::string why;
    if (!r->start(&why)) {
        fprintf(stderr, "cannot continue from state file %s: %s\n", run.state_file, why.c_str());
        return false;
    }
    return true;
}

// Says so when the system gave fewer threads than asked for, or a state
// could not be saved; false after a message when the render cannot go on.
bool check_passes(const PassRender &r, bool *told)
{
    if (!r.state_error().empty()) {
        fprintf(stderr, "failed to write state file %s: %s\n", run.state_file, r.state_error().c_str());
        return false;
    }
    if (r.threads_started() == 0 && r.pass() >= 0) {
        fprintf(stderr, "could not start a thread: %s\n", r.thread_failure().c_str());
        return false;
    }
    if (!*told && r.threads_started() > 0 && r.threads_started() < run.plan.threads) {
        fprintf(stderr, "only %d of %d threads could be started (%s); rendering on %d\n", r.threads_started(),
                run.plan.threads, r.thread_failure().c_str(), r.threads_started());
        *told = true;
    }
    return true;
}

// "noise: 1.83%" (or "noise: --" before there is an estimate), with a noise
// target.
static void print_noise(const PassRender &r)
{
    char text[32];
    noise_words(r, text);
    if (text[0] != 0) {
        report("noise:%s\n", text + 7);
    }
}

bool print_pass_plan()
{
    PassRender r(pass_plan(), run.colour, run.pack, nullptr);
    std::string why;
    if (!r.read_saved(&why)) {
        fprintf(stderr, "cannot continue from state file %s: %s\n", run.state_file, why.c_str());
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
    report("passes held: %d\npasses to render:%s\nsampler: %s\n", static_cast<int>(r.passes_held().size()),
           ranges.empty() ? " none" : ranges.c_str(), sampler_name(r.sampler()));
    print_noise(r);
    return true;
}

LinearColours shown_colours(const PassRender &r)
{
    LinearColours colours;
    colours.pack = run.pack;
    colours.row = [&r](int y, Color *out) {
        size_t at = static_cast<size_t>(y) * run.plan.width;
        for (int x = 0; x < run.plan.width; x++) {
            out[x] = r.shown_colour(at + x);
        }
    };
    return colours;
}

int stop_passes(PassRender *r, int sig)
{
    r->stop();
    sig = sig != 0 ? sig : take_signal();
    release_signals();
    return sig;
}

// The parallel mode without a window: passes until done, the time is up or
// a signal asks to end; then the picture of the passes done.
bool render_passes(ImageFile *picture, uint32_t *image, bool *began)
{
    PassRender r(pass_plan(), run.colour, run.pack, image);
    if (!start_passes(&r)) {
        return false;
    }
    *began = true;
    hold_signals();
    bool ok = true, told = false;
    // On a terminal one line, rewritten as the rows come; elsewhere (a log
    // file, a pipe) a line now and then.
    bool terminal = report_is_terminal();
    int shown_pass = -1, shown_rows = -1, shown_line = 0, sig = 0;
    for (;;) {
        bool more = r.step(100);
        ok = check_passes(r, &told);
        sig = take_signal();
        if (!ok || sig != 0) {
            break;
        }
        if (!terminal) {
            print_pass_line(r, &shown_line);
        } else if (r.pass() != shown_pass || r.rows_done() != shown_rows || !more) {
            shown_pass = r.pass();
            shown_rows = r.rows_done();
            print_pass_progress(r);
        }
        if (!more) {
            break;
        }
    }
    sig = stop_passes(&r, sig);
    report(terminal ? "\npasses done: %d\n" : "passes done: %d\n", r.passes_in_picture());
    print_noise(r);
    bool whole = r.passes_in_picture() > 0;
    if (whole && !picture->write(image, shown_colours(r))) {
        image_write_failed(run.output, picture->reason());
        ok = false;
    }
    if (sig != 0) {
        end_by_signal(sig);
    }
    return ok && whole;
}
