#include "texture/texture.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <utility>

#include "texture/srgb.h"

namespace
{

// Where a coordinate falls in the image, which repeats: its fractional
// part, in [0, 1). NaN and the infinities give NaN, and a tiny negative
// coordinate 1.0 (-1e-20 + 1 rounds up): those count as 0.
double repeat(double c)
{
    double f = c - std::floor(c);
    return f >= 0.0 && f < 1.0 ? f : 0.0;
}

} // namespace

namespace
{

TexelBlock copy_of(const std::vector<uint8_t> &rgb)
{
    TexelBlock block(static_cast<uint8_t *>(malloc(rgb.size())), free);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    std::copy(rgb.begin(), rgb.end(), block.get());
    return block;
}

} // namespace

Texture::Texture(int width, int height, const std::vector<uint8_t> &rgb) : Texture(width, height, copy_of(rgb)) {}

Texture::Texture(int width, int height, TexelBlock rgb) : width(width), height(height), texels(std::move(rgb))
{
    // Summed row by row, each channel on its own: the same sum everywhere.
    Color sum;
    const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    for (size_t i = 0; i < count; i++) {
        sum = sum + Color(SRGB_TO_LINEAR[texels[3 * i]], SRGB_TO_LINEAR[texels[3 * i + 1]],
                          SRGB_TO_LINEAR[texels[3 * i + 2]]);
    }
    mean = sum / static_cast<double>(count);
    inv_mean =
        Color(mean.x > 0.0 ? 1.0 / mean.x : 0.0, mean.y > 0.0 ? 1.0 / mean.y : 0.0, mean.z > 0.0 ? 1.0 / mean.z : 0.0);
}

Color Texture::texel(size_t x, size_t y) const
{
    const uint8_t *p = &texels[3 * (y * static_cast<size_t>(width) + x)];
    return Color(SRGB_TO_LINEAR[p[0]], SRGB_TO_LINEAR[p[1]], SRGB_TO_LINEAR[p[2]]);
}

Color Texture::colour_at(double u, double v) const
{
    // Texel x's centre lies at u = (x + 0.5) / width; rows run down from the
    // top, v up from the bottom. s lies in [-0.5, width - 0.5] and t in
    // (-0.5, height - 0.5], so the texels about the point are those of
    // floor(s) and the next, -1 and width being the opposite edge's.
    double s = repeat(u) * width - 0.5;
    double t = (1.0 - repeat(v)) * height - 0.5;
    double left = std::floor(s), top = std::floor(t);
    double fx = s - left, fy = t - top;
    size_t x0 = left < 0.0 ? width - 1 : static_cast<size_t>(left);
    size_t x1 = left + 1.0 >= width ? 0 : static_cast<size_t>(left + 1.0);
    size_t y0 = top < 0.0 ? height - 1 : static_cast<size_t>(top);
    size_t y1 = top + 1.0 >= height ? 0 : static_cast<size_t>(top + 1.0);
    // Across first, then down, each step in this order.
    Color upper = texel(x0, y0) * (1.0 - fx) + texel(x1, y0) * fx;
    Color lower = texel(x0, y1) * (1.0 - fx) + texel(x1, y1) * fx;
    return upper * (1.0 - fy) + lower * fy;
}

Color Texture::relative_at(double u, double v) const
{
    return colour_at(u, v) * inv_mean;
}

void SurfaceMaps::paint(Color *kd_at, Color *ke_at, double u, double v) const
{
    if (kd != nullptr) {
        *kd_at = *kd_at * kd->relative_at(u, v);
    }
    if (ke != nullptr) {
        *ke_at = *ke_at * ke->relative_at(u, v);
    }
}
