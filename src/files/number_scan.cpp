#include "files/number_scan.h"

#include <cfloat>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "numeric/floats.h"

namespace
{

// White space as isspace sees it in the C locale.
inline bool blank(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

inline bool digit(char c)
{
    return c >= '0' && c <= '9';
}

const double POW10[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                          1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The number is converted when its digits fit in a double exactly and the
// power of ten is exact too: then one multiplication or division gives the
// correctly rounded double d (both operands exact, one rounding). Rounding d
// to float gives the correctly rounded float of the decimal value unless d
// lies exactly halfway between two floats: every such midpoint is a double,
// so a value on one side of it rounds to a d on the same side or onto it.
// Those d, and d outside the normal floats, are left to the C library.
bool to_float(uint64_t mantissa, int exp10, bool negative, float *out)
{
    if (mantissa > (1ull << 53) || exp10 < -22 || exp10 > 22) {
        return false;
    }
    double d = static_cast<double>(mantissa);
    if (d != 0.0) {
        d = exp10 >= 0 ? d * POW10[exp10] : d / POW10[-exp10];
        if (!(d >= FLT_MIN && d <= FLT_MAX)) {
            return false;
        }
        if ((bits_of(d) & 0x1fffffffull) == 0x10000000ull) {
            return false; // halfway between two floats
        }
    }
    float f = static_cast<float>(d);
    *out = negative ? -f : f;
    return true;
}

// Digits of an int with no sign: at most nine, so that they fit.
bool scan_plain_int(const char **s, int *out)
{
    const char *p = *s;
    int v = 0, n = 0;
    while (digit(*p)) {
        if (++n > 9) {
            return false;
        }
        v = v * 10 + (*p++ - '0');
    }
    if (n == 0) {
        return false;
    }
    *out = v;
    *s = p;
    return true;
}

} // namespace

bool scan_plain_float(const char **s, float *out)
{
    const char *p = *s;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p++ == '-';
    }
    uint64_t mantissa = 0;
    int digits = 0, significant = 0, exp10 = 0;
    // One digit more; false when the mantissa would need more than 19.
    auto take = [&](char c) {
        digits++;
        if (mantissa != 0 || c != '0') {
            if (++significant > 19) {
                return false;
            }
            mantissa = mantissa * 10 + static_cast<uint64_t>(c - '0');
        }
        return true;
    };
    while (digit(*p)) {
        if (!take(*p++)) {
            return false;
        }
    }
    if (*p == '.') {
        p++;
        while (digit(*p)) {
            if (!take(*p++)) {
                return false;
            }
            exp10--;
        }
    }
    if (digits == 0) {
        return false; // inf, nan, a lone sign or point: sscanf decides
    }
    if (*p == 'e' || *p == 'E') {
        p++;
        bool neg_exp = false;
        if (*p == '+' || *p == '-') {
            neg_exp = *p++ == '-';
        }
        if (!digit(*p)) {
            return false;
        }
        int e = 0;
        while (digit(*p)) {
            if (e > 10000) {
                return false;
            }
            e = e * 10 + (*p++ - '0');
        }
        exp10 += neg_exp ? -e : e;
    }
    // Anything but white space or the end might carry on the number as
    // sscanf sees it (0x..., say).
    if (*p != 0 && !blank(*p)) {
        return false;
    }
    if (!to_float(mantissa, exp10, negative, out)) {
        return false;
    }
    *s = p;
    return true;
}

namespace
{

// sscanf(line, "K %f ..." with `count` numbers): converted here when all of
// them are plain, else by sscanf with that format.
int scan_numbers_line(const char *line, float *out, int count)
{
    const char *p = line + 1;
    int n = 0;
    for (; n < count; n++) {
        while (blank(*p)) {
            p++;
        }
        if (!scan_plain_float(&p, &out[n])) {
            break;
        }
    }
    if (n == count) {
        return count;
    }
    char fmt[] = "K %f %f %f";
    fmt[0] = line[0];
    fmt[1 + 3 * count] = 0;
    float unused;
    return sscanf(line, fmt, &out[0], count > 1 ? &out[1] : &unused, count > 2 ? &out[2] : &unused);
}

} // namespace

int scan_vector_line(const char *line, float out[3])
{
    return scan_numbers_line(line, out, 3);
}

int scan_pair_line(const char *line, float out[2])
{
    return scan_numbers_line(line, out, 2);
}

int scan_face_line(const char *line, int out[8])
{
    const char *p = line + 1;
    int n = 0;
    while (n < 8) {
        while (blank(*p)) {
            p++;
        }
        if (n > 0 && *p == 0) {
            return n; // the next %d meets the end
        }
        if (!scan_plain_int(&p, &out[n]) || *p != '/') {
            break;
        }
        p++;
        if (!scan_plain_int(&p, &out[n + 1])) {
            break;
        }
        n += 2;
        // The last pair ends the format; before it, only white space or
        // the end is plain. A '/' right after a pair (a corner of three
        // indices) stops sscanf there too, at the next %d.
        if (n < 8 && *p == '/') {
            return n;
        }
        if (n < 8 && *p != 0 && !blank(*p)) {
            break;
        }
    }
    if (n == 8) {
        return 8;
    }
    return sscanf(line, "f %d/%d %d/%d %d/%d %d/%d", &out[0], &out[1], &out[2], &out[3], &out[4], &out[5], &out[6],
                  &out[7]);
}

int scan_textured_face_line(const char *line, int corners, int out[12])
{
    const char *p = line + 1;
    int n = 0;
    for (int k = 0; k < corners; k++) {
        if (!blank(*p)) {
            return n;
        }
        while (blank(*p)) {
            p++;
        }
        for (int i = 0; i < 3; i++) {
            if ((i > 0 && *p++ != '/') || !scan_plain_int(&p, &out[n])) {
                return n;
            }
            n++;
        }
    }
    while (blank(*p)) {
        p++;
    }
    return *p == 0 ? n : n - 1;
}
