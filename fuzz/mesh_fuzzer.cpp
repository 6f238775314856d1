// Mesh data files of any bytes: loading never crashes, leaks or hangs; a
// valid file gives a mesh that answers ray queries, an invalid one adds
// nothing to the scene.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_meshes.h"
#include "fuzz_support.h"
#include "scene.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // One file, rewritten for every input.
    static const std::string path = fuzz_dir() + "/in.mesh";
    FILE *fp = fopen(path.c_str(), "wb");
    if (fp == nullptr || fwrite(data, 1, size, fp) != size || fclose(fp) != 0) {
        abort();
    }

    Scene scene;
    if (!fuzz_load(&scene, reinterpret_cast<const uint8_t *>(kFuzzMeshLine), sizeof kFuzzMeshLine - 1)) {
        abort();
    }
    if (scene.get_objects().size() > 1 || scene.lights.size() > scene.get_objects().size()) {
        abort(); // one mesh line makes one object at most
    }
    fuzz_query(&scene);
    return 0;
}
