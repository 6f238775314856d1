#include "parallel/state_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace
{

// A write lock on the whole file, its bytes to come included.
bool lock_whole(int fd)
{
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    return fcntl(fd, F_SETLK, &fl) == 0;
}

// The process whose lock keeps ours off: 0 when there is none now, -1 when
// the system does not say (a holder on another machine of a network file
// system).
pid_t holder(int fd)
{
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    if (fcntl(fd, F_GETLK, &fl) != 0 || fl.l_type == F_UNLCK) {
        return 0;
    }
    return fl.l_pid > 0 ? fl.l_pid : -1;
}

bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Outcomes of one try at taking a file.
enum Take { TAKEN, TRY_AGAIN, REFUSED };

} // namespace

bool StateLock::hold(const char *path, std::string *why)
{
    release();
    struct stat st;
    if (stat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
        *why = S_ISDIR(st.st_mode) ? strerror(EISDIR) : "not a regular file";
        return false;
    }
    target = path;
    if (!follow_links(&target) || (folder = open_folder_of(target)) < 0) {
        *why = strerror(errno);
        release();
        return false;
    }
    name = target.substr(folder_of(target).size());
    // Another process may make, replace or remove the file between any two
    // steps; each such race is tried again.
    Take outcome = TRY_AGAIN;
    for (int tries = 0; outcome == TRY_AGAIN && tries < 100; tries++) {
        bool made = false;
        int fd = openat(folder, name.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT) {
            fd = openat(folder, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NONBLOCK | O_CLOEXEC, 0666);
            made = fd >= 0;
            if (fd < 0 && errno == EEXIST) {
                continue;
            }
        }
        if (fd < 0) {
            *why = strerror(errno);
            outcome = REFUSED;
            break;
        }
        outcome = take(fd, made, why) ? TAKEN : (why->empty() ? TRY_AGAIN : REFUSED);
    }
    if (outcome != TAKEN) {
        if (why->empty()) {
            *why = strerror(EAGAIN);
        }
        release();
        return false;
    }
    // The check a picture's output has too: a folder where the temporary of
    // a new state cannot be made is found out now, not after a pass.
    OutputFile probe;
    if (!probe.check(target.c_str())) {
        *why = probe.reason();
        release();
        return false;
    }
    return true;
}

// Takes the file open as fd: true when it is held; false with *why empty
// when the name names another file by now, or with *why set when the file
// is refused. fd is closed unless the file is held.
bool StateLock::take(int fd, bool made, std::string *why)
{
    why->clear();
    struct stat st, now;
    if (fstat(fd, &st) != 0) {
        *why = strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        *why = "not a regular file";
    }
    if (!why->empty()) {
        close(fd);
        return false;
    }
    if (!lock_whole(fd)) {
        int error = errno;
        pid_t pid = error == EACCES || error == EAGAIN ? holder(fd) : 0;
        close(fd);
        if (error != EACCES && error != EAGAIN) {
            *why = strerror(error);
        } else if (pid != 0) {
            *why = pid > 0 ? "in use by process " + std::to_string(pid) : "in use by a process of another machine";
        }
        return false;
    }
    if (fstatat(folder, name.c_str(), &now, 0) != 0 || !same_file(st, now)) {
        close(fd);
        return false;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    file = fdopen(fd, "r+b");
    if (file == nullptr) {
        *why = strerror(errno);
        close(fd);
        return false;
    }
    made_empty = made;
    if (made) {
        entry = remember_file(folder, name.c_str());
    }
    return true;
}

bool StateLock::empty() const
{
    struct stat st;
    return fstat(fileno(file), &st) == 0 && st.st_size == 0;
}

bool StateLock::begins_as_state() const
{
    return ::begins_as_state(fileno(file));
}

bool StateLock::read(State *state, std::string *why) const
{
    return read_state(fileno(file), state, why);
}

bool StateLock::write(const State &state, const NewPass *pass, std::string *why)
{
    OutputFile out;
    if (!out.open(target.c_str())) {
        *why = out.reason();
        return false;
    }
    if (out.descriptor() < 0 || !lock_whole(out.descriptor())) {
        *why = out.descriptor() < 0 ? "not a regular file" : strerror(errno);
        return false;
    }
    if (!write_state(&out, state, pass)) {
        *why = out.reason();
        return false;
    }
    // From here on the name is the new state's: a signal must not take it.
    forget_file(entry);
    entry = -1;
    FILE *kept;
    if (!out.commit(&kept)) {
        *why = out.reason();
        if (made_empty) {
            entry = remember_file(folder, name.c_str());
        }
        return false;
    }
    // The file replaced, which no name names now; its lock goes with it.
    fclose(file);
    file = kept;
    made_empty = false;
    return true;
}

bool StateLock::holds(const char *other) const
{
    return file != nullptr && is_same_file(other, fileno(file));
}

void StateLock::release()
{
    if (file != nullptr) {
        struct stat st, now;
        if (made_empty && fstat(fileno(file), &st) == 0 && st.st_size == 0 &&
            fstatat(folder, name.c_str(), &now, 0) == 0 && same_file(st, now)) {
            unlinkat(folder, name.c_str(), 0);
        }
        fclose(file);
        file = nullptr;
    }
    forget_file(entry);
    entry = -1;
    made_empty = false;
    if (folder >= 0) {
        close(folder);
        folder = -1;
    }
}
