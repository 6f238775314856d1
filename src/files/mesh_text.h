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

// The kinds of face of a file: all of one kind, with texture coordinates
// or without.
enum FaceKind { FACES_NONE_YET, FACES_PLAIN, FACES_TEXTURED };

// What a run of whole pieces holds, in order, up to the first piece that is
// not a valid line of the body of a file of faces of `corners` corners.
struct MeshText {
    std::vector<float> positions;        // x, y, z of each "v" line
    std::vector<float> normals;          // x, y, z of each "n" line
    std::vector<float> coords;           // u, v of each "t" line
    std::vector<int> corners;            // position and normal index of each corner of each "f" line
    std::vector<int> corner_coords;      // texture coordinate index of each corner, of faces that have them
    FaceKind face_kind = FACES_NONE_YET; // that of every face of the run
    bool valid = true;                   // false: the run stops at an invalid line
    long long lines = 0;                 // the newlines of the pieces read, up to an invalid one
    // Whether the indices reach only back to lines already read (from 1):
    // the least index, and the most by which an index exceeds the positions
    // (normals, texture coordinates) of the run before its face; the file is
    // valid when these are at most the positions (normals, texture
    // coordinates) read before the run, and its faces of one kind.
    long long least_index = 1;
    long long position_excess = LLONG_MIN;
    long long normal_excess = LLONG_MIN;
    long long coord_excess = LLONG_MIN;
};

// Reads the pieces of text[0, size), which starts where a piece does and
// ends where one ends.
void read_mesh_text(const char *text, size_t size, int corners, MeshText *out);

// The lines of a file read before a run of its text.
struct MeshCounts {
    long long positions = 0, normals = 0, coords = 0;
    FaceKind face_kind = FACES_NONE_YET;
};

// The first line of the run text[0, size) that makes the file invalid, when
// `before` was read ahead of the run: the newlines of the run before it and
// what is wrong with it. The reason is null when no line is at fault.
struct MeshFault {
    long long lines = 0;
    const char *reason = nullptr;
};
MeshFault find_mesh_fault(const char *text, size_t size, int corners, const MeshCounts &before);

#endif
