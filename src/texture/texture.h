#ifndef RT_TEXTURE_H
#define RT_TEXTURE_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "color.h"
#include "files/image_decode.h"

// An image that colours a surface: 8-bit sRGB texels, row 0 at the top, read
// as linear colours. Texture coordinates (u, v) put (0, 0) at the image's
// lower left corner and (1, 1) at its upper right, and the image repeats
// beyond them.
class Texture
{
  public:
    // width x height texels of three bytes each (red, green, blue), row by
    // row from the top; both sizes at least 1. The first takes the block
    // over, the second copies the bytes.
    Texture(int width, int height, TexelBlock rgb);
    Texture(int width, int height, const std::vector<uint8_t> &rgb);

    // The linear colour at (u, v), weighed between the four texel centres
    // about the point (bilinear), the image repeating across its edges.
    // A coordinate that is not a finite number counts as 0.
    Color colour_at(double u, double v) const;
    // The colour at (u, v) relative to the image's mean, channel by channel:
    // 1 where the image is as bright as its mean; 0 in a channel the image
    // has none of.
    Color relative_at(double u, double v) const;

    int get_width() const { return width; }
    int get_height() const { return height; }
    // The mean of the texels' linear colours.
    const Color &get_mean() const { return mean; }
    size_t bytes() const { return static_cast<size_t>(width) * static_cast<size_t>(height) * 3; }

  private:
    Color texel(size_t x, size_t y) const;

    int width, height;
    TexelBlock texels;
    Color mean;
    Color inv_mean; // 1 / mean, 0 where the mean is 0
};

// The images that colour a mesh: the diffuse colour kd and the emission ke
// vary over the surface as their images do, about the material's colours as
// their means. Null for a colour that has none. The textures are borrowed.
struct SurfaceMaps {
    const Texture *kd = nullptr;
    const Texture *ke = nullptr;

    // Sets *kd and *ke, the material's colours, to the surface's at (u, v).
    void paint(Color *kd_at, Color *ke_at, double u, double v) const;
};

#endif
