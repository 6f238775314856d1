#include "parallel/pass_render.h"

#include <algorithm>

PassRender::PassRender(const Plan &plan, PixelColour colour, ColourPacker pack, uint32_t *image)
    : plan(plan), colour(colour), pack(pack), image(image)
{
    state.key = plan.key;
    direct = plan.state == nullptr && plan.end_pass - plan.first_pass == 1 && !plan.keep_colours;
}

Color PassRender::shown_colour(size_t i) const
{
    return passes_in_picture() > 0 ? state.sum.mean(i) : colours[i];
}

bool PassRender::read_saved(std::string *why)
{
    if (plan.state != nullptr && !plan.state->empty()) {
        State saved;
        if (!plan.state->read(&saved, why)) {
            return false;
        }
        if (!plan.sampler_given) {
            state.key.sampler = saved.key.sampler;
        }
        std::string differs = key_difference(saved.key, state.key);
        if (!differs.empty()) {
            *why = "saved for " + differs;
            return false;
        }
        state.sum = std::move(saved.sum);
    }
    todo.clear();
    for (int p = plan.first_pass; p < plan.end_pass; p++) {
        if (!state.sum.holds(p)) {
            todo.push_back(p);
        }
    }
    return true;
}

bool PassRender::start(std::string *why)
{
    if (!read_saved(why)) {
        return false;
    }
    size_t pixels = static_cast<size_t>(plan.width) * plan.rows;
    if (!state.sum.passes().empty()) {
        for (size_t i = 0; i < pixels; i++) {
            image[i] = pack(state.sum.mean(i));
        }
    } else if (!direct) {
        state.sum = PassSum(pixels);
    }
    // The frame of colours of a pass is taken now, before the first pixel:
    // running out of memory is reported at once, not after a pass.
    if (!direct) {
        colours.assign(pixels, Color());
    }
    planned = plan.end_pass == PassSum::MAX_PASSES && plan.seconds >= 0.0 ? 0 : static_cast<int>(todo.size());
    begun = std::chrono::steady_clock::now();
    return true;
}

double PassRender::elapsed() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
}

// Starts the next pass wanted, unless the time box would end it first.
bool PassRender::next_pass()
{
    if (todo.empty()) {
        return false;
    }
    if (plan.seconds >= 0.0 && rendered > 0 && elapsed() + elapsed() / rendered > plan.seconds) {
        return false;
    }
    current = todo.front();
    todo.erase(todo.begin());
    rows_now = 0;
    RowSink sink;
    if (!direct) {
        sink.colours = colours.data();
    }
    // Until a pass is held, the picture shows the first one's rows as they come.
    if (passes_in_picture() == 0) {
        sink.packed = image;
        sink.pack = pack;
    }
    farm.reset(new RowFarm(plan.threads, colour, state.key.sampler, state.key.rays, current, plan.width, plan.first_row,
                           plan.rows, sink));
    started = farm->started();
    thread_why = farm->start_failure();
    if (started == 0) {
        farm.reset();
        todo.clear();
        return false;
    }
    return true;
}

// The pass just done is saved with the passes held; then it joins the sum
// and the picture shows the new mean. A pass that cannot be saved ends the
// render, and stays out of the picture.
void PassRender::finish_pass()
{
    farm.reset();
    rendered++;
    if (direct) {
        return;
    }
    NewPass done{current, colours};
    if (plan.state != nullptr && !plan.state->write(state.key, state.sum, &done, &state_why)) {
        todo.clear();
        return;
    }
    state.sum.add(done);
    size_t pixels = state.sum.pixels();
    for (size_t i = 0; i < pixels; i++) {
        image[i] = pack(state.sum.mean(i));
    }
}

bool PassRender::step(int ms)
{
    if (farm == nullptr && !next_pass()) {
        return false;
    }
    rows_now = farm->wait_beyond(rows_now, ms);
    if (rows_now == plan.rows) {
        finish_pass();
        return !todo.empty();
    }
    return true;
}

void PassRender::stop()
{
    if (farm != nullptr) {
        farm->stop();
        farm.reset();
    }
    todo.clear();
}

std::unique_lock<std::mutex> PassRender::lock_image()
{
    return farm != nullptr ? farm->lock() : std::unique_lock<std::mutex>();
}

double PassRender::fraction_done() const
{
    double rows_all = static_cast<double>(plan.rows);
    double done = rendered * rows_all + (farm != nullptr ? rows_now : 0);
    if (planned > 0) {
        return done / (planned * rows_all);
    }
    // Only the time box ends the run: the share of it that is gone.
    double e = elapsed();
    return plan.seconds > 0.0 ? std::min(1.0, e / plan.seconds) : 1.0;
}

double PassRender::seconds_left() const
{
    double f = fraction_done();
    if (f <= 0.0) {
        return -1.0;
    }
    double left = elapsed() / f * (1.0 - f);
    if (plan.seconds >= 0.0) {
        left = std::min(left, std::max(0.0, plan.seconds - elapsed()));
    }
    return left;
}
