#ifndef RT_PARALLEL_MODE_H
#define RT_PARALLEL_MODE_H

#include <string>
#include <vector>

#include "image_file.h"
#include "pass_render.h"

// The parallel mode's part of the program: the plan of its passes from the
// settings, its state file, its progress line, the window-less render, and
// rt -merge. Each prints its own messages.

// The key of the state file (the scene files given and the mesh files they
// name, the size, band, rays and gamma), and a check that it can be written,
// before the first pixel; false after a message.
bool prepare_state(const std::vector<std::string> &scene_files);
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

// rt ... -plan: "passes held: N" and "passes to render: A:B ..." (or
// "none"), the ranges of passes that the run would render, having checked
// its state file as a run does; false after a message.
bool print_pass_plan();

// Without a window: passes until done, the time is up or a signal asks to
// end; then the picture of the passes done. *began tells whether it got as
// far as the first pixel.
bool render_passes(ImageFile *picture, bool *began);

// rt -merge OUT STATE... [-o FILE]: the states of different passes of one
// frame, merged into the state OUT and, with -o, its picture.
int merge_main(int argc, char **argv);

#endif
