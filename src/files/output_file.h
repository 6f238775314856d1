#ifndef RT_OUTPUT_FILE_H
#define RT_OUTPUT_FILE_H

#include <sys/stat.h>

#include <cstddef>
#include <cstdio>
#include <string>

// A file the program writes as a whole: a picture, a saved state. It appears
// whole or not at all. A regular file (or a new one) is written as a
// temporary beside it, which is renamed over it once complete and closed, so
// a failure or a signal never leaves a partial file nor destroys an earlier
// one; the new file keeps the permission bits and owner of the one it
// replaces. A symbolic link is followed, and its target replaced beside the
// target. A device, a FIFO or the like is written into where it stands.
// Everything that can be checked is checked by open(), or by check()
// without making the temporary, before the caller spends time on the
// contents. The temporary is made and removed through a
// descriptor of its folder, so that it goes even when the folder is renamed
// or moved meanwhile (the rename then fails: the target's name is gone).
class OutputFile
{
  public:
    OutputFile() {}
    ~OutputFile() { discard(); }
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    // Checks the target and creates the temporary; false with reason() set.
    bool open(const char *name);
    // Checks the target as open() does, creating nothing: for a file
    // written much later, whose temporary should not outlive a run killed
    // meanwhile. False with reason() set.
    bool check(const char *name);
    // Appends n bytes; false with reason() set from the first error on. A
    // device or FIFO is opened by the first write (a FIFO's open waits for
    // its reader).
    bool write(const void *data, size_t n);
    // Closes the file and puts it in place; false with reason() set on any
    // error of writing, closing or renaming. The temporary is gone either way.
    bool commit();
    // The same for a regular file, but the file is synced and kept open
    // rather than closed: *kept is its stream, which the caller closes. Locks
    // taken on descriptor() hold on (closing would drop them).
    bool commit(FILE **kept);
    // The temporary's descriptor; -1 when the target is written in place.
    int descriptor() const { return fp != nullptr && !in_place ? fileno(fp) : -1; }
    // Removes the temporary, if any, leaving the target as it was.
    void discard();

    // Why the last step failed, as the system words it.
    const char *reason() const;
    bool failed() const { return err != 0; }

  private:
    bool fail(int err);
    bool ensure_open();
    bool check_target(const char *name, struct stat *st, bool *exists);

    bool flush_and_close(bool keep);
    bool put_in_place();

    std::string target; // the final name, links followed
    bool in_place = false;
    FILE *fp = nullptr;
    int folder = -1;       // the temporary's folder
    std::string temp_name; // its name there
    int slot = -1;         // the temporary's entry among the pending ones
    int err = 0;           // the first error, an errno value
};

// A hidden temporary name beside path, ".NAME.XXXXXX" for mkstemp, the name
// shortened so that the whole fits wherever the target's own name fits.
std::string temporary_beside(const std::string &path);

// The name a chain of symbolic links ends at, whether or not that exists;
// false with errno set when a link cannot be read or the chain is too long.
bool follow_links(std::string *path);
// The folder part of a path, with its slash ("" for a bare name), and the
// rest.
std::string folder_of(const std::string &path);
// A descriptor of the folder a path is in, for the *at calls; -1 with errno.
int open_folder_of(const std::string &path);
// Whether a file can be made in the folder a path is in (one that is
// missing, not a folder or not writable cannot); false with errno set.
bool folder_writable(const std::string &path);

// True when the file called name is the very file open as descriptor fd
// (the same device and inode), as /dev/stdout is standard output's file.
bool is_same_file(const char *name, int fd);
// Whether two names name one file (both existing).
bool is_same_file(const char *a, const char *b);
// Whether two names are one place: the same file where either exists, else
// the same name in the same folder once links are followed, so that a file
// made by one would be the other's.
bool same_place(const char *a, const char *b);

// The files this run made and has not yet handed over (temporaries, an empty
// state file): name in folder, which is kept open meanwhile. remember_file
// gives the entry, -1 when all are taken; forget_file ends it.
int remember_file(int folder, const char *name);
void forget_file(int entry);
// Removes every file remembered. Safe in a signal handler: a signal that
// ends the program leaves nothing behind.
void remove_pending_temporaries();

#endif
