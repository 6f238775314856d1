#ifndef RT_PASS_SUM_H
#define RT_PASS_SUM_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "color.h"

// A pass rendered but not yet in a sum: its number and one colour a pixel.
struct NewPass {
    int number;
    const std::vector<Color> &colours;
};

// The mean of the passes of a frame, kept so that it depends only on which
// passes it holds, not on the order they were added or merged in: one pass
// is kept as its colours, exactly, so that its mean is itself; two or more as
// sums of the colours taken to fixed point, which integers add exactly in any
// order. Either way three 64-bit words a pixel: the doubles' bits, or the
// sums, which replace them in place when the second pass comes.
class PassSum
{
  public:
    // Fixed point: multiples of 2^-40 within -1 .. 1 (NaN counts as 0).
    // Samples are capped at 1, so only a scene of negative colours is clipped.
    static int64_t fixed(double value);
    static constexpr double FIXED_UNIT = 0x1p-40;
    // The most passes a sum holds: their sums stay within an int64.
    static constexpr int MAX_PASSES = 1 << 22;

    // Takes the memory of `pixels` pixels at once.
    explicit PassSum(size_t pixels = 0) : count(pixels), data(pixels * 3) {}

    size_t pixels() const { return count; }
    // The passes held, ascending.
    const std::vector<int> &passes() const { return held; }
    bool holds(int pass) const;

    // Adds a pass that is not held.
    void add(const NewPass &pass);
    // The words of pixels first .. first + n - 1 (three each, as words()
    // has them) with `pass` added, or as they are when it is null, and the
    // passes then held; the sum itself is unchanged. A pass is saved so
    // before it joins the sum: the sum is never ahead of its saved state.
    void words_after(const NewPass *pass, size_t first, size_t n, uint64_t *out) const;
    std::vector<int> passes_after(const NewPass *pass) const;
    // Adds the passes of other, which has as many pixels; false, nothing
    // added, when both hold a pass (*shared is then that pass).
    bool merge(const PassSum &other, int *shared);

    // The mean colour of pixel i; the sum must hold a pass.
    Color mean(size_t i) const;
    // Pixel i's fixed-point sums divided by n, a count of passes (of two or
    // more held): one rounding, the same for every order.
    Color mean_over(size_t i, int n) const;
    // Word k (channel k % 3 of pixel k / 3) as a fixed-point sum, also when
    // the sum holds one pass.
    int64_t fixed_word(size_t k) const
    {
        return held.size() == 1 ? fixed(colour_word(k)) : static_cast<int64_t>(data[k]);
    }

    // What a state file keeps: the passes, and the words (the bits of the
    // colours of one pass, or the sums of two or more), three a pixel.
    const std::vector<uint64_t> &words() const { return data; }
    void set(std::vector<int> passes, std::vector<uint64_t> &&words);

  private:
    double colour_word(size_t k) const;
    void to_sums();
    void add_fixed(size_t k, double value) { data[k] += static_cast<uint64_t>(fixed(value)); }
    uint64_t word_after(size_t k, double value) const;

    size_t count;
    std::vector<int> held;
    std::vector<uint64_t> data;
};

#endif
