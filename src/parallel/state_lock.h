#ifndef RT_STATE_LOCK_H
#define RT_STATE_LOCK_H

#include <cstdio>
#include <string>

#include "parallel/state_file.h"

// A state file held by one run for the run's whole life, so that two runs
// never write one state: another run on it, or rt -merge into it, is refused
// at once, naming the process that holds it.
//
// The hold is the system's write lock (fcntl) on the file. Each new state is
// written beside the file and locked before it is renamed over it, so the
// lock goes from file to file and the name never names an unlocked one. The
// process reads and replaces the file through one descriptor only, and opens
// it no other way: closing any descriptor of a file drops the process's locks
// on it. Where the name names nothing yet, an empty file is made at once to be
// held; an empty file holds no passes, and the one made is removed again when
// the run ends without saving a pass (also by an ending signal). A run that
// dies holds nothing: the system drops its lock, and the file keeps the last
// state saved whole.
class StateLock
{
  public:
    StateLock() {}
    ~StateLock() { release(); }
    StateLock(const StateLock &) = delete;
    StateLock &operator=(const StateLock &) = delete;

    // Holds the file path names (a symbolic link followed), after checking
    // that a new state can be written beside it. False with *why set: held by
    // another process, not a regular file, or the system's reason.
    bool hold(const char *path, std::string *why);
    // Whether the file is empty, holding no passes.
    bool empty() const;
    // Whether the file begins as a state file does (see begins_as_state).
    bool begins_as_state() const;
    // The state held; false with *why set when it cannot be read (or is
    // empty).
    bool read(State *state, std::string *why) const;
    // Replaces the file by the state, with pass added when not null; false
    // with *why set, the file as it was.
    bool write(const State &state, const NewPass *pass, std::string *why);
    // Whether name names the file held.
    bool holds(const char *name) const;
    // Lets the file go; an empty one that this run made is removed first.
    void release();

  private:
    bool take(int fd, bool made, std::string *why);

    std::string target;      // the name held, links followed
    int folder = -1;         // the folder the name is in
    std::string name;        // the name there
    FILE *file = nullptr;    // the one stream of the file held
    bool made_empty = false; // this run made the file, and it is still empty
    int entry = -1;          // its entry among the files a signal removes
};

#endif
