#include "cli/report.h"

#include <unistd.h>

#include <cstdarg>

static FILE *report_stream = stdout;

void report_to(FILE *stream)
{
    report_stream = stream;
}

void report(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vfprintf(report_stream, format, args);
    va_end(args);
    fflush(report_stream);
}

void image_write_failed(const char *name, const char *why)
{
    fprintf(stderr, "failed to write image: %s: %s\n", name, why);
}

bool report_is_terminal()
{
    return isatty(fileno(report_stream)) != 0;
}

void progress_bar(int percent, char bar[51])
{
    for (int i = 0; i < 100; i += 2) {
        bar[i / 2] = i < percent ? '=' : (i - percent > 1 ? ' ' : '>');
    }
    bar[50] = 0;
}
