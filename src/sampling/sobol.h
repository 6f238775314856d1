#ifndef RT_SOBOL_H
#define RT_SOBOL_H

#include <cstdint>

// The first four dimensions of Sobol's sequence as 32-bit fractions (the
// value times 2^32), and the scramble that shuffles the order of its points.
// Only integer operations: every machine gives the same bits.
//
// Point n is the XOR of the direction numbers of n's set bits (the natural
// order, not Gray code order), so any 2^m points from a multiple of 2^m on
// form a (t, m, s)-net: in the first two dimensions a (0, m, 2)-net, one
// point in every box of area 2^-m whose sides are powers of two; in the first
// three t = 1. The direction numbers are Joe and Kuo's for dimensions 2 to 4
// (the first is the van der Corput sequence).
namespace sobol
{

const int DIMENSIONS = 4;

// The XOR of the direction numbers for each 8 bits of an index, looked up
// by the index's bits in reverse order (the order that the shuffle works in):
// a point is four lookups. The four dimensions of a lookup lie side by side,
// so that the draws of one group read the same four lines of the cache.
struct ByteTables {
    uint32_t t[4][256][DIMENSIONS];
};
extern const ByteTables byte_tables;

// The bits of x in the reverse order.
inline uint32_t reverse_bits(uint32_t x)
{
    x = __builtin_bswap32(x);
    x = ((x >> 4) & 0x0F0F0F0Fu) | ((x & 0x0F0F0F0Fu) << 4);
    x = ((x >> 2) & 0x33333333u) | ((x & 0x33333333u) << 2);
    return ((x >> 1) & 0x55555555u) | ((x & 0x55555555u) << 1);
}

// Point n in dimension dim (0 .. 3), from n's bits in reverse order.
inline uint32_t point_by_reversed(uint32_t reversed_index, int dim)
{
    const auto &t = byte_tables.t;
    uint32_t r = reversed_index;
    return t[0][r & 0xFF][dim] ^ t[1][(r >> 8) & 0xFF][dim] ^ t[2][(r >> 16) & 0xFF][dim] ^ t[3][r >> 24][dim];
}

// Point `index` in dimension dim.
inline uint32_t point(uint32_t index, int dim)
{
    return point_by_reversed(reverse_bits(index), dim);
}

// A permutation of 32-bit words, keyed by seed, in which bit b of the result
// depends only on bits 0 .. b of x: adding the seed carries upwards, and so do
// products. (Laine and Karras's hash, with the constants of Vegdahl's
// better-mixing variant.) Applied to an index's bits in reverse order, it is
// Owen's nested scramble of the index: bit b, counted from the top, flips by a
// hash of the bits above it. That shuffles the order of the points within
// every aligned run of 2^m of them, so every such run stays a net, and
// shuffles the runs among themselves.
inline uint32_t upward_hash(uint32_t x, uint32_t seed)
{
    x ^= x * 0x3d20adeau;
    x += seed;
    x *= (seed >> 16) | 1u;
    x ^= x * 0x05526c56u;
    x ^= x * 0x53a22864u;
    return x;
}

// Point `index` of the sequence in dimension dim, its points shuffled by
// shuffle_seed and its values scrambled by value_mask: an XOR with a fixed
// word, which moves every box a net's property counts onto another such box.
inline uint32_t scrambled_point(uint32_t index, int dim, uint32_t shuffle_seed, uint32_t value_mask)
{
    return point_by_reversed(upward_hash(reverse_bits(index), shuffle_seed), dim) ^ value_mask;
}

} // namespace sobol

#endif
