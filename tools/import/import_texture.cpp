#include "import_texture.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include <stb_image.h>
#include <stb_image_write.h>

#include "files/image_check.h"

namespace
{

// Pictures of more pixels than this are not decoded: a small file can
// claim, or unpack to, gigabytes.
const double kMaxPixels = 64.0 * 1024 * 1024;

bool too_large(bool known, int width, int height, std::string *problem)
{
    // A BMP stored top down gives its height as a negative number.
    if (known && std::fabs(static_cast<double>(width)) * std::fabs(static_cast<double>(height)) > kMaxPixels) {
        *problem =
            "is too large to read (" + std::to_string(std::abs(width)) + "x" + std::to_string(std::abs(height)) + ")";
        return true;
    }
    return false;
}

bool is_file(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The file or folder in folder that is name, or is but for the case of its
// letters (names written on systems that do not tell case apart); "" for
// none.
std::string name_ignoring_case(const std::string &folder, const std::string &name)
{
    struct stat st;
    if (stat((folder + name).c_str(), &st) == 0) {
        return folder + name;
    }
    std::string found;
    DIR *dir = opendir(folder.empty() ? "." : folder.c_str());
    if (dir == nullptr) {
        return found;
    }
    while (struct dirent *entry = readdir(dir)) {
        if (strcasecmp(entry->d_name, name.c_str()) == 0) {
            found = folder + entry->d_name;
            break;
        }
    }
    closedir(dir);
    return found;
}

// The file below base (a folder with its slash, or "") that the names of
// parts lead to, each in any case; "" for none.
std::string below_ignoring_case(std::string base, const std::vector<std::string> &parts)
{
    for (size_t i = 0; i < parts.size() && !base.empty(); i++) {
        base = name_ignoring_case(base == "./" ? "" : base, parts[i]);
        if (!base.empty() && i + 1 < parts.size()) {
            base += "/";
        }
    }
    return !base.empty() && is_file(base) ? base : "";
}

// The names of a path's folders and file, without a drive ("D:"), empty
// names and ".", from the last ".." on, at most the last eight.
std::vector<std::string> path_parts(const std::string &path)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = std::min(path.find('/', start), path.size());
        std::string part = path.substr(start, end - start);
        if (part == "..") {
            parts.clear();
        } else if (!part.empty() && part != "." && !(parts.empty() && start == 0 && part.back() == ':')) {
            parts.push_back(part);
        }
        start = end + 1;
    }
    if (parts.size() > 8) {
        parts.erase(parts.begin(), parts.end() - 8);
    }
    return parts;
}

struct Sum {
    double r = 0.0, g = 0.0, b = 0.0;
    size_t pixels = 0;
    void add(unsigned char red, unsigned char green, unsigned char blue)
    {
        r += srgb_to_linear(red);
        g += srgb_to_linear(green);
        b += srgb_to_linear(blue);
        pixels++;
    }
    Vec mean() const { return Vec(r, g, b) / static_cast<double>(pixels); }
};

// The mean of an image that stb_image decoded into RGB bytes.
bool mean_of_decoded(unsigned char *rgb, int width, int height, Vec *colour, std::string *problem)
{
    if (rgb == nullptr) {
        const char *reason = stbi_failure_reason();
        *problem = reason != nullptr && *reason != 0 ? reason : "not a picture";
        return false;
    }
    Sum sum;
    size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
    for (size_t i = 0; i < n; i++) {
        sum.add(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]);
    }
    stbi_image_free(rgb);
    if (sum.pixels == 0) {
        *problem = "it has no pixels";
        return false;
    }
    *colour = sum.mean();
    return true;
}

// The bytes of a PNG file of the texels, for a texture that a model holds
// as texels rather than as a picture file's bytes.
std::string png_of_texels(const aiTexture *texture)
{
    std::string rgb;
    const size_t count = static_cast<size_t>(texture->mWidth) * texture->mHeight;
    for (size_t i = 0; i < count; i++) {
        const aiTexel &t = texture->pcData[i];
        rgb += {static_cast<char>(t.r), static_cast<char>(t.g), static_cast<char>(t.b)};
    }
    std::string png;
    stbi_write_png_to_func(
        [](void *to, void *data, int size) { static_cast<std::string *>(to)->append(static_cast<char *>(data), size); },
        &png, static_cast<int>(texture->mWidth), static_cast<int>(texture->mHeight), 3, rgb.data(),
        static_cast<int>(3 * texture->mWidth));
    return png;
}

} // namespace

std::string file_bytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return in ? bytes.str() : "";
}

std::string find_texture(const std::string &folder, std::string path)
{
    std::replace(path.begin(), path.end(), '\\', '/');
    std::string written = !path.empty() && path[0] == '/' ? path : folder + path;
    if (is_file(written)) {
        return written;
    }
    const std::vector<std::string> parts = path_parts(path);
    for (size_t n = parts.size(); n > 0; n--) {
        std::vector<std::string> last(parts.end() - n, parts.end());
        for (const std::string &base : {folder.empty() ? std::string("./") : folder, folder + "../"}) {
            std::string found = below_ignoring_case(base, last);
            if (!found.empty()) {
                return found;
            }
        }
    }
    return "";
}

double srgb_to_linear(unsigned char value)
{
    double v = value / 255.0;
    return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}

ModelTextures::ModelTextures(const aiScene *scene, const std::string &model) : scene(scene)
{
    size_t slash = model.rfind('/');
    folder = slash == std::string::npos ? "" : model.substr(0, slash + 1);
}

bool ModelTextures::mean(const std::string &path, Vec *colour, std::string *problem)
{
    auto it = known.find(path);
    if (it == known.end()) {
        it = known.emplace(path, read(path)).first;
    }
    *colour = it->second.colour;
    *problem = it->second.problem;
    return it->second.ok;
}

// The mean of a picture file's bytes; false with *problem set when they
// are not one that can be read.
static bool mean_of_bytes(const unsigned char *bytes, size_t size, Vec *colour, std::string *problem)
{
    int width = 0, height = 0, channels = 0;
    if (size > static_cast<size_t>(INT_MAX)) {
        *problem = "is too large to read";
        return false;
    }
    if (const char *fault = image_fault(bytes, size)) {
        *problem = std::string("cannot be read (") + fault + ")";
        return false;
    }
    bool known = stbi_info_from_memory(bytes, static_cast<int>(size), &width, &height, &channels) != 0;
    if (too_large(known, width, height, problem)) {
        return false;
    }
    unsigned char *rgb = stbi_load_from_memory(bytes, static_cast<int>(size), &width, &height, &channels, 3);
    if (!mean_of_decoded(rgb, width, height, colour, problem)) {
        *problem = "cannot be read (" + *problem + ")";
        return false;
    }
    return true;
}

ModelTextures::Result ModelTextures::read(const std::string &path)
{
    Result result;
    // A texture of the model's own: a file's bytes, or raw texels.
    if (const aiTexture *texture = scene->GetEmbeddedTexture(path.c_str())) {
        if (texture->mHeight == 0) {
            result.ok = mean_of_bytes(reinterpret_cast<const unsigned char *>(texture->pcData), texture->mWidth,
                                      &result.colour, &result.problem);
            return result;
        }
        Sum sum;
        for (size_t i = 0; i < static_cast<size_t>(texture->mWidth) * texture->mHeight; i++) {
            const aiTexel &t = texture->pcData[i];
            sum.add(t.r, t.g, t.b);
        }
        result.ok = sum.pixels > 0;
        result.colour = result.ok ? sum.mean() : Vec();
        result.problem = result.ok ? "" : "it has no pixels";
        return result;
    }
    std::string file = find_texture(folder, path);
    if (file.empty()) {
        result.problem = "not found beside the model or in its folders";
        return result;
    }
    files.insert(file);
    result.file = file;
    std::string bytes = file_bytes(file);
    result.ok = mean_of_bytes(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), &result.colour,
                              &result.problem);
    return result;
}

TextureImage ModelTextures::image(const std::string &path)
{
    TextureImage image;
    const aiTexture *texture = scene->GetEmbeddedTexture(path.c_str());
    if (texture == nullptr) {
        image.file = known[path].file;
        return image;
    }
    if (texture->mHeight > 0) {
        image.bytes = png_of_texels(texture);
        image.extension = "png";
        return image;
    }
    image.bytes.assign(reinterpret_cast<const char *>(texture->pcData), texture->mWidth);
    // The reader's hint ("png", "jpg"), if it is one; rt goes by the bytes.
    for (const char *c = texture->achFormatHint; *c != 0 && c < texture->achFormatHint + sizeof texture->achFormatHint;
         c++) {
        image.extension += static_cast<char>(isalnum(static_cast<unsigned char>(*c)) ? tolower(*c) : '_');
    }
    if (image.extension.empty()) {
        image.extension = "img";
    }
    return image;
}
