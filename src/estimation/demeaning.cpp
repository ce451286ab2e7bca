#include "estimation/demeaning.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace kestrum {

namespace {

// Per level of the first fixed effect (a run of rows): subtract the run's
// w-weighted column means, while the run is in cache, and add them to the
// level's coefficients. Returns the largest |mean| / scale.
double sweep_runs(Matrix& current, Matrix& coefficients, const double* weights,
                  const std::vector<size_t>& run_lengths, const std::vector<double>& run_weights,
                  const std::vector<double>& scale) {
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
    double* coefficient = coefficients.row(r);
    for (size_t j = 0; j < p; ++j) {
      sums[j] = run_weights[r] > 0.0 ? sums[j] / run_weights[r] : 0.0;  // weights that all underflowed
      coefficient[j] += sums[j];
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
double sweep_levels(Matrix& current, Matrix& coefficients, const double* weights,
                    const std::vector<uint32_t>& level_of, const std::vector<double>& level_weights,
                    const std::vector<double>& scale) {
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
    double* coefficient = coefficients.row(g);
    for (size_t j = 0; j < p; ++j) {
      mean[j] = level_weights[g] > 0.0 ? mean[j] / level_weights[g] : 0.0;
      coefficient[j] += mean[j];
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

// The columns' values less the start's fixed effects, and each column's largest |value|.
std::vector<double> start_residuals(Demeaned& out, const double* leading, const MatrixView& values,
                                    const FixedEffectLevels& levels) {
  const size_t n = values.rows;
  const size_t shift = leading != nullptr ? 1 : 0;
  const size_t p = out.residuals.cols();
  std::vector<double> scale(p, 0.0);
  size_t run = 0;
  size_t run_end = levels.run_lengths.empty() ? n : levels.run_lengths[0];
  for (size_t i = 0; i < n; ++i) {
    while (i == run_end && run + 1 < levels.run_lengths.size()) run_end += levels.run_lengths[++run];
    double* row = out.residuals.row(i);
    if (leading != nullptr) row[0] = leading[i];
    for (size_t j = 0; j < values.cols; ++j) row[j + shift] = values(i, j);
    for (size_t j = 0; j < p; ++j) scale[j] = std::max(scale[j], std::fabs(row[j]));
    const double* first = out.coefficients[0].row(run);
    for (size_t j = 0; j < p; ++j) row[j] -= first[j];
    for (size_t f = 0; f < levels.levels.size(); ++f) {
      const double* other = out.coefficients[f + 1].row(levels.levels[f][i]);
      for (size_t j = 0; j < p; ++j) row[j] -= other[j];
    }
  }
  for (double& s : scale) s = std::max(s, std::numeric_limits<double>::min());
  return scale;
}

}  // namespace

Demeaned demean_within_levels(const double* leading, const MatrixView& values, const double* weights,
                              const FixedEffectLevels& levels, std::vector<Matrix> start, double tol,
                              size_t max_sweeps) {
  const size_t n = values.rows;
  const size_t p = values.cols + (leading != nullptr ? 1 : 0);
  Demeaned out{Matrix(n, p), std::move(start), Matrix(p, p), 0, 0.0};
  if (out.coefficients.empty()) {
    out.coefficients.emplace_back(levels.run_lengths.size(), p);
    for (size_t count : levels.level_counts) out.coefficients.emplace_back(count, p);
  }
  const std::vector<double> scale = start_residuals(out, leading, values, levels);

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
    out.change = sweep_runs(out.residuals, out.coefficients[0], weights, levels.run_lengths, run_weights, scale);
    for (size_t f = 0; f < levels.levels.size(); ++f) {
      out.change = std::max(out.change, sweep_levels(out.residuals, out.coefficients[f + 1], weights,
                                                     levels.levels[f], level_weights[f], scale));
    }
    if (levels.levels.empty() || out.change < tol) break;
  }
  for (size_t i = 0; i < n; ++i) {  // the residuals' weighted Gram matrix, its lower triangle mirrored
    const double* row = out.residuals.row(i);
    for (size_t a = 0; a < p; ++a) {
      const double weighted = weights[i] * row[a];
      double* gram = out.gram.row(a);
      for (size_t b = 0; b <= a; ++b) gram[b] += weighted * row[b];
    }
  }
  for (size_t a = 0; a < p; ++a) {
    for (size_t b = 0; b < a; ++b) out.gram(b, a) = out.gram(a, b);
  }
  return out;
}

}  // namespace kestrum
