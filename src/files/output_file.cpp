#include "files/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <vector>

namespace
{

// The files remembered for remove_pending_temporaries: a name is stored
// before its flag is set, and the flag cleared before the entry is reused.
const int PENDING_SLOTS = 8;
int pending_folder[PENDING_SLOTS];
char pending_name[PENDING_SLOTS][NAME_MAX + 1];
volatile sig_atomic_t pending[PENDING_SLOTS];

// Six characters for a temporary's name. Not rand(): the classic mode's
// pictures depend on every value the C library's sequence gives.
void fill_unique(char *six)
{
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    static uint64_t counter = 0;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    uint64_t x = static_cast<uint64_t>(now.tv_nsec) ^ static_cast<uint64_t>(now.tv_sec) << 30 ^
                 static_cast<uint64_t>(getpid()) << 20 ^ ++counter * 0x9E3779B97F4A7C15ull;
    // splitmix64's finaliser spreads every input bit over the result.
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    x ^= x >> 31;
    for (int i = 0; i < 6; i++) {
        six[i] = letters[x % 62];
        x /= 62;
    }
}

} // namespace

std::string folder_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

int open_folder_of(const std::string &path)
{
    std::string folder = folder_of(path);
#ifdef O_PATH
    // A folder one may write in but not list serves as well.
    const int how = O_PATH;
#else
    const int how = O_RDONLY;
#endif
    return open(folder.empty() ? "." : folder.c_str(), how | O_DIRECTORY | O_CLOEXEC);
}

bool folder_writable(const std::string &path)
{
    std::string folder = folder_of(path);
    return access(folder.empty() ? "." : folder.c_str(), W_OK | X_OK) == 0;
}

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

int remember_file(int folder, const char *name)
{
    size_t n = strlen(name);
    for (int i = 0; i < PENDING_SLOTS; i++) {
        if (!pending[i] && n <= NAME_MAX) {
            pending_folder[i] = folder;
            memcpy(pending_name[i], name, n + 1);
            pending[i] = 1;
            return i;
        }
    }
    return -1;
}

void forget_file(int entry)
{
    if (entry >= 0) {
        pending[entry] = 0;
    }
}

void remove_pending_temporaries()
{
    for (int i = 0; i < PENDING_SLOTS; i++) {
        if (pending[i]) {
            unlinkat(pending_folder[i], pending_name[i], 0);
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

// What open() and check() share: the target's kind and permission, and
// the name of a regular file with links followed (in target). *exists and
// *st say what the name named.
bool OutputFile::check_target(const char *name, struct stat *st, bool *exists)
{
    discard();
    target = name;
    in_place = false;
    err = 0;
    *exists = stat(name, st) == 0;
    if (!*exists && errno != ENOENT) {
        return fail(errno);
    }
    if (*exists && S_ISDIR(st->st_mode)) {
        return fail(EISDIR);
    }
    if (*exists && access(name, W_OK) != 0) {
        return fail(errno);
    }
    if (*exists && !S_ISREG(st->st_mode)) {
        // A device, a FIFO, a terminal: written where it stands, through
        // the name given, which the system resolves (also /dev/stdout).
        in_place = true;
        return true;
    }
    if (!follow_links(&target)) {
        return fail(errno);
    }
    return true;
}

bool OutputFile::check(const char *name)
{
    struct stat st;
    bool exists;
    if (!check_target(name, &st, &exists) || in_place) {
        return !failed();
    }
    // The temporary is made in the target's folder.
    return folder_writable(target) || fail(errno);
}

bool OutputFile::open(const char *name)
{
    struct stat st;
    bool exists;
    if (!check_target(name, &st, &exists) || in_place) {
        return !failed();
    }

    std::string temp = temporary_beside(target);
    temp_name = temp.substr(folder_of(temp).size());
    folder = open_folder_of(target);
    if (folder < 0) {
        return fail(errno);
    }
    // The entry is taken before the file is made, so that a signal in
    // between cannot leave it behind; removing a name not yet made does no
    // harm.
    int fd = -1;
    for (int tries = 0; fd < 0 && tries < 100; tries++) {
        fill_unique(&temp_name[temp_name.size() - 6]);
        slot = remember_file(folder, temp_name.c_str());
        if (slot < 0) {
            return fail(temp_name.size() > NAME_MAX ? ENAMETOOLONG : EMFILE);
        }
        fd = openat(folder, temp_name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            int error = errno;
            forget_file(slot);
            slot = -1;
            if (error != EEXIST) {
                return fail(error);
            }
        }
    }
    if (fd < 0) {
        return fail(EEXIST);
    }
    if (exists) {
        fchmod(fd, st.st_mode & 07777);
        if (fchown(fd, st.st_uid, st.st_gid) != 0) {
            // Only the owner's own files, or root, can keep another owner.
        }
    } else {
        // The temporary is made private; give it the mode a plain fopen would.
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

bool OutputFile::flush_and_close(bool keep)
{
    if (ensure_open() && fflush(fp) != 0) {
        err = errno;
    }
    if (keep) {
        if (err == 0 && fsync(fileno(fp)) != 0) {
            err = errno;
        }
        return err == 0;
    }
    if (fp != nullptr && fclose(fp) != 0 && err == 0) {
        err = errno;
    }
    fp = nullptr;
    return err == 0;
}

// Renames the temporary over the target, by the target's name as it stands
// now; false with err set.
bool OutputFile::put_in_place()
{
    if (slot < 0) {
        return true;
    }
    if (renameat(folder, temp_name.c_str(), AT_FDCWD, target.c_str()) != 0) {
        err = errno;
        return false;
    }
    forget_file(slot); // renamed: no longer a temporary
    slot = -1;
    close(folder);
    folder = -1;
    return true;
}

bool OutputFile::commit()
{
    if (!flush_and_close(false) || !put_in_place()) {
        return fail(err);
    }
    return true;
}

bool OutputFile::commit(FILE **kept)
{
    if (in_place) {
        return fail(EINVAL);
    }
    if (!flush_and_close(true) || !put_in_place()) {
        return fail(err);
    }
    *kept = fp;
    fp = nullptr;
    return true;
}

void OutputFile::discard()
{
    if (fp != nullptr) {
        fclose(fp);
        fp = nullptr;
    }
    if (slot >= 0) {
        unlinkat(folder, temp_name.c_str(), 0);
        forget_file(slot);
        slot = -1;
    }
    if (folder >= 0) {
        close(folder);
        folder = -1;
    }
}

bool is_same_file(const char *name, int fd)
{
    struct stat a, b;
    return fstat(fd, &a) == 0 && stat(name, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool is_same_file(const char *a, const char *b)
{
    struct stat sa, sb;
    return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool same_place(const char *a, const char *b)
{
    struct stat sa, sb;
    bool has_a = stat(a, &sa) == 0, has_b = stat(b, &sb) == 0;
    if (has_a || has_b) {
        return has_a && has_b && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    }
    // Neither is there yet: the same name in the same folder, links followed.
    std::string pa = a, pb = b;
    if (!follow_links(&pa) || !follow_links(&pb)) {
        return false;
    }
    std::string fa = folder_of(pa), fb = folder_of(pb);
    struct stat da, db;
    return pa.substr(fa.size()) == pb.substr(fb.size()) && stat(fa.empty() ? "." : fa.c_str(), &da) == 0 &&
           stat(fb.empty() ? "." : fb.c_str(), &db) == 0 && da.st_dev == db.st_dev && da.st_ino == db.st_ino;
}
