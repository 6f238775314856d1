#include "parallel/pass_render.h"

#include <algorithm>

PassRender::PassRender(const Plan &plan, PixelColour colour, ColourPacker pack, uint32_t *image)
    : plan(plan), colour(colour), pack(pack), image(image)
{
    state.key = plan.key;
    direct =
        plan.state == nullptr && plan.end_pass - plan.first_pass == 1 && !plan.keep_colours && plan.key.noise == 0.0;
}

Color PassRender::shown_colour(size_t i) const
{
    return passes_in_picture() > 0 ? state.mean(i) : colours[i];
}

// Whether a state read is of this frame (taking its sampler when none was
// named, and it is the first read); false with *why set.
bool PassRender::of_this_frame(const State &saved, bool first, const std::string &whose, std::string *why)
{
    if (!plan.sampler_given && first) {
        state.key.sampler = saved.key.sampler;
    }
    std::string differs = key_difference(saved.key, state.key);
    if (!differs.empty()) {
        *why = whose + "saved for " + differs;
    }
    return differs.empty();
}

bool PassRender::read_saved(std::string *why)
{
    State saved, base;
    bool have_own = plan.state != nullptr && !plan.state->empty();
    if (plan.rounds_of != nullptr) {
        std::string whose = std::string("the rounds' state ") + plan.rounds_of + ": ";
        if (!read_state(plan.rounds_of, &base, why)) {
            *why = whose + *why;
            return false;
        }
        if (!of_this_frame(base, true, whose, why)) {
            return false;
        }
    }
    if (have_own && !(plan.state->read(&saved, why) && of_this_frame(saved, plan.rounds_of == nullptr, "", why))) {
        return false;
    }
    if (plan.rounds_of == nullptr) {
        state.sum = std::move(saved.sum);
        state.noise = std::move(saved.noise);
    } else {
        // The passes of both, as a merge of the two would hold them.
        if (!have_own) {
            saved.begin(state.key, base.sum.pixels());
        }
        int shared;
        base.key = state.key;
        if (!base.merge(saved, &shared, why)) {
            *why = shared >= 0 ? "pass " + std::to_string(shared) + " is in " + plan.rounds_of + " too"
                               : *why + " than " + plan.rounds_of;
            return false;
        }
        state.sum = std::move(base.sum);
        state.noise = std::move(base.noise);
        own = std::move(saved);
    }
    want_passes();
    estimate = noise_estimate();
    return true;
}

// The passes still wanted, ascending: those of the range that are not held;
// with a noise target only those of the rounds chosen, the next round's
// pixels chosen whenever every pass of the rounds before it is held. (A new
// frame has chosen round 0 alone, and takes no memory for that until it
// starts.)
void PassRender::want_passes()
{
    const bool rounds = plan.key.noise > 0.0;
    for (;;) {
        todo.clear();
        int end = plan.end_pass;
        if (rounds) {
            end = std::min(end, NoiseRounds::round_begin(state.noise.empty() ? 1 : state.noise.chosen()));
        }
        for (int p = plan.first_pass; p < end; p++) {
            if (!state.sum.holds(p)) {
                todo.push_back(p);
            }
        }
        if (!todo.empty() || !rounds || state.noise.empty() ||
            state.noise.choose_next(state.sum, plan.width, plan.key.noise) != NoiseRounds::NEXT_CHOSEN) {
            break;
        }
    }
    // A state of this run's passes alone keeps the rounds chosen too.
    if (plan.rounds_of != nullptr && !own.noise.empty()) {
        own.noise.rounds = state.noise.rounds;
        own.noise.chosen_rounds = state.noise.chosen_rounds;
        own.noise.count(own.sum.passes());
    }
}

double PassRender::noise_estimate() const
{
    return plan.key.noise > 0.0 && !state.noise.empty() ? state.noise.error(state.sum) : -1.0;
}

bool PassRender::start(std::string *why)
{
    if (!read_saved(why)) {
        return false;
    }
    size_t pixels = static_cast<size_t>(plan.width) * plan.rows;
    if (!state.sum.passes().empty()) {
        for (size_t i = 0; i < pixels; i++) {
            image[i] = pack(state.mean(i));
        }
    } else if (!direct) {
        state.begin(state.key, pixels);
    }
    estimate = noise_estimate();
    // The frame of colours of a pass is taken now, before the first pixel:
    // running out of memory is reported at once, not after a pass.
    if (!direct) {
        colours.assign(pixels, Color());
    }
    // With a noise target the passes wanted grow round by round.
    bool open = plan.key.noise > 0.0 || (plan.end_pass == PassSum::MAX_PASSES && plan.seconds >= 0.0);
    planned = open ? 0 : static_cast<int>(todo.size());
    before = static_cast<int>(state.sum.passes().size());
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
    if (!state.noise.empty()) {
        sink.rounds = state.noise.rounds.data();
        sink.round = static_cast<uint32_t>(NoiseRounds::round_of(current));
    }
    // A noise target's estimate needs halves of the passes that are
    // independent of each other.
    PassSampling how;
    how.sampler = state.key.sampler;
    how.rays = state.key.rays;
    how.halves = state.key.noise > 0.0;
    farm.reset(new RowFarm(plan.threads, colour, how, current, plan.width, plan.first_row, plan.rows, sink));
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
    if (plan.state != nullptr && !plan.state->write(plan.rounds_of != nullptr ? own : state, &done, &state_why)) {
        todo.clear();
        return;
    }
    if (plan.rounds_of != nullptr) {
        own.add(done);
    }
    state.add(done);
    size_t pixels = state.sum.pixels();
    for (size_t i = 0; i < pixels; i++) {
        image[i] = pack(state.mean(i));
    }
    if (todo.empty()) {
        want_passes();
    }
    estimate = noise_estimate();
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
    // The share of the time box that is gone, or of the passes that the
    // noise target takes, by the estimate so far (the noise of independent
    // samples falls as one over the root of their number).
    double e = elapsed(), share = plan.seconds > 0.0 ? std::min(1.0, e / plan.seconds) : 0.0;
    if (plan.key.noise > 0.0) {
        double noise = estimate > 0.0 ? std::min(1.0, (plan.key.noise / estimate) * (plan.key.noise / estimate)) : 0.0;
        return std::max(share, estimate == 0.0 ? 1.0 : noise);
    }
    return plan.seconds > 0.0 ? share : 1.0;
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
