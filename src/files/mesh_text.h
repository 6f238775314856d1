#ifndef RT_MESH_TEXT_H
#define RT_MESH_TEXT_H

#include <cstddef>
#include <climits>
#include <vector>

// The text of a mesh data file, cut into pieces as a line reader with a
// buffer of MESH_PIECE + 1 bytes cuts it: each piece runs up to and
// including a newline, or MESH_PIECE characters, whichever comes first, and
// is taken as a line of its own. Pieces depend on where lines start only, so
// a run of text that starts where a piece does can be read apart from the
// rest: that is how a large file is read in blocks, on several threads.
const size_t MESH_PIECE = 255;

// The length of the piece at text, of which size bytes are at hand (at least
// one): all of them only if no newline comes sooner and size is at most
// MESH_PIECE.
size_t mesh_piece_length(const char *text, size_t size);

// The largest place at or before size where a piece starts, for text that
// starts where one does and goes on past size: more than size - MESH_PIECE.
size_t mesh_piece_boundary(const char *text, size_t size);

// What a run of whole pieces holds, in order, up to the first piece that is
// not a valid line of the body of a file of faces of `corners` corners.
struct MeshText {
    std::vector<float> positions; // x, y, z of each "v" line
    std::vector<float> normals;   // x, y, z of each "n" line
    std::vector<int> corners;     // position and normal index of each corner of each "f" line
    bool valid = true;            // false: the run stops at an invalid line
    // Whether the indices reach only back to lines already read (from 1):
    // the least index, and the most by which an index exceeds the positions
    // (normals) of the run before its face; the file is valid when these are
    // at most the positions (normals) read before the run.
    long long least_index = 1;
    long long position_excess = LLONG_MIN;
    long long normal_excess = LLONG_MIN;
};

// Reads the pieces of text[0, size), which starts where a piece does and
// ends where one ends.
void read_mesh_text(const char *text, size_t size, int corners, MeshText *out);

#endif
