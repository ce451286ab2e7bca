#include "estimation/covariance.hpp"

namespace kestrum {

namespace {

// Adds the outer product v v' to m entry by entry: m[a][b] + v[a] v[b].
void add_outer_product(Matrix& m, const double* v) {
  for (size_t a = 0; a < m.rows(); ++a) {
    double* row = m.row(a);
    const double va = v[a];
    for (size_t b = 0; b < m.cols(); ++b) row[b] = row[b] + va * v[b];
  }
}

// Visits every observation's score s_i = lambda_i x_i in observation order.
template <class Fn>
void for_each_score(const Probit& problem, const Vector& beta, Fn&& fn) {
  const size_t k = problem.k();
  std::vector<double> score(k);
  for_each_block(problem, beta.data(), [&](size_t start, size_t count, const double* eta) {
    double lambda[kBlockRows];
    score_factors(problem, start, count, eta, lambda);
    for (size_t b = 0; b < count; ++b) {
      for (size_t j = 0; j < k; ++j) score[j] = problem.X(start + b, j) * lambda[b];
      fn(start + b, score.data());
    }
  });
}

}  // namespace

Matrix probit_hessian(const Probit& problem, const Vector& beta) {
  const size_t k = problem.k();
  Matrix h(k, k);
  std::vector<double> x(k);
  for_each_block(problem, beta.data(), [&](size_t start, size_t count, const double* eta) {
    double lambda[kBlockRows];
    score_factors(problem, start, count, eta, lambda);
    for (size_t b = 0; b < count; ++b) {
      const double w = (eta[b] + lambda[b]) * lambda[b];
      for (size_t j = 0; j < k; ++j) x[j] = problem.X(start + b, j);
      for (size_t a = 0; a < k; ++a) {
        double* row = h.row(a);
        const double xw = x[a] * w;
        for (size_t c = 0; c < k; ++c) row[c] = row[c] - xw * x[c];
      }
    }
  });
  return h;
}

Matrix robust_meat(const Probit& problem, const Vector& beta) {
  Matrix meat(problem.k(), problem.k());
  for_each_score(problem, beta, [&](size_t, const double* score) { add_outer_product(meat, score); });
  return meat;
}

Matrix cluster_meat(const Probit& problem, const Vector& beta, const std::vector<uint32_t>& cluster_of,
                    size_t clusters) {
  const size_t k = problem.k();
  Matrix sums(clusters, k);
  for_each_score(problem, beta, [&](size_t i, const double* score) {
    double* sum = sums.row(cluster_of[i]);
    for (size_t j = 0; j < k; ++j) sum[j] = sum[j] + score[j];
  });
  Matrix meat(k, k);
  for (size_t c = 0; c < clusters; ++c) add_outer_product(meat, sums.row(c));
  return meat;
}

Matrix sandwich_covariance(const Matrix& bread, const Matrix& meat) {
  return multiply(multiply(bread, meat), bread);
}

}  // namespace kestrum
