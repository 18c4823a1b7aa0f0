// Compiler hints that GCC and Clang spell one way and MSVC another (or not at all). Each
// expands to nothing where the compiler has no equivalent: they change speed, never results.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
// On a lambda, after its parameter list (the standard attribute syntax does not reach the
// call operator there).
#define TESSRIN_LAMBDA_INLINE __attribute__((always_inline))
#define TESSRIN_LAMBDA_NOINLINE __attribute__((noinline))
#define TESSRIN_PREFETCH(address) __builtin_prefetch(address)
#elif defined(_MSC_VER)
#include <intrin.h>
#define TESSRIN_LAMBDA_INLINE
#define TESSRIN_LAMBDA_NOINLINE
#define TESSRIN_PREFETCH(address) _mm_prefetch(reinterpret_cast<const char*>(address), _MM_HINT_T0)
#else
#define TESSRIN_LAMBDA_INLINE
#define TESSRIN_LAMBDA_NOINLINE
#define TESSRIN_PREFETCH(address) ((void)(address))
#endif
