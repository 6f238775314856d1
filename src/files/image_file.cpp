#include "files/image_file.h"

#include <png.h>
#include <strings.h>

#include <cstring>
#include <new>

// Red, green and blue bytes of n pixels.
static void unpack(const uint32_t *src, size_t n, unsigned char *rgb)
{
    for (size_t i = 0; i < n; i++) {
        uint32_t pix = src[i];
        rgb[i * 3 + 0] = (pix >> 16) & 0xFF;
        rgb[i * 3 + 1] = (pix >> 8) & 0xFF;
        rgb[i * 3 + 2] = pix & 0xFF;
    }
}

static bool ends_with(const char *fname, const char *ending)
{
    size_t len = strlen(fname), n = strlen(ending);
    return len >= n && strcasecmp(fname + len - n, ending) == 0;
}

ImageFile::Format ImageFile::by_name(const char *fname, bool exr_float)
{
    if (ends_with(fname, ".png")) {
        return PNG;
    }
    if (ends_with(fname, ".exr")) {
        return exr_float ? EXR_FLOAT : EXR_HALF;
    }
    return ends_with(fname, ".pfm") ? PFM : PPM;
}

bool ImageFile::open(const char *fname, int w, int h, Format wanted, FramePlace band)
{
    why.clear();
    name = fname;
    width = w;
    height = h;
    format = wanted == BY_NAME ? by_name(fname) : wanted;
    place = band;
    row.clear();
    if (format == PNG) {
        // A row at a time, as libpng takes it: the widest takes 800 MB.
        try {
            row.resize(static_cast<size_t>(width) * 3);
        } catch (const std::bad_alloc &) {
            why = "not enough memory for a row of " + std::to_string(width) + " pixels";
            return false;
        }
    }
    return out.check(fname);
}

bool ImageFile::write(const uint32_t *pixels, const LinearColours &colours)
{
    if (!out.open(name.c_str())) {
        return false;
    }
    bool ok;
    switch (format) {
    case PNG:
        ok = write_png(pixels);
        break;
    case EXR_HALF:
    case EXR_FLOAT:
        ok = write_exr(&out, colours, width, height, place, format == EXR_FLOAT, &why);
        break;
    case PFM:
        ok = write_pfm(&out, colours, width, height, &why);
        break;
    default:
        ok = write_ppm(pixels);
        break;
    }
    if (!ok) {
        out.discard();
        return false;
    }
    return out.commit();
}

bool ImageFile::write_ppm(const uint32_t *pixels)
{
    char header[64];
    int n = snprintf(header, sizeof header, "P6\n%d %d\n255\n", width, height);
    if (!out.write(header, n)) {
        return false;
    }
    // In pieces of a fixed size: no buffer grows with the picture.
    unsigned char rgb[3 * 4096];
    size_t total = static_cast<size_t>(width) * height;
    for (size_t done = 0; done < total; done += 4096) {
        size_t count = total - done < 4096 ? total - done : 4096;
        unpack(pixels + done, count, rgb);
        if (!out.write(rgb, count * 3)) {
            return false;
        }
    }
    return true;
}

// libpng reports errors by longjmp from these callbacks, which print nothing:
// the caller gives the reason. Nothing with a destructor may live in a frame
// it jumps across.
static void png_fail(png_structp png, png_const_charp)
{
    png_longjmp(png, 1);
}

static void png_quiet(png_structp, png_const_charp) {}

static void png_out(png_structp png, png_bytep data, size_t n)
{
    if (!static_cast<OutputFile *>(png_get_io_ptr(png))->write(data, n)) {
        png_longjmp(png, 1);
    }
}

static void png_no_flush(png_structp) {}

bool ImageFile::write_png(const uint32_t *pixels)
{
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, png_fail, png_quiet);
    if (png == nullptr) {
        why = "not enough memory for the PNG encoder";
        return false;
    }
    png_infop info = png_create_info_struct(png);
    if (info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        if (!out.failed()) {
            why = "the PNG encoder failed";
        }
        return false;
    }
    png_set_write_fn(png, &out, png_out, png_no_flush);
    // libpng refuses rows wider or columns taller than a million pixels
    // unless told otherwise; the program's own limit is larger.
    png_set_user_limits(png, 0x7fffffff, 0x7fffffff);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < height; y++) {
        unpack(pixels + static_cast<size_t>(y) * width, width, row.data());
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

bool write_image(const char *fname, ImageFile::Format format, const uint32_t *pixels, int width, int height,
                 FramePlace place, const LinearColours &colours, std::string *reason)
{
    ImageFile file;
    bool ok = file.open(fname, width, height, format, place) && file.write(pixels, colours);
    if (!ok) {
        *reason = file.reason();
    }
    return ok;
}

bool write_ppm(const char *fname, const uint32_t *pixels, int width, int height)
{
    ImageFile file;
    return file.open(fname, width, height, ImageFile::PPM) && file.write(pixels);
}
