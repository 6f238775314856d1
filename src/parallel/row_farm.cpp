#include "parallel/row_farm.h"

#include <chrono>
#include <cstring>

#include "cli/signals.h"

RowFarm::RowFarm(int threads, PixelColour colour, const PassSampling &how, int pass, int width, int first, int rows,
                 const RowSink &sink)
    : colour(colour), how(how), pass(pass), width(width), first(first), rows(rows), sink(sink)
{
    // Every buffer is taken here, where running out of memory can be
    // reported; a worker's own failure could only end the program.
    buffers.assign(threads, std::vector<Color>(width));
    workers.reserve(threads);
    // The workers are born with the signals that end a render blocked, so
    // that their handlers always run in the thread that started them, which
    // alone looks at what the handlers note.
    EndingSignalsBlocked blocked;
    try {
        for (int i = 0; i < threads; i++) {
            Color *row = buffers[i].data();
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
    std::lock_guard<std::mutex> guard(sink_mutex);
    return done;
}

int RowFarm::wait_beyond(int seen, int ms)
{
    std::unique_lock<std::mutex> guard(sink_mutex);
    progress.wait_for(guard, std::chrono::milliseconds(ms), [&] { return done > seen; });
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

void RowFarm::work(Color *row)
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
            std::lock_guard<std::mutex> guard(sink_mutex);
            size_t at = static_cast<size_t>(i) * width;
            if (sink.colours != nullptr) {
                memcpy(sink.colours + at, row, width * sizeof(Color));
            }
            if (sink.packed != nullptr) {
                for (int x = 0; x < width; x++) {
                    sink.packed[at + x] = sink.pack(row[x]);
                }
            }
            done++;
        }
        progress.notify_all();
    }
}

void RowFarm::render_row(Color *row, int y)
{
    const uint32_t *rounds = sink.rounds != nullptr ? sink.rounds + static_cast<size_t>(y - first) * width : nullptr;
    for (int x = 0; x < width && !stopping.load(std::memory_order_relaxed); x++) {
        if (rounds != nullptr && rounds[x] <= sink.round) {
            row[x] = Color();
            continue;
        }
        PixelDraws draws(how, x, y, pass);
        row[x] = colour(x, y);
    }
}
