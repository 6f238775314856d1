#ifndef RT_RANDOM_H
#define RT_RANDOM_H

#include <cstdint>
#include <cstdlib>

#include "sampling/pixel_sequence.h"
#include "vector.h"

// A counter-based stream of 31-bit numbers, keyed by a pixel and a pass: the
// n-th number depends only on the key and n, so a pixel draws the same
// numbers whichever thread or machine renders it, and in whatever order.
// Pass 0's stream is the pixel's own (mix(0) is 0); every other pass starts
// from a key scrambled by its number.
class PixelRandom
{
  public:
    PixelRandom(int x, int y, int pass)
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

// The parallel mode's samplers: every pixel's draws come from a hash stream
// of independent numbers (the parallel mode's first sampler, which states
// saved before there was a choice used), or from a scrambled Sobol sequence
// of its own. The numbers are stored in state files.
enum class Sampler : uint32_t { hash = 0, sobol = 1 };

// How every pixel of a pass draws: from which sampler, casting how many
// rays, and whether the even and the odd passes draw from two independent
// copies of the sequence, so that the means of the two halves of the passes
// are independent estimates of the picture, whose difference tells its noise
// (halves of one sequence are not: each is stratified unlike the other).
struct PassSampling {
    Sampler sampler = Sampler::sobol;
    int rays = 1;
    bool halves = false;
};

// The draws of one pixel in one pass, from the sampler chosen.
class PixelSampler
{
  public:
    PixelSampler(const PassSampling &how, int x, int y, int pass)
        : sobol(how.sampler == Sampler::sobol), stream(x, y, pass), sequence(x, y, pass, how.rays, how.halves)
    {
    }

    int next() { return sobol ? sequence.next() : stream.next(); }
    bool begin_path()
    {
        if (sobol) {
            sequence.begin_path();
        }
        return sobol;
    }
    void next_group(int lead_draw)
    {
        if (sobol) {
            sequence.next_group(lead_draw);
        }
    }
    bool draws_sequence() const { return sobol; }

  private:
    bool sobol;
    PixelRandom stream;
    PixelSequence sequence;
};

// The draws of the pixel this thread is rendering, or null in the classic
// mode, where every number comes from the C library's one unseeded rand()
// sequence and the order of draws across the whole frame fixes the picture.
// (__thread, not thread_local: a variable that cannot have a dynamic
// initialiser, which other files then read without C++'s check for one,
// at every draw.)
extern __thread PixelSampler *pixel_sampler;

// Every random number of a render comes through here.
inline int random_int()
{
    PixelSampler *s = pixel_sampler;
    return s != nullptr ? s->next() : std::rand();
}

// A path from the camera begins. True when the sampler places every path in
// its pixel, also the one path of a pixel that casts one ray (the sequence
// does, across the passes); otherwise a lone path aims at the pixel's
// centre.
inline bool begin_path()
{
    PixelSampler *s = pixel_sampler;
    return s != nullptr && s->begin_path();
}

// The draws from here on are the next group of the path's draws: a light's
// sample point, or a bounce. Only the sequence tells groups apart; it gives
// the draws from lead_draw on (a direction, then its acceptance) the
// best-stratified dimensions, and the draws before it the others.
inline void begin_draws(int lead_draw = 0)
{
    PixelSampler *s = pixel_sampler;
    if (s != nullptr) {
        s->next_group(lead_draw);
    }
}

// A number in [0, 1].
inline double random_unit()
{
    return random_int() / 2147483647.0;
}

// A unit vector spread evenly over all directions. From the hash streams and
// rand(), by rejection in the cube: three draws per attempt, so the number of
// draws varies, and every later draw of the sequence depends on it. From the
// sequence, two draws taken to the sphere by an area-preserving map, so that
// the draws of a group stay where the sequence put them.
Vector3 random_direction();

#endif
