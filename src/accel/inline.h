#ifndef RT_ACCEL_INLINE_H
#define RT_ACCEL_INLINE_H

// For the few small functions of the hot paths that the compiler would
// otherwise call, not inline: RT_ALWAYS_INLINE before a function,
// RT_INLINE_LAMBDA after a lambda's parameter list.
#if defined(__GNUC__)
#define RT_ALWAYS_INLINE __attribute__((always_inline)) inline
#define RT_INLINE_LAMBDA __attribute__((always_inline))
#else
#define RT_ALWAYS_INLINE inline
#define RT_INLINE_LAMBDA
#endif

#endif
