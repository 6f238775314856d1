#ifndef RT_TEXTURE_SET_H
#define RT_TEXTURE_SET_H

#include <sys/types.h>

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "files/content_hash.h"
#include "files/input_files.h"
#include "texture/texture.h"

// The words after a mesh line's material that name its images:
// kd_map(FILE) for the diffuse colour, ke_map(FILE) for the emission. Any
// other word is ignored, as is all that follows the material; of two words
// for one colour the last counts. A name runs to the word's last ')' (to
// its end, when it has none), so it may hold parentheses but no blank.
struct MapNames {
    std::optional<std::string> kd, ke;
};
MapNames read_map_names(const char *rest);

// The textures of a scene: each image file read and decoded once, however
// many meshes name it, by any name. The scene owns them; meshes borrow them.
class TextureSet
{
  public:
    // The texture of the image file that a scene file names (found as a mesh
    // data file is: see scene_relative_path). With a key, the file's bytes go
    // into it as they are read, or a mark when it cannot be read; the file
    // joins inputs. Null with *problem set when it cannot be read or decoded;
    // null with *problem empty when that was said of the same name before.
    const Texture *load(const std::string &name, const char *scene_file, FilesKey *key, InputFiles *inputs,
                        std::string *problem);
    // The images that the words after a mesh line's material name (see
    // read_map_names), loaded into *maps, for a mesh whose data file (named
    // mesh_file) has texture coordinates: false when it names none. An image
    // that cannot be read, or a mesh without coordinates, is left out with a
    // warning (once for each file), and the line's colour, the image's
    // mean, stands for it.
    bool load_maps(const char *words, const char *mesh_file, bool has_coords, const char *scene_file, FilesKey *key,
                   InputFiles *inputs, SurfaceMaps *maps);
    // Bytes held by the textures' texels.
    size_t bytes() const;
    void clear();

  private:
    struct Loaded {
        dev_t dev;
        ino_t ino;
        std::unique_ptr<Texture> texture;
    };
    bool read(FILE *fp, size_t size, ContentHash *key, std::string *problem);

    std::vector<Loaded> loaded;
    std::set<std::string> failed; // the names, as found, that could not be read
};

#endif
