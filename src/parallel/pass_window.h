#ifndef RT_PASS_WINDOW_H
#define RT_PASS_WINDOW_H

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "color.h"

// The parallel mode in the preview window. The program keeps the window (its
// events, its surface, its caption's words); the passes say when to show
// what, and hold the image while their workers write into it.
struct PassWindow {
    // Serves the next pending event, if any: 1 when one was served, 0 when
    // none was pending, -1 when the user asked the program to end.
    int (*serve_event)();
    // Shows the picture as it stands.
    void (*show)();
    // Names the pass under way in the caption: pass `pass` of `planned`
    // (planned 0 when only the time box ends the run).
    void (*caption)(int pass, int planned);
    // Says, once, that the render is complete.
    void (*completed)();
    // Closes the window and lets the image go.
    void (*close)();
    // Waits about ms milliseconds for the window's sake.
    void (*pause)(int ms);
};

// Renders the passes in the window until the user quits or a signal ends the
// run: events are served at once; the first pass's rows show as they come,
// the whole frame after every pass. With a state file the passes done are
// kept there, and their picture is written at the end. Returns the exit
// status (a signal ends the program by itself).
int run_passes_in_window(const PassWindow &window, uint32_t *image);

// While the passes run: the lock that keeps their workers from writing into
// the image (an empty lock otherwise), and whether they run.
std::unique_lock<std::mutex> hold_pass_image();
bool passes_running();
// The colour that pixel i of the passes' picture packs (with the lock held).
Color shown_pass_colour(size_t i);

#endif
