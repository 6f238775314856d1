#include "pass_sum.h"

#include <algorithm>
#include <cmath>

int64_t PassSum::fixed(double value)
{
    if (!(value > -1.0)) {
        return value == value ? -(int64_t(1) << 40) : 0; // NaN fails every test
    }
    if (value > 1.0) {
        value = 1.0;
    }
    // Exact: a power of two scales without rounding; then to the nearest
    // integer, ties to even.
    return static_cast<int64_t>(std::nearbyint(value * 1099511627776.0));
}

bool PassSum::holds(int pass) const
{
    return std::binary_search(held.begin(), held.end(), pass);
}

void PassSum::to_sums()
{
    fixed_sums.resize(count * 3);
    for (size_t i = 0; i < count; i++) {
        fixed_sums[i * 3 + 0] = fixed(exact[i].x);
        fixed_sums[i * 3 + 1] = fixed(exact[i].y);
        fixed_sums[i * 3 + 2] = fixed(exact[i].z);
    }
    std::vector<Color>().swap(exact);
}

void PassSum::add_fixed(const std::vector<Color> &colours)
{
    for (size_t i = 0; i < count; i++) {
        fixed_sums[i * 3 + 0] += fixed(colours[i].x);
        fixed_sums[i * 3 + 1] += fixed(colours[i].y);
        fixed_sums[i * 3 + 2] += fixed(colours[i].z);
    }
}

void PassSum::add(int pass, std::vector<Color> &&colours)
{
    held.insert(std::upper_bound(held.begin(), held.end(), pass), pass);
    if (held.size() == 1) {
        exact = std::move(colours);
        return;
    }
    if (held.size() == 2) {
        to_sums();
    }
    add_fixed(colours);
}

bool PassSum::merge(const PassSum &other, int *shared)
{
    for (int pass : other.held) {
        if (holds(pass)) {
            *shared = pass;
            return false;
        }
    }
    if (other.held.empty()) {
        return true;
    }
    if (held.empty()) {
        *this = other;
        return true;
    }
    if (held.size() == 1) {
        to_sums();
    }
    if (other.held.size() == 1) {
        add_fixed(other.exact);
    } else {
        for (size_t i = 0; i < count * 3; i++) {
            fixed_sums[i] += other.fixed_sums[i];
        }
    }
    std::vector<int> all;
    std::merge(held.begin(), held.end(), other.held.begin(), other.held.end(), std::back_inserter(all));
    held = all;
    return true;
}

Color PassSum::mean(size_t i) const
{
    if (held.size() == 1) {
        return exact[i];
    }
    // The sum to double (exact below 2^53), back to the colour scale (exact),
    // divided by the count: one rounding, the same for every order.
    double n = static_cast<double>(held.size());
    const int64_t *s = &fixed_sums[i * 3];
    return Color(static_cast<double>(s[0]) * 9.094947017729282e-13 / n,
                 static_cast<double>(s[1]) * 9.094947017729282e-13 / n,
                 static_cast<double>(s[2]) * 9.094947017729282e-13 / n);
}

void PassSum::set(std::vector<int> passes, std::vector<Color> &&colours, std::vector<int64_t> &&sums)
{
    held = std::move(passes);
    exact = std::move(colours);
    fixed_sums = std::move(sums);
}
