#include "fuzz_support.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "scene.h"

// The linker sends every fopen of the program here (-Wl,--wrap=fopen).
extern "C" FILE *__real_fopen(const char *name, const char *mode);

static bool confined = false;

// Only reads are confined: the loaders open with "r", and libFuzzer writes
// its crash files even when a crash leaves a load unfinished.
extern "C" FILE *__wrap_fopen(const char *name, const char *mode)
{
    if (!confined || mode[0] != 'r') {
        return __real_fopen(name, mode);
    }
    if (strchr(name, '/') != nullptr) {
        errno = ENOENT;
        return nullptr;
    }
    return __real_fopen((fuzz_dir() + "/" + name).c_str(), mode);
}

static void remove_fuzz_dir()
{
    std::string cmd = "rm -rf '" + fuzz_dir() + "'";
    if (system(cmd.c_str()) != 0) {
        fprintf(stderr, "could not remove %s\n", fuzz_dir().c_str());
    }
}

const std::string &fuzz_dir()
{
    static std::string dir;
    if (dir.empty()) {
        const char *base = getenv("TMPDIR");
        std::string templ = std::string(base && *base ? base : "/tmp") + "/rt-fuzz-XXXXXX";
        std::vector<char> buf(templ.begin(), templ.end());
        buf.push_back(0);
        if (mkdtemp(buf.data()) == nullptr) {
            perror("mkdtemp");
            abort();
        }
        dir = buf.data();
        atexit(remove_fuzz_dir);
    }
    return dir;
}

bool fuzz_load(Scene *scene, const uint8_t *data, size_t size)
{
    // fmemopen wants a buffer even for no bytes.
    static char empty[1];
    FILE *fp = size == 0 ? fmemopen(empty, 0, "r") : fmemopen(const_cast<uint8_t *>(data), size, "r");
    if (fp == nullptr) {
        abort();
    }
    confined = true;
    bool res = scene->load(fp);
    confined = false;
    fclose(fp);
    return res;
}

void fuzz_query(Scene *scene)
{
    static const Ray rays[] = {
        {Vector3(0, 0, -10), Vector3(0, 0, 10000)},
        {Vector3(0, 0, 0), Vector3(3000, -5000, 7000)},
        {Vector3(1, 1, 1), Vector3(-1, -1, -1)},
    };
    for (const Ray &ray : rays) {
        IntInfo info;
        if (scene->intersection(ray, &info) && info.object == nullptr) {
            abort(); // a hit must name its object
        }
        scene->intersection(ray, nullptr);
    }
    // Through the fuzzed camera, as the renderer asks it: corners and centre.
    if (const Camera *cam = scene->get_camera()) {
        for (double x : {-1.0, 0.0, 1.0}) {
            IntInfo info;
            scene->intersection(cam->get_primary_ray(x, -x), &info);
        }
    }
    for (Object *light : scene->lights) {
        light->sample();
    }
}
