#include <cstdio>
#include <cstdlib>
#include <new>

#include "files/output_file.h"
#include "memory/huge_pages.h"
#include "rt.h"

// Where the window library must start before the program (SDL 1.2 on macOS),
// SDL.h renames main to SDL_main and SDL's own main calls it.
#include <SDL.h>

// Every large block the program allocates (a mesh's arrays, its hierarchy)
// asks for huge pages before it is first written. Left to the sanitizers in
// their builds, which have allocators of their own.
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

int main(int argc, char **argv)
{
    // Every allocation that can fail is reported where it happens; this is
    // the last resort, so that none ends the program with an abort.
    try {
        return rt_main(argc, argv);
    } catch (const std::bad_alloc &) {
        remove_pending_temporaries();
        fprintf(stderr, "not enough memory\n");
        return 1;
    }
}
