#include <cstdio>
#include <new>

#include "output_file.h"
#include "rt.h"

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
