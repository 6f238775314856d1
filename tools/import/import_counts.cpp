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

// PLY: a header of lines up to "end_header"; each element's count times
// the least bytes one instance takes: in binary its scalars and the count
// of each list, in text two characters (a digit and a separator) a value.
bool ply_fits(const std::string &header, long long size, std::string *reason)
{
    std::istringstream in(header);
    std::string line;
    bool binary = false;
    struct Element {
        std::string name;
        unsigned long long count = 0;
        double least = 0.0; // bytes
    };
    std::vector<Element> elements;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string word;
        words >> word;
        if (word == "format") {
            std::string kind;
            words >> kind;
            binary = kind.rfind("binary", 0) == 0;
        } else if (word == "element") {
            Element e;
            words >> e.name >> e.count;
            if (words.fail()) {
                return true; // the reader will refuse it
            }
            elements.push_back(e);
        } else if (word == "property" && !elements.empty()) {
            std::string type;
            words >> type;
            int bytes = type == "list" ? 0 : ply_type_size(type);
            if (type == "list") {
                std::string count_type;
                words >> count_type;
                bytes = ply_type_size(count_type);
            }
            elements.back().least += binary ? std::max(bytes, 1) : 2;
        } else if (word == "end_header") {
            // What follows the header holds the elements.
            double data = static_cast<double>(size) - static_cast<double>(in.tellg());
            double need = 0.0;
            for (const Element &e : elements) {
                need += product(e.count, e.least);
                if (need > data) {
                    *reason = too_many(e.count, e.name + " elements", size);
                    return false;
                }
            }
            return true;
        }
    }
    return true;
}

// OFF: "OFF" (with letters before it for colours, normals ...), then the
// counts of vertices and faces; a vertex takes at least three values of two
// characters, a face at least four.
bool off_fits(const std::string &text, long long size, std::string *reason)
{
    std::istringstream in(text);
    std::string word;
    // Past the keyword and any comment lines to the first number.
    std::vector<unsigned long long> counts;
    std::string line;
    bool keyword = false;
    while (counts.size() < 2 && std::getline(in, line)) {
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        while (counts.size() < 2 && words >> word) {
            if (!keyword && lower(word).find("off") != std::string::npos) {
                keyword = true;
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
    return true;
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
        return ply_fits(start, st.st_size, reason);
    }
    return off_fits(start, st.st_size, reason);
}
