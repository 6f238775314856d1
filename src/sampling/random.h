#ifndef RT_RANDOM_H
#define RT_RANDOM_H

#include <cstdint>
#include <cstdlib>

#include "vector.h"

// A counter-based stream of 31-bit numbers, keyed by a pixel and a pass: the
// n-th number depends only on the key and n, so a pixel draws the same
// numbers whichever thread or machine renders it, and in whatever order.
// Pass 0's stream is the pixel's own (mix(0) is 0); every other pass starts
// from a key scrambled by its number.
class PixelRandom
{
  public:
    PixelRandom(int x, int y, int pass = 0)
        : state(mix((static_cast<uint64_t>(static_cast<uint32_t>(y)) << 32 | static_cast<uint32_t>(x)) ^
                    mix(static_cast<uint64_t>(static_cast<uint32_t>(pass)))))
    {
    }

    // 0 .. 2147483647, the range of the C library's rand().
    int next()
    {
        state += 0x9E3779B97F4A7C15ull;
        return static_cast<int>(mix(state) >> 33);
    }

  private:
    // SplitMix64's finaliser: every input bit affects every output bit.
    static uint64_t mix(uint64_t z)
    {
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    uint64_t state;
};

// The stream of the pixel this thread is rendering, or null in the classic
// mode, where every number comes from the C library's one unseeded rand()
// sequence and the order of draws across the whole frame fixes the picture.
extern thread_local PixelRandom *pixel_random;

// Every random number of a render comes through here.
inline int random_int()
{
    return pixel_random != nullptr ? pixel_random->next() : std::rand();
}

// A number in [0, 1].
inline double random_unit()
{
    return random_int() / 2147483647.0;
}

// A unit vector spread evenly over all directions, by rejection in the cube:
// three draws per attempt, so the number of draws varies, and every later
// draw of the sequence depends on it.
Vector3 random_direction();

#endif
