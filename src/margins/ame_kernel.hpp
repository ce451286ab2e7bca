// Average marginal effects of a probit model and their delta-method
// standard errors, computed block by block over the rows of X in place.
//
// With xb_i = x_i'beta, delta_jm the Kronecker delta and means over the n rows:
//   indicator j:  AME_j   = mean[Phi(xb1_i) - Phi(xb0_i)]   (x_ij set to 1 and to 0)
//                 J[j][m] = mean[phi(xb1_i) x1_im - phi(xb0_i) x0_im]
//   continuous j: AME_j   = beta_j mean[phi(xb_i)]
//                 J[j][m] = mean[phi(xb_i) (delta_jm - beta_j xb_i x_im)]   (phi'(z) = -z phi(z))
//   se_j = sqrt((J C J')_jj), z_j = AME_j / se_j, p_j = 2 Phi(-|z_j|), by the
//   rule of margins/delta_method.hpp (0 or NaN errors included).
// Each sum is formed over a block of rows and then added to its running
// total in block order, so block sizes change only the last bits.
#pragma once

#include <cstddef>
#include <vector>

#include "numeric/interrupt.hpp"
#include "numeric/matrix.hpp"
#include "numeric/tile_source.hpp"

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

// The additive part of the computation: the sums over some rows of X. Sums
// of separate parts of the rows (partitions) are added with add() in a fixed
// order, and finish_marginal_effects turns the total into effects.
struct MarginalEffectSums {
  size_t rows = 0;
  Vector continuous_effect;    // k: sum beta_j phi(xb_i)
  Matrix continuous_gradient;  // k x k: sum phi(xb_i) (delta_jm - beta_j xb_i x_im)
  Vector indicator_effect;     // k: sum Phi(xb1_i) - Phi(xb0_i), for the binary columns
  Matrix indicator_gradient;   // k x k: sum phi(xb1_i) x1_im - phi(xb0_i) x0_im, likewise
  // Per column: it may be an indicator and every value seen was 0 or 1. The
  // indicator sums of a column mean something only while this holds.
  std::vector<bool> binary;

  // The sums of both parts; a column stays binary when it is in both.
  void add(const MarginalEffectSums& part);
};

// One entry per column of X (kinds.size() == cols). The 0/1 test of a column
// is made on the rows as they are visited, so X is read once. `block_rows` >= 1.
// `interrupt` is called between tiles of rows, once every 65536 rows
// whatever the blocks.
MarginalEffectSums accumulate_marginal_effects(const TileSource& X, const Vector& beta,
                                               const std::vector<RegressorKind>& kinds, size_t block_rows,
                                               InterruptCheck interrupt = never_interrupted);

// The effects and their delta-method statistics from the sums over all rows;
// one entry per column, those of excluded columns carry no meaning.
std::vector<MarginalEffect> finish_marginal_effects(const MarginalEffectSums& sums, const Matrix& cov);

// accumulate_marginal_effects over all rows, then finish_marginal_effects.
inline std::vector<MarginalEffect> average_marginal_effects(const TileSource& X, const Vector& beta, const Matrix& cov,
                                                            const std::vector<RegressorKind>& kinds, size_t block_rows,
                                                            InterruptCheck interrupt = never_interrupted) {
  return finish_marginal_effects(accumulate_marginal_effects(X, beta, kinds, block_rows, interrupt), cov);
}

}  // namespace kestrum
