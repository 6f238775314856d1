#ifndef RT_REPORT_H
#define RT_REPORT_H

#include <cstdio>

// Reports and progress go to standard output, unless the picture itself goes
// there; then to standard error.
void report_to(FILE *stream);
// A report line or progress, flushed at once so that a reader on a pipe sees
// it. A reader that has gone away loses it; the render goes on.
void report(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// "failed to write image: NAME: WHY" on standard error, the one message of
// a picture that cannot be written, wherever that is found out.
void image_write_failed(const char *name, const char *why);

// Whether reports go to a terminal, where a progress line can be rewritten
// in place; a file or a pipe keeps every line.
bool report_is_terminal();

// The 50 characters of a progress bar at `percent`: "=" for each full 2 %,
// one ">" as its head (none at 99 and 100), blanks for the rest.
void progress_bar(int percent, char bar[51]);

#endif
