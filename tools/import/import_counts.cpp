#include "import_counts.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

namespace
{

// A header longer than this is not looked into.
const size_t kMaxHeader = 1 << 16;

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return tolower(c); });
    return text;
}

// The first bytes of the file, up to kMaxHeader.
std::string file_start(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::string text(kMaxHeader, '\0');
    in.read(&text[0], static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    return text;
}

// count x bytes, saturated far above any file's size.
double product(unsigned long long count, double bytes)
{
    return static_cast<double>(count) * bytes;
}

std::string too_many(unsigned long long count, const std::string &what, long long size)
{
    return "it declares " + std::to_string(count) + " " + what + ", more than its " + std::to_string(size) +
           " bytes can hold";
}

// The bytes of a PLY property's scalar type; 0 for an unknown name.
int ply_type_size(const std::string &type)
{
    static const std::map<std::string, int> sizes = {
        {"char", 1},  {"uchar", 1},   {"int8", 1},   {"uint8", 1},   {"short", 2}, {"ushort", 2},
        {"int16", 2}, {"uint16", 2},  {"int", 4},    {"uint", 4},    {"int32", 4}, {"uint32", 4},
        {"float", 4}, {"float32", 4}, {"double", 8}, {"float64", 8},
    };
    auto it = sizes.find(type);
    return it == sizes.end() ? 0 : it->second;
}

bool ply_type_signed(const std::string &type)
{
    return type[0] != 'u';
}

bool ply_type_integer(const std::string &type)
{
    return type.find("float") == std::string::npos && type != "double";
}

// A property of a PLY element: a scalar, or a list of items after their
// count.
struct PlyProperty {
    std::string name;
    bool list = false;
    std::string type;       // the scalar's, or the list items'
    std::string count_type; // a list's count
};

struct PlyElement {
    std::string name;
    unsigned long long count = 0;
    std::vector<PlyProperty> properties;
};

struct PlyHeader {
    bool binary = false, big_endian = false;
    std::vector<PlyElement> elements;
    long long data = -1; // where the elements begin; -1: the header does not end
    bool known = true;   // every type is one this check reads
};

PlyHeader ply_header(const std::string &text)
{
    std::istringstream in(text);
    std::string line;
    PlyHeader h;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string word;
        words >> word;
        if (word == "format") {
            std::string kind;
            words >> kind;
            h.binary = kind.rfind("binary", 0) == 0;
            h.big_endian = kind == "binary_big_endian";
        } else if (word == "element") {
            PlyElement e;
            words >> e.name >> e.count;
            h.known = h.known && !words.fail();
            h.elements.push_back(e);
        } else if (word == "property" && !h.elements.empty()) {
            PlyProperty p;
            words >> p.type;
            if (p.type == "list") {
                p.list = true;
                words >> p.count_type >> p.type;
                h.known = h.known && ply_type_size(p.count_type) > 0 && ply_type_integer(p.count_type);
            }
            words >> p.name;
            h.known = h.known && ply_type_size(p.type) > 0;
            h.elements.back().properties.push_back(p);
        } else if (word == "end_header" && in) {
            h.data = static_cast<long long>(in.tellg());
            return h;
        }
    }
    return h;
}

// The least bytes an element's instance takes: in binary its scalars and
// the count of each list, in text two characters (a digit and a separator)
// a value.
double least_bytes(const PlyElement &e, bool binary)
{
    double least = 0.0;
    for (const PlyProperty &p : e.properties) {
        least += binary ? ply_type_size(p.list ? p.count_type : p.type) : 2;
    }
    return least;
}

// The data of a PLY file from its start, a block at a time: bytes for the
// binary form, words between white space for the text form.
class PlyData
{
  public:
    PlyData(const std::string &path, long long from) : in(path, std::ios::binary) { in.seekg(from); }

    bool bytes(size_t n, unsigned char *out)
    {
        for (size_t i = 0; i < n; i++) {
            if (!more()) {
                return false;
            }
            out[i] = static_cast<unsigned char>(block[at++]);
            consumed++;
        }
        return true;
    }
    bool skip(unsigned long long n)
    {
        while (n > 0) {
            if (!more()) {
                return false;
            }
            size_t step = static_cast<size_t>(std::min<unsigned long long>(n, held - at));
            at += step;
            consumed += step;
            n -= step;
        }
        return true;
    }
    // A word longer than any number is kept to its first kMaxWord
    // characters: a file of one endless word takes no more memory.
    bool word(std::string *out)
    {
        const size_t kMaxWord = 32;
        out->clear();
        bool any = false;
        while (more() && isspace(static_cast<unsigned char>(block[at]))) {
            at++;
            consumed++;
        }
        while (more() && !isspace(static_cast<unsigned char>(block[at]))) {
            if (out->size() < kMaxWord) {
                out->push_back(block[at]);
            }
            at++;
            consumed++;
            any = true;
        }
        return any;
    }
    // The bytes read or skipped so far.
    unsigned long long consumed = 0;

  private:
    bool more()
    {
        if (at == held) {
            in.read(block.data(), static_cast<std::streamsize>(block.size()));
            held = static_cast<size_t>(in.gcount());
            at = 0;
        }
        return at < held;
    }

    std::ifstream in;
    std::vector<char> block = std::vector<char>(1 << 20);
    size_t held = 0, at = 0;
};

// One value of a PLY file: a binary scalar of an integer type, or a word
// of text read as a whole number. False when it is no whole number, with
// *ended true when the file has ended.
bool ply_value(PlyData *data, const PlyHeader &h, const std::string &type, long long *value, bool *ended)
{
    *ended = false;
    if (!h.binary) {
        std::string word;
        if (!data->word(&word)) {
            *ended = true;
            return false;
        }
        size_t digits = word.find_first_not_of("0123456789", word[0] == '-' ? 1 : 0);
        if (digits != std::string::npos || word.size() > 18 || word == "-") {
            return false;
        }
        *value = std::stoll(word);
        return true;
    }
    int size = ply_type_size(type);
    unsigned char b[8];
    if (!data->bytes(size, b)) {
        *ended = true;
        return false;
    }
    unsigned long long u = 0;
    for (int i = 0; i < size; i++) {
        u |= static_cast<unsigned long long>(b[h.big_endian ? size - 1 - i : i]) << (8 * i);
    }
    int bits = 8 * size;
    bool negative = ply_type_signed(type) && bits < 64 && (u >> (bits - 1)) != 0;
    *value = negative ? static_cast<long long>(u) - (1LL << bits) : static_cast<long long>(u);
    return true;
}

// Skips one scalar value.
bool ply_skip(PlyData *data, const PlyHeader &h, const std::string &type)
{
    std::string word;
    return h.binary ? data->skip(ply_type_size(type)) : data->word(&word);
}

// "face element 7 of 12" and the like.
std::string element_at(const PlyElement &e, unsigned long long i)
{
    return e.name + " element " + std::to_string(i + 1) + " of " + std::to_string(e.count);
}

// Walks the elements of a PLY file as its header declares them, as the
// reader will: false, with *reason set, when the file ends before they do,
// a list's count is not a count, or a face names a vertex that the file
// does not hold. A reader given such a file reads values that are not
// there (a face of 255 corners of which 3 are given, one taken from the
// next face's) or stops on an assertion.
bool ply_walk(const std::string &path, const PlyHeader &h, std::string *reason)
{
    unsigned long long vertices = 0;
    for (const PlyElement &e : h.elements) {
        vertices = e.name == "vertex" ? e.count : vertices;
    }
    PlyData data(path, h.data);
    const std::string short_of = "it holds less than its header declares: it ends within ";
    for (const PlyElement &e : h.elements) {
        bool lists = std::any_of(e.properties.begin(), e.properties.end(), [](const PlyProperty &p) { return p.list; });
        if (e.properties.empty()) {
            continue; // nothing to read, however many
        }
        if (h.binary && !lists) {
            // Of a fixed size, which the size check has found the file to
            // hold at most: skipped whole, or found short at the first
            // instance missing.
            unsigned long long each = static_cast<unsigned long long>(least_bytes(e, true));
            unsigned long long from = data.consumed;
            if (!data.skip(e.count * each)) {
                *reason = short_of + element_at(e, (data.consumed - from) / each);
                return false;
            }
            continue;
        }
        for (unsigned long long i = 0; i < e.count; i++) {
            for (const PlyProperty &p : e.properties) {
                long long n = 1, index;
                bool ended = false, ok = !p.list || ply_value(&data, h, p.count_type, &n, &ended);
                if (ok && n < 0) {
                    ok = false;
                }
                if (!ok) {
                    *reason = ended ? short_of + element_at(e, i)
                                    : "its " + element_at(e, i) + " has a list count that is not one";
                    return false;
                }
                bool indices = e.name == "face" && p.list && ply_type_integer(p.type) &&
                               (p.name == "vertex_indices" || p.name == "vertex_index");
                for (long long k = 0; k < n; k++) {
                    if (!indices) {
                        if (!ply_skip(&data, h, p.type)) {
                            *reason = short_of + element_at(e, i);
                            return false;
                        }
                        continue;
                    }
                    if (!ply_value(&data, h, p.type, &index, &ended)) {
                        *reason = ended ? short_of + element_at(e, i)
                                        : "its " + element_at(e, i) + " has an index that is not a whole number";
                        return false;
                    }
                    if (index < 0 || static_cast<unsigned long long>(index) >= vertices) {
                        *reason = "its " + element_at(e, i) + " names vertex " + std::to_string(index) + ", of " +
                                  std::to_string(vertices);
                        return false;
                    }
                }
            }
        }
    }
    return true;
}

// PLY: the header's counts against the file's size first, at once, then
// the elements as declared, against what the file holds.
bool ply_fits(const std::string &path, const std::string &start, long long size, std::string *reason)
{
    PlyHeader h = ply_header(start);
    if (start.empty()) {
        return true; // the reader says it is empty
    }
    if (h.data < 0) {
        *reason = start.size() < kMaxHeader ? "it ends within its header"
                                            : "its header goes on past " + std::to_string(kMaxHeader) + " bytes";
        return false;
    }
    if (!h.known) {
        return true; // the reader will refuse it
    }
    double data = static_cast<double>(size) - static_cast<double>(h.data);
    double need = 0.0;
    for (const PlyElement &e : h.elements) {
        need += product(e.count, least_bytes(e, h.binary));
        if (need > data) {
            *reason = too_many(e.count, e.name + " elements", size);
            return false;
        }
    }
    return ply_walk(path, h, reason);
}

// Whether a line holds nothing but white space.
bool blank(const std::string &line)
{
    return line.find_first_not_of(" \t\r\v\f") == std::string::npos;
}

// OFF, after its counts (in the lines before `first`): a line for each
// vertex, then one for each face, its corner count and as many indices,
// each of a vertex the file holds. The reader takes the lines as they
// come: a face short of its corners would be dropped, a vertex beyond the
// count taken for the last one. Lines of white space are skipped, as the
// reader skips them.
bool off_walk(const std::string &path, size_t first, unsigned long long vertices, unsigned long long faces,
              std::string *reason)
{
    std::ifstream in(path, std::ios::binary);
    std::string line;
    for (size_t n = 0; n < first && std::getline(in, line); n++) {
    }
    const std::string short_of = "it holds less than its header declares: it ends within ";
    for (unsigned long long v = 0; v < vertices + faces; v++) {
        bool got = false;
        while (!got && std::getline(in, line)) {
            got = !blank(line);
        }
        bool face = v >= vertices;
        unsigned long long k = face ? v - vertices : v;
        std::string which =
            (face ? "face " : "vertex ") + std::to_string(k + 1) + " of " + std::to_string(face ? faces : vertices);
        if (!got) {
            *reason = short_of + which;
            return false;
        }
        std::istringstream words(line);
        unsigned long long corners = 0, index = 0, given = 0;
        if (!face || !(words >> corners)) {
            continue; // the reader says what is wrong with it
        }
        for (; given < corners && words >> index; given++) {
            if (index >= vertices) {
                *reason =
                    "its " + which + " names vertex " + std::to_string(index) + ", of " + std::to_string(vertices);
                return false;
            }
        }
        if (given < corners) {
            *reason =
                "its " + which + " gives " + std::to_string(given) + " of its " + std::to_string(corners) + " corners";
            return false;
        }
    }
    return true;
}

// OFF: "OFF" (with letters before it for colours, normals ...), then the
// counts of vertices and faces; a vertex takes at least three values of two
// characters, a face at least four. Then the lines, walked.
bool off_fits(const std::string &path, const std::string &text, long long size, std::string *reason)
{
    std::istringstream in(text);
    std::string word;
    // Past the keyword and any comment lines to the first number.
    std::vector<unsigned long long> counts;
    std::string line;
    bool keyword = false, walk = false;
    size_t lines = 0;
    while (counts.size() < 2 && std::getline(in, line)) {
        lines++;
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        while (counts.size() < 2 && words >> word) {
            if (!keyword && lower(word).find("off") != std::string::npos) {
                keyword = true;
                // Of three dimensions: not nOFF (a count of them follows)
                // nor 4OFF.
                walk = word[0] != 'n' && word.find('4') == std::string::npos;
                continue;
            }
            if (word.find_first_not_of("0123456789") != std::string::npos) {
                return true; // not the text form: the reader decides
            }
            counts.push_back(std::stoull(word.substr(0, 19)));
        }
    }
    if (counts.size() < 2) {
        return true;
    }
    if (product(counts[0], 6.0) > static_cast<double>(size)) {
        *reason = too_many(counts[0], "vertices", size);
        return false;
    }
    if (product(counts[0], 6.0) + product(counts[1], 8.0) > static_cast<double>(size)) {
        *reason = too_many(counts[1], "faces", size);
        return false;
    }
    return !walk || off_walk(path, lines, counts[0], counts[1], reason);
}

} // namespace

bool declared_counts_fit(const std::string &path, std::string *reason)
{
    size_t dot = path.rfind('.');
    std::string ext = dot == std::string::npos ? "" : lower(path.substr(dot));
    struct stat st;
    if ((ext != ".ply" && ext != ".off") || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return true;
    }
    std::string start = file_start(path);
    if (ext == ".ply") {
        return ply_fits(path, start, st.st_size, reason);
    }
    return off_fits(path, start, st.st_size, reason);
}
