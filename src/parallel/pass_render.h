#ifndef RT_PASS_RENDER_H
#define RT_PASS_RENDER_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "parallel/noise_rounds.h"
#include "parallel/row_farm.h"
#include "parallel/state_lock.h"

// The parallel mode: a band of the frame rendered in passes on a farm of
// threads. Pass p renders every pixel with the usual sampler, drawing from
// streams keyed by the pixel and p; the picture is the mean of the passes
// held (see PassSum), so it depends on which passes they are and nothing
// else. A state file, if given, holds the passes done: it is read at the
// start and written after every pass, before the pass joins the picture, so
// that the picture never shows a pass the file does not hold.
class PassRender
{
  public:
    struct Plan {
        int threads = 1;
        int width = 0;
        int first_row = 0;
        int rows = 0;
        int first_pass = 0; // the passes wanted: first_pass .. end_pass - 1
        int end_pass = 1;
        double seconds = -1.0;      // a time box: no pass is begun that would not end in it
        StateLock *state = nullptr; // the state file held, if any
        StateKey key;
        bool sampler_given = false; // else a state's sampler replaces the key's
        // With a noise target: a state whose passes choose the rounds'
        // pixels along with the run's own; the state file then keeps the
        // run's own passes alone.
        const char *rounds_of = nullptr;
        bool keep_colours = false; // the colours the picture packs are wanted too
    };

    // image: the packed picture of the band, kept up to date as passes end;
    // during the first pass its rows come as they are done.
    PassRender(const Plan &plan, PixelColour colour, ColourPacker pack, uint32_t *image);

    // Reads the state file, if there is one, and works out the passes still
    // wanted; false with *why set. start() does this first; alone it tells
    // what a run would render, and takes no memory for the frame.
    bool read_saved(std::string *why);
    // read_saved(), then the picture of the passes held; false with *why set.
    bool start(std::string *why);
    // Works up to about ms milliseconds; false once no further pass is to be
    // done. A state that cannot be written is reported by state_error().
    bool step(int ms);
    // Ends the pass under way, which is lost; the passes held stay.
    void stop();

    // Keeps the workers from writing into the picture while it is held.
    std::unique_lock<std::mutex> lock_image();
    // The colour that pixel i of the picture packs (with keep_colours; under
    // the lock while a pass is under way): the mean of the passes held, or
    // during the first pass its colour, black where it has not come yet.
    Color shown_colour(size_t i) const;
    // The whole passes the picture shows.
    int passes_in_picture() const { return direct ? rendered : static_cast<int>(state.sum.passes().size()); }
    // The pass under way (or the last one), its rows done, how many passes
    // this run renders at most (0 when only the time box ends it).
    int pass() const { return current; }
    // Whether a pass is under way.
    bool busy() const { return farm != nullptr; }
    int rows_done() const { return rows_now; }
    int passes_planned() const { return planned; }
    int passes_rendered() const { return rendered; }
    // The passes the state held when the run began: a resumed run counts
    // its passes on from them.
    int passes_before() const { return before; }
    // The passes held (read, and rendered since) and those still wanted,
    // ascending.
    const std::vector<int> &passes_held() const { return state.sum.passes(); }
    const std::vector<int> &passes_wanted() const { return todo; }
    // The sampler of the passes: the plan's, or that of the state continued.
    Sampler sampler() const { return state.key.sampler; }
    // With a noise target, the picture's estimated relative error after the
    // passes held; below 0 while there is none (before two passes), and
    // without a noise target.
    double noise() const { return estimate; }
    // The share of the work done, and the seconds left by the pace so far
    // (negative before there is a pace).
    double fraction_done() const;
    double seconds_left() const;
    // The seconds since the passes began.
    double elapsed() const;
    // The threads the farm got, when fewer than planned; why.
    int threads_started() const { return started; }
    const std::string &thread_failure() const { return thread_why; }
    const std::string &state_error() const { return state_why; }

  private:
    bool of_this_frame(const State &saved, bool first, const std::string &whose, std::string *why);
    void want_passes();
    double noise_estimate() const;
    bool next_pass();
    void finish_pass();

    Plan plan;
    PixelColour colour;
    ColourPacker pack;
    uint32_t *image;
    bool direct;                // one pass, no state, no colours: packed straight into the picture
    State state;                // the passes held
    State own;                  // with rounds_of: those of this run's state file alone
    std::vector<int> todo;      // the passes still wanted, ascending
    std::vector<Color> colours; // the pass under way
    std::unique_ptr<RowFarm> farm;
    int current = -1;
    int rows_now = 0;
    int planned = 0;
    int rendered = 0;
    int before = 0;
    int started = 0;
    std::string thread_why;
    std::string state_why;
    double estimate = -1.0; // noise()
    std::chrono::steady_clock::time_point begun;
};

#endif
