#include "estimation/demeaning.hpp"

#include <algorithm>
#include <cmath>

namespace kestrum {

namespace {

// Per level of the first fixed effect (a run of rows): subtract the run's
// w-weighted column means, while the run is in cache. Returns the largest
// |mean| / scale.
double sweep_runs(Matrix& current, const double* weights, const std::vector<size_t>& run_lengths,
                  const std::vector<double>& run_weights, const std::vector<double>& scale) {
  const size_t p = current.cols();
  std::vector<double> sums(p);
  double largest = 0.0;
  size_t begin = 0;
  for (size_t r = 0; r < run_lengths.size(); ++r) {
    const size_t end = begin + run_lengths[r];
    std::fill(sums.begin(), sums.end(), 0.0);
    for (size_t i = begin; i < end; ++i) {
      const double* row = current.row(i);
      for (size_t j = 0; j < p; ++j) sums[j] += weights[i] * row[j];
    }
    for (size_t j = 0; j < p; ++j) {
      sums[j] = run_weights[r] > 0.0 ? sums[j] / run_weights[r] : 0.0;  // weights that all underflowed
      largest = std::max(largest, std::fabs(sums[j]) / scale[j]);
    }
    for (size_t i = begin; i < end; ++i) {
      double* row = current.row(i);
      for (size_t j = 0; j < p; ++j) row[j] -= sums[j];
    }
    begin = end;
  }
  return largest;
}

// Per level of another fixed effect: the means from one pass over the rows,
// subtracted in a second.
double sweep_levels(Matrix& current, const double* weights, const std::vector<uint32_t>& level_of,
                    const std::vector<double>& level_weights, const std::vector<double>& scale) {
  const size_t n = current.rows();
  const size_t p = current.cols();
  Matrix means(level_weights.size(), p);
  for (size_t i = 0; i < n; ++i) {
    const double* row = current.row(i);
    double* total = means.row(level_of[i]);
    for (size_t j = 0; j < p; ++j) total[j] += weights[i] * row[j];
  }
  double largest = 0.0;
  for (size_t g = 0; g < level_weights.size(); ++g) {
    double* mean = means.row(g);
    for (size_t j = 0; j < p; ++j) {
      mean[j] = level_weights[g] > 0.0 ? mean[j] / level_weights[g] : 0.0;
      largest = std::max(largest, std::fabs(mean[j]) / scale[j]);
    }
  }
  for (size_t i = 0; i < n; ++i) {
    double* row = current.row(i);
    const double* mean = means.row(level_of[i]);
    for (size_t j = 0; j < p; ++j) row[j] -= mean[j];
  }
  return largest;
}

}  // namespace

Demeaned demean_within_levels(const MatrixView& start, const double* weights, const std::vector<double>& scale,
                              const FixedEffectLevels& levels, double tol, size_t max_sweeps) {
  const size_t n = start.rows;
  Demeaned out{Matrix(n, start.cols), 0, 0.0};
  for (size_t i = 0; i < n; ++i) {
    double* row = out.residuals.row(i);
    for (size_t j = 0; j < start.cols; ++j) row[j] = start(i, j);
  }
  std::vector<double> run_weights(levels.run_lengths.size());
  size_t begin = 0;
  for (size_t r = 0; r < run_weights.size(); ++r) {
    for (size_t i = begin; i < begin + levels.run_lengths[r]; ++i) run_weights[r] += weights[i];
    begin += levels.run_lengths[r];
  }
  std::vector<std::vector<double>> level_weights;
  for (size_t f = 0; f < levels.levels.size(); ++f) {
    std::vector<double> totals(levels.level_counts[f]);
    for (size_t i = 0; i < n; ++i) totals[levels.levels[f][i]] += weights[i];
    level_weights.push_back(std::move(totals));
  }
  while (out.sweeps < max_sweeps) {
    ++out.sweeps;
    out.change = sweep_runs(out.residuals, weights, levels.run_lengths, run_weights, scale);
    for (size_t f = 0; f < levels.levels.size(); ++f) {
      out.change =
          std::max(out.change, sweep_levels(out.residuals, weights, levels.levels[f], level_weights[f], scale));
    }
    if (levels.levels.empty() || out.change < tol) break;
  }
  return out;
}

}  // namespace kestrum
