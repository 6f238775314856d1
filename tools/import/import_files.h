// rt-import's output files: written whole or not at all, and never over
// the model's own files; an earlier import stays whole until the new one
// is in place.
#ifndef RT_IMPORT_FILES_H
#define RT_IMPORT_FILES_H

#include <sys/types.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

struct PendingFile {
    std::string path;
    std::string text;
    std::string temp;   // the temporary beside path, once written
    std::string backup; // the file path held before, kept beside it until the end
    bool replaced = false;
};

// Files by device and inode: the same file under any name.
class FileSet
{
  public:
    void add(const std::string &path);
    bool holds(const std::string &path) const;

  private:
    std::set<std::pair<dev_t, ino_t>> ids;
};

// Writes every file whole, or none: each to a temporary beside it first;
// then, once last_step (if any) has succeeded, puts them in place in their
// order, so that the last (the scene file) appears when every file it
// names is there. A file that was there is kept under another name until
// the last one is in place: when any step fails, every file is as it was
// and a message names the file that failed. The ending signals wait until
// it is done.
bool write_files(std::vector<PendingFile> *files, const char *last_step_name = nullptr,
                 bool (*last_step)(const std::string &) = nullptr, const std::string &last_step_text = "");

// The files that the scene file at path names, as written on its mesh
// lines: the mesh data files and the images of kd_map and ke_map words;
// none when there is no such file.
std::set<std::string> files_named_by(const std::string &path);

bool file_exists(const std::string &path);

// Whether path can be written as write_files writes it: not something other
// than a regular file, in a folder where a temporary can be made; false
// with *reason set. Asked before the model is read, which may take long.
bool can_write(const std::string &path, std::string *reason);

#endif
