#include "estimation/probit_index.hpp"

#include <algorithm>
#include <vector>

#include "estimation/parallel_tasks.hpp"
#include "estimation/probit_problem.hpp"

namespace kestrum {

namespace {

// Rows per block of the sum of l: enough to keep a thread busy.
constexpr size_t kBlockRows = size_t{1} << 16;

// Block [begin, end): lambda and w into place, returns its sum of l.
double block_at_index(const double* eta, const double* y, size_t begin, size_t end, double* lambda, double* weight) {
  Tile tile;
  double log_p[kTileRows];
  double total = 0.0;
  for (size_t start = begin; start < end; start += kTileRows) {
    tile.start = start;
    tile.count = std::min(kTileRows, end - start);
    std::copy(eta + start, eta + start + tile.count, tile.eta);
    tile.set_probabilities([&](size_t b) { return y[start + b]; });
    tile.log_probabilities(log_p);
    for (size_t b = 0; b < tile.count; ++b) total += log_p[b];
    tile.score_factors(lambda + start);
    tile.hessian_weights(lambda + start, weight + start);
  }
  return total;
}

}  // namespace

double probit_at_index(const double* eta, const double* y, size_t n, double* lambda, double* weight,
                       size_t threads) {
  const size_t blocks = (n + kBlockRows - 1) / kBlockRows;
  std::vector<double> sums(blocks, 0.0);
  run_tasks(blocks, threads, [&](size_t b) {
    sums[b] = block_at_index(eta, y, b * kBlockRows, std::min(n, (b + 1) * kBlockRows), lambda, weight);
  });
  double loglike = 0.0;
  for (double part : sums) loglike += part;
  return loglike;
}

}  // namespace kestrum
