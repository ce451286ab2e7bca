#include "estimation/newton_trial.hpp"

#include <algorithm>

#include "estimation/parallel_tasks.hpp"
#include "estimation/probit_problem.hpp"

namespace kestrum {

namespace {

struct Block {
  size_t first_run, end_run, first_row, end_row;
};

// The rows of a tile and the runs of the first fixed effect they lie in.
struct TileRuns {
  size_t start = 0;
  size_t count = 0;
  size_t run[kTileRows];
};

// The probit at the tile's trial index: l summed, lambda and w into place;
// with trial_working, z = eta + lambda / w and the tile's rows of [z X] into
// the block's level totals.
double trial_tile(const NewtonTrialInput& in, NewtonTrialOutput& out, const TileRuns& rows, Matrix& first_sums,
                  LevelTotalsBlock* totals) {
  const size_t start = rows.start, count = rows.count;
  Tile tile;
  tile.start = start;
  tile.count = count;
  std::copy(out.trial_eta + start, out.trial_eta + start + count, tile.eta);
  tile.set_probabilities([&](size_t b) { return in.y[start + b]; });
  double log_p[kTileRows];
  tile.log_probabilities(log_p);
  double total = 0.0;
  for (size_t b = 0; b < count; ++b) total += log_p[b];
  double* lambda = out.trial_lambda + start;
  double* weights = out.trial_weights + start;
  tile.score_factors(lambda);
  tile.hessian_weights(lambda, weights);
  if (totals == nullptr) return total;
  const size_t k = in.X.cols;
  std::vector<double> values(k + 1);
  for (size_t b = 0; b < count; ++b) {
    const size_t i = start + b;
    values[0] = out.trial_working[i] = lambda[b] / weights[b] + out.trial_eta[i];
    for (size_t j = 0; j < k; ++j) values[j + 1] = in.X(i, j);
    totals->add(first_sums.row(rows.run[b]), i, weights[b], values.data());
  }
  return total;
}

NewtonTrialSums block_sums(const NewtonTrialInput& in, const FixedEffectLevels& levels, NewtonTrialOutput& out,
                           const Block& block, Matrix& first_sums, LevelTotalsBlock* totals) {
  const size_t k = in.X.cols;
  const size_t effects = in.level_products.size();
  NewtonTrialSums sums;
  TileRuns tile;
  tile.start = block.first_row;
  size_t row = block.first_row;
  for (size_t r = block.first_run; r < block.end_run; ++r) {
    const double first_product = in.level_products[0][r];
    for (const size_t end = row + levels.run_lengths[r]; row < end; ++row) {
      // x_i'b' in four partial sums (a chain of k dependent additions would wait on each).
      double partial[4] = {0.0, 0.0, 0.0, 0.0};
      for (size_t j = 0; j < k; ++j) partial[j % 4] += in.X(row, j) * in.target[j];
      double fitted = (partial[0] + partial[1]) + (partial[2] + partial[3]);
      fitted -= first_product;
      for (size_t f = 1; f < effects; ++f) fitted -= in.level_products[f][levels.levels[f - 1][row]];
      const double step = ((in.working[row] - in.projected[row]) + fitted) - in.eta[row];
      out.step[row] = step;
      sums.decrement += in.weights[row] * step * step;
      if (out.trial_eta == nullptr) continue;
      out.trial_eta[row] = in.eta[row] + step;
      tile.run[tile.count] = r;
      if (++tile.count == kTileRows) {
        sums.loglike += trial_tile(in, out, tile, first_sums, totals);
        tile.start = row + 1;
        tile.count = 0;
      }
    }
  }
  if (tile.count > 0) sums.loglike += trial_tile(in, out, tile, first_sums, totals);
  return sums;
}

}  // namespace

NewtonTrialSums newton_trial(const NewtonTrialInput& in, const FixedEffectLevels& levels, NewtonTrialOutput& out,
                             size_t threads) {
  const std::vector<size_t> runs = run_blocks(levels.run_lengths.size());
  const size_t count = runs.size() - 1;
  std::vector<Block> blocks(count);
  size_t row = 0;
  for (size_t b = 0; b < count; ++b) {
    blocks[b] = Block{runs[b], runs[b + 1], row, row};
    for (size_t r = runs[b]; r < runs[b + 1]; ++r) row += levels.run_lengths[r];
    blocks[b].end_row = row;
  }
  const bool with_totals = out.trial_eta != nullptr && out.trial_working != nullptr;
  const size_t p = in.X.cols + 1;
  std::vector<LevelTotalsBlock> totals;
  for (size_t b = 0; with_totals && b < count; ++b) totals.emplace_back(levels, p);
  Matrix first_sums(with_totals ? levels.run_lengths.size() : 0, p + 1);
  std::vector<NewtonTrialSums> parts(count);
  run_tasks(count, threads, [&](size_t b) {
    parts[b] = block_sums(in, levels, out, blocks[b], first_sums, with_totals ? &totals[b] : nullptr);
  });
  if (with_totals) out.trial_totals = merge_level_totals(std::move(first_sums), totals);
  NewtonTrialSums total;
  for (const NewtonTrialSums& part : parts) {
    total.decrement += part.decrement;
    total.loglike += part.loglike;
  }
  return total;
}

}  // namespace kestrum
