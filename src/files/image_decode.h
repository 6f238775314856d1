#ifndef RT_IMAGE_DECODE_H
#define RT_IMAGE_DECODE_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

// The most texels an image may have: 8192 x 8192, 192 MiB of them. A small
// file can claim, or unpack to, far more.
const long long MAX_IMAGE_TEXELS = 67108864;

// Texels in a block of malloc's, as the decoder hands them over: kept as
// they are, not copied (a picture of 8192 x 8192 is 192 MiB).
using TexelBlock = std::unique_ptr<uint8_t[], void (*)(void *)>;

struct DecodedImage {
    int width = 0, height = 0;
    TexelBlock rgb{nullptr, free}; // three bytes a texel, row by row from the top
};

// Decodes the bytes of a PNG, JPEG, TGA or BMP file into 8-bit red, green
// and blue (grey made grey in all three, alpha left out), with the same
// integer arithmetic on every machine. False with the reason when they are
// not such a picture, are damaged, or hold more than max_texels.
bool decode_image(const std::vector<uint8_t> &bytes, DecodedImage *out, std::string *reason,
                  long long max_texels = MAX_IMAGE_TEXELS);

#endif
