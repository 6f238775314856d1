#include "parallel/pass_sum.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>

#include "numeric/floats.h"

int64_t PassSum::fixed(double value)
{
    if (!(value > -1.0)) {
        return value == value ? -(int64_t(1) << 40) : 0; // NaN fails every test
    }
    if (value > 1.0) {
        value = 1.0;
    }
    // Exact: a power of two scales without rounding; then to the nearest
    // integer, ties to even.
    return static_cast<int64_t>(std::nearbyint(value * 1099511627776.0));
}

bool PassSum::holds(int pass) const
{
    return std::binary_search(held.begin(), held.end(), pass);
}

double PassSum::colour_word(size_t k) const
{
    return double_of(data[k]);
}

// The colours of the one pass held become its fixed-point sums, in place.
void PassSum::to_sums()
{
    for (size_t k = 0; k < data.size(); k++) {
        data[k] = static_cast<uint64_t>(fixed(colour_word(k)));
    }
}

// Word k once a colour channel of the given value is added: the bits of the
// first pass's colour, then fixed-point sums, the one pass held before
// turned into its sum on the way. (The sums are kept in unsigned words, whose
// wrap-around addition is the two's complement sum of the signed values.)
uint64_t PassSum::word_after(size_t k, double value) const
{
    if (held.empty()) {
        return bits_of(value);
    }
    uint64_t sum = held.size() == 1 ? static_cast<uint64_t>(fixed(colour_word(k))) : data[k];
    return sum + static_cast<uint64_t>(fixed(value));
}

void PassSum::words_after(const NewPass *pass, size_t first, size_t n, uint64_t *out) const
{
    for (size_t i = first; i < first + n; i++) {
        uint64_t *word = out + (i - first) * 3;
        if (pass == nullptr) {
            memcpy(word, &data[i * 3], 3 * sizeof(uint64_t));
            continue;
        }
        const Color &c = pass->colours[i];
        word[0] = word_after(i * 3, c.x);
        word[1] = word_after(i * 3 + 1, c.y);
        word[2] = word_after(i * 3 + 2, c.z);
    }
}

std::vector<int> PassSum::passes_after(const NewPass *pass) const
{
    std::vector<int> all = held;
    if (pass != nullptr) {
        all.insert(std::upper_bound(all.begin(), all.end(), pass->number), pass->number);
    }
    return all;
}

void PassSum::add(const NewPass &pass)
{
    // Word by word in place: each is read before it is written.
    words_after(&pass, 0, count, data.data());
    held = passes_after(&pass);
}

bool PassSum::merge(const PassSum &other, int *shared)
{
    for (int pass : other.held) {
        if (holds(pass)) {
            *shared = pass;
            return false;
        }
    }
    if (other.held.empty()) {
        return true;
    }
    if (held.empty()) {
        held = other.held;
        data = other.data;
        return true;
    }
    if (held.size() == 1) {
        to_sums();
    }
    for (size_t k = 0; k < data.size(); k++) {
        if (other.held.size() == 1) {
            add_fixed(k, other.colour_word(k));
        } else {
            data[k] += other.data[k];
        }
    }
    std::vector<int> all;
    std::merge(held.begin(), held.end(), other.held.begin(), other.held.end(), std::back_inserter(all));
    held = all;
    return true;
}

Color PassSum::mean(size_t i) const
{
    if (held.size() == 1) {
        return Color(colour_word(i * 3), colour_word(i * 3 + 1), colour_word(i * 3 + 2));
    }
    return mean_over(i, static_cast<int>(held.size()));
}

Color PassSum::mean_over(size_t i, int n) const
{
    // The sum to double (exact below 2^53), back to the colour scale (exact),
    // divided by the count.
    double count = static_cast<double>(n);
    return Color(static_cast<double>(fixed_word(i * 3)) * FIXED_UNIT / count,
                 static_cast<double>(fixed_word(i * 3 + 1)) * FIXED_UNIT / count,
                 static_cast<double>(fixed_word(i * 3 + 2)) * FIXED_UNIT / count);
}

void PassSum::set(std::vector<int> passes, std::vector<uint64_t> &&words)
{
    held = std::move(passes);
    data = std::move(words);
    count = data.size() / 3;
}
