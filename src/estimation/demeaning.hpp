// Weighted demeaning within the levels of fixed effects, by alternating
// projections (kestrum_frames/demeaning.py gives the method and the
// stopping rule): each sweep subtracts from every column, fixed effect by
// fixed effect, its w-weighted mean within each level, and adds it to that
// level's coefficient.
#pragma once

#include <cstddef>
#include <cstdint>
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

struct Demeaned {
  Matrix residuals;                 // n x p: values - sum_f D_f coefficients[f]
  std::vector<Matrix> coefficients;  // per fixed effect, G_f x p
  Matrix gram;                       // p x p: residuals' W residuals
  size_t sweeps = 0;
  double change = 0.0;  // the largest change of the last sweep, relative to its column's largest |value|
};

// The columns: the leading vector (when not null) and then those of values
// (n x k). Their residuals from the w-weighted projection on the fixed
// effects' dummies D, found by sweeps from the residuals of the given
// coefficients (a warm start; empty: from 0), until the largest change of a
// sweep relative to its column's largest |value| is below tol, or after
// max_sweeps (one fixed effect takes one sweep).
Demeaned demean_within_levels(const double* leading, const MatrixView& values, const double* weights,
                              const FixedEffectLevels& levels, std::vector<Matrix> start, double tol,
                              size_t max_sweeps);

}  // namespace kestrum
