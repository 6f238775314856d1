#include "state_file.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "output_file.h"
#include "scene_path.h"

namespace
{

const char MAGIC[8] = {'r', 't', 's', 't', 'a', 't', 'e', '\n'};
const uint32_t VERSION = 1;
const size_t HEADER_BYTES = 8 + 4 + 4 + 8 + 4 * 5 + 8 + 4; // up to the pass count

// FNV-1a over bytes: small, and the same everywhere.
struct Hash {
    uint64_t h = 14695981039346656037ull;
    void add(const void *data, size_t n)
    {
        const unsigned char *p = static_cast<const unsigned char *>(data);
        for (size_t i = 0; i < n; i++) {
            h = (h ^ p[i]) * 1099511628211ull;
        }
    }
};

void put32(std::vector<unsigned char> *out, uint32_t v)
{
    for (int i = 0; i < 4; i++) {
        out->push_back(static_cast<unsigned char>(v >> (8 * i)));
    }
}

void put64(std::vector<unsigned char> *out, uint64_t v)
{
    for (int i = 0; i < 8; i++) {
        out->push_back(static_cast<unsigned char>(v >> (8 * i)));
    }
}

uint64_t bits_of(double d)
{
    uint64_t u;
    memcpy(&u, &d, sizeof u);
    return u;
}

double double_of(uint64_t u)
{
    double d;
    memcpy(&d, &u, sizeof d);
    return d;
}

uint32_t get32(const unsigned char *p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint64_t get64(const unsigned char *p)
{
    return get32(p) | static_cast<uint64_t>(get32(p + 4)) << 32;
}

// Reads exactly n bytes, hashing them; false at the end of the file too.
bool read_exactly(FILE *fp, void *data, size_t n, Hash *hash)
{
    if (fread(data, 1, n, fp) != n) {
        return false;
    }
    if (hash != nullptr) {
        hash->add(data, n);
    }
    return true;
}

} // namespace

std::string key_difference(const StateKey &file, const StateKey &wanted)
{
    char buf[128];
    if (file.scene != wanted.scene) {
        return "other scene files";
    }
    if (file.width != wanted.width || file.height != wanted.height) {
        snprintf(buf, sizeof buf, "a %dx%d frame", file.width, file.height);
        return buf;
    }
    if (file.row_begin != wanted.row_begin || file.row_end != wanted.row_end) {
        snprintf(buf, sizeof buf, "rows %d:%d", file.row_begin, file.row_end);
        return buf;
    }
    if (file.rays != wanted.rays) {
        snprintf(buf, sizeof buf, "%d rays per pixel", file.rays);
        return buf;
    }
    if (bits_of(file.inv_gamma) != bits_of(wanted.inv_gamma)) {
        snprintf(buf, sizeof buf, "a gamma of %g", 1.0 / file.inv_gamma);
        return buf;
    }
    return "";
}

bool read_state(const char *path, State *state, std::string *why)
{
    FILE *fp = fopen(path, "rb");
    if (fp == nullptr) {
        *why = strerror(errno);
        return false;
    }
    Hash hash;
    unsigned char head[HEADER_BYTES];
    bool ok = read_exactly(fp, head, sizeof head, &hash);
    if (!ok || memcmp(head, MAGIC, sizeof MAGIC) != 0) {
        *why = ferror(fp) ? strerror(errno) : "not a state file of rt";
        fclose(fp);
        return false;
    }
    uint32_t version = get32(head + 8);
    if (version != VERSION) {
        *why =
            "a state file of version " + std::to_string(version) + "; this rt reads version " + std::to_string(VERSION);
        fclose(fp);
        return false;
    }
    StateKey &key = state->key;
    uint32_t kind = get32(head + 12);
    key.scene = get64(head + 16);
    key.width = static_cast<int>(get32(head + 24));
    key.height = static_cast<int>(get32(head + 28));
    key.row_begin = static_cast<int>(get32(head + 32));
    key.row_end = static_cast<int>(get32(head + 36));
    key.rays = static_cast<int>(get32(head + 40));
    key.inv_gamma = double_of(get64(head + 44));
    uint32_t count = get32(head + 52);

    // Sizes that no frame of rt has mean damage; they are refused before
    // anything is allocated for them.
    uint64_t rows = static_cast<uint64_t>(key.row_end) - static_cast<uint64_t>(key.row_begin);
    uint64_t pixels = rows * static_cast<uint64_t>(static_cast<uint32_t>(key.width));
    bool sane = key.width > 0 && key.height > 0 && key.row_begin >= 0 && key.row_end > key.row_begin &&
                key.row_end <= key.height && pixels <= 268435456 && key.rays > 0 && count > 0 &&
                count <= static_cast<uint32_t>(PassSum::MAX_PASSES) && kind == (count == 1 ? 0u : 1u);
    std::vector<int> passes;
    std::vector<unsigned char> word(8);
    for (uint32_t i = 0; sane && i < count; i++) {
        sane = read_exactly(fp, word.data(), 4, &hash);
        int pass = static_cast<int>(get32(word.data()));
        sane = sane && pass >= 0 && pass < PassSum::MAX_PASSES && (passes.empty() || pass > passes.back());
        passes.push_back(pass);
    }
    std::vector<uint64_t> words;
    std::vector<unsigned char> chunk(3 * 8 * 4096);
    if (sane) {
        words.resize(pixels * 3);
    }
    for (uint64_t done = 0; sane && done < pixels * 3; done += 3 * 4096) {
        size_t n = static_cast<size_t>(pixels * 3 - done < 3 * 4096 ? pixels * 3 - done : 3 * 4096);
        sane = read_exactly(fp, chunk.data(), n * 8, &hash);
        for (size_t i = 0; sane && i < n; i++) {
            words[done + i] = get64(chunk.data() + i * 8);
        }
    }
    // The checksum, and then the end of the file.
    uint64_t want = hash.h;
    sane = sane && read_exactly(fp, word.data(), 8, nullptr) && get64(word.data()) == want && fgetc(fp) == EOF;
    bool read_error = ferror(fp) != 0;
    fclose(fp);
    if (!sane) {
        *why = read_error ? strerror(EIO) : "damaged: truncated, or not as written";
        return false;
    }
    state->sum.set(std::move(passes), std::move(words));
    return true;
}

bool write_state(const char *path, const State &state, std::string *why)
{
    const StateKey &key = state.key;
    const PassSum &sum = state.sum;
    const std::vector<int> &passes = sum.passes();
    std::vector<unsigned char> head(MAGIC, MAGIC + sizeof MAGIC);
    put32(&head, VERSION);
    put32(&head, passes.size() == 1 ? 0 : 1);
    put64(&head, key.scene);
    put32(&head, key.width);
    put32(&head, key.height);
    put32(&head, key.row_begin);
    put32(&head, key.row_end);
    put32(&head, key.rays);
    put64(&head, bits_of(key.inv_gamma));
    put32(&head, static_cast<uint32_t>(passes.size()));
    for (int pass : passes) {
        put32(&head, pass);
    }

    OutputFile out;
    Hash hash;
    hash.add(head.data(), head.size());
    bool ok = out.open(path) && out.write(head.data(), head.size());
    std::vector<unsigned char> chunk;
    const std::vector<uint64_t> &words = sum.words();
    for (size_t done = 0; ok && done < words.size(); done += 3 * 4096) {
        size_t n = words.size() - done < 3 * 4096 ? words.size() - done : 3 * 4096;
        chunk.clear();
        for (size_t i = done; i < done + n; i++) {
            put64(&chunk, words[i]);
        }
        hash.add(chunk.data(), chunk.size());
        ok = out.write(chunk.data(), chunk.size());
    }
    chunk.clear();
    put64(&chunk, hash.h);
    ok = ok && out.write(chunk.data(), chunk.size()) && out.commit();
    if (!ok) {
        *why = out.reason();
    }
    return ok;
}

// The bytes of a file, hashed; for a scene file also the names its mesh
// lines give, in order.
static bool hash_file(const std::string &name, Hash *hash, std::vector<std::string> *meshes, std::string *why)
{
    FILE *fp = fopen(name.c_str(), "rb");
    if (fp == nullptr) {
        *why = name + ": " + strerror(errno);
        return false;
    }
    std::string line;
    int c;
    while ((c = getc(fp)) != EOF) {
        unsigned char byte = static_cast<unsigned char>(c);
        hash->add(&byte, 1);
        if (meshes == nullptr) {
            continue;
        }
        if (c != '\n') {
            line += static_cast<char>(c);
            continue;
        }
        char mesh[1024];
        if (line.size() < 1024 && sscanf(line.c_str(), "m %1023s", mesh) == 1) {
            meshes->push_back(mesh);
        }
        line.clear();
    }
    char mesh[1024];
    if (meshes != nullptr && line.size() < 1024 && sscanf(line.c_str(), "m %1023s", mesh) == 1) {
        meshes->push_back(mesh);
    }
    bool ok = !ferror(fp);
    if (!ok) {
        *why = name + ": " + strerror(errno);
    }
    fclose(fp);
    return ok;
}

bool hash_scene_files(const std::vector<std::string> &scene_files, uint64_t *hash, std::string *why)
{
    Hash h;
    for (const std::string &scene : scene_files) {
        std::vector<std::string> meshes;
        if (!hash_file(scene, &h, &meshes, why)) {
            return false;
        }
        // A mesh file that cannot be read was left out of the scene, with a
        // message; that it is missing is part of the scene.
        for (const std::string &mesh : meshes) {
            std::string ignored;
            if (!hash_file(scene_relative_path(mesh.c_str(), scene.c_str()), &h, nullptr, &ignored)) {
                h.add("\0missing\0", 9);
            }
        }
        h.add("\n", 1); // a boundary between files
    }
    *hash = h.h;
    return true;
}
