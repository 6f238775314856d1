#ifndef RT_HDR_FILE_H
#define RT_HDR_FILE_H

#include <cstdint>
#include <functional>
#include <string>

#include "color.h"
#include "files/output_file.h"

// Pictures of linear colours, for compositing and tone mapping: OpenEXR (RGB,
// half or 32-bit floats, ZIP-compressed scan lines) and the portable float map
// (PFM: 32-bit floats, little-endian, rows bottom to top).

// The colours of a picture before gamma and packing, a row at a time, and the
// packing that made the 8-bit pixels of them.
struct LinearColours {
    // Fills `out` with the colours of row y of the picture (0 on top).
    std::function<void(int y, Color *out)> row;
    uint32_t (*pack)(const Color &) = nullptr;
};

// Where a picture's rows lie in the frame: a band of rows first_row .. of a
// frame of frame_rows rows (0: the picture is the whole frame).
struct FramePlace {
    int first_row = 0;
    int frame_rows = 0;
};

// A colour's channels as a file stores them. Each is the value of the
// narrower format nearest the exact one, unless that packs to another 8-bit
// value than the exact one does (it lies across a step of the packing); then
// its neighbour on the exact value's side, if that keeps the byte. So packing
// a file's colours gives the 8-bit picture's bytes, every value within one
// unit in the last place of the exact colour.
void file_floats(const Color &c, uint32_t (*pack)(const Color &), float out[3]);
// The same as the bits of half floats (IEEE binary16).
void file_halves(const Color &c, uint32_t (*pack)(const Color &), uint16_t out[3]);

// Writes width x height colours into out (which is open) as an OpenEXR file of
// half floats, or of 32-bit floats when full_float; false with *why set.
bool write_exr(OutputFile *out, const LinearColours &colours, int width, int height, FramePlace place, bool full_float,
               std::string *why);
// The same as a PFM.
bool write_pfm(OutputFile *out, const LinearColours &colours, int width, int height, std::string *why);

#endif
