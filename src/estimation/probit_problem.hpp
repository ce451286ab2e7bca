// The probit problem and its per-observation quantities.
//
// For observation i with outcome y_i and regressors x_i, at coefficients beta:
//   q_i      = 2 y_i - 1                       (computed as (y_i + y_i) + (-1))
//   eta_i    = sum_j X[i,j] beta_j              (from 0.0, in increasing column order)
//   z_i      = q_i eta_i
//   P_i      = Phi(z_i), the probability of the observed outcome
//   l_i      = ln P_i
//   lambda_i = q_i phi(z_i) / P_i              (the score factor, d l_i / d eta_i)
//   w_i      = lambda_i (lambda_i + eta_i)     (-d^2 l_i / d eta_i^2, in (0, 1))
// No probability is clipped: where z_i is far from 0 (|z_i| > kTailIndex),
// l_i, lambda_i and w_i come from the tail formulas of normal_tails.hpp,
// which stay exact where Phi underflows or rounds to 1.
// The observations are visited a tile of kTileRows at a time, so that the
// special functions run over arrays; every sum over observations is still
// accumulated in observation order.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "numeric/matrix.hpp"
#include "numeric/normal_tails.hpp"
#include "numeric/tile_kernels.hpp"
#include "numeric/tile_source.hpp"
#include "numeric/vector_math.hpp"

namespace kestrum {

struct Probit {
  MatrixView y;  // nobs x 1
  TileSource X;  // nobs x k, a block of any layout or separate columns
  // A weight per row (nobs of them), or null: every row once. A row of
  // weight w_i adds w_i times its terms to every sum (l, g, H, the meat and
  // the cluster score sums), as w_i copies of the row would.
  const double* weights = nullptr;

  size_t nobs() const noexcept { return y.rows; }
  size_t k() const noexcept { return X.cols(); }
};

// An observed outcome whose fitted probability exceeds 1 - 1e-4 (Phi(-z) < 1e-4).
inline constexpr double kNearCertainIndex = 3.7190164854556806;

// The quantities of one tile of observations at some beta.
struct Tile {
  size_t start = 0;
  size_t count = 0;
  TileRows rows;
  double q[kTileRows];
  double eta[kTileRows];
  double z[kTileRows];
  double probability[kTileRows];  // P_i, 0 or 1 where it is not representable
  unsigned char tail[kTileRows];  // the rows with |z_i| > kTailIndex
  size_t tail_count = 0;

  // With eta set and y_b = outcome(b): q, z, the tail rows and P.
  template <class Outcome>
  void set_probabilities(Outcome&& outcome) {
    tail_count = 0;
    for (size_t b = 0; b < count; ++b) {
      const double y = outcome(b);
      q[b] = (y + y) + (-1.0);
      z[b] = q[b] * eta[b];
      tail[tail_count] = static_cast<unsigned char>(b);
      tail_count += std::fabs(z[b]) > kTailIndex ? 1 : 0;  // branch-free: tails are rare
    }
    normal_cdf_array(z, probability, count);
  }

  // l_i of every observation of the tile.
  void log_probabilities(double* log_p) const {
    log_array(probability, log_p, count);
    for (size_t t = 0; t < tail_count; ++t) log_p[tail[t]] = log_normal_cdf(z[tail[t]]);
  }

  // lambda_i of every observation of the tile.
  void score_factors(double* lambda) const {
    normal_pdf_array(z, lambda, count);
    for (size_t b = 0; b < count; ++b) lambda[b] = (q[b] * lambda[b]) / probability[b];
    for (size_t t = 0; t < tail_count; ++t) {
      const size_t b = tail[t];
      lambda[b] = q[b] * normal_hazard(z[b]);
    }
  }

  // w_i of every observation of the tile, from its lambda_i.
  void hessian_weights(const double* lambda, double* weight) const {
    for (size_t b = 0; b < count; ++b) weight[b] = (eta[b] + lambda[b]) * lambda[b];
    for (size_t t = 0; t < tail_count; ++t) weight[tail[t]] = normal_hazard_weight(z[tail[t]]);
  }
};

// Calls fn(tile) for the tiles of the problem in observation order.
template <class Fn>
void for_each_tile(const Probit& problem, const double* beta, Fn&& fn) {
  Tile tile;
  TileScratch scratch;
  for (size_t start = 0; start < problem.nobs(); start += kTileRows) {
    tile.start = start;
    tile.count = std::min(kTileRows, problem.nobs() - start);
    tile.rows = problem.X.tile(start, tile.count, scratch);
    tile_linear_index(tile.rows, beta, tile.eta);
    tile.set_probabilities([&](size_t b) { return problem.y(start + b, 0); });
    fn(tile);
  }
}

}  // namespace kestrum
