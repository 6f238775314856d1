#include "files/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <vector>

namespace
{

// The temporaries being written, for remove_pending_temporaries: a path is
// stored before its flag is set, and the flag cleared before it is reused.
const int PENDING_SLOTS = 4;
char pending_path[PENDING_SLOTS][PATH_MAX];
volatile sig_atomic_t pending[PENDING_SLOTS];

std::string folder_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

// The name a chain of symbolic links ends at, whether or not that exists.
// Relative link contents count from the link's own folder.
bool follow_links(std::string *path)
{
    for (int hops = 0; hops < 40; hops++) {
        struct stat st;
        if (lstat(path->c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            return true;
        }
        std::vector<char> buf(PATH_MAX + 1);
        ssize_t n = readlink(path->c_str(), buf.data(), buf.size() - 1);
        if (n < 0) {
            return false;
        }
        std::string link(buf.data(), n);
        *path = link[0] == '/' ? link : folder_of(*path) + link;
    }
    errno = ELOOP;
    return false;
}

} // namespace

std::string temporary_beside(const std::string &path)
{
    std::string folder = folder_of(path);
    std::string base = path.substr(folder.size());
    long name_max = pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
    size_t fits = name_max > 8 ? static_cast<size_t>(name_max) - 8 : 255 - 8;
    if (base.size() > fits) {
        base.resize(fits);
    }
    return folder + "." + base + ".XXXXXX";
}

void remove_pending_temporaries()
{
    for (int i = 0; i < PENDING_SLOTS; i++) {
        if (pending[i]) {
            unlink(pending_path[i]);
            pending[i] = 0;
        }
    }
}

bool OutputFile::fail(int error)
{
    discard();
    err = error;
    return false;
}

const char *OutputFile::reason() const
{
    return strerror(err);
}

bool OutputFile::open(const char *name)
{
    discard();
    target = name;
    in_place = false;
    err = 0;
    struct stat st;
    bool exists = stat(name, &st) == 0;
    if (!exists && errno != ENOENT) {
        return fail(errno);
    }
    if (exists && S_ISDIR(st.st_mode)) {
        return fail(EISDIR);
    }
    if (exists && access(name, W_OK) != 0) {
        return fail(errno);
    }
    if (exists && !S_ISREG(st.st_mode)) {
        // A device, a FIFO, a terminal: written where it stands, through
        // the name given, which the system resolves (also /dev/stdout).
        in_place = true;
        return true;
    }
    if (!follow_links(&target)) {
        return fail(errno);
    }

    for (slot = 0; slot < PENDING_SLOTS && pending[slot]; slot++) {
    }
    std::string temp = temporary_beside(target);
    if (slot == PENDING_SLOTS || temp.size() >= PATH_MAX) {
        int error = slot == PENDING_SLOTS ? EMFILE : ENAMETOOLONG;
        slot = -1;
        return fail(error);
    }
    memcpy(pending_path[slot], temp.c_str(), temp.size() + 1);
    // The flag is set around mkstemp, so that a signal in between cannot
    // leave the file behind; unlinking a name not yet made does no harm.
    pending[slot] = 1;
    int fd = mkstemp(pending_path[slot]);
    if (fd < 0) {
        int error = errno;
        pending[slot] = 0;
        slot = -1;
        return fail(error);
    }
    if (exists) {
        fchmod(fd, st.st_mode & 07777);
        if (fchown(fd, st.st_uid, st.st_gid) != 0) {
            // Only the owner's own files, or root, can keep another owner.
        }
    } else {
        // mkstemp makes the file private; give it the mode a plain fopen would.
        mode_t mask = umask(0);
        umask(mask);
        fchmod(fd, 0666 & ~mask);
    }
    fp = fdopen(fd, "wb");
    if (fp == nullptr) {
        int error = errno;
        close(fd);
        return fail(error);
    }
    return true;
}

bool OutputFile::ensure_open()
{
    if (fp == nullptr && in_place && err == 0) {
        fp = fopen(target.c_str(), "wb");
        if (fp == nullptr) {
            err = errno;
        }
    }
    return fp != nullptr && err == 0;
}

bool OutputFile::write(const void *data, size_t n)
{
    if (!ensure_open()) {
        return false;
    }
    if (fwrite(data, 1, n, fp) != n) {
        err = errno != 0 ? errno : EIO;
        return false;
    }
    return true;
}

bool OutputFile::commit()
{
    if (ensure_open() && fflush(fp) != 0) {
        err = errno;
    }
    if (fp != nullptr && fclose(fp) != 0 && err == 0) {
        err = errno;
    }
    fp = nullptr;
    if (err == 0 && slot >= 0 && rename(pending_path[slot], target.c_str()) != 0) {
        err = errno;
    }
    if (err != 0) {
        return fail(err);
    }
    if (slot >= 0) {
        pending[slot] = 0; // renamed: no longer a temporary
        slot = -1;
    }
    return true;
}

void OutputFile::discard()
{
    if (fp != nullptr) {
        fclose(fp);
        fp = nullptr;
    }
    if (slot >= 0) {
        unlink(pending_path[slot]);
        pending[slot] = 0;
        slot = -1;
    }
}

bool is_same_file(const char *name, int fd)
{
    struct stat a, b;
    return fstat(fd, &a) == 0 && stat(name, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}
