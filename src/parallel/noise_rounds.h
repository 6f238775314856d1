#ifndef RT_NOISE_ROUNDS_H
#define RT_NOISE_ROUNDS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "parallel/pass_sum.h"

// A render to a noise target goes in rounds of passes. The rounds' passes are
// fixed: round 0 is passes 0 and 1, and every round after adds an even number
// of passes, about an eighth of those before it. Round 0 renders every pixel;
// a later round renders the pixels of the round before whose own estimated
// error is still above the target, and none once the picture's is not: so
// the choice of a round's pixels depends on the passes of the rounds before
// it and on nothing else, and it is kept with the passes. A round can then be
// rendered by any number of runs, in any pieces, and merged: the picture is
// the same bytes however.
//
// The error is estimated from the passes themselves: the means of a pixel's
// even passes and of its odd ones are independent estimates of its colour
// (the sobol sampler draws them from two copies of the sequence), so half
// their difference, squared, estimates the variance of the mean of both,
// allowing for their counts. A pixel's own estimate is the error of its
// colour relative to the picture's level, the root mean square of every
// pixel's colour; the picture's estimate is the root mean square of the
// pixels'. A pixel is left out of the next round when its estimate and its
// 3x3 neighbourhood's are both under half the target (one pixel's two
// halves may agree by chance).
class NoiseRounds
{
  public:
    // The first pass of a round.
    static int round_begin(int round);
    static int round_of(int pass);
    // No pixel is left out of a round before this many passes.
    static const int FIRST_CHOICE_PASSES = 8;

    NoiseRounds() {}
    // A frame of `pixels`: round 0 chosen, with every pixel in it.
    explicit NoiseRounds(size_t pixels) : rounds(pixels, 1), odd(3 * pixels) {}

    bool empty() const { return rounds.empty(); }
    // The rounds chosen: 0 .. chosen() - 1.
    int chosen() const { return chosen_rounds; }
    // Whether pixel i is rendered in pass `pass` of a round chosen.
    bool renders(size_t i, int pass) const { return round_of(pass) < static_cast<int>(rounds[i]); }

    // The words of the odd passes' sums of pixels first .. first + n - 1
    // (three each) with `pass` added, or as they are when it is null.
    void words_after(const NewPass *pass, size_t first, size_t n, uint64_t *out) const;
    // Adds a pass; then count() again.
    void add(const NewPass &pass);
    // Adds the odd sums of other, of the same frame, and takes the later of
    // the two choices; false with *why set, nothing changed, when the rounds
    // that both chose were chosen otherwise (they were rendered from other
    // passes). Then count() again.
    bool merge(const NoiseRounds &other, std::string *why);

    // Counts the passes that each pixel has of those held (ascending).
    void count(const std::vector<int> &held);
    int passes_of(size_t i) const { return below[rounds[i]]; }
    int odd_passes_of(size_t i) const { return odd_below[rounds[i]]; }
    // The mean colour of pixel i, of the passes it has; black where none.
    Color mean(const PassSum &sum, size_t i) const;

    // The picture's estimated relative error; below 0 while some pixel has
    // no odd or no even pass.
    double error(const PassSum &sum) const;

    enum Choice { NEXT_CHOSEN, FINISHED, WAITING };
    // Chooses the pixels of the next round, when every pass of the rounds
    // chosen is held (else WAITING); FINISHED when the picture's error is
    // at most the target, or no pixel's is above it. Counted again after.
    Choice choose_next(const PassSum &sum, int width, double target);

    // What a state file keeps: for every pixel the number of rounds it is
    // rendered in, of those chosen (rounds 0 .. rounds[i] - 1), and the
    // fixed-point sums of its odd passes' colours.
    std::vector<uint32_t> rounds;
    std::vector<uint64_t> odd;
    int chosen_rounds = 1;

  private:
    // The variance of pixel i's mean, estimated from its two halves, summed
    // over the channels; infinite when a half has no pass.
    double variance(const PassSum &sum, size_t i) const;
    // The mean square of the pixels' colours, summed over the channels.
    double level(const PassSum &sum) const;

    std::vector<int> below;     // by round r: the passes held of the rounds before r
    std::vector<int> odd_below; // and of those the odd ones
};

#endif
