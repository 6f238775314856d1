#ifndef RT_PIXEL_SEQUENCE_H
#define RT_PIXEL_SEQUENCE_H

#include <cstdint>

#include "sampling/sobol.h"

// The draws of one pixel's paths in one pass, as points of scrambled copies
// of Sobol's sequence: the sobol sampler of the parallel mode.
//
// A pixel casting `rays` paths a pass gives path i of pass p the index
// p * rays + i, so that passes are disjoint runs of the sequence, each run of
// 2^m passes a net. A path's draws come in groups, which the renderer opens
// as it goes: the position in the pixel, then at every hit one group for
// each light's sample point and one for the bounce. Every path opens the same
// groups in the same order, so a group's number names the same kind of draw
// in every path and every pass. Each group is a copy of the sequence's first
// four dimensions, the order of its points shuffled and its values scrambled
// by a key of the pixel and the group: each group is a net of its own, and
// the groups are as independent of each other as of other pixels (the
// "padding" of a short sequence to the many dimensions of a path). A group's
// draws past the fourth come from a hash. (Keeping the later hits' groups in
// one sequence with the first's measurably gains nothing: the first hit's
// draws are where the sequence pays.)
//
// The position in the pixel is the exception: the renderer splits a pixel
// into 4^k cells, one path each a pass, so path i's position is a point in
// cell i: point p of a copy keyed by the pixel and the cell, so that the
// positions in a cell are a (0, 2)-sequence over the passes.
class PixelSequence
{
  public:
    // With halves, the even and the odd passes are the passes of two copies
    // of their own (pass 2q + c being pass q of copy c).
    PixelSequence(int x, int y, int pass, int rays, bool halves);

    // The next path of the pixel begins: its position's group is open.
    void begin_path();
    // The draws from here on are the next group's. Its draws from `lead` on
    // take the sequence's dimensions in order, the best stratified first
    // (the first three are a net of t = 1), the draws before `lead` the
    // last ones.
    void next_group(int lead_draw)
    {
        group++;
        drawn = 0;
        lead = static_cast<uint32_t>(lead_draw);
    }
    // The next draw: 0 .. 2147483647, as the hash streams give.
    int next();

  private:
    void open_group();
    int beyond_the_sequence(uint32_t d) const;
    // The XOR that scrambles the values of draw d of the group: the top of
    // a product of the group's key (itself a full hash), d flipping some of
    // its bits, which the product carries to all of the top.
    uint32_t value_mask(uint32_t d) const
    {
        return static_cast<uint32_t>(((key ^ (d * 0x5851F42D4C957F2Dull)) * 0x94D049BB133111EBull) >> 32);
    }

    uint64_t pixel_key;
    uint32_t pass_reversed;      // the pass's bits in reverse order: the index of the positions
    uint64_t first_index;        // pass * rays
    uint32_t path = 0;           // the path of this pixel in this pass, once begun
    uint32_t index_reversed = 0; // bits 0 .. 31 of the path's index, in reverse order
    uint32_t group = 0;          // 0: the position
    uint32_t drawn = 0;          // draws so far in the group
    uint32_t lead = 0;           // the group's draw that takes dimension 0
    bool begun = false;
    // The group open: its key, and the index of its point, shuffled, in
    // reverse order.
    uint64_t key = 0;
    uint32_t group_index = 0;
};

#endif
