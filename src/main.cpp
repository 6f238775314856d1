#include "rt.h"

// Where the window library must start before the program (SDL 1.2 on macOS),
// SDL.h renames main to SDL_main and SDL's own main calls it.
#include <SDL.h>

int main(int argc, char **argv)
{
    return rt_main(argc, argv);
}
