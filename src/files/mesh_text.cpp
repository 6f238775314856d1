#include "files/mesh_text.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "files/number_scan.h"

size_t mesh_piece_length(const char *text, size_t size)
{
    size_t room = std::min(size, MESH_PIECE);
    const char *nl = static_cast<const char *>(std::memchr(text, '\n', room));
    return nl != nullptr ? static_cast<size_t>(nl - text) + 1 : room;
}

size_t mesh_piece_boundary(const char *text, size_t size)
{
    // After the last newline a line starts; a line without one is cut into
    // pieces of full length.
    size_t line = size;
    while (line > 0 && text[line - 1] != '\n') {
        line--;
    }
    return line + (size - line) / MESH_PIECE * MESH_PIECE;
}

namespace
{

// Moves past leading white space and cuts trailing white space off, in place.
char *strip_space(char *buf)
{
    while (*buf && isspace(static_cast<unsigned char>(*buf))) {
        buf++;
    }
    if (*buf) {
        char *end = buf + strlen(buf) - 1;
        while (end > buf && isspace(static_cast<unsigned char>(*end))) {
            end--;
        }
        end[1] = 0;
    }
    return buf;
}

// Why a line is not one of a mesh data file's.
const char NOT_A_LINE[] = "not a line of a mesh data file (v, n, t, f or #)";
const char BAD_POSITION[] = "a position needs three numbers";
const char BAD_NORMAL[] = "a normal needs three numbers";
const char BAD_COORD[] = "a texture coordinate needs two numbers";
const char BAD_TRIANGLE[] = "a face needs three corners v/n (or v/n/t) in a MESH3 file";
const char BAD_QUAD[] = "a face needs four corners v/n (or v/n/t) in a MESH4 file";
const char PLAIN_AFTER_TEXTURED[] = "a face without texture coordinates, after faces with them";
const char TEXTURED_AFTER_PLAIN[] = "a face with texture coordinates, after faces without them";
const char INDEX_BELOW_1[] = "an index below 1";
const char POSITION_AHEAD[] = "a position index beyond the v lines before it";
const char NORMAL_AHEAD[] = "a normal index beyond the n lines before it";
const char COORD_AHEAD[] = "a texture coordinate index beyond the t lines before it";

// One piece, as a line: null when it is a valid one, else why not.
const char *read_line(char *line, int corners, MeshText *out)
{
    if (line[0] == 0 || line[0] == '#') {
        return nullptr;
    }
    if (line[0] == 'v' || line[0] == 'n') {
        float xyz[3];
        if (scan_vector_line(line, xyz) < 3) {
            return line[0] == 'v' ? BAD_POSITION : BAD_NORMAL;
        }
        std::vector<float> &to = line[0] == 'v' ? out->positions : out->normals;
        to.insert(to.end(), xyz, xyz + 3);
        return nullptr;
    }
    if (line[0] == 't') {
        float uv[2];
        if (scan_pair_line(line, uv) < 2) {
            return BAD_COORD;
        }
        out->coords.insert(out->coords.end(), uv, uv + 2);
        return nullptr;
    }
    if (line[0] != 'f') {
        return NOT_A_LINE;
    }
    // A face of position/normal pairs reads as it always has; only a line
    // that is none is read as one of v/n/t triples.
    int idx[12];
    FaceKind kind = FACES_PLAIN;
    if (scan_face_line(line, idx) != 2 * corners) {
        if (scan_textured_face_line(line, corners, idx) != 3 * corners) {
            return corners == 3 ? BAD_TRIANGLE : BAD_QUAD;
        }
        kind = FACES_TEXTURED;
    }
    if (out->face_kind != kind && out->face_kind != FACES_NONE_YET) {
        return kind == FACES_PLAIN ? PLAIN_AFTER_TEXTURED : TEXTURED_AFTER_PLAIN;
    }
    out->face_kind = kind;
    if (kind == FACES_TEXTURED) {
        // Laid out as the pairs of a plain face, the texture coordinates' indices apart.
        const long long coords = static_cast<long long>(out->coords.size() / 2);
        for (int i = 0; i < corners; i++) {
            long long t = idx[3 * i + 2];
            out->least_index = std::min(out->least_index, t);
            out->coord_excess = std::max(out->coord_excess, t - coords);
            out->corner_coords.push_back(idx[3 * i + 2]);
            idx[2 * i] = idx[3 * i];
            idx[2 * i + 1] = idx[3 * i + 1];
        }
    }
    const long long positions = static_cast<long long>(out->positions.size() / 3);
    const long long normals = static_cast<long long>(out->normals.size() / 3);
    for (int i = 0; i < corners; i++) {
        long long v = idx[2 * i], n = idx[2 * i + 1];
        out->least_index = std::min(out->least_index, std::min(v, n));
        out->position_excess = std::max(out->position_excess, v - positions);
        out->normal_excess = std::max(out->normal_excess, n - normals);
    }
    out->corners.insert(out->corners.end(), idx, idx + 2 * corners);
    return nullptr;
}

// Calls line(piece, length) for each piece of text[0, size), a C string of
// its own, until it returns false.
template <typename Line> void for_each_piece(const char *text, size_t size, Line line)
{
    char buf[MESH_PIECE + 1];
    size_t pos = 0;
    while (pos < size) {
        size_t n = mesh_piece_length(text + pos, size - pos);
        // A NUL in the piece ends the line there, as it would a C string.
        std::memcpy(buf, text + pos, n);
        buf[n] = 0;
        pos += n;
        if (!line(buf, n)) {
            return;
        }
    }
}

} // namespace

void read_mesh_text(const char *text, size_t size, int corners, MeshText *out)
{
    for_each_piece(text, size, [&](char *buf, size_t n) {
        const bool newline = buf[n - 1] == '\n'; // before the blanks are cut off
        if (read_line(strip_space(buf), corners, out) != nullptr) {
            out->valid = false;
            return false;
        }
        out->lines += newline;
        return true;
    });
}

MeshFault find_mesh_fault(const char *text, size_t size, int corners, const MeshCounts &before)
{
    MeshCounts read = before;
    MeshFault fault;
    // Each piece on its own, its indices held against all read before it.
    for_each_piece(text, size, [&](char *buf, size_t n) {
        const bool newline = buf[n - 1] == '\n';
        MeshText t;
        fault.reason = read_line(strip_space(buf), corners, &t);
        if (fault.reason == nullptr && t.face_kind != FACES_NONE_YET) {
            fault.reason = read.face_kind != t.face_kind && read.face_kind != FACES_NONE_YET
                               ? (t.face_kind == FACES_PLAIN ? PLAIN_AFTER_TEXTURED : TEXTURED_AFTER_PLAIN)
                           : t.least_index < 1                  ? INDEX_BELOW_1
                           : t.position_excess > read.positions ? POSITION_AHEAD
                           : t.normal_excess > read.normals     ? NORMAL_AHEAD
                           : t.coord_excess > read.coords       ? COORD_AHEAD
                                                                : nullptr;
            read.face_kind = t.face_kind;
        }
        if (fault.reason != nullptr) {
            return false;
        }
        read.positions += static_cast<long long>(t.positions.size() / 3);
        read.normals += static_cast<long long>(t.normals.size() / 3);
        read.coords += static_cast<long long>(t.coords.size() / 2);
        fault.lines += newline;
        return true;
    });
    return fault;
}
