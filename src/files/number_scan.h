#ifndef RT_NUMBER_SCAN_H
#define RT_NUMBER_SCAN_H

// The numbers of the lines of a mesh data file, read as the C library's
// sscanf reads them, only faster: plain decimal numbers are converted here,
// exactly (every float is the correctly rounded value, as %f gives), and
// any line that holds something else (hexadecimal, inf, nan, signs on
// integers, long mantissas, ...) is handed to sscanf itself. Each function
// returns sscanf's count of conversions.

// sscanf(line, "K %f %f %f", &out[0], &out[1], &out[2]), K being line[0].
int scan_vector_line(const char *line, float out[3]);

// sscanf(line, "K %f %f", &out[0], &out[1]), K being line[0].
int scan_pair_line(const char *line, float out[2]);

// sscanf(line, "f %d/%d %d/%d %d/%d %d/%d", ...) into out[0] .. out[7].
int scan_face_line(const char *line, int out[8]);

// A face with texture coordinates: "f" and `corners` triples of indices
// v/n/t, each index plain decimal digits (at most nine), blanks before each
// triple and nothing but blanks after the last. The count of indices read
// into out[0] ..., 3 * corners when the line is such a face, less when not.
int scan_textured_face_line(const char *line, int corners, int out[12]);

// One decimal number at *s as %f reads it: true, with the value and *s moved
// past it, when the number is plain and ends at white space or the end of
// the string; false when sscanf must decide.
bool scan_plain_float(const char **s, float *out);

#endif
