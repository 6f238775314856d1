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

// One piece, as a line; false when it is not a valid one.
bool read_line(char *line, int corners, MeshText *out)
{
    if (line[0] == 0 || line[0] == '#') {
        return true;
    }
    if (line[0] == 'v' || line[0] == 'n') {
        float xyz[3];
        if (scan_vector_line(line, xyz) < 3) {
            return false;
        }
        std::vector<float> &to = line[0] == 'v' ? out->positions : out->normals;
        to.insert(to.end(), xyz, xyz + 3);
        return true;
    }
    if (line[0] != 'f') {
        return false;
    }
    int idx[8];
    if (scan_face_line(line, idx) != 2 * corners) {
        return false;
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
    return true;
}

} // namespace

void read_mesh_text(const char *text, size_t size, int corners, MeshText *out)
{
    char buf[MESH_PIECE + 1];
    size_t pos = 0;
    while (pos < size) {
        size_t n = mesh_piece_length(text + pos, size - pos);
        // A NUL in the piece ends the line there, as it would a C string.
        std::memcpy(buf, text + pos, n);
        buf[n] = 0;
        pos += n;
        if (!read_line(strip_space(buf), corners, out)) {
            out->valid = false;
            return;
        }
    }
}
