#ifndef RT_IMAGE_FILE_H
#define RT_IMAGE_FILE_H

#include <cstdint>
#include <string>
#include <vector>

#include "files/hdr_file.h"
#include "files/output_file.h"

// Picture files of a buffer of 0x00RRGGBB pixels, row 0 on top: a binary PPM
// (P6, maximum value 255) or an 8-bit RGB PNG; or of the linear colours those
// pixels pack, for compositing: an OpenEXR file or a PFM (see hdr_file.h).
// Each appears whole or not at all (see OutputFile).
class ImageFile
{
  public:
    enum Format { BY_NAME, PPM, PNG, EXR_HALF, EXR_FLOAT, PFM };

    // The format a name asks for, by its ending in any case: .png a PNG,
    // .exr an OpenEXR file (of 32-bit floats when exr_float, else of half
    // floats), .pfm a PFM; any other name a PPM.
    static Format by_name(const char *fname, bool exr_float = false);

    // Prepares the file before the pixels exist, so that whatever can fail
    // early does: the target is checked, the memory a PNG needs taken. The
    // temporary is made only by write(), so that a run killed meanwhile
    // leaves none. BY_NAME as by_name() says, with half floats. A band of a
    // taller frame says where it lies (an OpenEXR file keeps that). False
    // with reason() set.
    bool open(const char *fname, int width, int height, Format format = BY_NAME, FramePlace place = FramePlace());
    // Whether a format holds linear colours, which write() then needs.
    static bool linear(Format f) { return f == EXR_HALF || f == EXR_FLOAT || f == PFM; }
    // Makes the temporary, writes width x height pixels, or for a format of
    // linear colours the colours they pack, and puts the file in place;
    // false with reason() set, the earlier file untouched.
    bool write(const uint32_t *pixels, const LinearColours &colours = LinearColours());
    // Leaves the target as it was.
    void discard() { out.discard(); }

    const char *reason() const { return why.empty() ? out.reason() : why.c_str(); }

  private:
    bool write_ppm(const uint32_t *pixels);
    bool write_png(const uint32_t *pixels);

    OutputFile out;
    std::string name;
    Format format = PPM;
    FramePlace place;
    int width = 0;
    int height = 0;
    std::vector<unsigned char> row; // a PNG's row, as libpng takes it
    std::string why;
};

// Writes a picture at once, in the given format, of a band of a frame, with
// the colours that a format of linear colours needs; false with *reason set.
bool write_image(const char *fname, ImageFile::Format format, const uint32_t *pixels, int width, int height,
                 FramePlace place, const LinearColours &colours, std::string *reason);
// A PPM whatever the name.
bool write_ppm(const char *fname, const uint32_t *pixels, int width, int height);

#endif
