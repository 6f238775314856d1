#include "parallel/state_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "files/content_hash.h"
#include "files/output_file.h"
#include "numeric/floats.h"

namespace
{

const char MAGIC[8] = {'r', 't', 's', 't', 'a', 't', 'e', '\n'};
// Version 1 is a header, the passes, the colours and a checksum. Version 2
// follows the passes with the count of the scene's files and the key's value
// at the end of each. Version 3 adds the sampler and the noise target after
// the gamma, and with a noise target the rounds after the colours: the number
// of rounds chosen, then for every pixel the number of rounds it is in, then
// for every pixel the sums of its odd passes' colours. States of the hash
// streams without a noise target are still written as version 2, so that an
// rt without samplers continues them; every version is read.
const uint32_t VERSION = 3;
const uint32_t FIRST_VERSION = 1;
const size_t BASE_HEADER = 8 + 4 + 4 + 8 + 4 * 5 + 8 + 4; // up to the pass count
const size_t HEADER_BYTES[VERSION + 1] = {0, BASE_HEADER, BASE_HEADER, BASE_HEADER + 4 + 8};
const size_t CHUNK_PIXELS = 4096;

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

uint32_t get32(const unsigned char *p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint64_t get64(const unsigned char *p)
{
    return get32(p) | static_cast<uint64_t>(get32(p + 4)) << 32;
}

// Reads a file from its start by position, hashing what it reads; a short
// read (the end, or an error, kept in err) fails every later read.
struct Reader {
    explicit Reader(int fd) : fd(fd) {}

    int fd;
    off_t at = 0;
    int err = 0;
    bool ok = true;
    ContentHash hash;

    bool read(void *data, size_t n, bool hashed = true)
    {
        unsigned char *p = static_cast<unsigned char *>(data);
        for (size_t done = 0; ok && done < n;) {
            ssize_t got = pread(fd, p + done, n - done, at);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                err = got < 0 ? errno : 0;
                ok = false;
                break;
            }
            done += static_cast<size_t>(got);
            at += got;
        }
        if (ok && hashed) {
            hash.add(data, n);
        }
        return ok;
    }
};

// Reads count words of 8 bytes into out, a chunk at a time; false when the
// file ends or fails first.
bool read_words(Reader *in, uint64_t count, uint64_t *out)
{
    std::vector<unsigned char> chunk(8 * 3 * CHUNK_PIXELS);
    for (uint64_t done = 0; done < count; done += chunk.size() / 8) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(count - done, chunk.size() / 8));
        if (!in->read(chunk.data(), n * 8)) {
            return false;
        }
        for (size_t i = 0; i < n; i++) {
            out[done + i] = get64(chunk.data() + i * 8);
        }
    }
    return true;
}

// Writes n words of 8 bytes, hashing them; false with out's reason.
bool put_words(OutputFile *out, ContentHash *hash, const uint64_t *words, size_t n)
{
    std::vector<unsigned char> chunk;
    for (size_t i = 0; i < n; i++) {
        put64(&chunk, words[i]);
    }
    hash->add(chunk.data(), chunk.size());
    return out->write(chunk.data(), chunk.size());
}

// Reads the rounds of a state of a noise target, after its colours; false
// when they cannot be read or are not as a run writes them (a pixel in no
// round or in one not chosen, a pass of a round not chosen).
bool read_rounds(Reader *in, uint64_t pixels, const std::vector<int> &passes, NoiseRounds *noise)
{
    unsigned char word[8];
    if (!in->read(word, 4)) {
        return false;
    }
    uint32_t chosen = get32(word);
    bool sane = chosen >= 1 && chosen <= static_cast<uint32_t>(NoiseRounds::round_of(PassSum::MAX_PASSES)) &&
                NoiseRounds::round_of(passes.back()) < static_cast<int>(chosen);
    NoiseRounds rounds(sane ? static_cast<size_t>(pixels) : 0);
    rounds.chosen_rounds = static_cast<int>(chosen);
    std::vector<unsigned char> chunk(4 * CHUNK_PIXELS);
    for (uint64_t done = 0; sane && done < pixels; done += CHUNK_PIXELS) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(pixels - done, CHUNK_PIXELS));
        sane = in->read(chunk.data(), n * 4);
        for (size_t i = 0; sane && i < n; i++) {
            uint32_t r = get32(chunk.data() + i * 4);
            sane = r >= 1 && r <= chosen;
            rounds.rounds[done + i] = r;
        }
    }
    sane = sane && read_words(in, pixels * 3, rounds.odd.data());
    if (sane) {
        *noise = std::move(rounds);
    }
    return sane;
}

} // namespace

int rays_cast(int requested)
{
    int rays = 1;
    while (rays <= requested / 4) {
        rays *= 4;
    }
    return rays;
}

std::string key_difference(const StateKey &file, const StateKey &wanted)
{
    char buf[128];
    if (file.scene != wanted.scene) {
        // The first file whose end differs is the first that differs.
        size_t common = std::min(file.file_ends.size(), wanted.file_ends.size());
        for (size_t i = 0; i < common && i < wanted.file_names.size(); i++) {
            if (file.file_ends[i] != wanted.file_ends[i]) {
                return "other contents of " + wanted.file_names[i];
            }
        }
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
    if (file.sampler != wanted.sampler) {
        return std::string("the ") + sampler_name(file.sampler) + " sampler";
    }
    if (bits_of(file.noise) != bits_of(wanted.noise)) {
        snprintf(buf, sizeof buf, file.noise > 0.0 ? "a noise target of %g" : "no noise target", file.noise);
        return buf;
    }
    return "";
}

void State::begin(const StateKey &of, size_t pixels)
{
    key = of;
    sum = PassSum(pixels);
    noise = of.noise > 0.0 ? NoiseRounds(pixels) : NoiseRounds();
    if (!noise.empty()) {
        noise.count(sum.passes());
    }
}

void State::add(const NewPass &pass)
{
    if (!noise.empty()) {
        noise.add(pass);
    }
    sum.add(pass);
    if (!noise.empty()) {
        noise.count(sum.passes());
    }
}

bool State::merge(const State &other, int *shared, std::string *why)
{
    PassSum both = sum;
    if (!both.merge(other.sum, shared)) {
        return false;
    }
    *shared = -1;
    if (!noise.empty() && !noise.merge(other.noise, why)) {
        return false;
    }
    sum = std::move(both);
    if (!noise.empty()) {
        noise.count(sum.passes());
    }
    return true;
}

bool read_state(int fd, State *state, std::string *why)
{
    struct stat st;
    if (fstat(fd, &st) != 0) {
        *why = strerror(errno);
        return false;
    }
    if (st.st_size == 0) {
        *why = "empty: no pass was saved in it";
        return false;
    }
    Reader in(fd);
    unsigned char head[HEADER_BYTES[VERSION]];
    if (!in.read(head, 12) || memcmp(head, MAGIC, sizeof MAGIC) != 0) {
        *why = in.err != 0 ? strerror(in.err) : "not a state file of rt";
        return false;
    }
    uint32_t version = get32(head + 8);
    if (version < FIRST_VERSION || version > VERSION) {
        *why = "a state file of version " + std::to_string(version) + "; this rt reads versions " +
               std::to_string(FIRST_VERSION) + " to " + std::to_string(VERSION);
        return false;
    }
    const size_t header_bytes = HEADER_BYTES[version];
    if (!in.read(head + 12, header_bytes - 12)) {
        *why = in.err != 0 ? strerror(in.err) : "damaged: truncated, or not as written";
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
    uint32_t sampler = version >= 3 ? get32(head + 52) : static_cast<uint32_t>(Sampler::hash);
    key.sampler = static_cast<Sampler>(sampler);
    key.noise = version >= 3 ? double_of(get64(head + 56)) : 0.0;
    uint32_t count = get32(head + header_bytes - 4);

    // Sizes that no frame of rt has, or that the file's length does not
    // hold, mean damage; they are refused before anything is allocated.
    uint64_t rows = static_cast<uint64_t>(key.row_end) - static_cast<uint64_t>(key.row_begin);
    uint64_t pixels = rows * static_cast<uint64_t>(static_cast<uint32_t>(key.width));
    const bool rounds = key.noise > 0.0;
    // The length without the files' ends, which version 2 on counts after
    // the passes.
    uint64_t fixed = header_bytes + 4 * uint64_t(count) + (version >= 2 ? 4 : 0) + (rounds ? 52 : 24) * pixels + 8 +
                     (rounds ? 4 : 0);
    bool sane = key.width > 0 && key.height > 0 && key.row_begin >= 0 && key.row_end > key.row_begin &&
                key.row_end <= key.height && pixels <= 268435456 && key.rays > 0 && count > 0 &&
                count <= static_cast<uint32_t>(PassSum::MAX_PASSES) && kind == (count == 1 ? 0u : 1u) &&
                sampler <= static_cast<uint32_t>(Sampler::sobol) && (key.noise == 0.0 || key.noise > 0.0) &&
                std::isfinite(key.noise) && static_cast<uint64_t>(st.st_size) >= fixed;
    key.rays = rays_cast(key.rays);
    std::vector<int> passes;
    unsigned char word[8];
    for (uint32_t i = 0; sane && i < count; i++) {
        sane = in.read(word, 4);
        int pass = static_cast<int>(get32(word));
        sane = sane && pass >= 0 && pass < PassSum::MAX_PASSES && (passes.empty() || pass > passes.back());
        passes.push_back(pass);
    }
    uint64_t files = 0;
    if (sane && version >= 2) {
        sane = in.read(word, 4);
        files = get32(word);
    }
    sane = sane && static_cast<uint64_t>(st.st_size) == fixed + 8 * files;
    key.file_ends.clear();
    for (uint64_t i = 0; sane && i < files; i++) {
        sane = in.read(word, 8);
        key.file_ends.push_back(get64(word));
    }
    std::vector<uint64_t> words;
    if (sane) {
        words.resize(pixels * 3);
    }
    sane = sane && read_words(&in, pixels * 3, words.data());
    if (sane && rounds) {
        sane = read_rounds(&in, pixels, passes, &state->noise);
    }
    // The checksum, and then the end of the file.
    uint64_t want = in.hash.value;
    sane = sane && in.read(word, 8, false) && get64(word) == want && !in.read(word, 1, false) && in.err == 0;
    if (!sane) {
        *why = in.err != 0 ? strerror(in.err) : "damaged: truncated, or not as written";
        return false;
    }
    state->sum.set(std::move(passes), std::move(words));
    if (!state->noise.empty()) {
        state->noise.count(state->sum.passes());
    }
    return true;
}

bool begins_as_state(int fd)
{
    char head[sizeof MAGIC];
    return pread(fd, head, sizeof head, 0) == static_cast<ssize_t>(sizeof head) &&
           memcmp(head, MAGIC, sizeof MAGIC) == 0;
}

bool begins_as_state(const char *path)
{
    // Only a regular file can hold a state: nothing else is opened (a device
    // may act on being opened).
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool state = begins_as_state(fd);
    close(fd);
    return state;
}

bool read_state(const char *path, State *state, std::string *why)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *why = strerror(errno);
        return false;
    }
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (!ok) {
        *why = "not a regular file";
    }
    ok = ok && read_state(fd, state, why);
    close(fd);
    return ok;
}

bool write_state(OutputFile *out, const State &state, const NewPass *pass)
{
    const StateKey &key = state.key;
    const PassSum &sum = state.sum;
    std::vector<int> passes = sum.passes_after(pass);
    const uint32_t version = key.sampler == Sampler::hash && key.noise == 0.0 ? 2 : 3;
    std::vector<unsigned char> head(MAGIC, MAGIC + sizeof MAGIC);
    put32(&head, version);
    put32(&head, passes.size() == 1 ? 0 : 1);
    put64(&head, key.scene);
    put32(&head, key.width);
    put32(&head, key.height);
    put32(&head, key.row_begin);
    put32(&head, key.row_end);
    put32(&head, key.rays);
    put64(&head, bits_of(key.inv_gamma));
    if (version >= 3) {
        put32(&head, static_cast<uint32_t>(key.sampler));
        put64(&head, bits_of(key.noise));
    }
    put32(&head, static_cast<uint32_t>(passes.size()));
    for (int p : passes) {
        put32(&head, p);
    }
    put32(&head, static_cast<uint32_t>(key.file_ends.size()));
    for (uint64_t end : key.file_ends) {
        put64(&head, end);
    }

    ContentHash hash;
    hash.add(head.data(), head.size());
    bool ok = out->write(head.data(), head.size());
    std::vector<uint64_t> words(3 * CHUNK_PIXELS);
    for (size_t done = 0; ok && done < sum.pixels(); done += CHUNK_PIXELS) {
        size_t n = std::min(sum.pixels() - done, CHUNK_PIXELS);
        sum.words_after(pass, done, n, words.data());
        ok = put_words(out, &hash, words.data(), n * 3);
    }
    const NoiseRounds &noise = state.noise;
    if (ok && !noise.empty()) {
        // The rounds a chunk of pixels at a time, after the number chosen.
        std::vector<unsigned char> chunk;
        put32(&chunk, static_cast<uint32_t>(noise.chosen()));
        for (size_t done = 0; ok && done < sum.pixels(); done += CHUNK_PIXELS) {
            size_t n = std::min(sum.pixels() - done, CHUNK_PIXELS);
            for (size_t i = done; i < done + n; i++) {
                put32(&chunk, noise.rounds[i]);
            }
            hash.add(chunk.data(), chunk.size());
            ok = out->write(chunk.data(), chunk.size());
            chunk.clear();
        }
        for (size_t done = 0; ok && done < sum.pixels(); done += CHUNK_PIXELS) {
            size_t n = std::min(sum.pixels() - done, CHUNK_PIXELS);
            noise.words_after(pass, done, n, words.data());
            ok = put_words(out, &hash, words.data(), n * 3);
        }
    }
    std::vector<unsigned char> chunk;
    put64(&chunk, hash.value);
    return ok && out->write(chunk.data(), chunk.size());
}
