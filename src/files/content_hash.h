#ifndef RT_CONTENT_HASH_H
#define RT_CONTENT_HASH_H

#include <cstddef>
#include <cstdint>

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

#endif
