#include "files/image_decode.h"

#include "files/image_check.h"

#include <climits>
#include <cstdlib>
#include <cstring>

// stb_image, built here for rt alone: the four formats only, from memory
// (the reader keys the file's bytes as it reads them), and without its SIMD
// paths, so that every machine decodes with the same integer steps. Its
// functions stay in this file.
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#define STBI_ONLY_PNG
#define STBI_ONLY_JPEG
#define STBI_ONLY_TGA
#define STBI_ONLY_BMP
#define STBI_NO_SIMD
#define STBI_NO_STDIO
#define STBI_NO_LINEAR
#define STBI_NO_HDR
#define STBI_FAILURE_USERMSG
// The pictures it returns are freed by DecodedImage, with free.
#define STBI_MALLOC malloc
#define STBI_REALLOC realloc
#define STBI_FREE free
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#pragma GCC diagnostic ignored "-Wunused-but-set-variable"
#endif
#include <stb_image.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

bool decode_image(const std::vector<uint8_t> &bytes, DecodedImage *out, std::string *reason, long long max_texels)
{
    if (bytes.size() > static_cast<size_t>(INT_MAX)) {
        *reason = "the file is too large";
        return false;
    }
    const int size = static_cast<int>(bytes.size());
    // Before stb_image reads any of it: its header reader builds the tables.
    if (const char *fault = image_fault(bytes.data(), bytes.size())) {
        *reason = std::string("damaged (") + fault + ")";
        return false;
    }
    int width = 0, height = 0, channels = 0;
    if (stbi_info_from_memory(bytes.data(), size, &width, &height, &channels) == 0) {
        *reason = "not a PNG, JPEG, TGA or BMP picture";
        return false;
    }
    // A BMP stored top down gives its height here as a negative number.
    if (std::llabs(width) * std::llabs(height) > max_texels) {
        *reason = "too large (" + std::to_string(std::llabs(width)) + "x" + std::to_string(std::llabs(height)) +
                  " texels, at most " + std::to_string(max_texels) + ")";
        return false;
    }
    unsigned char *rgb = stbi_load_from_memory(bytes.data(), size, &width, &height, &channels, 3);
    if (rgb == nullptr) {
        const char *why = stbi_failure_reason();
        *reason = std::string("damaged (") + (why != nullptr ? why : "it ends early") + ")";
        return false;
    }
    // The BMP reader hands back a picture of no columns or rows as one.
    if (width < 1 || height < 1) {
        stbi_image_free(rgb);
        *reason = "damaged (it has no texels)";
        return false;
    }
    out->width = width;
    out->height = height;
    out->rgb.reset(rgb);
    return true;
}
