#ifndef RT_STATE_FILE_H
#define RT_STATE_FILE_H

#include <cstdint>
#include <string>
#include <vector>

#include "files/output_file.h"
#include "parallel/pass_sum.h"
#include "sampling/sampler.h"

// What a saved state is the state of. A state continues, or merges with,
// only states of the same key.
struct StateKey {
    uint64_t scene = 0; // a hash of the contents of every scene and mesh file
    int width = 0;
    int height = 0;
    int row_begin = 0; // the band of rows held
    int row_end = 0;
    int rays = 0; // cast per pixel, whatever number was asked for
    double inv_gamma = 1.0;
    Sampler sampler = Sampler::hash; // states of old are the hash streams'
};

// The rays a pixel casts for a request: the largest power of four not above
// it. (States of old kept the number asked for; they are read as this.)
int rays_cast(int requested);

// How the key of a file differs from the one wanted, in words ("other scene
// files", "a 640x480 frame" ...); empty when they are the same.
std::string key_difference(const StateKey &file, const StateKey &wanted);

// A band of a frame rendered in passes, as a state file holds it.
struct State {
    StateKey key;
    PassSum sum;
};

// A state file is binary and the same on every machine: little-endian
// integers, doubles as their IEEE bits, a checksum at the end. False with
// *why set when it cannot be read, is not a state file, is of another
// version, or is truncated or damaged (its length is checked against its
// header before anything is allocated); nothing is read past its end. The
// file open as fd is read from its start, by position, and left open.
bool read_state(int fd, State *state, std::string *why);
// Whether the file open as fd begins as a state file does (read by
// position): a damaged state does, a file of anything else does not.
bool begins_as_state(int fd);
// By name: false for a name that is no regular file or cannot be read.
bool begins_as_state(const char *path);
// By name; a file that is not a regular one is refused, unopened for
// reading (a FIFO would wait for a writer).
bool read_state(const char *path, State *state, std::string *why);
// Writes the state of key and sum, with pass added when not null, into out
// (open, not yet committed); false with out's reason.
bool write_state(OutputFile *out, const StateKey &key, const PassSum &sum, const NewPass *pass);

#endif
