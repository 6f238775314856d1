#ifndef RT_SCENE_H
#define RT_SCENE_H

#include <cstdio>
#include <vector>

#include "bbox.h"
#include "camera.h"
#include "color.h"
#include "files/content_hash.h"
#include "files/input_files.h"
#include "intinfo.h"
#include "object.h"
#include "ray.h"
#include "texture/texture_set.h"

// Everything a ray query needs: objects, lights, camera and the box tree.
// The scene owns its objects, its lights and its camera.
class Scene
{
  public:
    Scene() {}
    ~Scene();
    Scene(const Scene &) = delete;
    Scene &operator=(const Scene &) = delete;

    // Reads a scene description file, adding to what the scene holds. Bad
    // lines are reported and skipped; false only when the file cannot be
    // opened or read. With a key, the bytes read go into it as they are read:
    // the file's, then those of the mesh data files it loads (or a mark for
    // each that could not be read), then a boundary; no file is read twice.
    // The key notes where each file ends, as it is named here.
    // fname, when given, is the file's name: a mesh data file missing from the
    // working folder is looked for in its folder too.
    bool load(const char *fname, FilesKey *key = nullptr);
    bool load(FILE *fp, FilesKey *key = nullptr, const char *fname = nullptr);

    // Takes ownership; an object that is a light now goes to `lights` too.
    void add_object(Object *object);
    // Takes ownership; frees the camera it replaces.
    void set_camera(Camera *camera);
    Camera *get_camera() const { return cam; }
    const std::vector<Object *> &get_objects() const { return objects; }
    void set_ambient(const Color &amb) { ambient = amb; }
    Color get_ambient() const { return ambient; }

    // The nearest hit along the ray; a null record asks only whether there
    // is one. The first query builds the box tree; later objects are unseen.
    // The object skip, if any, is passed over as if it were ignored.
    bool intersection(const Ray &ray, IntInfo *inter, const Object *skip = nullptr);
    void build_bbtree();
    // Builds the tree now unless it is built: queries then only read, and
    // may run on several threads at once.
    void build_tree_once()
    {
        if (bbroot == nullptr) {
            build_bbtree();
        }
    }

    // On (the default), the box tree holds a bounding volume hierarchy and
    // every mesh one over its faces; off, the root lists every object and
    // meshes walk all their faces. The answers are the same bit for bit; the
    // switch is for comparing the two. A tree already built is rebuilt over
    // the same objects.
    void set_accelerated(bool on);
    bool is_accelerated() const { return accelerated; }
    // Mesh data files are read, and hierarchies built, on up to this many
    // threads (1 by default). The scene is the same whatever the number, and
    // none of them runs once the calls that use them have returned.
    void set_threads(int n) { threads = n; }
    const BBoxNode *get_bbtree() const { return bbroot; }
    // The regular files loaded so far: scene files, mesh data files and
    // images.
    const InputFiles &input_files() const { return inputs; }
    // The images that colour meshes, each loaded once.
    const TextureSet &textures_loaded() const { return textures; }

    // Frees everything and leaves the scene as constructed.
    void clear();

    std::vector<Object *> lights;

  private:
    std::vector<Object *> objects;
    Camera *cam = nullptr;
    Color ambient;
    BBoxNode *bbroot = nullptr;
    bool accelerated = true;
    int threads = 1;
    size_t tree_count = 0; // the objects the tree was built over
    InputFiles inputs;
    TextureSet textures;

    void build_tree(size_t count);
};

#endif
