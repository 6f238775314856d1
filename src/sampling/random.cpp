#include "sampling/random.h"

#include <cmath>

__thread PixelSampler *pixel_sampler = nullptr;

namespace
{

// The Taylor series of (a - sin a) / a^3 in a^2, from the term of the 17th
// power of a down: within 1e-16 for a in [0, pi/4]. (Subtracting a term and
// adding its negative round alike.)
const double SIN_TERMS[8] = {-1.0 / 355687428096000.0, 1.0 / 1307674368000.0, -1.0 / 6227020800.0, 1.0 / 39916800.0,
                             -1.0 / 362880.0,          1.0 / 5040.0,          -1.0 / 120.0,        1.0 / 6.0};

// sin(a) for a in [0, pi/4], from the series in Horner's order: the C
// library's sine may round differently on other machines.
double sin_eighth(double a)
{
    double a2 = a * a;
    double p = SIN_TERMS[0];
    for (int k = 1; k < 8; k++) {
        p = p * a2 + SIN_TERMS[k];
    }
    return a - (a * a2) * p;
}

// cos and sin of 2 pi t, t in [0, 1]: the circle in eighths, each from the
// series on [0, pi/4], counted from the nearer of its two ends. Chosen by
// index rather than by branch: the eighths come at random.
void unit_circle(double t, double *c, double *s)
{
    double eighths = t * 8.0; // exact
    double whole = std::floor(eighths);
    double f = eighths - whole; // exact
    int octant = static_cast<int>(whole) & 7;
    const double quarter_pi = 0.78539816339744830962;
    const double from_end[2] = {f, 1.0 - f};
    double a = from_end[octant & 1] * quarter_pi;
    // The cosine from the sine: at least the root of a half there, where the
    // root loses no accuracy.
    double sine = sin_eighth(a);
    const double cos_sin[2] = {std::sqrt(1.0 - sine * sine), sine};
    // Octants 1, 2, 5 and 6 swap the two; the cosine is negative in
    // octants 2 to 5, the sine in 4 to 7 (a product by -1 is exact).
    int swap = ((octant + 1) >> 1) & 1;
    *c = cos_sin[swap] * (1.0 - 2.0 * (((octant + 2) >> 2) & 1));
    *s = cos_sin[swap ^ 1] * (1.0 - 2.0 * (octant >> 2));
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
