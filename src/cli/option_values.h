#ifndef RT_OPTION_VALUES_H
#define RT_OPTION_VALUES_H

// The values that follow the command line's options, read each as the
// program has always read it; false when a value is refused, the outputs
// untouched.

// "WxH": both at least 1 and at most max_pixels pixels in all.
bool parse_size(const char *arg, long long max_pixels, int *width, int *height);
// The leading decimal number, from 1 to the largest int.
bool parse_count(const char *arg, int *count);
// A thread count; 0 means one per core. At most 1024.
bool parse_threads(const char *arg, int *threads);
// "A:B", the first of a range and one past its last: 0 <= A < B <= most.
bool parse_range(const char *arg, long long most, int *begin, int *end);
// "P" (0 to P - 1) or "A:B" (A to B - 1), with B at most `most`.
bool parse_count_or_range(const char *arg, long long most, int *begin, int *end);
// A finite number that begins with a digit (the C library's leading number:
// "2.2x" is 2.2), above 0.
bool parse_positive(const char *arg, double *value);
// A plain decimal number and nothing else: 90, 2.5, .5, 1e3 (seconds of
// -time, the noise target of -noise).
bool parse_decimal(const char *arg, double *value);

#endif
