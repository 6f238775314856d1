#ifndef RT_ACCEL_WALK8_H
#define RT_ACCEL_WALK8_H

#include <cstdint>

#include "accel/isa.h"
#include "accel/ray_slabs.h"
#include "accel/triangle_pretest.h"
#include "accel/wide_tree.h"

// A walk of a tree's eight-wide form (WideTree::widen) for one ray, on the
// vector path it was compiled for. Its visitor is called through a pointer,
// once a leaf: a leaf's tests cost far more than the call, and the walk and
// its box tests stay in the one file built for their instructions.
struct Walk8 {
    // Tests a leaf's items, of which only those of the set bits of lanes
    // can be hit (the triangle pre-test's answer, else every bit); true to
    // stop. It keeps `limit` up to date.
    bool (*leaf)(void *visitor, const uint32_t *items, int count, unsigned lanes);
    void *visitor;
    // How far the ray may still reach: boxes entered beyond it are skipped,
    // now and when a waiting child comes off the stack.
    double limit;
    // Nearer children first (for the nearest hit); else, for a yes/no
    // question, the farthest first and the others in their order.
    bool nearest_first;
    // The triangle pre-test of a tree built by slot, with its rows
    // (pretest_rows, PRETEST_ROWS a slot, eight floats to spare at the
    // end), or null.
    const TrianglePretest *pretest;
    const float *rows;
};

typedef void (*Walk8Fn)(const WideTree &tree, const RaySlabs &r, Walk8 &w);

// The eight-wide walk of a path, or null for paths that have none (SSE2,
// and every path of other processors): their trees stay four-wide.
Walk8Fn walk8_for(Isa isa);

// The walk's triangle pre-test of a whole leaf of count triangles whose rows
// start at rows (eight floats to spare at the end), on the same path: bit k
// set unless triangle k surely misses. For tests; null where walk8_for is.
typedef unsigned (*LeafPretestFn)(const TrianglePretest &pretest, const float *rows, int count);
LeafPretestFn leaf_pretest_for(Isa isa);

#endif
