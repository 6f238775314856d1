// Image files of any bytes, as textures: decoding never crashes, leaks or
// hangs; a picture decoded gives a texture whose colours lie within its
// texels', wherever it is looked up.
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "files/image_decode.h"
#include "texture/texture.h"

// Pictures of up to 8192 x 8192 texels are read, but a small file that
// claims that many takes seconds under the sanitizers: such claims are
// refused here, as larger ones are by rt, on the same path.
const long long FUZZ_MAX_TEXELS = 1 << 20;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    DecodedImage image;
    std::string reason;
    if (!decode_image(std::vector<uint8_t>(data, data + size), &image, &reason, FUZZ_MAX_TEXELS)) {
        if (reason.empty()) {
            abort(); // every refusal says why
        }
        return 0;
    }
    if (image.width < 1 || image.height < 1 || image.rgb == nullptr) {
        abort();
    }
    Texture texture(image.width, image.height, std::move(image.rgb));
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double at[][2] = {{0.5, 0.5}, {0.0, 0.0}, {-0.3, 1.7}, {1e300, -1e-300}, {nan, 0.25}, {0.999999, 1.0}};
    for (const auto &uv : at) {
        Color c = texture.colour_at(uv[0], uv[1]);
        if (!(c.x >= 0.0 && c.x <= 1.0 && c.y >= 0.0 && c.y <= 1.0 && c.z >= 0.0 && c.z <= 1.0)) {
            abort();
        }
    }
    return 0;
}
