#include "estimation/covariance.hpp"

#include "numeric/tile_kernels.hpp"

namespace kestrum {

namespace {

// One pass at beta that feeds the Hessian, the robust meat, or both.
void accumulate_products(const Probit& problem, const Vector& beta, ProductAccumulator* hessian,
                         ProductAccumulator* meat) {
  for_each_tile(problem, beta.data(), [&](const Tile& tile) {
    double lambda[kTileRows];
    tile.score_factors(lambda);
    if (hessian != nullptr) {
      double negative_weight[kTileRows];
      for (size_t b = 0; b < tile.count; ++b) negative_weight[b] = -((tile.eta[b] + lambda[b]) * lambda[b]);
      hessian->add(tile.rows, negative_weight, nullptr);
    }
    if (meat != nullptr) meat->add(tile.rows, lambda, lambda);
  });
}

}  // namespace

Matrix probit_hessian(const Probit& problem, const Vector& beta) {
  ProductAccumulator hessian(problem.k(), false);
  accumulate_products(problem, beta, &hessian, nullptr);
  return hessian.result();
}

Matrix robust_meat(const Probit& problem, const Vector& beta) {
  ProductAccumulator meat(problem.k(), true);
  accumulate_products(problem, beta, nullptr, &meat);
  return meat.result();
}

HessianAndMeat probit_hessian_and_meat(const Probit& problem, const Vector& beta) {
  ProductAccumulator hessian(problem.k(), false), meat(problem.k(), true);
  accumulate_products(problem, beta, &hessian, &meat);
  return HessianAndMeat{hessian.result(), meat.result()};
}

Matrix cluster_meat(const Probit& problem, const Vector& beta, const std::vector<uint32_t>& cluster_of,
                    size_t clusters) {
  const size_t k = problem.k();
  Matrix sums(clusters, k);
  for_each_tile(problem, beta.data(), [&](const Tile& tile) {
    double lambda[kTileRows];
    tile.score_factors(lambda);
    for (size_t b = 0; b < tile.count; ++b) {
      double* sum = sums.row(cluster_of[tile.start + b]);
      for (size_t j = 0; j < k; ++j) sum[j] = sum[j] + tile.rows(b, j) * lambda[b];
    }
  });
  Matrix meat(k, k);
  for (size_t c = 0; c < clusters; ++c) {
    for (size_t a = 0; a < k; ++a) {
      for (size_t b = 0; b < k; ++b) meat(a, b) = meat(a, b) + sums(c, a) * sums(c, b);
    }
  }
  return meat;
}

Matrix sandwich_covariance(const Matrix& bread, const Matrix& meat) {
  return multiply(multiply(bread, meat), bread);
}

}  // namespace kestrum
