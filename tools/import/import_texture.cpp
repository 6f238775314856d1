#include "import_texture.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include <stb_image.h>

namespace
{

// Pictures of more pixels than this are not decoded: a small file can
// claim, or unpack to, gigabytes.
const double kMaxPixels = 64.0 * 1024 * 1024;

bool too_large(bool known, int width, int height, std::string *problem)
{
    if (known && static_cast<double>(width) * height > kMaxPixels) {
        *problem = "is too large to read (" + std::to_string(width) + "x" + std::to_string(height) + ")";
        return true;
    }
    return false;
}

bool is_file(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The name of the file in folder that is name but for the case of its
// letters (names written on systems that do not tell case apart); "" for
// none.
std::string name_ignoring_case(const std::string &folder, const std::string &name)
{
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

// Where a texture named path may be: as written, beside the model, and by
// its last component beside the model (a name written on another machine,
// "C:\maps\wood.jpg" say), with its case as written or not.
std::vector<std::string> candidates(const std::string &folder, std::string path)
{
    std::replace(path.begin(), path.end(), '\\', '/');
    std::vector<std::string> where;
    if (!path.empty() && path[0] == '/') {
        where.push_back(path);
    } else {
        where.push_back(folder + path);
    }
    std::string last = path.substr(path.rfind('/') + 1);
    where.push_back(folder + last);
    where.push_back(name_ignoring_case(folder, last));
    return where;
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

} // namespace

double srgb_to_linear(unsigned char value)
{
    double v = value / 255.0;
    return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}

TextureMeans::TextureMeans(const aiScene *scene, const std::string &model) : scene(scene)
{
    size_t slash = model.rfind('/');
    folder = slash == std::string::npos ? "" : model.substr(0, slash + 1);
}

bool TextureMeans::mean(const std::string &path, Vec *colour, std::string *problem)
{
    auto it = known.find(path);
    if (it == known.end()) {
        it = known.emplace(path, read(path)).first;
    }
    *colour = it->second.colour;
    *problem = it->second.problem;
    return it->second.ok;
}

TextureMeans::Result TextureMeans::read(const std::string &path) const
{
    Result result;
    int width = 0, height = 0, channels = 0;
    // A texture of the model's own: a file's bytes, or raw texels.
    if (const aiTexture *texture = scene->GetEmbeddedTexture(path.c_str())) {
        if (texture->mHeight == 0) {
            const unsigned char *bytes = reinterpret_cast<const unsigned char *>(texture->pcData);
            int size = static_cast<int>(texture->mWidth);
            bool known = stbi_info_from_memory(bytes, size, &width, &height, &channels) != 0;
            if (too_large(known, width, height, &result.problem)) {
                return result;
            }
            unsigned char *rgb = stbi_load_from_memory(bytes, size, &width, &height, &channels, 3);
            result.ok = mean_of_decoded(rgb, width, height, &result.colour, &result.problem);
            if (!result.ok) {
                result.problem = "cannot be read (" + result.problem + ")";
            }
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
    for (const std::string &file : candidates(folder, path)) {
        if (is_file(file)) {
            bool known = stbi_info(file.c_str(), &width, &height, &channels) != 0;
            if (too_large(known, width, height, &result.problem)) {
                return result;
            }
            unsigned char *rgb = stbi_load(file.c_str(), &width, &height, &channels, 3);
            result.ok = mean_of_decoded(rgb, width, height, &result.colour, &result.problem);
            if (!result.ok) {
                result.problem = "cannot be read (" + result.problem + ")";
            }
            return result;
        }
    }
    result.problem = "not found beside the model";
    return result;
}
