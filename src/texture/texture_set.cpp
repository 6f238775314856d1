#include "texture/texture_set.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "files/image_decode.h"
#include "files/scene_path.h"

namespace
{

// Image files are read whole before they are decoded; larger ones are not
// read at all.
const size_t MAX_IMAGE_FILE_BYTES = size_t(1) << 30;

// What the key takes for an image file that cannot be read.
const char UNREADABLE[] = "\0missing texture\0";

bool is_blank(char c)
{
    return isspace(static_cast<unsigned char>(c)) != 0;
}

} // namespace

MapNames read_map_names(const char *rest)
{
    MapNames names;
    const char *p = rest;
    if (*p == ')') {
        p++; // the material's last parenthesis
    }
    while (*p != 0) {
        while (is_blank(*p)) {
            p++;
        }
        const char *end = p;
        while (*end != 0 && !is_blank(*end)) {
            end++;
        }
        std::string word(p, end);
        p = end;
        std::optional<std::string> *name = word.rfind("kd_map(", 0) == 0   ? &names.kd
                                           : word.rfind("ke_map(", 0) == 0 ? &names.ke
                                                                           : nullptr;
        if (name != nullptr) {
            size_t close = word.rfind(')');
            *name = word.substr(7, close == std::string::npos || close < 7 ? std::string::npos : close - 7);
        }
    }
    return names;
}

// The key's end of an image file read (or found unreadable), so that a state
// refused for it names it.
static void end_key(FilesKey *key, const std::string &path)
{
    if (key != nullptr) {
        key->end_file("texture file " + path);
    }
}

const Texture *TextureSet::load(const std::string &name, const char *scene_file, FilesKey *key, InputFiles *inputs,
                                std::string *problem)
{
    problem->clear();
    const std::string path = name.empty() ? name : scene_relative_path(name.c_str(), scene_file);
    if (failed.count(path) > 0) {
        return nullptr;
    }
    FILE *fp = path.empty() ? nullptr : fopen(path.c_str(), "rb");
    struct stat st;
    bool keyed = false; // the key has what was read of the file
    if (fp == nullptr || fstat(fileno(fp), &st) != 0) {
        *problem = path.empty() ? "no file named" : strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        *problem = "not a regular file";
    } else {
        for (const Loaded &l : loaded) {
            if (l.dev == st.st_dev && l.ino == st.st_ino) {
                fclose(fp);
                return l.texture.get();
            }
        }
        inputs->add(fp, name.c_str(), "texture file");
        keyed = true;
        if (read(fp, static_cast<size_t>(st.st_size), key, problem)) {
            fclose(fp);
            loaded.back().dev = st.st_dev;
            loaded.back().ino = st.st_ino;
            end_key(key, path);
            return loaded.back().texture.get();
        }
    }
    if (fp != nullptr) {
        fclose(fp);
    }
    if (key != nullptr && !keyed) {
        key->add(UNREADABLE, sizeof UNREADABLE - 1);
    }
    end_key(key, path);
    failed.insert(path);
    return nullptr;
}

// Reads the open file whole and decodes it into a texture of its own, at
// the end of `loaded`.
bool TextureSet::read(FILE *fp, size_t size, ContentHash *key, std::string *problem)
{
    std::vector<uint8_t> bytes;
    bytes.reserve(std::min(size, MAX_IMAGE_FILE_BYTES));
    uint8_t block[65536];
    size_t got;
    while ((got = fread(block, 1, sizeof block, fp)) > 0) {
        if (key != nullptr) {
            key->add(block, got);
        }
        if (bytes.size() + got > MAX_IMAGE_FILE_BYTES) {
            *problem = "the file is larger than 1 GiB";
            return false;
        }
        bytes.insert(bytes.end(), block, block + got);
    }
    if (ferror(fp)) {
        *problem = strerror(errno);
        return false;
    }
    DecodedImage image;
    if (!decode_image(bytes, &image, problem)) {
        return false;
    }
    loaded.push_back(
        Loaded{0, 0, std::unique_ptr<Texture>(new Texture(image.width, image.height, std::move(image.rgb)))});
    return true;
}

bool TextureSet::load_maps(const char *words, const char *mesh_file, bool has_coords, const char *scene_file,
                           FilesKey *key, InputFiles *inputs, SurfaceMaps *maps)
{
    const MapNames names = read_map_names(words);
    if (!names.kd && !names.ke) {
        return false;
    }
    if (!has_coords) {
        fprintf(stderr, "mesh data file %s has no texture coordinates: its images are left out\n", mesh_file);
        return false;
    }
    const struct {
        const std::optional<std::string> &name;
        const Texture **texture;
        const char *colour;
    } wanted[] = {{names.kd, &maps->kd, "kd"}, {names.ke, &maps->ke, "ke"}};
    for (const auto &w : wanted) {
        std::string problem;
        *w.texture = w.name ? load(*w.name, scene_file, key, inputs, &problem) : nullptr;
        if (!problem.empty()) {
            fprintf(stderr, "failed to read texture file: %s: %s: the mesh's %s stands for it\n", w.name->c_str(),
                    problem.c_str(), w.colour);
        }
    }
    return true;
}

size_t TextureSet::bytes() const
{
    size_t sum = 0;
    for (const Loaded &l : loaded) {
        sum += l.texture->bytes();
    }
    return sum;
}

void TextureSet::clear()
{
    loaded.clear();
    failed.clear();
}
