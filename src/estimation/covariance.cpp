#include "estimation/covariance.hpp"

#include <limits>

#include "numeric/symmetric_factor.hpp"

namespace kestrum {

Matrix cluster_score_sums(const Probit& problem, const Vector& beta, const std::vector<uint32_t>& cluster_of,
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
  return sums;
}

Matrix sum_of_outer_products(const Matrix& score_sums) {
  const size_t k = score_sums.cols();
  Matrix meat(k, k);
  for (size_t c = 0; c < score_sums.rows(); ++c) {
    for (size_t a = 0; a < k; ++a) {
      for (size_t b = 0; b < k; ++b) meat(a, b) = meat(a, b) + score_sums(c, a) * score_sums(c, b);
    }
  }
  return meat;
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
