#ifndef RT_STANDARD_STREAMS_H
#define RT_STANDARD_STREAMS_H

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, as the
// first thing a program does. A program started with one closed would
// otherwise give that number to the next file it opens (a folder, a
// picture's temporary), and its reports would go into that file. False when
// /dev/null cannot be opened: the program must then not go on.
bool open_closed_standard_streams();

#endif
