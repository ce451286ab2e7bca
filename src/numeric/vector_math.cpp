#include "numeric/vector_math.hpp"

#include <cmath>

// KESTRUM_PORTABLE_KERNELS (set by the sanitizer build) keeps to the portable scalar code.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(KESTRUM_PORTABLE_KERNELS)
#include <dlfcn.h>
#include <immintrin.h>
#define KESTRUM_LIBMVEC 1
#endif

namespace kestrum {

namespace {

using ArrayFunction = void (*)(const double*, double*, size_t);

template <double (*Scalar)(double)>
void scalar_loop(const double* x, double* out, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = Scalar(x[i]);
}
double scalar_exp(double x) { return std::exp(x); }
double scalar_log(double x) { return std::log(x); }
double scalar_erfc(double x) { return std::erfc(x); }

struct Backend {
  ArrayFunction exp = scalar_loop<scalar_exp>;
  ArrayFunction log = scalar_loop<scalar_log>;
  ArrayFunction erfc = scalar_loop<scalar_erfc>;
};

#ifdef KESTRUM_LIBMVEC
// libmvec's AVX2 entry points take and return four doubles in a ymm register.
using Vector4Function = __m256d (*)(__m256d);
Vector4Function avx2_exp = nullptr;
Vector4Function avx2_log = nullptr;
Vector4Function avx2_erfc = nullptr;

template <Vector4Function* Function, double (*Scalar)(double)>
__attribute__((target("avx2"))) void avx2_loop(const double* x, double* out, size_t n) {
  size_t i = 0;
  for (; i + 4 <= n; i += 4) _mm256_storeu_pd(out + i, (*Function)(_mm256_loadu_pd(x + i)));
  if (i < n) {
    double in[4] = {0.0, 0.0, 0.0, 0.0}, result[4];
    for (size_t j = i; j < n; ++j) in[j - i] = x[j];
    _mm256_storeu_pd(result, (*Function)(_mm256_loadu_pd(in)));
    for (size_t j = i; j < n; ++j) out[j] = result[j - i];
  }
}

bool load_libmvec() {
  __builtin_cpu_init();
  if (!__builtin_cpu_supports("avx2")) return false;
  void* library = dlopen("libmvec.so.1", RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return false;
  avx2_exp = reinterpret_cast<Vector4Function>(dlsym(library, "_ZGVdN4v_exp"));
  avx2_log = reinterpret_cast<Vector4Function>(dlsym(library, "_ZGVdN4v_log"));
  avx2_erfc = reinterpret_cast<Vector4Function>(dlsym(library, "_ZGVdN4v_erfc"));
  return avx2_exp != nullptr && avx2_log != nullptr && avx2_erfc != nullptr;
}
#endif

Backend choose_backend() {
  Backend backend;
#ifdef KESTRUM_LIBMVEC
  if (load_libmvec()) {
    backend.exp = avx2_loop<&avx2_exp, scalar_exp>;
    backend.log = avx2_loop<&avx2_log, scalar_log>;
    backend.erfc = avx2_loop<&avx2_erfc, scalar_erfc>;
  }
#endif
  return backend;
}

const Backend& backend() {
  static const Backend chosen = choose_backend();
  return chosen;
}

}  // namespace

void exp_array(const double* x, double* out, size_t n) { backend().exp(x, out, n); }
void log_array(const double* x, double* out, size_t n) { backend().log(x, out, n); }
void erfc_array(const double* x, double* out, size_t n) { backend().erfc(x, out, n); }

namespace {

#ifdef KESTRUM_LIBMVEC
#define KESTRUM_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define KESTRUM_CLONES
#endif

KESTRUM_CLONES void scaled_negation(const double* x, double* out, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = (0.0 - x[i]) / (1.0 * 1.4142135623730951);
}
KESTRUM_CLONES void halve(double* out, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] *= 0.5;
}
KESTRUM_CLONES void half_square_negated(const double* x, double* out, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = x[i] * (-0.5 * x[i]);
}
KESTRUM_CLONES void divide_by_sqrt_two_pi(double* out, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] /= 2.5066282746310007;
}

}  // namespace

// Phi(x) = erfc(-x / sqrt 2) / 2; erfc(+inf) = 0, erfc(-inf) = 2 and
// erfc(NaN) = NaN give Phi's special values exactly.
void normal_cdf_array(const double* x, double* out, size_t n) {
  scaled_negation(x, out, n);
  erfc_array(out, out, n);
  halve(out, n);
}

// phi(x) = exp(-x^2 / 2) / sqrt(2 pi).
void normal_pdf_array(const double* x, double* out, size_t n) {
  half_square_negated(x, out, n);
  exp_array(out, out, n);
  divide_by_sqrt_two_pi(out, n);
}

}  // namespace kestrum
