// ln, Phi and phi over arrays of doubles.
//
// On x86-64 Linux with glibc and a processor with AVX2 the loops call glibc's
// vector math library (libmvec, glibc 2.35 or later, within 4 ulp of the
// correctly rounded result), found at run time; elsewhere (macOS, Windows,
// musl, ARM), and where libmvec is missing, they call the scalar C library
// functions. The choice is made once per process.
#pragma once

#include <cstddef>

namespace kestrum {

void log_array(const double* x, double* out, size_t n);

// Phi and phi of the standard normal over arrays, with the same definitions
// and special values as normal_cdf and normal_pdf.
void normal_cdf_array(const double* x, double* out, size_t n);
void normal_pdf_array(const double* x, double* out, size_t n);

}  // namespace kestrum
