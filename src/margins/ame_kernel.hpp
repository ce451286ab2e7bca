// Average marginal effects of a probit model and their delta-method
// standard errors, computed block by block over the rows of X in place.
//
// With xb_i = x_i'beta, delta_jm the Kronecker delta and means over the n rows:
//   indicator j:  AME_j   = mean[Phi(xb1_i) - Phi(xb0_i)]   (x_ij set to 1 and to 0)
//                 J[j][m] = mean[phi(xb1_i) x1_im - phi(xb0_i) x0_im]
//   continuous j: AME_j   = beta_j mean[phi(xb_i)]
//                 J[j][m] = mean[phi(xb_i) (delta_jm - beta_j xb_i x_im)]   (phi'(z) = -z phi(z))
//   se_j = sqrt((J C J')_jj), 0 for a finite variance <= 0, NaN for a NaN one;
//   z_j = AME_j / se_j,  p_j = 2 Phi(-|z_j|) = erfc(|z_j| / sqrt 2).
// Each sum is formed over a block of rows and then added to its running
// total in block order, so block sizes change only the last bits.
#pragma once

#include <cstddef>
#include <vector>

#include "numeric/interrupt.hpp"
#include "numeric/matrix.hpp"

namespace kestrum {

// What ame makes of a column before reading X: left out, or a regressor that
// is an indicator when every one of its values compares equal to 0.0 or 1.0
// (a NaN does not) and continuous otherwise, or continuous whatever it holds.
enum class RegressorKind { excluded, indicator_if_binary, continuous };

struct MarginalEffect {
  double effect = 0.0;
  double std_error = 0.0;
  double z = 0.0;
  double p = 0.0;
};

// One entry per column of X (kinds.size() == cols); the entries of excluded
// columns carry no meaning. The 0/1 test of a column is made on the rows as
// they are visited, so X is read once. `block_rows` >= 1. `interrupt` is
// called between tiles of rows, once every 65536 rows whatever the blocks.
template <class View>
std::vector<MarginalEffect> average_marginal_effects(const View& X, size_t rows, const Vector& beta,
                                                     const Matrix& cov, const std::vector<RegressorKind>& kinds,
                                                     size_t block_rows, InterruptCheck interrupt);

}  // namespace kestrum
