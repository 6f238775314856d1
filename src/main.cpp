#include <cstdio>
#include <new>

#include "files/output_file.h"
#include "files/standard_streams.h"
#include "rt.h"

// Where the window library must start before the program (SDL 1.2 on macOS),
// SDL.h renames main to SDL_main and SDL's own main calls it.
#include <SDL.h>

int main(int argc, char **argv)
{
    if (!open_closed_standard_streams()) {
        fprintf(stderr, "cannot open /dev/null in place of a closed standard stream\n");
        return 1;
    }
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
