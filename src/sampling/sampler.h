#ifndef RT_SAMPLER_H
#define RT_SAMPLER_H

#include <cstdint>

#include "sampling/random.h"

// "hash", "sobol".
const char *sampler_name(Sampler sampler);
// The sampler of that name; false for any other name.
bool sampler_named(const char *name, Sampler *sampler);

// Pixel (x, y) of pass `pass` draws as `how` says on this thread while this
// lives.
class PixelDraws
{
  public:
    PixelDraws(const PassSampling &how, int x, int y, int pass);
    ~PixelDraws();
    PixelDraws(const PixelDraws &) = delete;
    PixelDraws &operator=(const PixelDraws &) = delete;

  private:
    PixelSampler sampler;
};

#endif
