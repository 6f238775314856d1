#ifndef RT_IMAGE_FILE_H
#define RT_IMAGE_FILE_H

#include <cstdint>
#include <string>
#include <vector>

#include "files/output_file.h"

// Picture files of a buffer of 0x00RRGGBB pixels, row 0 on top: a binary PPM
// (P6, maximum value 255) or an 8-bit RGB PNG. Each appears whole or not at
// all (see OutputFile).
class ImageFile
{
  public:
    enum Format { BY_NAME, PPM, PNG };

    // Prepares the file before the pixels exist, so that whatever can fail
    // early does: the target is checked, its temporary made, the memory a
    // PNG needs taken. BY_NAME: a PNG when the name ends in .png (any case),
    // else a PPM. False with reason() set.
    bool open(const char *fname, int width, int height, Format format = BY_NAME);
    // Writes width x height pixels and puts the file in place; false with
    // reason() set, the earlier file untouched.
    bool write(const uint32_t *pixels);
    // Leaves the target as it was.
    void discard() { out.discard(); }

    const char *reason() const { return why.empty() ? out.reason() : why.c_str(); }

  private:
    bool write_ppm(const uint32_t *pixels);
    bool write_png(const uint32_t *pixels);

    OutputFile out;
    bool png = false;
    int width = 0;
    int height = 0;
    std::vector<unsigned char> row; // a PNG's row, as libpng takes it
    std::string why;
};

// Writes a picture at once; false with *reason set when given.
bool write_image(const char *fname, const uint32_t *pixels, int width, int height, std::string *reason = nullptr);
// A PPM whatever the name.
bool write_ppm(const char *fname, const uint32_t *pixels, int width, int height);

#endif
