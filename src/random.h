#ifndef RT_RANDOM_H
#define RT_RANDOM_H

#include <cstdlib>

// Every random number of a render comes through here, so that the order of
// draws is one sequence that can be followed and, later, replaced per pixel.
// In the classic mode that sequence is the C library's unseeded rand().
inline int random_int()
{
    return std::rand();
}

// A number in [0, 1]: rand() never exceeds 2147483647 on our platforms.
inline double random_unit()
{
    return random_int() / 2147483647.0;
}

#endif
