#include "import_files.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "files/output_file.h"

namespace
{

// A name beside path that no file has, for the file path holds: a hard
// link to it, so that path itself never goes missing; or, where hard links
// cannot be made, path moved there. Empty when neither can be done.
std::string keep_aside(const std::string &path)
{
    std::string base = temporary_beside(path);
    for (unsigned n = 0; n < 1000; n++) {
        std::string name =
            base.substr(0, base.size() - 6) + std::to_string(getpid() % 100000) + "b" + std::to_string(n);
        if (link(path.c_str(), name.c_str()) == 0) {
            return name;
        }
        if (errno == EEXIST) {
            continue;
        }
        if (access(name.c_str(), F_OK) != 0 && rename(path.c_str(), name.c_str()) == 0) {
            return name;
        }
        return "";
    }
    return "";
}

// Only a regular file is to be replaced: a rename onto a device or a folder
// would not do what was asked. False with *reason set.
bool replaceable(const std::string &path, std::string *reason)
{
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        *reason = "not a regular file";
        return false;
    }
    return true;
}

// Writes file->text to a temporary file beside file->path; false with
// *reason set.
bool write_temporary(PendingFile *file, std::string *reason)
{
    if (!replaceable(file->path, reason)) {
        return false;
    }
    std::string temp = temporary_beside(file->path);
    int fd = mkstemp(&temp[0]);
    if (fd < 0) {
        *reason = strerror(errno);
        return false;
    }
    // mkstemp makes the file private; give it the usual mode of a new file.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);

    FILE *fp = fdopen(fd, "w");
    if (fp == nullptr) {
        *reason = strerror(errno);
        close(fd);
        unlink(temp.c_str());
        return false;
    }
    bool ok = fwrite(file->text.data(), 1, file->text.size(), fp) == file->text.size();
    ok = fclose(fp) == 0 && ok;
    if (!ok) {
        *reason = strerror(errno);
        unlink(temp.c_str());
        return false;
    }
    file->temp = temp;
    return true;
}

// Puts back every file as it was (the ones replaced from their backups,
// new ones removed, temporaries gone), names the file that failed; false.
bool undo_files(std::vector<PendingFile> *files, const std::string &failed, const std::string &reason)
{
    for (PendingFile &file : *files) {
        if (file.replaced) {
            if (file.backup.empty()) {
                unlink(file.path.c_str());
            } else {
                rename(file.backup.c_str(), file.path.c_str());
            }
        } else {
            if (!file.temp.empty()) {
                unlink(file.temp.c_str());
            }
            // A file moved aside goes back; a link beside it goes.
            if (!file.backup.empty() && !file_exists(file.path)) {
                rename(file.backup.c_str(), file.path.c_str());
            } else if (!file.backup.empty()) {
                unlink(file.backup.c_str());
            }
        }
    }
    fprintf(stderr, "rt-import: cannot write %s: %s\n", failed.c_str(), reason.c_str());
    return false;
}

// Holds back the signals that end a program for the life of the object.
class SignalsHeld
{
  public:
    SignalsHeld()
    {
        sigset_t ending;
        sigemptyset(&ending);
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
            sigaddset(&ending, sig);
        }
        sigprocmask(SIG_BLOCK, &ending, &before);
    }
    ~SignalsHeld() { sigprocmask(SIG_SETMASK, &before, nullptr); }

  private:
    sigset_t before;
};

} // namespace

void FileSet::add(const std::string &path)
{
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        ids.insert({st.st_dev, st.st_ino});
    }
}

bool FileSet::holds(const std::string &path) const
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && ids.count({st.st_dev, st.st_ino}) > 0;
}

bool write_files(std::vector<PendingFile> *files, const char *last_step_name, bool (*last_step)(const std::string &),
                 const std::string &last_step_text)
{
    SignalsHeld held;
    std::string reason;
    for (PendingFile &file : *files) {
        if (!write_temporary(&file, &reason)) {
            return undo_files(files, file.path, reason);
        }
    }
    if (last_step != nullptr && !last_step(last_step_text)) {
        return undo_files(files, last_step_name, strerror(errno));
    }
    for (PendingFile &file : *files) {
        if (file_exists(file.path)) {
            file.backup = keep_aside(file.path);
        }
        if (rename(file.temp.c_str(), file.path.c_str()) != 0) {
            return undo_files(files, file.path, strerror(errno));
        }
        file.temp.clear();
        file.replaced = true;
    }
    for (PendingFile &file : *files) {
        if (!file.backup.empty()) {
            unlink(file.backup.c_str());
        }
    }
    return true;
}

std::set<std::string> files_named_by(const std::string &path)
{
    std::set<std::string> names;
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return names; // a FIFO would wait for a writer; the writing refuses it
    }
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line[0] != 'm') {
            continue;
        }
        // rt reads the name after the m and any white space, and an image's
        // in a word kd_map(NAME) or ke_map(NAME), up to its last ')'.
        std::istringstream words(line.substr(1));
        std::string word;
        if (words >> word) {
            names.insert(word);
        }
        while (words >> word) {
            if (word.rfind("kd_map(", 0) == 0 || word.rfind("ke_map(", 0) == 0) {
                size_t close = word.rfind(')');
                names.insert(word.substr(7, close == std::string::npos || close < 7 ? std::string::npos : close - 7));
            }
        }
    }
    return names;
}

bool file_exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool can_write(const std::string &path, std::string *reason)
{
    if (!replaceable(path, reason)) {
        return false;
    }
    if (!folder_writable(path)) {
        *reason = strerror(errno);
        return false;
    }
    return true;
}
