#include "files/scene_path.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

std::string scene_relative_path(const char *name, const char *scene_file)
{
    struct stat st;
    if (name[0] == '/' || scene_file == nullptr || stat(name, &st) == 0 || errno != ENOENT) {
        return name;
    }
    const char *slash = strrchr(scene_file, '/');
    if (slash == nullptr) {
        return name; // the scene's folder is the working folder
    }
    std::string beside = std::string(scene_file, slash + 1) + name;
    return stat(beside.c_str(), &st) == 0 || errno != ENOENT ? beside : name;
}
