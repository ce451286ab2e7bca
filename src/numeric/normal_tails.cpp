#include "numeric/normal_tails.hpp"

#include <cmath>

#include "numeric/normal.hpp"

namespace kestrum {

namespace {

constexpr double kInvSqrtPi = 0.56418958354775628;    // 1 / sqrt(pi)
constexpr double kSqrtTwoOverPi = 0.79788456080286536;  // sqrt(2 / pi)
constexpr double kInvSqrtTwo = 0.70710678118654752;    // 1 / sqrt(2)

// Beyond this erfc(x) is no longer a normal double; the asymptotic series
// below is then accurate to rounding.
constexpr double kScaledErfcSeriesStart = 26.0;
// Below -kHazardSeriesStart, h(z) + z loses more than 2e-12 of its relative
// precision to cancellation; the series is exact to rounding there.
constexpr double kHazardSeriesStart = 100.0;

// x^2 = hi + lo exactly (Dekker's product; no fused multiply-add is needed).
void exact_square(double x, double& hi, double& lo) noexcept {
  const double split = 134217729.0 * x;  // 2^27 + 1
  const double x_hi = split - (split - x);
  const double x_lo = x - x_hi;
  hi = x * x;
  lo = ((x_hi * x_hi - hi) + 2.0 * x_hi * x_lo) + x_lo * x_lo;
}

}  // namespace

// For x below kScaledErfcSeriesStart, erfc(x) exp(x^2) with x^2 split exactly,
// so that exp(hi) exp(lo) = exp(hi) (1 + lo) loses nothing to the rounding of
// x^2. Beyond, the asymptotic expansion (Abramowitz & Stegun 7.1.23)
//   erfcx(x) = 1 / (x sqrt(pi)) sum_m (-1)^m (2m - 1)!! / (2 x^2)^m,
// whose terms fall by (2m + 1) / (2 x^2) < 0.02 each.
double scaled_erfc(double x) noexcept {
  if (x < kScaledErfcSeriesStart) {
    double hi = 0.0, lo = 0.0;
    exact_square(x, hi, lo);
    return std::erfc(x) * std::exp(hi) * (1.0 + lo);
  }
  const double r = 1.0 / (2.0 * x * x);
  double term = 1.0, sum = 1.0;
  for (int m = 1; m <= 10; ++m) {
    term *= -(2.0 * m - 1.0) * r;
    sum += term;
  }
  return sum * kInvSqrtPi / x;
}

// Phi(z) = erfc(t) / 2 with t = -z / sqrt 2, so ln Phi(z) = ln(erfcx(t) / 2) - t^2.
// Above 0, ln Phi(z) = log1p(-Phi(-z)) keeps the tiny 1 - Phi(z).
double log_normal_cdf(double z) noexcept {
  if (std::isnan(z)) return z;
  if (z > -kTailIndex) {
    if (z > kTailIndex) return std::log1p(-normal_cdf(-z));
    return std::log(normal_cdf(z));
  }
  const double t = -z * kInvSqrtTwo;
  return std::log(0.5 * scaled_erfc(t)) - 0.5 * (z * z);
}

// phi(z) / Phi(z) = sqrt(2 / pi) / erfcx(-z / sqrt 2).
double normal_hazard(double z) noexcept {
  if (z > -kTailIndex) return normal_pdf(z) / normal_cdf(z);
  return kSqrtTwoOverPi / scaled_erfc(-z * kInvSqrtTwo);
}

// With u = -z and the Mills ratio R(u) = Phi(-u) / phi(u) = 1 / h:
//   h - u = (1 - u R) / R,  1 - u R = sum_{m>=1} (-1)^(m+1) (2m - 1)!! / u^(2m)
// (the same expansion as scaled_erfc), so w = h (h - u) = h^2 (1 - u R).
double normal_hazard_weight(double z) noexcept {
  const double h = normal_hazard(z);
  if (z > -kHazardSeriesStart) return h * (h + z);
  const double r = 1.0 / (z * z);
  double term = -1.0, sum = 0.0;
  for (int m = 1; m <= 8; ++m) {
    term *= -(2.0 * m - 1.0) * r;
    sum += term;
  }
  return h * h * sum;
}

}  // namespace kestrum
