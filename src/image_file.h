#ifndef RT_IMAGE_FILE_H
#define RT_IMAGE_FILE_H

#include <cstdint>

// Image files of a buffer of 0x00RRGGBB pixels, row 0 on top. Each file
// appears whole or not at all: it is written beside its target and renamed
// over it once complete, so an earlier file of the same name survives any
// failure.

// A binary PPM (P6, maximum value 255).
bool write_ppm(const char *fname, const uint32_t *pixels, int width, int height);
// An 8-bit RGB PNG.
bool write_png(const char *fname, const uint32_t *pixels, int width, int height);
// A PNG when the name ends in .png (any case), otherwise a PPM.
bool write_image(const char *fname, const uint32_t *pixels, int width, int height);

#endif
