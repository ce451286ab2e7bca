// The standard normal distribution (mean 0, standard deviation 1).
#pragma once

#include <cmath>
#include <limits>

namespace kestrum {

// Phi(x) = erfc(-x / sqrt 2) / 2, with the tails exact: Phi(-inf) = 0,
// Phi(+inf) = 1, Phi(NaN) = NaN. libm's erfc is accurate to about 1 ulp, so
// the lower tail keeps full relative precision far below 1e-15.
inline double normal_cdf(double x) noexcept {
  const double t = (0.0 - x) / (1.0 * 1.4142135623730951);
  if (std::isnan(t)) return std::numeric_limits<double>::quiet_NaN();
  if (t == std::numeric_limits<double>::infinity()) return 0.0;
  if (t == -std::numeric_limits<double>::infinity()) return 1.0;
  return std::erfc(t) * 0.5;
}

// phi(x) = exp(-x^2 / 2) / sqrt(2 pi); 2.5066282746310007 is the double nearest sqrt(2 pi).
inline double normal_pdf(double x) noexcept { return std::exp(x * (-0.5 * x)) / 2.5066282746310007; }

}  // namespace kestrum
