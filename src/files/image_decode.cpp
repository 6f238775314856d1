#include "files/image_decode.h"

#include <algorithm>
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

namespace
{

// Whether the Huffman tables of a JPEG file (bytes from FF D8) each hold at
// most the 256 codes that stb_image has room for: its reader writes past its
// tables when their counts say more, a heap overflow that a made-up file can
// aim. The file is walked as stb_image reads it: markers (after any fill
// bytes FF; other bytes between segments skipped one by one), segments by
// their lengths, and the coded data of a scan up to the first FF followed by
// a byte that is neither 00 nor a restart marker; the walk takes every place
// where that reader could meet a table, and some where it could not (which
// only refuses a damaged file).
bool huffman_tables_fit(const std::vector<uint8_t> &bytes)
{
    const size_t size = bytes.size();
    size_t at = 2;
    while (at < size) {
        if (bytes[at] != 0xFF) {
            at++;
            continue;
        }
        while (at < size && bytes[at] == 0xFF) {
            at++;
        }
        if (at + 2 >= size) {
            break;
        }
        const uint8_t marker = bytes[at++];
        if (marker == 0x00 || marker == 0x01 || marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7)) {
            continue; // no segment follows
        }
        if (marker == 0xD9) {
            break; // the end of the picture
        }
        // The segment's length counts its own two bytes.
        const size_t length = std::max<size_t>(2, (size_t(bytes[at]) << 8) | bytes[at + 1]);
        const size_t end = std::min(size, at + length);
        // A table: an id, sixteen counts, and as many codes as they sum to.
        // The reader takes the bytes past the file's end as zeros.
        for (size_t table = at + 2; marker == 0xC4 && table < end;) {
            size_t codes = 0;
            for (size_t i = table + 1; i <= table + 16 && i < size; i++) {
                codes += bytes[i];
            }
            if (codes > 256) {
                return false;
            }
            table += 17 + codes;
        }
        at = end;
        // A scan's coded data: FF 00 is a byte of it, FF D0 to FF D7 restart it.
        while (marker == 0xDA && at + 1 < size) {
            size_t next = at + 1;
            while (next < size && bytes[next] == 0xFF) {
                next++;
            }
            if (bytes[at] == 0xFF && next < size && bytes[next] != 0x00 &&
                !(bytes[next] >= 0xD0 && bytes[next] <= 0xD7)) {
                break;
            }
            at = bytes[at] == 0xFF ? next : at + 1;
        }
    }
    return true;
}

} // namespace

bool decode_image(const std::vector<uint8_t> &bytes, DecodedImage *out, std::string *reason)
{
    if (bytes.size() > static_cast<size_t>(INT_MAX)) {
        *reason = "the file is too large";
        return false;
    }
    const int size = static_cast<int>(bytes.size());
    int width = 0, height = 0, channels = 0;
    if (stbi_info_from_memory(bytes.data(), size, &width, &height, &channels) == 0) {
        *reason = "not a PNG, JPEG, TGA or BMP picture";
        return false;
    }
    const bool jpeg = bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xD8;
    if (jpeg && !huffman_tables_fit(bytes)) {
        *reason = "damaged (Corrupt JPEG: a Huffman table of more than 256 codes)";
        return false;
    }
    if (static_cast<long long>(width) * height > MAX_IMAGE_TEXELS) {
        *reason = "too large (" + std::to_string(width) + "x" + std::to_string(height) + " texels, at most " +
                  std::to_string(MAX_IMAGE_TEXELS) + ")";
        return false;
    }
    unsigned char *rgb = stbi_load_from_memory(bytes.data(), size, &width, &height, &channels, 3);
    if (rgb == nullptr) {
        const char *why = stbi_failure_reason();
        *reason = std::string("damaged (") + (why != nullptr ? why : "it ends early") + ")";
        return false;
    }
    out->width = width;
    out->height = height;
    out->rgb.assign(rgb, rgb + static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
    stbi_image_free(rgb);
    return true;
}
