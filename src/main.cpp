#include "rt.h"

int main(int argc, char **argv)
{
    return rt_main(argc, argv);
}
