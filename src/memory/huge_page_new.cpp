// The program's operator new: every large block it allocates (a mesh's
// arrays, its hierarchy) asks for huge pages before it is first written.
// Linked into rt and into the benchmarks that measure its walks, not into
// the library, whose users keep their own allocator. Left to the sanitizers
// in their builds, which have allocators of their own.
#include <cstdlib>
#include <new>

#include "memory/huge_pages.h"

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
void *operator new(std::size_t size)
{
    for (;;) {
        void *block = std::malloc(size == 0 ? 1 : size);
        if (block != nullptr) {
            advise_huge_pages(block, size);
            return block;
        }
        std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) {
            throw std::bad_alloc();
        }
        handler();
    }
}

void operator delete(void *block) noexcept
{
    std::free(block);
}

void operator delete(void *block, std::size_t) noexcept
{
    std::free(block);
}
#endif
