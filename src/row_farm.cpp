#include "row_farm.h"

#include <cstring>

#include "random.h"

RowFarm::RowFarm(int threads, PixelRenderer render, uint32_t *image, int width, int first, int rows)
    : render(render), image(image), width(width), first(first), rows(rows)
{
    // Every buffer is taken here, where running out of memory can be
    // reported; a worker's own failure could only end the program.
    buffers.assign(threads, std::vector<uint32_t>(width));
    workers.reserve(threads);
    try {
        for (int i = 0; i < threads; i++) {
            uint32_t *row = buffers[i].data();
            workers.emplace_back([this, row] { work(row); });
        }
    } catch (const std::system_error &e) {
        start_error = e.code(); // no more threads to be had: the others carry on
    }
}

RowFarm::~RowFarm()
{
    stop();
}

int RowFarm::rows_done()
{
    std::lock_guard<std::mutex> lock(image_mutex);
    return done;
}

int RowFarm::wait_beyond(int seen)
{
    std::unique_lock<std::mutex> lock(image_mutex);
    progress.wait(lock, [&] { return done > seen; });
    return done;
}

void RowFarm::stop()
{
    stopping = true;
    for (std::thread &t : workers) {
        if (t.joinable()) {
            t.join();
        }
    }
}

void RowFarm::work(uint32_t *row)
{
    for (;;) {
        int i = next_row.fetch_add(1);
        if (i >= rows || stopping) {
            return;
        }
        render_row(row, first + i);
        if (stopping) {
            return;
        }
        {
            std::lock_guard<std::mutex> lock(image_mutex);
            memcpy(image + static_cast<size_t>(i) * width, row, width * sizeof(uint32_t));
            done++;
        }
        progress.notify_all();
    }
}

void RowFarm::render_row(uint32_t *row, int y)
{
    for (int x = 0; x < width && !stopping.load(std::memory_order_relaxed); x++) {
        PixelRandom stream(x, y);
        pixel_random = &stream;
        row[x] = render(x, y);
        pixel_random = nullptr;
    }
}
