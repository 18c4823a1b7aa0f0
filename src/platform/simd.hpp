// Which vector paths the build compiles. Every one has a scalar twin that gives the same
// results to the bit, and a build with the CMake option TESSRIN_SIMD=OFF (which defines
// TESSRIN_NO_SIMD) compiles the twins alone, so they are tested on the same machine.
#pragma once

// SSE2 paths: on every x86-64 processor, so chosen at build time.
#if !defined(TESSRIN_NO_SIMD) && (defined(__x86_64__) || defined(_M_X64)) && \
    (defined(__SSE2__) || defined(_M_X64))
#define TESSRIN_X86_SIMD 1
#else
#define TESSRIN_X86_SIMD 0
#endif

// AVX2 paths: compiled for their own functions (gnu::target) and chosen at run time, where
// the processor has AVX2. Needs GCC or Clang for the per-function target.
#if TESSRIN_X86_SIMD && (defined(__GNUC__) || defined(__clang__))
#define TESSRIN_X86_AVX2 1
#else
#define TESSRIN_X86_AVX2 0
#endif
