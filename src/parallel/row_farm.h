#ifndef RT_ROW_FARM_H
#define RT_ROW_FARM_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "color.h"
#include "sampling/sampler.h"

// The colour of pixel (x, y) of the frame, before gamma and packing, and its
// packing into 0x00RRGGBB.
typedef Color (*PixelColour)(int x, int y);
typedef uint32_t (*ColourPacker)(const Color &colour);

// Where the rows of a band go: their colours, their packed pixels, or both.
// Each holds `width` pixels a row, the band's first row on top. With rounds
// (one a pixel, in the same order), only the pixels whose rounds run past
// `round` are rendered; the others are black.
struct RowSink {
    Color *colours = nullptr;
    uint32_t *packed = nullptr;
    ColourPacker pack = nullptr;
    const uint32_t *rounds = nullptr;
    uint32_t round = 0;
};

// The parallel mode's workers for one pass of a band. Threads take the rows
// one at a time, as each becomes free (rows differ greatly in cost), and
// every pixel draws from a random stream of its own, keyed by the pixel and
// the pass, so a row comes out the same whoever renders it and when. A row is
// rendered into the worker's own buffer and copied out under the lock: the
// per-ray path takes no lock.
class RowFarm
{
  public:
    // Renders pass `pass` of frame rows first .. first + rows - 1, each pixel
    // drawing as `how` says. Where the system gives fewer threads than asked
    // for, the farm works with those it got.
    RowFarm(int threads, PixelColour colour, const PassSampling &how, int pass, int width, int first, int rows,
            const RowSink &sink);
    ~RowFarm();
    RowFarm(const RowFarm &) = delete;
    RowFarm &operator=(const RowFarm &) = delete;

    // The threads that started: the work is done when this is at least one.
    int started() const { return static_cast<int>(workers.size()); }
    // Why no more threads started, when fewer did than were asked for.
    std::string start_failure() const { return start_error.message(); }

    int rows_done();
    // Waits until more than seen rows are done, or ms milliseconds have
    // passed; returns how many are done.
    int wait_beyond(int seen, int ms);
    // Asks the workers to stop after their current pixel, and waits for them.
    void stop();
    // Keeps the workers from writing into the sink while it is held.
    std::unique_lock<std::mutex> lock() { return std::unique_lock<std::mutex>(sink_mutex); }

  private:
    void work(Color *row);
    // Stops early, the row unfinished, once stopping is set.
    void render_row(Color *row, int y);

    PixelColour colour;
    PassSampling how;
    int pass;
    int width;
    int first;
    int rows;
    RowSink sink;

    std::error_code start_error;
    std::vector<std::vector<Color>> buffers; // one row per worker
    std::vector<std::thread> workers;
    std::atomic<int> next_row{0};
    std::atomic<bool> stopping{false};
    std::mutex sink_mutex;
    int done = 0; // guarded by sink_mutex
    std::condition_variable progress;
};

#endif
