// What the compiler is told beyond standard C++: the exported entry point and printf-style
// format checks. The only place that spells compiler attributes.
#pragma once

#if defined(_WIN32)
#define TRS_EXPORT __declspec(dllexport)
#define TRS_IMPORT __declspec(dllimport)
#elif defined(__GNUC__)
#define TRS_EXPORT __attribute__((visibility("default")))
#define TRS_IMPORT __attribute__((visibility("default")))
#else
#define TRS_EXPORT
#define TRS_IMPORT
#endif

#if defined(__GNUC__)
/* The function's argument `f` is a printf format whose arguments start at `a`. */
#define TRS_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define TRS_PRINTF(f, a)
#endif
