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

// The packed colour of pixel (x, y) of the frame.
typedef uint32_t (*PixelRenderer)(int x, int y);

// The parallel mode's workers. Threads take the rows of a band of the frame
// one at a time, as each becomes free (rows differ greatly in cost), and
// every pixel draws from a random stream of its own, so a row comes out the
// same whoever renders it and when. A row is rendered into the worker's own
// buffer and copied into the image under the lock: the per-ray path takes
// no lock.
class RowFarm
{
  public:
    // Renders frame rows first .. first + rows - 1 into image, which holds
    // `width` pixels a row and frame row `first` on top. Where the system
    // gives fewer threads than asked for, the farm works with those it got.
    RowFarm(int threads, PixelRenderer render, uint32_t *image, int width, int first, int rows);
    ~RowFarm();
    RowFarm(const RowFarm &) = delete;
    RowFarm &operator=(const RowFarm &) = delete;

    // The threads that started: the work is done when this is at least one.
    int started() const { return static_cast<int>(workers.size()); }
    // Why no more threads started, when fewer did than were asked for.
    std::string start_failure() const { return start_error.message(); }
    int rows_done();
    // Waits until more than seen rows are done; returns how many are.
    int wait_beyond(int seen);
    // Asks the workers to stop after their current pixel, and waits for them.
    void stop();
    // Keeps the workers from writing into the image while it is held.
    std::unique_lock<std::mutex> lock_image() { return std::unique_lock<std::mutex>(image_mutex); }

  private:
    void work(uint32_t *row);
    // Stops early, the row unfinished, once stopping is set.
    void render_row(uint32_t *row, int y);

    PixelRenderer render;
    uint32_t *image;
    int width;
    int first;
    int rows;

    std::error_code start_error;
    std::vector<std::vector<uint32_t>> buffers; // one row per worker
    std::vector<std::thread> workers;
    std::atomic<int> next_row{0};
    std::atomic<bool> stopping{false};
    std::mutex image_mutex;
    int done = 0; // guarded by image_mutex
    std::condition_variable progress;
};

#endif
