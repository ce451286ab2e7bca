// Weighted demeaning within the levels of fixed effects, by alternating
// projections (kestrum_frames/demeaning.py gives the method and the
// stopping rule). The sweeps run on the fixed effects' coefficients, not on
// the rows: with W_f the weight of each level of fixed effect f, b_f = D_f'W m
// its weighted sums of a column m, and C_fh = D_f'W D_h the weight of the rows
// in each pair of levels of f and h, a sweep sets, f by f,
//
//   a_f <- (b_f - sum_{h != f} C_fh a_h) / W_f,
//
// which is the sweep over the rows m <- m - mean_w(m | level of f) written in
// the coefficients a_f (m = values - sum_f D_f a_f). Its cost is that of the
// pairs of levels present, not of the rows; the rows are read once for b and
// once for the residuals and their Gram matrix.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "numeric/matrix.hpp"

namespace kestrum {

struct FixedEffectLevels {
  // The first fixed effect: the rows are sorted by its level, one run of
  // rows per level, and these are the runs' lengths.
  std::vector<size_t> run_lengths;
  // Every other fixed effect: the level of each row, and how many levels.
  std::vector<std::vector<uint32_t>> levels;
  std::vector<size_t> level_counts;
};

// Per level g of fixed effect f, the levels of fixed effect h that share
// rows with it (partner) and those rows' total weight: row g of C_fh.
struct Crosstab {
  std::vector<size_t> starts{0};
  std::vector<uint32_t> partner;
  std::vector<double> weight;
};

// What the sweeps start from, summed over the rows: per fixed effect a G_f x
// (p + 1) matrix, the sums of w m over each level's rows and then the level's
// weight W_f; and each column's largest |value| (at least the smallest normal).
struct LevelTotals {
  std::vector<Matrix> sums;
  std::vector<double> scale;
};

// The passes over the rows run in blocks of whole runs of the first fixed
// effect (at most this many, fewer when there are fewer runs), their partial
// sums added in block order whatever the number of threads: block b holds
// runs blocks[b], ..., blocks[b + 1] - 1 of run_blocks(runs).
inline constexpr size_t kRowBlocks = 8;
std::vector<size_t> run_blocks(size_t runs);

// One block's part of the LevelTotals: its rows go in (in the order of the
// rows) by add, the runs' sums into the first fixed effect's sums in place
// (each run lies in one block); merge_level_totals adds the blocks' parts of
// the other fixed effects in block order.
class LevelTotalsBlock {
 public:
  LevelTotalsBlock(const FixedEffectLevels& levels, size_t p);
  // Row i, of weight w and values row (p of them), into run_total (the row of its run) and the block's sums.
  void add(double* run_total, size_t i, double w, const double* row);

 private:
  friend LevelTotals merge_level_totals(Matrix first, const std::vector<LevelTotalsBlock>& blocks);
  const FixedEffectLevels* levels_;
  size_t p_;
  std::vector<double> scale_;
  std::vector<Matrix> other_sums_;  // per fixed effect after the first, G_f x (p + 1)
};

LevelTotals merge_level_totals(Matrix first, const std::vector<LevelTotalsBlock>& blocks);

// The sweeps of the coefficients (per fixed effect G_f x p, a warm start)
// from the level sums (LevelTotals' sums and scale) and the pairs' weights
// (cross[f][h] = C_fh for f != h), as the demeaning's: fixed effect by
// fixed effect, a_f <- (b_f - sum_{h != f} C_fh a_h) / W_f (a level of
// weight 0 keeps its coefficients), until the largest change of a sweep
// relative to its column's scale is below tol or after max_sweeps (one fixed
// effect: one sweep). Returns (sweeps, the last sweep's change); the same
// bits on any number of threads.
std::pair<size_t, double> sweep_levels(const std::vector<Matrix>& sums, const std::vector<double>& scale,
                                       const std::vector<std::vector<Crosstab>>& cross,
                                       std::vector<Matrix>& coefficients, double tol, size_t max_sweeps,
                                       size_t threads);

struct Demeaned {
  Matrix residuals;                 // n x returned: values - sum_f D_f coefficients[f], the first columns
  std::vector<Matrix> coefficients;  // per fixed effect, G_f x p
  Matrix gram;                       // p x p: residuals' W residuals (0 x 0 when not asked for)
  size_t sweeps = 0;
  double change = 0.0;  // the largest change of the last sweep, relative to its column's largest |value|
};

// The columns: the leading vector (when not null) and then those of values
// (n x k). Their residuals from the w-weighted projection on the fixed
// effects' dummies D, found by sweeps from the given coefficients (a warm
// start; empty: from 0), until the largest change of a coefficient in a
// sweep relative to its column's largest |value| is below tol, or after
// max_sweeps (one fixed effect takes one sweep). The work runs on up to
// `threads` threads: the passes over the rows in fixed blocks whose sums add
// in order, each fixed effect's update in ranges of its levels, so that the
// result has the same bits on any number of threads. The residuals of the
// first `returned` columns are kept (the Gram matrix is of all of them, and
// formed only when with_gram); max_sweeps 0: the residuals of the start's
// coefficients.
// totals: the LevelTotals of these columns and weights when the caller summed
// them already (in its own pass over the rows), else null; they are moved from.
Demeaned demean_within_levels(const double* leading, const MatrixView& values, const double* weights,
                              const FixedEffectLevels& levels, std::vector<Matrix> start, double tol,
                              size_t max_sweeps, size_t threads, size_t returned, bool with_gram,
                              LevelTotals* totals = nullptr);

}  // namespace kestrum
