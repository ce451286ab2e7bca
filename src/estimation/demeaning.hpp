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

// The sweeps of the coefficients (per fixed effect G_f x p, a warm start)
// from the level sums (per fixed effect G_f x (p + 1): the sums of w m over
// each level's rows, then the level's weight W_f), each column's largest
// |value| (scale) and the pairs' weights (cross[f][h] = C_fh for f != h), as
// the demeaning's: fixed effect by
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
Demeaned demean_within_levels(const double* leading, const MatrixView& values, const double* weights,
                              const FixedEffectLevels& levels, std::vector<Matrix> start, double tol,
                              size_t max_sweeps, size_t threads, size_t returned, bool with_gram);

}  // namespace kestrum
