// Bounds on what reading a model may take: memory and time, and the
// process itself. Model readers trust the counts a file declares, some
// loop on a broken file and some stop the program on one; these bounds end
// such a reading with a message instead of exhausting the machine, waiting
// for ever or ending without a word.
#ifndef RT_IMPORT_LIMITS_H
#define RT_IMPORT_LIMITS_H

#include <cstddef>
#include <functional>
#include <string>

// Half the memory of the machine (or of its container), the default limit.
size_t default_memory_limit();

// From now on an allocation through new that would take the program past
// bytes in all fails with std::bad_alloc; 0 lifts the limit.
void set_memory_limit(size_t bytes);

// Whether an allocation has failed for the limit.
bool memory_limit_reached();

// In seconds from now (0: no limit), the program prints message on
// standard error and ends with status 1, unless stop_time_limit comes
// first. Nothing may be written to an output file in between.
void start_time_limit(double seconds, const std::string &message);
void stop_time_limit();

// Runs work in a child process and returns its exit status: a model
// reader that stops the program on a damaged file (an assertion, a bad
// access) ends the child, and here that becomes a message naming model and
// status 1. An ending signal to this process goes to the child too, and a
// child ended by one ends this process by it as well.
int run_apart(const std::function<int()> &work, const std::string &model);

#endif
