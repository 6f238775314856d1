#ifndef RT_IMAGE_CHECK_H
#define RT_IMAGE_CHECK_H

#include <cstddef>

// What is wrong with a picture file's bytes that stb_image (2.27, Debian
// 12's) would misread, asked before it sees them; null when nothing is:
// - a JPEG Huffman table of more than the 256 codes it has room for, past
//   which its reader writes (a heap overflow that a made-up file can aim,
//   already while it reads the header);
// - a PNG chunk longer than the rest of the file, for which its reader
//   takes memory before it finds the bytes missing (gigabytes, for a file
//   of a hundred bytes).
const char *image_fault(const unsigned char *bytes, size_t size);

#endif
