#ifndef RT_OUTPUT_FILE_H
#define RT_OUTPUT_FILE_H

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
// Everything that can be checked is checked by open(), before the caller
// spends time on the contents.
class OutputFile
{
  public:
    OutputFile() {}
    ~OutputFile() { discard(); }
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    // Checks the target and creates the temporary; false with reason() set.
    bool open(const char *name);
    // Appends n bytes; false with reason() set from the first error on. A
    // device or FIFO is opened by the first write (a FIFO's open waits for
    // its reader).
    bool write(const void *data, size_t n);
    // Closes the file and puts it in place; false with reason() set on any
    // error of writing, closing or renaming. The temporary is gone either way.
    bool commit();
    // Removes the temporary, if any, leaving the target as it was.
    void discard();

    // Why the last step failed, as the system words it.
    const char *reason() const;
    bool failed() const { return err != 0; }

  private:
    bool fail(int err);
    bool ensure_open();

    std::string target; // the final name, links followed
    bool in_place = false;
    FILE *fp = nullptr;
    int slot = -1; // the temporary's entry among the pending ones
    int err = 0;   // the first error, an errno value
};

// A hidden temporary name beside path, ".NAME.XXXXXX" for mkstemp, the name
// shortened so that the whole fits wherever the target's own name fits.
std::string temporary_beside(const std::string &path);

// True when the file called name is the very file open as descriptor fd
// (the same device and inode), as /dev/stdout is standard output's file.
bool is_same_file(const char *name, int fd);

// Removes every temporary that is being written and not yet renamed. Safe in
// a signal handler: a signal that ends the program leaves nothing behind.
void remove_pending_temporaries();

#endif
