#include "estimation/newton_trial.hpp"

#include <algorithm>

#include "estimation/parallel_tasks.hpp"
#include "estimation/probit_problem.hpp"

namespace kestrum {

namespace {

// Blocks of whole runs of the first fixed effect (fewer when there are fewer runs).
constexpr size_t kRunBlocks = 8;

struct Block {
  size_t first_run, end_run, first_row, end_row;
};

// The probit at the tile's trial index: l summed, lambda and w into place.
double trial_tile(const NewtonTrialInput& in, NewtonTrialOutput& out, size_t start, size_t count) {
  Tile tile;
  tile.start = start;
  tile.count = count;
  std::copy(out.trial_eta + start, out.trial_eta + start + count, tile.eta);
  tile.set_probabilities([&](size_t b) { return in.y[start + b]; });
  double log_p[kTileRows];
  tile.log_probabilities(log_p);
  double total = 0.0;
  for (size_t b = 0; b < count; ++b) total += log_p[b];
  tile.score_factors(out.trial_lambda + start);
  tile.hessian_weights(out.trial_lambda + start, out.trial_weights + start);
  return total;
}

NewtonTrialSums block_sums(const NewtonTrialInput& in, const FixedEffectLevels& levels, NewtonTrialOutput& out,
                           const Block& block) {
  const size_t k = in.X.cols;
  const size_t effects = in.level_products.size();
  NewtonTrialSums sums;
  size_t tile_start = block.first_row;  // the first row of the tile being filled
  size_t row = tile_start;
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
      if (row + 1 - tile_start == kTileRows) {
        sums.loglike += trial_tile(in, out, tile_start, kTileRows);
        tile_start = row + 1;
      }
    }
  }
  if (out.trial_eta != nullptr && block.end_row > tile_start) {
    sums.loglike += trial_tile(in, out, tile_start, block.end_row - tile_start);
  }
  return sums;
}

}  // namespace

NewtonTrialSums newton_trial(const NewtonTrialInput& in, const FixedEffectLevels& levels, NewtonTrialOutput& out,
                             size_t threads) {
  const size_t runs = levels.run_lengths.size();
  const size_t count = std::max<size_t>(1, std::min(kRunBlocks, runs));
  std::vector<Block> blocks(count);
  size_t row = 0;
  for (size_t b = 0; b < count; ++b) {
    blocks[b] = Block{b * runs / count, (b + 1) * runs / count, row, row};
    for (size_t r = blocks[b].first_run; r < blocks[b].end_run; ++r) row += levels.run_lengths[r];
    blocks[b].end_row = row;
  }
  std::vector<NewtonTrialSums> parts(count);
  run_tasks(count, threads, [&](size_t b) { parts[b] = block_sums(in, levels, out, blocks[b]); });
  NewtonTrialSums total;
  for (const NewtonTrialSums& part : parts) {
    total.decrement += part.decrement;
    total.loglike += part.loglike;
  }
  return total;
}

}  // namespace kestrum
