#ifndef RT_SAMPLER_H
#define RT_SAMPLER_H

#include <cstdint>

#include "sampling/random.h"

// "hash", "sobol".
const char *sampler_name(Sampler sampler);
// The sampler of that name; false for any other name.
bool sampler_named(const char *name, Sampler *sampler);

// Pixel (x, y) of pass `pass`, which casts `rays` paths, draws from the
// sampler given on this thread while this lives.
class PixelDraws
{
  public:
    PixelDraws(Sampler sampler, int x, int y, int pass, int rays);
    ~PixelDraws();
    PixelDraws(const PixelDraws &) = delete;
    PixelDraws &operator=(const PixelDraws &) = delete;

  private:
    PixelSampler sampler;
};

#endif
