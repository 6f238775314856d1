#include "sampling/sobol.h"

namespace sobol
{
namespace
{

// Joe and Kuo's primitive polynomials and initial direction numbers for the
// dimensions after the first: degree s, the inner coefficients a (the
// polynomial x^s + a_1 x^(s-1) + ... + a_(s-1) x + 1, a_1 the highest bit of
// a), and m_1 .. m_s.
struct Polynomial {
    int s;
    uint32_t a;
    uint32_t m[3];
};
constexpr Polynomial POLYNOMIALS[DIMENSIONS - 1] = {{1, 0, {1, 0, 0}}, {2, 1, {1, 3, 0}}, {3, 1, {1, 3, 1}}};

// The 32 direction numbers of a dimension: v[k] is the point of index 2^k.
struct Directions {
    uint32_t v[32];
};

constexpr Directions directions(int dim)
{
    Directions d{};
    if (dim == 0) {
        for (int k = 0; k < 32; k++) {
            d.v[k] = 1u << (31 - k);
        }
        return d;
    }
    const Polynomial &p = POLYNOMIALS[dim - 1];
    for (int k = 0; k < 32; k++) {
        if (k < p.s) {
            d.v[k] = p.m[k] << (31 - k);
            continue;
        }
        uint32_t v = d.v[k - p.s] ^ (d.v[k - p.s] >> p.s);
        for (int j = 1; j < p.s; j++) {
            if ((p.a >> (p.s - 1 - j)) & 1u) {
                v ^= d.v[k - j];
            }
        }
        d.v[k] = v;
    }
    return d;
}

constexpr ByteTables make_tables()
{
    ByteTables tables{};
    for (int dim = 0; dim < DIMENSIONS; dim++) {
        Directions d = directions(dim);
        for (int byte = 0; byte < 4; byte++) {
            for (int bits = 0; bits < 256; bits++) {
                // Bit b of these 8 bits of the reversed index is bit
                // 31 - 8 byte - b of the index.
                uint32_t x = 0;
                for (int b = 0; b < 8; b++) {
                    if ((bits >> b) & 1) {
                        x ^= d.v[31 - 8 * byte - b];
                    }
                }
                tables.t[byte][bits][dim] = x;
            }
        }
    }
    return tables;
}

} // namespace

constexpr ByteTables byte_tables = make_tables();

} // namespace sobol
