#ifndef RT_ACCEL_ISA_H
#define RT_ACCEL_ISA_H

#include <string>

// The vector instructions the hierarchies' walks run on, narrowest first.
// One binary carries every path; the processor's own is taken at start-up,
// and RT_ISA in the environment may hold it to a narrower one (for tests and
// benchmarks). No path can change a result: the single-precision tests only
// ever drop what surely misses, by margins proven lane by lane, and every
// hit is decided by the same double arithmetic on every path.
enum class Isa {
    PORTABLE, // no vector instructions of x86 (other processors): plain C++
    SSE2,     // four-wide nodes and triangle tests; every x86-64 has it
    AVX2,     // eight-wide nodes and triangle tests
    AVX512,   // the eight-wide walk, compiled for AVX-512
};

// The path of this run: the widest the processor has, no wider than RT_ISA
// names. Worked out once.
Isa active_isa();

// Makes the path of hierarchies built from now on the widest the processor
// has, no wider than wanted, and returns it: for tests and benchmarks that
// compare the paths in one process (a hierarchy keeps the form it was built
// in). Not while another thread builds or walks.
Isa choose_isa(Isa wanted);

// What the processor has, whatever RT_ISA says.
Isa widest_isa();

// The name RT_ISA uses for a path ("sse2", "avx2", "avx512"; "portable").
const char *isa_name(Isa isa);

// Empty when RT_ISA is unset, empty or names a path; else the message that
// says what it may be. rt refuses to start on such a value rather than
// quietly taking a path it was not asked for.
std::string isa_setting_error();

#endif
