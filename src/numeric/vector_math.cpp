#include "numeric/vector_math.hpp"

#include <cmath>

#include "numeric/platform.hpp"

#ifdef KESTRUM_LIBMVEC
#include <dlfcn.h>
#include <immintrin.h>
#endif

namespace kestrum {

namespace {

using ArrayFunction = void (*)(const double*, double*, size_t);

// Phi(x) = erfc(-x / sqrt 2) / 2 and phi(x) = exp(-x^2 / 2) / sqrt(2 pi), each
// as the argument's transform, the library function and the result's scaling;
// 2.5066282746310007 is the double nearest sqrt(2 pi). erfc(+inf) = 0,
// erfc(-inf) = 2 and erfc(NaN) = NaN give Phi's special values exactly.
KESTRUM_AVX2_CLONES void scaled_negation(const double* x, double* out, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = (0.0 - x[i]) / (1.0 * 1.4142135623730951);
}
KESTRUM_AVX2_CLONES void halve(double* out, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] *= 0.5;
}
KESTRUM_AVX2_CLONES void half_square_negated(const double* x, double* out, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = x[i] * (-0.5 * x[i]);
}
KESTRUM_AVX2_CLONES void divide_by_sqrt_two_pi(double* out, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] /= 2.5066282746310007;
}

template <double (*Scalar)(double)>
void scalar_loop(const double* x, double* out, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = Scalar(x[i]);
}
double scalar_exp(double x) { return std::exp(x); }
double scalar_log(double x) { return std::log(x); }
double scalar_erfc(double x) { return std::erfc(x); }

void scalar_normal_cdf(const double* x, double* out, size_t n) {
  scaled_negation(x, out, n);
  scalar_loop<scalar_erfc>(out, out, n);
  halve(out, n);
}

void scalar_normal_pdf(const double* x, double* out, size_t n) {
  half_square_negated(x, out, n);
  scalar_loop<scalar_exp>(out, out, n);
  divide_by_sqrt_two_pi(out, n);
}

struct Backend {
  ArrayFunction log = scalar_loop<scalar_log>;
  ArrayFunction normal_cdf = scalar_normal_cdf;
  ArrayFunction normal_pdf = scalar_normal_pdf;
};

#ifdef KESTRUM_LIBMVEC
// libmvec's AVX2 entry points take and return four doubles in a ymm register.
using Vector4Function = __m256d (*)(__m256d);
Vector4Function avx2_exp = nullptr;
Vector4Function avx2_log = nullptr;
Vector4Function avx2_erfc = nullptr;

// The same arithmetic as the scalar steps above, four lanes at a time.
__attribute__((target("avx2"))) inline __m256d unchanged(__m256d v) { return v; }
__attribute__((target("avx2"))) inline __m256d avx2_scaled_negation(__m256d v) {
  return _mm256_div_pd(_mm256_sub_pd(_mm256_setzero_pd(), v), _mm256_set1_pd(1.0 * 1.4142135623730951));
}
__attribute__((target("avx2"))) inline __m256d avx2_halve(__m256d v) { return _mm256_mul_pd(v, _mm256_set1_pd(0.5)); }
__attribute__((target("avx2"))) inline __m256d avx2_half_square_negated(__m256d v) {
  return _mm256_mul_pd(v, _mm256_mul_pd(_mm256_set1_pd(-0.5), v));
}
__attribute__((target("avx2"))) inline __m256d avx2_divide_by_sqrt_two_pi(__m256d v) {
  return _mm256_div_pd(v, _mm256_set1_pd(2.5066282746310007));
}

// out = After(Function(Before(x))) four at a time, the transforms kept in
// registers around the library call.
template <Vector4Function* Function, __m256d (*Before)(__m256d) = unchanged, __m256d (*After)(__m256d) = unchanged>
__attribute__((target("avx2"))) void avx2_loop(const double* x, double* out, size_t n) {
  size_t i = 0;
  for (; i + 4 <= n; i += 4) _mm256_storeu_pd(out + i, After((*Function)(Before(_mm256_loadu_pd(x + i)))));
  if (i < n) {
    double in[4] = {0.0, 0.0, 0.0, 0.0}, result[4];
    for (size_t j = i; j < n; ++j) in[j - i] = x[j];
    _mm256_storeu_pd(result, After((*Function)(Before(_mm256_loadu_pd(in)))));
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
    backend.log = avx2_loop<&avx2_log>;
    backend.normal_cdf = avx2_loop<&avx2_erfc, avx2_scaled_negation, avx2_halve>;
    backend.normal_pdf = avx2_loop<&avx2_exp, avx2_half_square_negated, avx2_divide_by_sqrt_two_pi>;
  }
#endif
  return backend;
}

const Backend& backend() {
  static const Backend chosen = choose_backend();
  return chosen;
}

}  // namespace

void log_array(const double* x, double* out, size_t n) { backend().log(x, out, n); }
void normal_cdf_array(const double* x, double* out, size_t n) { backend().normal_cdf(x, out, n); }
void normal_pdf_array(const double* x, double* out, size_t n) { backend().normal_pdf(x, out, n); }

}  // namespace kestrum
