#ifndef RT_PARALLEL_MODE_H
#define RT_PARALLEL_MODE_H

#include <cstdint>

#include "files/content_hash.h"
#include "files/image_file.h"
#include "parallel/pass_render.h"

// The parallel mode's part of the program: its state file, its progress
// line, its runs without and with the window (parallel/pass_window.h), and
// rt -merge. Each prints its own messages.

// What the parallel mode reads of the run: the plan of its passes, the
// picture, and the renderer's two steps of a pixel, handed over once the
// command line has been read, before any other call here but merge_main.
struct ParallelRun {
    // The threads, the band, the passes and the time box, and the key of the
    // state (but for the scene's, which prepare_state adds).
    PassRender::Plan plan;
    const char *state_file = nullptr; // null: none kept
    const char *output = nullptr;     // the picture's name
    ImageFile::Format format = ImageFile::PPM;
    FramePlace place;
    PixelColour colour = nullptr;
    ColourPacker pack = nullptr;
};
void set_parallel_run(const ParallelRun &settings);
// The settings handed over.
const ParallelRun &parallel_run();

// Holds the state file for the run, keyed also by scene_key (the hashes of the
// scene and mesh files as they were loaded); false after a message.
bool prepare_state(const FilesKey &scene_key);

// rt ... -plan: "passes held: N", "passes to render: A:B ..." (or "none"),
// the ranges of passes that the run would render, and "sampler: NAME", having
// checked its state file as a run does; false after a message.
bool print_pass_plan();

// Without a window: passes until done, the time is up or a signal asks to
// end; then the picture of the passes done. *began tells whether it got as
// far as the first pixel.
bool render_passes(ImageFile *picture, uint32_t *image, bool *began);

// rt -merge OUT STATE... [-o FILE]: the states of different passes of one
// frame, merged into the state OUT and, with -o, its picture. A state that
// OUT holds is merged too, whether or not it is named among the inputs (only
// an empty OUT starts afresh). OUT is held throughout, and both outputs are
// checked before any input is read.
// The picture's colours are packed by pack, once use_gamma has set the
// gamma of the merged states.
int merge_main(int argc, char **argv, void (*use_gamma)(double inv_gamma), ColourPacker pack);

// ---- shared by the runs with and without the window ----

// The plan with the state held, if any.
PassRender::Plan pass_plan();
// Starts the passes; false after a message.
bool start_passes(PassRender *r);
// Says so once when the system gave fewer threads than asked for; false
// after a message when the render cannot go on (no thread, a state that
// could not be saved).
bool check_passes(const PassRender &r, bool *told);
// The colours that the picture of the passes packs, a row at a time; black
// where the first pass has not come yet.
LinearColours shown_colours(const PassRender &r);
// How a run of passes ends: the pass under way is stopped (and lost), a
// signal that came meanwhile is taken (sig, if not 0, is one taken
// already), and from then on a signal ends the program at once, the picture
// unwritten. Returns the signal that asked for the end, or 0: the caller
// writes the picture of the passes done and then ends by it
// (end_by_signal).
int stop_passes(PassRender *r, int sig);

#endif
