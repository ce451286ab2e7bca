#include "estimation/objective.hpp"

#include "numeric/tile_kernels.hpp"

namespace kestrum {

namespace {

void add_log_probabilities(const Tile& tile, double& sum) {
  double log_p[kTileRows];
  log_array(tile.probability, log_p, tile.count);
  for (size_t b = 0; b < tile.count; ++b) sum += log_p[b];
}

void add_gradient(const Tile& tile, Vector& gradient) {
  double lambda[kTileRows];
  tile.score_factors(lambda);
  add_scaled_rows(gradient.data(), tile.rows, lambda);
}

}  // namespace

double probit_log_likelihood(const Probit& problem, const Vector& beta) {
  double sum = 0.0;
  for_each_tile(problem, beta.data(), [&](const Tile& tile) { add_log_probabilities(tile, sum); });
  return sum;
}

Vector probit_gradient(const Probit& problem, const Vector& beta) {
  Vector gradient(problem.k());
  for_each_tile(problem, beta.data(), [&](const Tile& tile) { add_gradient(tile, gradient); });
  return gradient;
}

Evaluation probit_log_likelihood_and_gradient(const Probit& problem, const Vector& beta) {
  Evaluation result{0.0, Vector(problem.k())};
  for_each_tile(problem, beta.data(), [&](const Tile& tile) {
    add_log_probabilities(tile, result.loglike);
    add_gradient(tile, result.gradient);
  });
  return result;
}

}  // namespace kestrum
