#ifndef RT_JPEG_TABLES_H
#define RT_JPEG_TABLES_H

#include <cstddef>

// Whether the Huffman tables of a JPEG file (bytes from FF D8, after any
// more FF; any other file passes) each hold at most the 256 codes that stb_image has room for:
// its reader (2.27, Debian 12's) writes past its tables when their counts
// say more, a heap overflow that a made-up file can aim, and already while
// it reads the header. Asked before stb_image sees the bytes.
bool jpeg_tables_fit(const unsigned char *bytes, size_t size);

#endif
