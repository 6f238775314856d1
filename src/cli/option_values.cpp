#include "cli/option_values.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

static bool starts_with_digit(const char *arg)
{
    return isdigit(static_cast<unsigned char>(arg[0])) != 0;
}

bool parse_size(const char *arg, long long max_pixels, int *width, int *height)
{
    long long w, h;
    if (sscanf(arg, "%lldx%lld", &w, &h) < 2) {
        return false;
    }
    if (w < 1 || h < 1 || w > max_pixels || h > max_pixels || w * h > max_pixels) {
        return false;
    }
    *width = static_cast<int>(w);
    *height = static_cast<int>(h);
    return true;
}

bool parse_count(const char *arg, int *count)
{
    if (!starts_with_digit(arg)) {
        return false;
    }
    errno = 0;
    long long n = strtoll(arg, nullptr, 10);
    if (errno == ERANGE || n > INT_MAX || n < 1) {
        return false;
    }
    *count = static_cast<int>(n);
    return true;
}

bool parse_threads(const char *arg, int *threads)
{
    if (!starts_with_digit(arg)) {
        return false;
    }
    long long n = strtoll(arg, nullptr, 10);
    if (n == 0) {
        n = std::thread::hardware_concurrency();
    }
    // More threads than rows would idle; thousands would only cost memory.
    *threads = static_cast<int>(std::max(1LL, std::min(n, 1024LL)));
    return true;
}

bool parse_range(const char *arg, long long most, int *begin, int *end)
{
    long long a, b;
    char rest;
    if (sscanf(arg, "%lld:%lld%c", &a, &b, &rest) != 2 || a < 0 || b <= a || b > most) {
        return false;
    }
    *begin = static_cast<int>(a);
    *end = static_cast<int>(b);
    return true;
}

bool parse_count_or_range(const char *arg, long long most, int *begin, int *end)
{
    long long a = 0, b;
    char rest;
    if (sscanf(arg, "%lld%c", &b, &rest) != 1 && (sscanf(arg, "%lld:%lld%c", &a, &b, &rest) != 2)) {
        return false;
    }
    if (!starts_with_digit(arg) || a < 0 || b <= a || b > most) {
        return false;
    }
    *begin = static_cast<int>(a);
    *end = static_cast<int>(b);
    return true;
}

bool parse_positive(const char *arg, double *value)
{
    if (!starts_with_digit(arg)) {
        return false;
    }
    double v = atof(arg);
    if (!std::isfinite(v) || !(v > 0.0)) {
        return false;
    }
    *value = v;
    return true;
}

// (-gamma keeps the C library's leading number, which its users rely on;
// -time and -noise, newer, take nothing but the number.)
bool parse_decimal(const char *arg, double *value)
{
    static const char *const digit_chars = "0123456789";
    const char *p = arg;
    size_t digits = strspn(p, digit_chars);
    p += digits;
    if (*p == '.') {
        size_t more = strspn(p + 1, digit_chars);
        digits += more;
        p += 1 + more;
    }
    if (digits > 0 && (*p == 'e' || *p == 'E')) {
        const char *q = p + 1 + (p[1] == '+' || p[1] == '-');
        size_t exponent = strspn(q, digit_chars);
        p = exponent > 0 ? q + exponent : p;
    }
    double number = strtod(arg, nullptr);
    if (digits == 0 || *p != 0 || !std::isfinite(number)) {
        return false;
    }
    *value = number;
    return true;
}
