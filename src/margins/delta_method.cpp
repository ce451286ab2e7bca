#include "margins/delta_method.hpp"

#include <cmath>
#include <limits>

#include "numeric/normal.hpp"

namespace kestrum {

Vector delta_method_variances(const Matrix& jacobian, const Matrix& cov) {
  const size_t rows = jacobian.rows(), k = jacobian.cols();
  if (cov.rows() != k || cov.cols() != k) shape_failure("matrix product", rows, k, cov.rows(), cov.cols());
  Vector variances(rows);
  Vector product(k);  // row j of J V
  for (size_t j = 0; j < rows; ++j) {
    const double* J = jacobian.row(j);
    for (size_t m = 0; m < k; ++m) product[m] = 0.0;
    for (size_t p = 0; p < k; ++p) {
      const double scale = J[p];
      const double* in = cov.row(p);
      for (size_t m = 0; m < k; ++m) product[m] += scale * in[m];
    }
    double sum = 0.0;
    for (size_t m = 0; m < k; ++m) sum += product[m] * J[m];
    variances[j] = sum;
  }
  return variances;
}

NormalStatistics normal_statistics(double estimate, double variance) {
  NormalStatistics s;
  // A finite variance <= 0 gives 0; a NaN one (or -inf) leaves the error unknown.
  const double v = variance > 0.0 || !std::isfinite(variance) ? variance : 0.0;
  s.std_error = std::sqrt(v);
  s.z = s.std_error > 0.0 ? estimate / s.std_error : std::numeric_limits<double>::quiet_NaN();
  s.p = 2.0 * normal_cdf(-std::fabs(s.z));  // erfc(|z| / sqrt 2): no 1 - Phi rounding to 0 in the tail
  return s;
}

namespace {

// sum_i c[i] x^i by Horner's rule.
template <size_t N>
double polynomial(const double (&c)[N], double x) {
  double sum = c[N - 1];
  for (size_t i = N - 1; i-- > 0;) sum = sum * x + c[i];
  return sum;
}

}  // namespace

double normal_quantile(double probability) {
  // Wichura (1988), algorithm AS 241 (PPND16): rational approximations in
  // r = q^2 near the centre (|q| <= 0.425, q = p - 1/2) and in
  // r = sqrt(-ln min(p, 1 - p)) in the tails, split at r = 5.
  static constexpr double a[] = {3.3871328727963666080e0, 1.3314166789178437745e+2, 1.9715909503065514427e+3,
                                 1.3731693765509461125e+4, 4.5921953931549871457e+4, 6.7265770927008700853e+4,
                                 3.3430575583588128105e+4, 2.5090809287301226727e+3};
  static constexpr double b[] = {1.0, 4.2313330701600911252e+1, 6.8718700749205790830e+2,
                                 5.3941960214247511077e+3, 2.1213794301586595867e+4, 3.9307895800092710610e+4,
                                 2.8729085735721942674e+4, 5.2264952788528545610e+3};
  static constexpr double c[] = {1.42343711074968357734e0, 4.63033784615654529590e0, 5.76949722146069140550e0,
                                 3.64784832476320460504e0, 1.27045825245236838258e0, 2.41780725177450611770e-1,
                                 2.27238449892691845833e-2, 7.74545014278341407640e-4};
  static constexpr double d[] = {1.0, 2.05319162663775882187e0, 1.67638483018380384940e0,
                                 6.89767334985100004550e-1, 1.48103976427480074590e-1, 1.51986665636164571966e-2,
                                 5.47593808499534494600e-4, 1.05075007164441684324e-9};
  static constexpr double e[] = {6.65790464350110377720e0, 5.46378491116411436990e0, 1.78482653991729133580e0,
                                 2.96560571828504891230e-1, 2.65321895265761230930e-2, 1.24266094738807843860e-3,
                                 2.71155556874348757815e-5, 2.01033439929228813265e-7};
  static constexpr double f[] = {1.0, 5.99832206555887937690e-1, 1.36929880922735805310e-1,
                                 1.48753612908506148525e-2, 7.86869131145613259100e-4, 1.84631831751005468180e-5,
                                 1.42151175831644588870e-7, 2.04426310338993978564e-15};
  if (!(probability >= 0.0 && probability <= 1.0)) return std::numeric_limits<double>::quiet_NaN();
  if (probability == 0.0) return -std::numeric_limits<double>::infinity();
  if (probability == 1.0) return std::numeric_limits<double>::infinity();
  const double q = probability - 0.5;
  if (std::fabs(q) <= 0.425) {
    const double r = 0.180625 - q * q;
    return q * polynomial(a, r) / polynomial(b, r);
  }
  // In the tails, from the smaller of p and 1 - p (exact for p >= 1/2): x
  // below -0.18, then one Newton step x - (Phi(x) - tail) / phi(x), which
  // brings the error near the rounding of Phi and phi.
  const double tail = q < 0.0 ? probability : 1.0 - probability;
  const double r = std::sqrt(-std::log(tail));
  double x = r <= 5.0 ? -polynomial(c, r - 1.6) / polynomial(d, r - 1.6)
                      : -polynomial(e, r - 5.0) / polynomial(f, r - 5.0);
  if (x < -1.0) x -= (normal_cdf(x) - tail) / normal_pdf(x);
  return q < 0.0 ? x : -x;
}

const char* significance_label(double p) {
  for (const SignificanceLevel& level : kSignificanceLevels) {
    if (p < level.below) return level.label;
  }
  return "";
}

}  // namespace kestrum
