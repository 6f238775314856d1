// Bounds on what reading a model may take: memory and time. Model readers
// trust the counts a file declares and some loop on a broken file; these
// bounds end such a reading with a message instead of exhausting the
// machine or waiting for ever.
#ifndef RT_IMPORT_LIMITS_H
#define RT_IMPORT_LIMITS_H

#include <cstddef>
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

#endif
