// The counts a model file declares, checked against its size before any
// reader believes them: a file of 200 bytes that declares two billion
// vertices would otherwise have the reader reserve room for them.
#ifndef RT_IMPORT_COUNTS_H
#define RT_IMPORT_COUNTS_H

#include <string>

// False, with *reason set, when the file at path (PLY or OFF, by its
// extension) declares more elements than its size can hold; true for
// every other file, and for files that cannot be read (the reader then
// says why).
bool declared_counts_fit(const std::string &path, std::string *reason);

#endif
