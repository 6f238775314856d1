#ifndef RT_SRGB_H
#define RT_SRGB_H

// Linear light of each 8-bit sRGB value, the same doubles on every machine.
extern const double SRGB_TO_LINEAR[256];

#endif
