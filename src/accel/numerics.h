#ifndef RT_ACCEL_NUMERICS_H
#define RT_ACCEL_NUMERICS_H

#include <algorithm>
#include <cmath>

#include "ray.h"
#include "vector.h"

// The numbers on which the three hierarchies (the scene's objects, a mesh's
// faces, a flake's spheres) rest their right to skip a box. A hierarchy may
// skip what cannot hold a hit only as far as these bounds reach, so each is
// written here once, with the reason it holds, and used by name.

// The spacing of doubles just above 1, 2^-52: each rounding of a double
// operation moves a value by at most half of it, relatively. Every rounding
// bound of the hierarchies is a multiple of it.
const double EPS = 2.220446049250313e-16;

// The largest coordinate the bounds are worked out for. Up to it, squares
// and products of a few such values (1e120 and so on) stay far from
// overflow and their rounding errors far from underflow; a box with a corner
// beyond it stays out of the hierarchies, and a ray beyond it is answered by
// the plain walk, which needs no bound.
const double BIG_COORD = 1e60;

// Where every nearest-hit search starts: FLT_MAX held as a double. A hit
// counts only when its parameter is below it, which a NaN parameter never
// is; so a search that kept no hit still holds this value.
const double NO_HIT_T = 3.4028234663852886e+38;

// Single-precision tests (the walk's float box test, the triangle pre-test)
// are used only for rays and corners whose values stay within this: their
// products then neither overflow nor fall below the normal floats by more
// than the margins the tests add.
const double FLOAT_TEST_LIMIT = 0x1p40;

// What the single-precision tests add to their bounds beyond the relative
// margins: the float box test lowers a box's entry by it, the triangle
// pre-test widens its margin by it. A product that underflows errs by
// 2^-149 at most, far below it, and it is far below every value that
// matters within FLOAT_TEST_LIMIT.
const float FLOAT_TINY = 0x1p-100f;

// The sizes of a ray that the hierarchies' bounds are stated in: the sums of
// the magnitudes of the origin's and of the direction's components, which
// bound the largest component and, unlike std::max, carry a NaN along, so
// that every comparison with them fails for NaN and infinity.
struct RaySize {
    double origin;  // |o.x| + |o.y| + |o.z|
    double dir;     // |d.x| + |d.y| + |d.z|
    double dir_max; // the largest |d| component

    explicit RaySize(const Ray &ray)
        : origin((std::fabs(ray.origin.x) + std::fabs(ray.origin.y)) + std::fabs(ray.origin.z)),
          dir((std::fabs(ray.dir.x) + std::fabs(ray.dir.y)) + std::fabs(ray.dir.z)), dir_max(max_abs(ray.dir))
    {
    }

    // Finite, no larger than BIG_COORD and with a direction not shorter than
    // its inverse: the rays for which the bounds below hold. NaN and
    // infinity fail (dir carries them; dir_max matters only when dir is a
    // number).
    bool tame() const { return origin <= BIG_COORD && dir <= BIG_COORD && dir_max >= 1.0 / BIG_COORD; }
};

// How far outside its sphere a hit point of Sphere::intersection can lie,
// for a sphere of radius r whose centre has |c|_inf <= coord and a ray
// origin with |o|_inf <= cap. The computed coefficients and roots are the
// exact roots of the quadratic of a slightly moved surface: their rounding
// errors, summed, move |q - c|^2 - r^2 at the root q = o + d t by at most
// about 44 eps S^2, with S = sqrt(3) (|c|_inf + |o|_inf) + r bounding |c| +
// |o| + r (the direction's length cancels out). So |q - c| <= r + sqrt(44
// eps) S, and 2.4e-7 > 16 sqrt(eps) leaves a factor above two. The hit of a
// grazing ray is where this is approached. The second term covers the
// rounding of a node's box test and of the padding itself; the last keeps
// the slack above zero.
inline double sphere_slack(double coord, double r, double cap)
{
    double s = 1.7320508075688772 * (coord + cap) + r;
    return 2.4e-7 * s + 8.0 * EPS * s + 1e-300;
}

// The origins for which a hierarchy's sphere boxes, padded by sphere_slack,
// are trusted to hold every hit, for spheres whose |c|_inf + r is at most
// coord: the bound grows with the cap, so the cap is kept to a few times the
// scene's size (and at least 1024, for small scenes seen from afar).
inline double sphere_origin_cap(double coord)
{
    return std::max(1024.0, 4.0 * coord);
}

#endif
