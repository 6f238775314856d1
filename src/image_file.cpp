#include "image_file.h"

#include <png.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

// Runs write_body on a temporary file beside fname and renames it over fname
// only once it is complete and closed, so a failure never leaves a partial
// file nor destroys an earlier one. The temporary is removed on failure.
static bool write_atomically(const char *fname, const std::function<bool(FILE *)> &write_body)
{
    std::string target(fname);
    size_t slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string tmp_name = dir + "." + base + ".XXXXXX";
    std::vector<char> tmp(tmp_name.begin(), tmp_name.end());
    tmp.push_back(0);

    int fd = mkstemp(tmp.data());
    if (fd < 0) {
        return false;
    }
    // mkstemp makes the file private; give it the mode a plain fopen would.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);

    FILE *fp = fdopen(fd, "wb");
    if (fp == nullptr) {
        close(fd);
        unlink(tmp.data());
        return false;
    }
    bool ok = write_body(fp);
    if (fclose(fp) != 0) {
        ok = false;
    }
    if (ok && rename(tmp.data(), fname) != 0) {
        ok = false;
    }
    if (!ok) {
        unlink(tmp.data());
    }
    return ok;
}

// Red, green and blue bytes of one row of 0x00RRGGBB pixels.
static void unpack_row(const uint32_t *src, int width, unsigned char *rgb)
{
    for (int x = 0; x < width; x++) {
        uint32_t pix = src[x];
        rgb[x * 3 + 0] = (pix >> 16) & 0xFF;
        rgb[x * 3 + 1] = (pix >> 8) & 0xFF;
        rgb[x * 3 + 2] = pix & 0xFF;
    }
}

bool write_ppm(const char *fname, const uint32_t *pixels, int width, int height)
{
    return write_atomically(fname, [&](FILE *fp) {
        if (fprintf(fp, "P6\n%d %d\n255\n", width, height) < 0) {
            return false;
        }
        std::vector<unsigned char> row(static_cast<size_t>(width) * 3);
        for (int y = 0; y < height; y++) {
            unpack_row(pixels + static_cast<size_t>(y) * width, width, row.data());
            if (fwrite(row.data(), 1, row.size(), fp) != row.size()) {
                return false;
            }
        }
        return true;
    });
}

// libpng reports errors by longjmp; nothing with a destructor may live in
// this frame, so the row buffer is the caller's.
static bool write_png_rows(FILE *fp, const uint32_t *pixels, int width, int height, unsigned char *row)
{
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (png == nullptr) {
        return false;
    }
    png_infop info = png_create_info_struct(png);
    if (info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, fp);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < height; y++) {
        unpack_row(pixels + static_cast<size_t>(y) * width, width, row);
        png_write_row(png, row);
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return fflush(fp) == 0 && !ferror(fp);
}

bool write_png(const char *fname, const uint32_t *pixels, int width, int height)
{
    std::vector<unsigned char> row(static_cast<size_t>(width) * 3);
    return write_atomically(fname, [&](FILE *fp) { return write_png_rows(fp, pixels, width, height, row.data()); });
}

static bool ends_with_png(const char *fname)
{
    size_t len = strlen(fname);
    return len >= 4 && strcasecmp(fname + len - 4, ".png") == 0;
}

bool write_image(const char *fname, const uint32_t *pixels, int width, int height)
{
    if (ends_with_png(fname)) {
        return write_png(fname, pixels, width, height);
    }
    return write_ppm(fname, pixels, width, height);
}
