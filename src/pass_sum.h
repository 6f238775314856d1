#ifndef RT_PASS_SUM_H
#define RT_PASS_SUM_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "color.h"

// The mean of the passes of a frame, kept so that it depends only on which
// passes it holds, not on the order they were added or merged in: one pass
// is kept as its colours, exactly, so that its mean is itself; two or more as
// sums of the colours taken to fixed point, which integers add exactly in any
// order.
class PassSum
{
  public:
    // Fixed point: multiples of 2^-40 within -1 .. 1 (NaN counts as 0).
    // Samples are capped at 1, so only a scene of negative colours is clipped.
    static int64_t fixed(double value);
    // The most passes a sum holds: their sums stay within an int64.
    static const int MAX_PASSES = 1 << 22;

    explicit PassSum(size_t pixels = 0) : count(pixels) {}

    size_t pixels() const { return count; }
    // The passes held, ascending.
    const std::vector<int> &passes() const { return held; }
    bool holds(int pass) const;

    // Adds pass `pass`, which is not held, with one colour per pixel.
    void add(int pass, std::vector<Color> &&colours);
    // Adds the passes of other, which has as many pixels; false, nothing
    // added, when both hold a pass (*shared is then that pass).
    bool merge(const PassSum &other, int *shared);

    // The mean colour of pixel i; the sum must hold a pass.
    Color mean(size_t i) const;

    // What a state file keeps: the colours of a sum of one pass, or else the
    // fixed-point sums, three a pixel.
    const std::vector<Color> &colours() const { return exact; }
    const std::vector<int64_t> &sums() const { return fixed_sums; }
    // Restores a sum read from a state file.
    void set(std::vector<int> passes, std::vector<Color> &&colours, std::vector<int64_t> &&sums);

  private:
    void to_sums();
    void add_fixed(const std::vector<Color> &colours);

    size_t count;
    std::vector<int> held;
    std::vector<Color> exact;        // one pass
    std::vector<int64_t> fixed_sums; // two passes or more
};

#endif
