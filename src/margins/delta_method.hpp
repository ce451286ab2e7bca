// The normal-theory statistics of estimates b_j with variances v_j, the one
// rule behind every table of effects and coefficients:
//   v_j    = (J V J')_jj when the estimates are functions of beta with
//            Jacobian J and beta has covariance V (the delta method);
//   se_j   = sqrt(v_j), 0 for a finite v_j <= 0, NaN for a NaN v_j (or -inf);
//   z_j    = b_j / se_j, NaN when se_j is 0 or NaN;
//   p_j    = 2 Phi(-|z_j|) = erfc(|z_j| / sqrt 2), two-sided;
//   the 1 - alpha interval b_j -/+ q se_j with q = Phi^-1(1 - alpha / 2);
//   the significance label of p_j: "***" below 0.01, "**" below 0.05, "*"
//   below 0.1, else "" (a NaN p gets "").
#pragma once

#include <array>
#include <cstddef>

#include "numeric/matrix.hpp"

namespace kestrum {

struct NormalStatistics {
  double std_error = 0.0;
  double z = 0.0;
  double p = 0.0;
};

// diag(J V J'), each entry summed in the order multiply() and
// multiply_transposed() sum it, without forming the off-diagonal entries.
Vector delta_method_variances(const Matrix& jacobian, const Matrix& cov);

NormalStatistics normal_statistics(double estimate, double variance);

// Phi^-1(probability) for probability in (0, 1); -inf at 0, +inf at 1, NaN
// outside [0, 1]. Wichura's AS 241, refined in the tails: a relative error of
// a few units in the last place.
double normal_quantile(double probability);

// q = Phi^-1(1 - alpha / 2) = -Phi^-1(alpha / 2), the half-width of a
// 1 - alpha interval in standard errors; alpha / 2 is exact, 1 - alpha / 2 is not.
inline double interval_critical_value(double alpha) { return -normal_quantile(alpha / 2.0); }

struct SignificanceLevel {
  double below;
  const char* label;
};

// Strictest first: the label of p is that of the first level p is below.
inline constexpr std::array<SignificanceLevel, 3> kSignificanceLevels{{{0.01, "***"}, {0.05, "**"}, {0.1, "*"}}};

const char* significance_label(double p);

}  // namespace kestrum
