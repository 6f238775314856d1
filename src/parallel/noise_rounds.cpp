#include "parallel/noise_rounds.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace
{

// The passes of the round that begins at pass b: two, or an eighth of b,
// rounded down to an even number.
int round_length(int b)
{
    return 2 * std::max(1, b / 16);
}

} // namespace

int NoiseRounds::round_begin(int round)
{
    int b = 0;
    for (int r = 0; r < round && b < PassSum::MAX_PASSES; r++) {
        b += round_length(b);
    }
    return std::min(b, PassSum::MAX_PASSES);
}

int NoiseRounds::round_of(int pass)
{
    int round = 0;
    for (int b = 0; b + round_length(b) <= pass; b += round_length(b)) {
        round++;
    }
    return round;
}

void NoiseRounds::words_after(const NewPass *pass, size_t first, size_t n, uint64_t *out) const
{
    std::copy(odd.begin() + 3 * first, odd.begin() + 3 * (first + n), out);
    if (pass == nullptr || pass->number % 2 == 0) {
        return;
    }
    for (size_t i = first; i < first + n; i++) {
        const Color &c = pass->colours[i];
        uint64_t *word = out + 3 * (i - first);
        word[0] += static_cast<uint64_t>(PassSum::fixed(c.x));
        word[1] += static_cast<uint64_t>(PassSum::fixed(c.y));
        word[2] += static_cast<uint64_t>(PassSum::fixed(c.z));
    }
}

void NoiseRounds::add(const NewPass &pass)
{
    words_after(&pass, 0, rounds.size(), odd.data());
}

bool NoiseRounds::merge(const NoiseRounds &other, std::string *why)
{
    // Every pixel that one of the two left out of a round both chose must be
    // left out of it by the other too.
    const NoiseRounds &fewer = other.chosen_rounds < chosen_rounds ? other : *this;
    const NoiseRounds &more = other.chosen_rounds < chosen_rounds ? *this : other;
    uint32_t shared = static_cast<uint32_t>(fewer.chosen_rounds);
    for (size_t i = 0; i < rounds.size(); i++) {
        if (std::min(more.rounds[i], shared) != fewer.rounds[i]) {
            *why = "other pixels in round " + std::to_string(std::min(more.rounds[i], fewer.rounds[i]));
            return false;
        }
    }
    if (&more != this) {
        rounds = other.rounds;
        chosen_rounds = other.chosen_rounds;
    }
    for (size_t k = 0; k < odd.size(); k++) {
        odd[k] += other.odd[k];
    }
    return true;
}

void NoiseRounds::count(const std::vector<int> &held)
{
    below.assign(chosen_rounds + 1, 0);
    odd_below.assign(chosen_rounds + 1, 0);
    for (int p : held) {
        for (int r = round_of(p) + 1; r <= chosen_rounds; r++) {
            below[r]++;
            odd_below[r] += p % 2;
        }
    }
}

Color NoiseRounds::mean(const PassSum &sum, size_t i) const
{
    int n = passes_of(i);
    if (n == 0) {
        return Color();
    }
    if (sum.passes().size() == 1) {
        return sum.mean(i); // the one pass's colours, exactly
    }
    return sum.mean_over(i, n);
}

double NoiseRounds::variance(const PassSum &sum, size_t i) const
{
    int n = passes_of(i), n_odd = odd_passes_of(i), n_even = n - n_odd;
    if (n_odd == 0 || n_even == 0) {
        return std::numeric_limits<double>::infinity();
    }
    double v = 0.0;
    for (size_t k = 3 * i; k < 3 * i + 3; k++) {
        int64_t odd_sum = static_cast<int64_t>(odd[k]);
        double even_mean = static_cast<double>(sum.fixed_word(k) - odd_sum) * PassSum::FIXED_UNIT / n_even;
        double odd_mean = static_cast<double>(odd_sum) * PassSum::FIXED_UNIT / n_odd;
        double d = even_mean - odd_mean;
        v += d * d;
    }
    // The halves' difference has the variance of a pass times 1/n_even +
    // 1/n_odd; the mean, of a pass over n.
    return v / ((1.0 / n_even + 1.0 / n_odd) * n);
}

double NoiseRounds::level(const PassSum &sum) const
{
    double squares = 0.0;
    for (size_t i = 0; i < rounds.size(); i++) {
        Color m = mean(sum, i);
        squares += (m.x * m.x + m.y * m.y) + m.z * m.z;
    }
    return squares / static_cast<double>(rounds.size());
}

double NoiseRounds::error(const PassSum &sum) const
{
    double variances = 0.0;
    for (size_t i = 0; i < rounds.size(); i++) {
        variances += variance(sum, i);
    }
    if (std::isinf(variances)) {
        return -1.0;
    }
    double squares = level(sum) * static_cast<double>(rounds.size());
    // A black picture has no noise.
    return squares > 0.0 ? std::sqrt(variances / squares) : 0.0;
}

NoiseRounds::Choice NoiseRounds::choose_next(const PassSum &sum, int width, double target)
{
    int end = round_begin(chosen_rounds);
    if (below[chosen_rounds] != end) {
        return WAITING;
    }
    double e = error(sum);
    if ((e >= 0.0 && e <= target) || end >= PassSum::MAX_PASSES) {
        return FINISHED;
    }
    // A pixel goes on while its own estimate, or its neighbourhood's, is
    // above half the target: its variance above a quarter of target^2 times
    // the level. Below that it adds little to the picture's error, while
    // stopping pixels nearer the target leaves too many whose estimate was
    // low by chance, whose error is not (measured on the benchmark scenes).
    double bound = 0.25 * target * target * level(sum);
    size_t pixels = rounds.size();
    std::vector<double> v(pixels);
    for (size_t i = 0; i < pixels; i++) {
        v[i] = variance(sum, i);
    }
    size_t w = static_cast<size_t>(width), h = pixels / w;
    uint32_t last = static_cast<uint32_t>(chosen_rounds);
    std::vector<size_t> going;
    for (size_t i = 0; i < pixels; i++) {
        if (rounds[i] != last) {
            continue;
        }
        size_t x = i % w, y = i / w;
        double around = 0.0;
        int count = 0;
        for (size_t ny = y == 0 ? 0 : y - 1; ny <= std::min(y + 1, h - 1); ny++) {
            for (size_t nx = x == 0 ? 0 : x - 1; nx <= std::min(x + 1, w - 1); nx++) {
                around += v[ny * w + nx];
                count++;
            }
        }
        // NaN and infinity (a half without passes) go on.
        if (end < FIRST_CHOICE_PASSES || !(std::max(v[i], around / count) <= bound)) {
            going.push_back(i);
        }
    }
    if (going.empty()) {
        return FINISHED;
    }
    for (size_t i : going) {
        rounds[i] = last + 1;
    }
    chosen_rounds++;
    count(sum.passes());
    return NEXT_CHOSEN;
}
