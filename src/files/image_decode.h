#ifndef RT_IMAGE_DECODE_H
#define RT_IMAGE_DECODE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The most texels an image may have: 8192 x 8192, 192 MiB of them. A small
// file can claim, or unpack to, far more.
const long long MAX_IMAGE_TEXELS = 67108864;

struct DecodedImage {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb; // three bytes a texel, row by row from the top
};

// Decodes the bytes of a PNG, JPEG, TGA or BMP file into 8-bit red, green
// and blue (grey made grey in all three, alpha left out), with the same
// integer arithmetic on every machine. False with the reason when they are
// not such a picture, are damaged, or hold more than MAX_IMAGE_TEXELS.
bool decode_image(const std::vector<uint8_t> &bytes, DecodedImage *out, std::string *reason);

#endif
