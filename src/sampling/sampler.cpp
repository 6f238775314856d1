#include "sampling/sampler.h"

#include <cstring>

const char *sampler_name(Sampler sampler)
{
    return sampler == Sampler::sobol ? "sobol" : "hash";
}

bool sampler_named(const char *name, Sampler *sampler)
{
    for (Sampler s : {Sampler::hash, Sampler::sobol}) {
        if (strcmp(name, sampler_name(s)) == 0) {
            *sampler = s;
            return true;
        }
    }
    return false;
}

PixelDraws::PixelDraws(const PassSampling &how, int x, int y, int pass) : sampler(how, x, y, pass)
{
    pixel_sampler = &this->sampler;
}

PixelDraws::~PixelDraws()
{
    pixel_sampler = nullptr;
}
