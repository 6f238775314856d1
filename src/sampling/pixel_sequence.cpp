#include "sampling/pixel_sequence.h"

namespace
{

// SplitMix64's finaliser: every input bit affects every output bit.
uint64_t mix(uint64_t z)
{
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

const uint64_t GOLDEN = 0x9E3779B97F4A7C15ull;

} // namespace

PixelSequence::PixelSequence(int x, int y, int pass, int rays, bool halves)
{
    uint32_t copy = halves ? static_cast<uint32_t>(pass) & 1 : 0;
    uint32_t run = halves ? static_cast<uint32_t>(pass) >> 1 : static_cast<uint32_t>(pass);
    pixel_key = mix((static_cast<uint64_t>(static_cast<uint32_t>(y)) << 32 | static_cast<uint32_t>(x)) + copy * GOLDEN);
    pass_reversed = sobol::reverse_bits(run);
    first_index = static_cast<uint64_t>(run) * static_cast<uint32_t>(rays);
}

void PixelSequence::begin_path()
{
    if (!begun) {
        begun = true;
        index_reversed = sobol::reverse_bits(static_cast<uint32_t>(first_index));
    } else {
        path++;
        // One added to the index, in reverse order: the carry runs down
        // from the top bit.
        uint32_t bit = 0x80000000u;
        while (index_reversed & bit) {
            index_reversed ^= bit;
            bit >>= 1;
        }
        index_reversed |= bit;
    }
    group = 0;
    drawn = 0;
    lead = 0;
}

// The key of the group: the position's is the cell's, every other the
// group's number's (and the index's bits above 32, which go into the key
// rather than the index: a pixel that casts more than 2^32 paths starts
// another copy of the sequence). The position is point `pass` of its cell's
// sequence; every other group shuffles the path's index.
void PixelSequence::open_group()
{
    if (group == 0) {
        key = mix(pixel_key ^ (path + 1) * GOLDEN);
        group_index = pass_reversed;
        return;
    }
    uint64_t high = (first_index + path) >> 32;
    key = mix(pixel_key + (static_cast<uint64_t>(group) << 32 | high) * GOLDEN);
    group_index = sobol::upward_hash(index_reversed, static_cast<uint32_t>(key));
}

// A hash of the group's key, the path's index in the group and d.
int PixelSequence::beyond_the_sequence(uint32_t d) const
{
    return static_cast<int>(mix(key ^ (static_cast<uint64_t>(group_index) << 8 | d)) >> 33);
}

int PixelSequence::next()
{
    if (drawn == 0) {
        open_group();
    }
    uint32_t d = drawn++;
    if (d >= static_cast<uint32_t>(sobol::DIMENSIONS)) {
        return beyond_the_sequence(d);
    }
    // The draws from the group's lead on take the dimensions in order, the
    // draws before it the last ones.
    int dim = static_cast<int>((d - lead) & (sobol::DIMENSIONS - 1));
    return static_cast<int>((sobol::point_by_reversed(group_index, dim) ^ value_mask(d)) >> 1);
}
