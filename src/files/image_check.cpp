#include "files/image_check.h"

#include <algorithm>
#include <cstring>

namespace
{

// The file is walked as stb_image reads it: markers (after any fill
// bytes FF; other bytes between segments skipped one by one, which takes a
// scan's coded data up to the first FF followed by a byte that is neither 00
// nor a restart marker), segments by their lengths; the walk takes every
// place where that reader could meet a table, and some where it could not
// (which only refuses a damaged file).
// Whether a JPEG file's Huffman tables each hold at most 256 codes.
bool jpeg_tables_fit(const unsigned char *bytes, size_t size)
{
    // The reader takes a file for JPEG when it opens with the marker FF D8,
    // after any fill bytes FF.
    size_t at = 0;
    while (at < size && bytes[at] == 0xFF) {
        at++;
    }
    if (at == 0 || at >= size || bytes[at] != 0xD8) {
        return true; // not a JPEG file
    }
    at++;
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
        const unsigned char marker = bytes[at++];
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
        // A scan's coded data follows its segment: the walk goes through it
        // as through bytes between segments (FF 00 and FF D0 to FF D7 there
        // are markers without one), to the marker that ends it.
        at = end;
    }
    return true;
}

// Whether every chunk of a PNG file, up to its end chunk, lies within the
// file: a length, a type, the data and a checksum.
bool png_chunks_fit(const unsigned char *bytes, size_t size)
{
    static const unsigned char signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (size < 8 || std::memcmp(bytes, signature, 8) != 0) {
        return true; // not a PNG file
    }
    for (size_t at = 8; at + 8 <= size;) {
        const size_t length =
            (size_t(bytes[at]) << 24) | (size_t(bytes[at + 1]) << 16) | (size_t(bytes[at + 2]) << 8) | bytes[at + 3];
        if (length > size - at - 8) {
            return false;
        }
        if (std::memcmp(bytes + at + 4, "IEND", 4) == 0) {
            break;
        }
        at += 12 + length;
    }
    return true;
}

} // namespace

const char *image_fault(const unsigned char *bytes, size_t size)
{
    if (!jpeg_tables_fit(bytes, size)) {
        return "Corrupt JPEG: a Huffman table of more than 256 codes";
    }
    if (!png_chunks_fit(bytes, size)) {
        return "Corrupt PNG: a chunk runs past the end of the file";
    }
    return nullptr;
}
