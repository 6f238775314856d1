#include "files/input_files.h"

#include <sys/stat.h>

void InputFiles::add(FILE *fp, const char *name, const char *kind)
{
    struct stat st;
    if (fstat(fileno(fp), &st) != 0 || !S_ISREG(st.st_mode)) {
        return;
    }
    for (const File &f : files) {
        if (f.dev == st.st_dev && f.ino == st.st_ino) {
            return;
        }
    }
    files.push_back(File{st.st_dev, st.st_ino, std::string(kind) + " " + name});
}

std::string InputFiles::named_by(const char *name) const
{
    struct stat st;
    if (stat(name, &st) != 0) {
        return std::string();
    }
    for (const File &f : files) {
        if (f.dev == st.st_dev && f.ino == st.st_ino) {
            return f.what;
        }
    }
    return std::string();
}
