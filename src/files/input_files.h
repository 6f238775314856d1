#ifndef RT_INPUT_FILES_H
#define RT_INPUT_FILES_H

#include <cstdio>
#include <string>
#include <sys/types.h>
#include <vector>

// The regular files a scene was read from (scene files and mesh data files),
// known by device and inode, so that a picture is never written over one of
// them: a slip of `-o` would otherwise destroy the scene it renders. Pipes
// and devices are not kept: writing to them loses nothing.
class InputFiles
{
  public:
    // Keeps fp's file, opened as name, when it is a regular file.
    void add(FILE *fp, const char *name, const char *kind);
    // What name stands for when it is one of the files kept, as "KIND NAME"
    // (the name it was opened as), else an empty string.
    std::string named_by(const char *name) const;
    void clear() { files.clear(); }

  private:
    struct File {
        dev_t dev;
        ino_t ino;
        std::string what;
    };
    std::vector<File> files;
};

#endif
