#ifndef RT_CONTENT_HASH_H
#define RT_CONTENT_HASH_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// FNV-1a over bytes: small, and the same on every machine. It keys a state
// file to the scene files its passes were rendered from, and checks the state
// file's own bytes; both are stored, so the function never changes.
struct ContentHash {
    uint64_t value = 14695981039346656037ull;

    void add(const void *data, size_t n)
    {
        const unsigned char *p = static_cast<const unsigned char *>(data);
        uint64_t h = value;
        for (size_t i = 0; i < n; i++) {
            h = (h ^ p[i]) * 1099511628211ull;
        }
        value = h;
    }
};

// The key of the files a scene was read from: the hash of their bytes in
// the order they were read, and its value as each file's last byte went in.
// Where two such keys differ, the first of those values that differs names
// the file that made them differ.
struct FilesKey : ContentHash {
    std::vector<uint64_t> ends;
    std::vector<std::string> names; // "scene file a.scene", "mesh data file x.mesh"

    void end_file(const std::string &what)
    {
        ends.push_back(value);
        names.push_back(what);
    }
};

#endif
