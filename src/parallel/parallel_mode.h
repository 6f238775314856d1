#ifndef RT_PARALLEL_MODE_H
#define RT_PARALLEL_MODE_H

#include <cstdint>

#include "files/image_file.h"
#include "parallel/pass_render.h"

// The parallel mode's part of the program: the plan of its passes from the
// settings, its state file, its progress line, the window-less render, and
// rt -merge. Each prints its own messages.

// What the parallel mode reads of the run: the settings from the command
// line and the renderer's two steps of a pixel, handed over once the command
// line has been read, before any other call here but merge_main.
struct ParallelRun {
    int width = 0, height = 0, rays = 0;
    int threads = 0;
    int band_begin = 0, band_end = 0; // the rows rendered
    int pass_begin = 0, pass_end = 0; // the passes rendered
    double inv_gamma = 1.0;
    double time_box = -1.0;           // seconds; below 0, no limit
    const char *state_file = nullptr; // null: none kept
    const char *output = nullptr;     // the picture's name, for messages
    bool keep_colours = false;        // the picture holds linear colours, not only packed ones
    Sampler sampler = Sampler::sobol; // of a new frame; a state continues with its own
    bool sampler_given = false;       // unless named: then a state of another is refused
    double noise = 0.0;               // the noise target; 0: none
    const char *rounds_of = nullptr;  // a state to take the rounds of, with -noise
    PixelColour pixel_colour = nullptr;
    ColourPacker pack_color = nullptr;
};
void set_parallel_run(const ParallelRun &settings);

// The key of the state file (scene_key: the hash of the scene and mesh files
// as they were loaded; the size, band, rays and gamma), the file held for the
// run, and the checks that it can be written and is not the output, before
// the first pixel; false after a message.
bool prepare_state(uint64_t scene_key);
// Whether a picture may be written to picture: not over a state file of rt
// (which a slip of -o would lose, passes and all); false after a message.
bool not_over_a_state(const char *picture);
PassRender::Plan pass_plan();
// Starts the passes; false after a message.
bool start_passes(PassRender *r);
// Says so once when the system gave fewer threads than asked for; false
// after a message when the render cannot go on (no thread, a state that
// could not be saved).
bool check_passes(const PassRender &r, bool *told);
// " rendering: [====>     ] 10%  pass 2/4   0:12 left\r": the progress over
// every pass the run renders, with the time left at the pace so far.
void print_pass_progress(const PassRender &r);
// " rendering: pass 2/4  50%  0:12 taken   0:12 left\n": where standard output
// is not a terminal, one such line after every pass, or after every tenth of
// a run of one pass. *shown is the pass count or tenth last reported (0
// before the first).
void print_pass_line(const PassRender &r, int *shown);

// rt ... -plan: "passes held: N", "passes to render: A:B ..." (or "none"),
// the ranges of passes that the run would render, and "sampler: NAME", having
// checked its state file as a run does; false after a message.
bool print_pass_plan();

// The colours that the picture of the passes packs, a row at a time; black
// where the first pass has not come yet.
LinearColours shown_colours(const PassRender &r);

// Without a window: passes until done, the time is up or a signal asks to
// end; then the picture of the passes done. *began tells whether it got as
// far as the first pixel.
bool render_passes(ImageFile *picture, uint32_t *image, bool *began);

// rt -merge OUT STATE... [-o FILE]: the states of different passes of one
// frame, merged into the state OUT and, with -o, its picture. OUT is held
// throughout, and both outputs are checked before any input is read.
// The picture's colours are packed by pack, once use_gamma has set the
// gamma of the merged states.
int merge_main(int argc, char **argv, void (*use_gamma)(double inv_gamma), ColourPacker pack);

#endif
