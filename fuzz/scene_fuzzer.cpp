// Scene description files of any bytes: loading never crashes, leaks or
// hangs, and the loaded scene answers ray queries.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_meshes.h"
#include "fuzz_support.h"
#include "scene.h"

// Flakes hold (6^depth - 1) / 5 spheres: depths up to 10 are valid but take
// gigabytes, which would only trip the fuzzer's memory limit. Inputs that may
// hold a deeper flake than this are skipped (any "i(" with a number after it).
static const long MAX_FUZZ_FLAKE_DEPTH = 5;

static bool has_deep_flake(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    for (size_t at = text.find("i("); at != std::string::npos; at = text.find("i(", at + 1)) {
        long depth = strtol(text.c_str() + at + 2, nullptr, 10);
        if (depth > MAX_FUZZ_FLAKE_DEPTH) {
            return true;
        }
    }
    return false;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    for (const FuzzMesh &m : kFuzzMeshes) {
        FILE *fp = fopen((fuzz_dir() + "/" + m.name).c_str(), "w");
        if (fp == nullptr || fputs(m.text, fp) < 0 || fclose(fp) != 0) {
            abort();
        }
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (has_deep_flake(data, size)) {
        return -1; // not added to the corpus
    }
    Scene scene;
    if (!fuzz_load(&scene, data, size)) {
        abort(); // a memory stream has no read errors
    }
    fuzz_query(&scene);
    return 0;
}
