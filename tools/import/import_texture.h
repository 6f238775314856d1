// A model's textures: the mean colour of each, which rt-import writes as the
// material's colour, and where its picture is, which the scene names for rt
// to show it.
#ifndef RT_IMPORT_TEXTURE_H
#define RT_IMPORT_TEXTURE_H

#include <assimp/scene.h>

#include <map>
#include <set>
#include <string>

#include "import_common.h"

// A texture's picture: a file of the model's (its path), or one held in
// the model itself (a picture file's bytes, and the extension it goes by).
struct TextureImage {
    std::string file;
    std::string bytes;
    std::string extension;
};

class ModelTextures
{
  public:
    // Textures named by the materials of scene, read from the model's folder
    // or its layout (see find_texture), or from the model itself.
    ModelTextures(const aiScene *scene, const std::string &model);

    // The mean linear colour of the texture path names, its pixels decoded
    // from sRGB as colour textures are stored; false with *problem set when
    // it cannot be found or read. Each texture is read once.
    bool mean(const std::string &path, Vec *colour, std::string *problem);
    // The picture of a texture that mean has read.
    TextureImage image(const std::string &path);
    // The files of the model's folders read as textures.
    const std::set<std::string> &files_read() const { return files; }

  private:
    struct Result {
        bool ok = false;
        Vec colour;
        std::string problem;
        std::string file; // where it was found, for a file of the model's
    };
    Result read(const std::string &path);

    const aiScene *scene;
    std::string folder; // the model's, with its slash; empty for the working folder
    std::map<std::string, Result> known;
    std::set<std::string> files;
};

// Where a texture that a model names as path is: as written (from folder,
// the model's, when relative), or, for a name written on another machine
// ("D:\art\maps\wood.jpg"), by the last parts of its path below the model's
// folder or the one above it ("maps/wood.jpg", then "wood.jpg"), in any
// case of their letters. "" when none is a file.
std::string find_texture(const std::string &folder, std::string path);

// A file's bytes: empty when it cannot be read.
std::string file_bytes(const std::string &path);

// Linear light from an 8-bit sRGB value.
double srgb_to_linear(unsigned char value);

#endif
