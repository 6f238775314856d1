#ifndef RT_STATE_FILE_H
#define RT_STATE_FILE_H

#include <cstdint>
#include <string>
#include <vector>

#include "parallel/pass_sum.h"

// What a saved state is the state of. A state continues, or merges with,
// only states of the same key.
struct StateKey {
    uint64_t scene = 0; // a hash of the contents of every scene and mesh file
    int width = 0;
    int height = 0;
    int row_begin = 0; // the band of rows held
    int row_end = 0;
    int rays = 0;
    double inv_gamma = 1.0;
};

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
// version, or is truncated or damaged; nothing is read past its end.
bool read_state(const char *path, State *state, std::string *why);
// Written whole or not at all, beside the target and renamed over it.
bool write_state(const char *path, const State &state, std::string *why);

// The hash of the scene files, in the order given, and of the mesh data
// files their mesh lines name; false with *why set when one cannot be read.
bool hash_scene_files(const std::vector<std::string> &scene_files, uint64_t *hash, std::string *why);

#endif
