// The probit problem and its per-observation quantities.
//
// For observation i with outcome y_i and regressors x_i, at coefficients beta:
//   q_i      = 2 y_i - 1                       (computed as (y_i + y_i) + (-1))
//   eta_i    = sum_j X[i,j] beta_j              (from 0.0, in increasing column order)
//   z_i      = q_i eta_i
//   P_i      = min(max(Phi(z_i), 1e-15), 1 - 1e-15)   (a NaN Phi becomes 1e-15)
//   lambda_i = q_i phi(z_i) / P_i            (the score factor, d l_i / d eta_i)
// The observations are visited a tile of kTileRows at a time, so that the
// special functions run over arrays; every sum over observations is still
// accumulated in observation order.
#pragma once

#include <algorithm>
#include <cstddef>

#include "numeric/matrix.hpp"
#include "numeric/tile_kernels.hpp"
#include "numeric/vector_math.hpp"

namespace kestrum {

struct Probit {
  MatrixView y;  // nobs x 1
  MatrixView X;  // nobs x k, any layout

  size_t nobs() const noexcept { return y.rows; }
  size_t k() const noexcept { return X.cols; }
};

inline constexpr size_t kTileRows = 128;
inline constexpr double kProbabilityFloor = 1e-15;
inline constexpr double kProbabilityCeiling = 0.999999999999999;

// The quantities of one tile of observations at some beta.
struct Tile {
  size_t start = 0;
  size_t count = 0;
  TileRows rows;
  double q[kTileRows];
  double eta[kTileRows];
  double z[kTileRows];
  double probability[kTileRows];  // P_i

  // lambda_i of every observation of the tile.
  void score_factors(double* lambda) const {
    normal_pdf_array(z, lambda, count);
    for (size_t b = 0; b < count; ++b) lambda[b] = (q[b] * lambda[b]) / probability[b];
  }
};

// Calls fn(tile) for the tiles of the problem in observation order.
template <class Fn>
void for_each_tile(const Probit& problem, const double* beta, Fn&& fn) {
  Tile tile;
  for (size_t start = 0; start < problem.nobs(); start += kTileRows) {
    tile.start = start;
    tile.count = std::min(kTileRows, problem.nobs() - start);
    tile.rows = TileRows{problem.X, start, tile.count};
    tile_linear_index(tile.rows, beta, tile.eta);
    for (size_t b = 0; b < tile.count; ++b) {
      const double y = problem.y(start + b, 0);
      tile.q[b] = (y + y) + (-1.0);
      tile.z[b] = tile.q[b] * tile.eta[b];
    }
    normal_cdf_array(tile.z, tile.probability, tile.count);
    for (size_t b = 0; b < tile.count; ++b) {
      double p = tile.probability[b];
      p = p > kProbabilityFloor ? p : kProbabilityFloor;
      tile.probability[b] = p < kProbabilityCeiling ? p : kProbabilityCeiling;
    }
    fn(tile);
  }
}

}  // namespace kestrum
