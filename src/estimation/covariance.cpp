#include "estimation/covariance.hpp"

#include <algorithm>
#include <limits>

#include "numeric/symmetric_factor.hpp"
#include "numeric/tile_kernels.hpp"
#include "panic.hpp"

namespace kestrum {

namespace {

constexpr size_t kPrefetchRowsAhead = 16;

void prefetch_row(const Matrix& m, size_t row) {
  const char* start = reinterpret_cast<const char*>(m.row(row));
  for (size_t offset = 0; offset < m.cols() * sizeof(double); offset += 64) __builtin_prefetch(start + offset, 1, 1);
}

}  // namespace

std::vector<Matrix> grouped_score_sums(const Probit& problem, const Vector& beta,
                                       const std::vector<const uint32_t*>& groupings,
                                       const std::vector<size_t>& clusters) {
  KESTRUM_ASSERT(groupings.size() == clusters.size());
  const size_t k = problem.k();
  std::vector<Matrix> sums;
  sums.reserve(clusters.size());
  for (const size_t count : clusters) sums.emplace_back(count, k);
  for_each_tile(problem, beta.data(), [&](const Tile& tile) {
    double lambda[kTileRows];
    tile.score_factors(lambda);
    if (problem.weights != nullptr) {
      for (size_t b = 0; b < tile.count; ++b) lambda[b] = lambda[b] * problem.weights[tile.start + b];
    }
    for (size_t grouping = 0; grouping < groupings.size(); ++grouping) {
      const uint32_t* cluster_of = groupings[grouping] + tile.start;
      Matrix& grouping_sums = sums[grouping];
      for (size_t b = 0; b < tile.count; ++b) {
        // Many clusters spread their sums over more memory than the caches
        // hold: asking for the sums of the rows ahead overlaps the misses.
        if (b + kPrefetchRowsAhead < tile.count) prefetch_row(grouping_sums, cluster_of[b + kPrefetchRowsAhead]);
        double* sum = grouping_sums.row(cluster_of[b]);
        add_scaled_row(sum, tile.rows, b, lambda[b]);
      }
    }
  });
  return sums;
}

Matrix cluster_score_sums(const Probit& problem, const Vector& beta, const std::vector<uint32_t>& cluster_of,
                          size_t clusters) {
  return std::move(grouped_score_sums(problem, beta, {cluster_of.data()}, {clusters})[0]);
}

// sum_c g_c g_c' by the tile kernel, a tile of clusters at a time with unit
// scales: (g_ca 1)(g_cb 1) = g_ca g_cb exactly, added in cluster order.
Matrix sum_of_outer_products(const Matrix& score_sums) {
  const size_t k = score_sums.cols(), clusters = score_sums.rows();
  if (clusters == 0) return ProductAccumulator(k, true).result();
  return sum_of_outer_products(MatrixView{score_sums.row(0), clusters, k, static_cast<ptrdiff_t>(k), 1});
}

Matrix sum_of_outer_products(const MatrixView& cluster_sums) {
  const size_t k = cluster_sums.cols, clusters = cluster_sums.rows;
  ProductAccumulator meat(k, true);
  if (clusters == 0) return meat.result();
  const std::vector<double> ones(kTileRows, 1.0);
  for (size_t start = 0; start < clusters; start += kTileRows) {
    meat.add(TileRows{cluster_sums, start, std::min(kTileRows, clusters - start)}, ones.data(), ones.data());
  }
  return meat.result();
}

Matrix cluster_meat(const Probit& problem, const Vector& beta, const std::vector<uint32_t>& cluster_of,
                    size_t clusters) {
  return sum_of_outer_products(cluster_score_sums(problem, beta, cluster_of, clusters));
}

Matrix sandwich_covariance(const Matrix& bread, const Matrix& meat) {
  return multiply(multiply(bread, meat), bread);
}

CovarianceOutcome covariance_from_hessian(const Matrix& hessian, const Matrix* meat) {
  const size_t k = hessian.rows();
  const SymmetricFactor information(negated(hessian));
  if (!information.full_rank()) {
    return CovarianceOutcome{Matrix::filled(k, k, std::numeric_limits<double>::quiet_NaN()),
                             information.columns_involved()};
  }
  Matrix inverse = information.inverse();  // (-H)^-1
  if (meat == nullptr) return CovarianceOutcome{std::move(inverse), {}};
  return CovarianceOutcome{sandwich_covariance(inverse, *meat), {}};  // (-B) M (-B) = B M B
}

}  // namespace kestrum
