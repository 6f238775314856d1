#include "sampling/random.h"

#include <cmath>

thread_local PixelRandom *pixel_random = nullptr;

Vector3 random_direction()
{
    double rndx, rndy, rndz, magnitude;
    do {
        rndx = 2.0 * random_int() / 2147483647.0 - 1.0;
        rndy = 2.0 * random_int() / 2147483647.0 - 1.0;
        rndz = 2.0 * random_int() / 2147483647.0 - 1.0;
        magnitude = std::sqrt((rndx * rndx + rndy * rndy) + rndz * rndz);
    } while (magnitude > 1.0);
    return Vector3(rndx / magnitude, rndy / magnitude, rndz / magnitude);
}
