// The standard normal far in its tails, where Phi(z) underflows or rounds to
// 1: log Phi, the hazard phi/Phi and the Hessian weight through the scaled
// complementary error function erfcx(x) = exp(x^2) erfc(x).
#pragma once

namespace kestrum {

// Within [-kTailIndex, kTailIndex] Phi and phi over arrays (vector_math.hpp)
// are exact to a few ulp in ln Phi, phi / Phi and the Hessian weight; beyond
// it the tail formulas below take over.
inline constexpr double kTailIndex = 5.0;

// erfcx(x) for x >= 0, to a few ulp.
double scaled_erfc(double x) noexcept;

// ln Phi(z), exact to a few ulp for every z (about -z^2/2 far below 0,
// about -Phi(-z) far above 0).
double log_normal_cdf(double z) noexcept;

// h(z) = phi(z) / Phi(z): about -z far below 0, where neither phi nor Phi
// is representable on its own.
double normal_hazard(double z) noexcept;

// w(z) = h(z) (h(z) + z) = -d^2 ln Phi(z) / dz^2, in (0, 1); far below 0 the
// sum h + z cancels, and the asymptotic series is used instead.
double normal_hazard_weight(double z) noexcept;

}  // namespace kestrum
