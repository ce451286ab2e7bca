#include "estimation/evaluation.hpp"

#include <optional>

#include "numeric/tile_kernels.hpp"

namespace kestrum {

Evaluation evaluate_probit(const Probit& problem, const Vector& beta, unsigned quantities) {
  const size_t k = problem.k();
  Evaluation result;
  if (quantities & kGradient) result.gradient = Vector(k);
  std::optional<ProductAccumulator> hessian, meat;
  if (quantities & kHessian) hessian.emplace(k, false);
  if (quantities & kRobustMeat) meat.emplace(k, true);  // s_a s_b = s_b s_a: exactly symmetric
  const bool needs_lambda = (quantities & (kGradient | kHessian | kRobustMeat)) != 0;

  for_each_tile(problem, beta.data(), [&](const Tile& tile) {
    if (quantities & kLogLikelihood) {
      double log_p[kTileRows];
      log_array(tile.probability, log_p, tile.count);
      for (size_t b = 0; b < tile.count; ++b) result.loglike += log_p[b];
    }
    if (!needs_lambda) return;
    double lambda[kTileRows];
    tile.score_factors(lambda);
    if (quantities & kGradient) add_scaled_rows(result.gradient.data(), tile.rows, lambda);
    if (hessian) {
      // (X[i,a] (-w_i)) X[i,b] = -((X[i,a] w_i) X[i,b]) exactly.
      double negative_weight[kTileRows];
      for (size_t b = 0; b < tile.count; ++b) negative_weight[b] = -((tile.eta[b] + lambda[b]) * lambda[b]);
      hessian->add(tile.rows, negative_weight, nullptr);
    }
    if (meat) meat->add(tile.rows, lambda, lambda);
  });

  if (hessian) result.hessian = hessian->result();
  if (meat) result.meat = meat->result();
  return result;
}

}  // namespace kestrum
