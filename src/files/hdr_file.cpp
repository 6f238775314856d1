#include "files/hdr_file.h"

#include <ImathBox.h>
#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfIO.h>
#include <ImfOutputFile.h>
#include <half.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <vector>

#include "numeric/floats.h"

namespace
{

using Imath::half;

// The narrow formats a channel is stored in: the nearest value to a double,
// a value as a double, and a value's neighbour on the side of a double.
struct FloatChannel {
    typedef float Type;
    // Through memory: GCC's C++ front end allows itself excess precision
    // (no -fexcess-precision=standard for C++ before GCC 13), and GCC 12's
    // vectoriser was seen to carry the double on in place of the float.
    static float nearest(double c)
    {
        volatile float f = static_cast<float>(c);
        return f;
    }
    static double value(float f) { return f; }
    static float toward(float f, double c) { return std::nextafter(f, c > f ? HUGE_VALF : -HUGE_VALF); }
};

struct HalfChannel {
    typedef half Type;
    // Through a float, which may round to a tie between two halves that the
    // double is not on; then the half on the double's side is the nearer.
    static half nearest(double c)
    {
        half h(static_cast<float>(c));
        if (!h.isFinite()) {
            return h;
        }
        half t = toward(h, c);
        return std::fabs(value(t) - c) < std::fabs(value(h) - c) ? t : h;
    }
    static double value(half h) { return static_cast<float>(h); }
    // The bits count up away from zero in each sign. The nearest half to a
    // value has the value's sign, so no step needs to cross zero.
    static half toward(half h, double c)
    {
        uint16_t u = h.bits();
        bool away = (c > value(h)) == ((u & 0x8000) == 0);
        half t;
        t.setBits(away ? u + 1 : u - 1);
        return t;
    }
};

uint32_t channel_byte(uint32_t packed, int k)
{
    return (packed >> (16 - 8 * k)) & 0xFF;
}

template <class Channel>
void file_values(const Color &c, uint32_t (*pack)(const Color &), typename Channel::Type out[3])
{
    const double exact[3] = {c.x, c.y, c.z};
    double near[3];
    for (int k = 0; k < 3; k++) {
        out[k] = Channel::nearest(exact[k]);
        near[k] = Channel::value(out[k]);
    }
    uint32_t wanted = pack(c);
    if (pack(Color(near[0], near[1], near[2])) == wanted) {
        return;
    }
    // Each channel packs on its own: one at a time, the others as they are.
    for (int k = 0; k < 3; k++) {
        double v[3] = {near[0], near[1], near[2]};
        if (channel_byte(pack(Color(v[0], v[1], v[2])), k) == channel_byte(wanted, k)) {
            continue;
        }
        typename Channel::Type other = Channel::toward(out[k], exact[k]);
        v[k] = Channel::value(other);
        if (channel_byte(pack(Color(v[0], v[1], v[2])), k) == channel_byte(wanted, k)) {
            out[k] = other;
        }
    }
}

// The file as it is assembled: OpenEXR seeks back to fill in its table of
// line offsets, which a pipe or a device could not take.
class MemoryStream : public Imf::OStream
{
  public:
    MemoryStream() : Imf::OStream("") {}
    void write(const char c[], int n) override
    {
        if (at + n > bytes.size()) {
            bytes.resize(at + n);
        }
        memcpy(bytes.data() + at, c, n);
        at += n;
    }
    uint64_t tellp() override { return at; }
    void seekp(uint64_t pos) override { at = pos; }

    std::vector<char> bytes;

  private:
    uint64_t at = 0;
};

// Little-endian bytes of a float, whatever the machine's order.
void put_le(float f, unsigned char *to)
{
    uint32_t u = bits_of(f);
    for (int b = 0; b < 4; b++) {
        to[b] = static_cast<unsigned char>(u >> (8 * b));
    }
}

} // namespace

void file_floats(const Color &c, uint32_t (*pack)(const Color &), float out[3])
{
    file_values<FloatChannel>(c, pack, out);
}

void file_halves(const Color &c, uint32_t (*pack)(const Color &), uint16_t out[3])
{
    half h[3];
    file_values<HalfChannel>(c, pack, h);
    for (int k = 0; k < 3; k++) {
        out[k] = h[k].bits();
    }
}

bool write_exr(OutputFile *out, const LinearColours &colours, int width, int height, FramePlace place, bool full_float,
               std::string *why)
{
    int frame_rows = place.frame_rows > 0 ? place.frame_rows : height;
    // A band keeps its place in the frame: the data window is its rows, the
    // display window the whole frame.
    Imath::Box2i display(Imath::V2i(0, 0), Imath::V2i(width - 1, frame_rows - 1));
    Imath::Box2i data(Imath::V2i(0, place.first_row), Imath::V2i(width - 1, place.first_row + height - 1));
    Imf::PixelType type = full_float ? Imf::FLOAT : Imf::HALF;
    size_t size = full_float ? sizeof(float) : sizeof(half);
    const char *const names[3] = {"R", "G", "B"};
    try {
        Imf::Header header(display, data);
        for (const char *name : names) {
            header.channels().insert(name, Imf::Channel(type));
        }
        MemoryStream stream;
        {
            Imf::OutputFile file(stream, header, 0);
            std::vector<Color> row(width);
            std::vector<unsigned char> values(static_cast<size_t>(width) * 3 * size);
            for (int y = 0; y < height; y++) {
                colours.row(y, row.data());
                for (int x = 0; x < width; x++) {
                    unsigned char *at = values.data() + static_cast<size_t>(x) * 3 * size;
                    if (full_float) {
                        float f[3];
                        file_floats(row[x], colours.pack, f);
                        memcpy(at, f, sizeof f);
                    } else {
                        uint16_t h[3];
                        file_halves(row[x], colours.pack, h);
                        memcpy(at, h, sizeof h);
                    }
                }
                Imf::FrameBuffer frame;
                for (int k = 0; k < 3; k++) {
                    frame.insert(names[k], Imf::Slice::Make(type, values.data() + k * size,
                                                            Imath::V2i(0, place.first_row + y), width, 1, 3 * size));
                }
                file.setFrameBuffer(frame);
                file.writePixels(1);
            }
        }
        return out->write(stream.bytes.data(), stream.bytes.size());
    } catch (const std::exception &e) {
        *why = e.what();
        return false;
    }
}

bool write_pfm(OutputFile *out, const LinearColours &colours, int width, int height, std::string *why)
{
    char header[64];
    int n = snprintf(header, sizeof header, "PF\n%d %d\n-1.0\n", width, height);
    if (!out->write(header, n)) {
        return false;
    }
    try {
        std::vector<Color> row(width);
        std::vector<unsigned char> bytes(static_cast<size_t>(width) * 12);
        for (int y = height - 1; y >= 0; y--) {
            colours.row(y, row.data());
            for (int x = 0; x < width; x++) {
                float f[3];
                file_floats(row[x], colours.pack, f);
                for (int k = 0; k < 3; k++) {
                    put_le(f[k], bytes.data() + static_cast<size_t>(x) * 12 + k * 4);
                }
            }
            if (!out->write(bytes.data(), bytes.size())) {
                return false;
            }
        }
    } catch (const std::bad_alloc &) {
        *why = "not enough memory for a row of " + std::to_string(width) + " pixels";
        return false;
    }
    return true;
}
