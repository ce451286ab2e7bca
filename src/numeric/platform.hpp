// Which fast paths the target can compile. The kernels read only these
// macros; every path is entered after a run-time check of the processor and
// gives the same bits as the portable code beside it (libmvec excepted: see
// vector_math.hpp).
//
//   KESTRUM_X86_KERNELS    AVX2 and AVX-512 loops in functions compiled for
//                          those targets (the target attribute of GCC and
//                          Clang), entered after __builtin_cpu_supports.
//                          x86-64 with GCC or Clang, but not for Windows:
//                          MinGW's GCC does not realign the stack for 32-byte
//                          AVX spills (GCC bug 54412), and MSVC has neither
//                          the attribute nor the builtin.
//   KESTRUM_TARGET_CLONES  target_clones on plain loops, whose clone the
//                          dynamic loader picks through an ifunc: glibc only
//                          (not musl, macOS or Windows).
//   KESTRUM_LIBMVEC        glibc's vector math library, opened with dlopen.
//
// KESTRUM_PORTABLE_KERNELS (the portable and sanitizer builds) turns them all off.
#pragma once

#if __has_include(<features.h>)
#include <features.h>  // defines __GLIBC__ on glibc
#endif

#if defined(__x86_64__) && defined(__GNUC__) && !defined(_WIN32) && !defined(KESTRUM_PORTABLE_KERNELS)
#define KESTRUM_X86_KERNELS 1
#if defined(__GLIBC__)
#define KESTRUM_TARGET_CLONES 1
#define KESTRUM_LIBMVEC 1
#endif
#endif

// An AVX2 clone beside the baseline one where the loader can choose.
#if defined(KESTRUM_TARGET_CLONES)
#define KESTRUM_AVX2_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define KESTRUM_AVX2_CLONES
#endif
