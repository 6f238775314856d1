#ifndef RT_STATE_FILE_H
#define RT_STATE_FILE_H

#include <cstdint>
#include <string>
#include <vector>

#include "files/output_file.h"
#include "parallel/noise_rounds.h"
#include "parallel/pass_sum.h"
#include "sampling/sampler.h"

// What a saved state is the state of. A state continues, or merges with,
// only states of the same key.
struct StateKey {
    uint64_t scene = 0; // a hash of the contents of every scene and mesh file
    // The hash as each of those files ended (see FilesKey), to name the one
    // that differs; none in a state of old. Only the run's own key names
    // them, for its messages.
    std::vector<uint64_t> file_ends;
    std::vector<std::string> file_names;
    int width = 0;
    int height = 0;
    int row_begin = 0; // the band of rows held
    int row_end = 0;
    int rays = 0; // cast per pixel, whatever number was asked for
    double inv_gamma = 1.0;
    Sampler sampler = Sampler::hash; // states of old are the hash streams'
    double noise = 0.0;              // the noise target (-noise); 0: none
};

// The rays a pixel casts for a request: the largest power of four not above
// it. (States of old kept the number asked for; they are read as this.)
int rays_cast(int requested);

// How the key of a file differs from the one wanted, in words ("other
// contents of mesh data file x.mesh", "other scene files", "a 640x480
// frame" ...); empty when they are the same.
std::string key_difference(const StateKey &file, const StateKey &wanted);

// A band of a frame rendered in passes, as a state file holds it; with a
// noise target, the rounds of its passes too.
struct State {
    StateKey key;
    PassSum sum;
    NoiseRounds noise; // empty without a noise target

    // A frame of `pixels` without passes, of the key given.
    void begin(const StateKey &of, size_t pixels);
    // The mean colour of pixel i; the sum must hold a pass.
    Color mean(size_t i) const { return noise.empty() ? sum.mean(i) : noise.mean(sum, i); }
    // Adds a pass that is not held.
    void add(const NewPass &pass);
    // Adds the passes of other, of the same key and size; false, nothing
    // added, when both hold a pass (*shared is then that pass) or chose the
    // pixels of a round otherwise (*shared is -1, *why says which).
    bool merge(const State &other, int *shared, std::string *why);
};

// A state file is binary and the same on every machine: little-endian
// integers, doubles as their IEEE bits, a checksum at the end. Versions 1
// to 3 are read (see state_file.cpp for what each adds).
// False with *why set when it cannot be read, is not a state file, is of
// another version, or is truncated or damaged (its length is checked
// against its header before anything is allocated); nothing is read past
// its end. The file open as fd is read from its start, by position, and
// left open.
bool read_state(int fd, State *state, std::string *why);
// Whether the file open as fd begins as a state file does (read by
// position): a damaged state does, a file of anything else does not.
bool begins_as_state(int fd);
// By name: false for a name that is no regular file or cannot be read.
bool begins_as_state(const char *path);
// By name; a file that is not a regular one is refused, unopened for
// reading (a FIFO would wait for a writer).
bool read_state(const char *path, State *state, std::string *why);
// Writes the state, with pass added when not null, into out (open, not yet
// committed); false with out's reason.
bool write_state(OutputFile *out, const State &state, const NewPass *pass);

#endif
