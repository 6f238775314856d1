#ifndef RT_FUZZ_SUPPORT_H
#define RT_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <string>

class Scene;

// A private folder made once per process, removed at exit. Mesh data files
// named by fuzzed scene lines are looked up here and nowhere else.
const std::string &fuzz_dir();

// Loads the scene text into scene as Scene::load reads a file, from a memory
// stream. While it runs, fopen is confined to fuzz_dir(): a name with a slash
// is "not found", so no input can open a device, a FIFO or a file elsewhere.
bool fuzz_load(Scene *scene, const uint8_t *data, size_t size);

// Sends a few rays, fixed ones and the camera's, through the loaded scene and
// samples every light, so that fuzzed geometry and cameras also go through the
// box tree and the shapes.
void fuzz_query(Scene *scene);

#endif
