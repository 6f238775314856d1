// The mean colour of a model's texture, which stands for it: rt has no
// textures, and a surface painted with one looks from afar like its mean.
#ifndef RT_IMPORT_TEXTURE_H
#define RT_IMPORT_TEXTURE_H

#include <assimp/scene.h>

#include <map>
#include <string>

#include "import_common.h"

class TextureMeans
{
  public:
    // Textures named by the materials of scene, read from model's folder
    // or from the model itself.
    TextureMeans(const aiScene *scene, const std::string &model);

    // The mean linear colour of the texture path names, its pixels decoded
    // from sRGB as colour textures are stored; false with *problem set when
    // it cannot be found or read. Each texture is read once.
    bool mean(const std::string &path, Vec *colour, std::string *problem);

  private:
    struct Result {
        bool ok = false;
        Vec colour;
        std::string problem;
    };
    Result read(const std::string &path) const;

    const aiScene *scene;
    std::string folder; // the model's, with its slash; empty for the working folder
    std::map<std::string, Result> known;
};

// Linear light from an 8-bit sRGB value.
double srgb_to_linear(unsigned char value);

#endif
