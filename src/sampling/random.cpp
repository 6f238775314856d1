#include "sampling/random.h"

#include <cmath>

thread_local PixelSampler *pixel_sampler = nullptr;

namespace
{

// The Taylor series of (a - sin a) / a^3 and (cos a - 1) / a^2 in a^2, from
// the terms of the 17th and 16th power of a down: within 1e-16 for a in
// [0, pi/4]. (Subtracting a term and adding its negative round alike.)
const double SIN_TERMS[8] = {-1.0 / 355687428096000.0, 1.0 / 1307674368000.0, -1.0 / 6227020800.0, 1.0 / 39916800.0,
                             -1.0 / 362880.0,          1.0 / 5040.0,          -1.0 / 120.0,        1.0 / 6.0};
const double COS_TERMS[8] = {1.0 / 20922789888000.0, -1.0 / 87178291200.0, 1.0 / 479001600.0, -1.0 / 3628800.0,
                             1.0 / 40320.0,          -1.0 / 720.0,         1.0 / 24.0,        -0.5};

// The polynomial of those terms at a2, in Horner's order.
double series(const double (&terms)[8], double a2)
{
    double p = terms[0];
    for (int k = 1; k < 8; k++) {
        p = p * a2 + terms[k];
    }
    return p;
}

// sin(a) and cos(a) for a in [0, pi/4], from their series: the C library's
// functions may round differently on other machines.
double sin_eighth(double a)
{
    double a2 = a * a;
    return a - (a * a2) * series(SIN_TERMS, a2);
}

double cos_eighth(double a)
{
    double a2 = a * a;
    return 1.0 + a2 * series(COS_TERMS, a2);
}

// cos and sin of 2 pi t, t in [0, 1]: the circle in eighths, each from the
// series on [0, pi/4], counted from the nearer of its two ends.
void unit_circle(double t, double *c, double *s)
{
    double eighths = t * 8.0; // exact
    double whole = std::floor(eighths);
    double f = eighths - whole; // exact
    int octant = static_cast<int>(whole) & 7;
    const double quarter_pi = 0.78539816339744830962;
    double a = (octant & 1 ? 1.0 - f : f) * quarter_pi;
    double sa = sin_eighth(a), ca = cos_eighth(a);
    // (cos, sin) of the octant's start, or of its end for odd octants.
    switch (octant) {
    case 0:
        *c = ca, *s = sa;
        break;
    case 1:
        *c = sa, *s = ca;
        break;
    case 2:
        *c = -sa, *s = ca;
        break;
    case 3:
        *c = -ca, *s = sa;
        break;
    case 4:
        *c = -ca, *s = -sa;
        break;
    case 5:
        *c = -sa, *s = -ca;
        break;
    case 6:
        *c = sa, *s = -ca;
        break;
    default:
        *c = ca, *s = -sa;
        break;
    }
}

} // namespace

Vector3 random_direction()
{
    if (pixel_sampler != nullptr && pixel_sampler->draws_sequence()) {
        // The height from the first draw, the turn about the axis from the
        // second: Archimedes' map, even in area.
        double z = 1.0 - 2.0 * random_unit();
        double t = random_unit();
        double r = std::sqrt(1.0 - z * z);
        double c, s;
        unit_circle(t, &c, &s);
        return Vector3(r * c, r * s, z);
    }
    double rndx, rndy, rndz, magnitude;
    do {
        rndx = 2.0 * random_int() / 2147483647.0 - 1.0;
        rndy = 2.0 * random_int() / 2147483647.0 - 1.0;
        rndz = 2.0 * random_int() / 2147483647.0 - 1.0;
        magnitude = std::sqrt((rndx * rndx + rndy * rndy) + rndz * rndz);
    } while (magnitude > 1.0);
    return Vector3(rndx / magnitude, rndy / magnitude, rndz / magnitude);
}
