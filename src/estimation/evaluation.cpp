#include "estimation/evaluation.hpp"

#include <cmath>
#include <limits>
#include <optional>

#include "numeric/normal_tails.hpp"
#include "numeric/platform.hpp"
#include "numeric/tile_kernels.hpp"
#include "panic.hpp"

namespace kestrum {

namespace {

void add_vector(Vector& total, const Vector& part) {
  if (total.size() == 0) total = Vector(part.size());
  KESTRUM_ASSERT(total.size() == part.size());
  for (size_t j = 0; j < part.size(); ++j) total[j] = total[j] + part[j];
}

void add_matrix(Matrix& total, const Matrix& part) {
  if (total.rows() == 0 && total.cols() == 0) total = Matrix(part.rows(), part.cols());
  add_into(total, part);
}

// ulp(s)^2 / 12: the variance of the rounding of an addition whose result is s.
double addition_rounding_variance(double sum) {
  const double magnitude = std::fabs(sum);
  const double ulp = std::nextafter(magnitude, std::numeric_limits<double>::infinity()) - magnitude;
  return std::isfinite(ulp) ? ulp * ulp / 12.0 : 0.0;
}

}  // namespace

// One comparison of each weight against the range and no branch, so that
// the loop is vectorised; NaN fails both comparisons.
KESTRUM_AVX2_CLONES bool valid_weights(const double* weights, size_t count) noexcept {
  constexpr double kLargest = std::numeric_limits<double>::max();
  int invalid = 0;
  for (size_t i = 0; i < count; ++i) {
    invalid |= static_cast<int>(!(weights[i] >= 0.0)) | static_cast<int>(!(weights[i] <= kLargest));
  }
  return invalid == 0;
}

void Evaluation::add(const Evaluation& part) {
  weights_valid = weights_valid && part.weights_valid;
  loglike = loglike + part.loglike;
  loglike_rounding_variance =
      loglike_rounding_variance + part.loglike_rounding_variance + addition_rounding_variance(loglike);
  add_vector(gradient, part.gradient);
  add_matrix(hessian, part.hessian);
  add_matrix(near_certain_hessian, part.near_certain_hessian);
  near_certain += part.near_certain;
  add_matrix(meat, part.meat);
  add_matrix(expected_hessian, part.expected_hessian);
}

Evaluation evaluate_probit(const Probit& problem, const Vector& beta, unsigned quantities) {
  const size_t k = problem.k();
  Evaluation result;
  if (quantities & kGradient) result.gradient = Vector(k);
  std::optional<ProductAccumulator> hessian, near_certain_hessian, meat, expected_hessian;
  if (quantities & kHessian) {  // symmetric: the upper part, mirrored
    hessian.emplace(k, true);
    near_certain_hessian.emplace(k, true);
  }
  if (quantities & kRobustMeat) meat.emplace(k, true);  // s_a s_b = s_b s_a: exactly symmetric
  if (quantities & kExpectedHessian) expected_hessian.emplace(k, true);
  const bool needs_lambda = (quantities & (kGradient | kHessian | kRobustMeat)) != 0;

  for_each_tile(problem, beta.data(), [&](const Tile& tile) {
    const double* weight = problem.weights != nullptr ? problem.weights + tile.start : nullptr;
    if (weight != nullptr && !valid_weights(weight, tile.count)) result.weights_valid = false;
    if (quantities & kLogLikelihood) {
      double log_p[kTileRows];
      tile.log_probabilities(log_p);
      if (weight != nullptr) {
        for (size_t b = 0; b < tile.count; ++b) result.loglike += log_p[b] * weight[b];
      } else {
        for (size_t b = 0; b < tile.count; ++b) result.loglike += log_p[b];
      }
      result.loglike_rounding_variance += static_cast<double>(tile.count) * addition_rounding_variance(result.loglike);
    }
    if (expected_hessian) {
      double negative_information[kTileRows];
      for (size_t b = 0; b < tile.count; ++b) {
        const double v = normal_hazard(tile.z[b]) * normal_hazard(-tile.z[b]);
        negative_information[b] = -(weight != nullptr ? v * weight[b] : v);
      }
      expected_hessian->add(tile.rows, negative_information, nullptr);
    }
    if (!needs_lambda) return;
    double lambda[kTileRows];
    tile.score_factors(lambda);
    // lambda_i w_i, the weighted score factor: the gradient takes x_i
    // (lambda_i w_i), as the cluster score sums do (one product per element),
    // and the meat (x_i lambda_i w_i)(x_i lambda_i).
    double weighted_lambda[kTileRows];
    const double* score_scale = lambda;
    if (weight != nullptr && (quantities & (kGradient | kRobustMeat))) {
      for (size_t b = 0; b < tile.count; ++b) weighted_lambda[b] = lambda[b] * weight[b];
      score_scale = weighted_lambda;
    }
    if (quantities & kGradient) add_scaled_rows(result.gradient.data(), tile.rows, score_scale);
    if (hessian) {
      // (X[i,a] (-w_i)) X[i,b] = -((X[i,a] w_i) X[i,b]) exactly.
      double negative_weight[kTileRows];
      tile.hessian_weights(lambda, negative_weight);
      bool any_near_certain = false;
      for (size_t b = 0; b < tile.count; ++b) {
        negative_weight[b] = -negative_weight[b];
        any_near_certain = any_near_certain || tile.z[b] > kNearCertainIndex;
      }
      if (weight != nullptr) {
        for (size_t b = 0; b < tile.count; ++b) negative_weight[b] = negative_weight[b] * weight[b];
      }
      hessian->add(tile.rows, negative_weight, nullptr);
      if (any_near_certain) {
        double masked[kTileRows];
        for (size_t b = 0; b < tile.count; ++b) {
          const bool near_certain = tile.z[b] > kNearCertainIndex;
          masked[b] = near_certain ? negative_weight[b] : 0.0;
          result.near_certain += near_certain ? 1 : 0;
        }
        near_certain_hessian->add(tile.rows, masked, nullptr);
      }
    }
    if (meat) meat->add(tile.rows, score_scale, lambda);
  });

  if (hessian) result.hessian = hessian->result();
  if (near_certain_hessian) result.near_certain_hessian = near_certain_hessian->result();
  if (meat) result.meat = meat->result();
  if (expected_hessian) result.expected_hessian = expected_hessian->result();
  return result;
}

}  // namespace kestrum
