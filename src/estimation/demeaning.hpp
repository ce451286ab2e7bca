// Weighted demeaning within the levels of fixed effects, by alternating
// projections (kestrum_frames/demeaning.py gives the method and the
// stopping rule): each sweep subtracts from every column, fixed effect by
// fixed effect, its w-weighted mean within each level.
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
  Matrix residuals;   // n x p
  size_t sweeps = 0;
  double change = 0.0;  // the largest change of the last sweep, relative to its column's largest |value|
};

// The residuals of the columns of start (n x p; a point of values + span(D))
// from their w-weighted projection on the fixed effects' dummies D. scale: per
// column the largest |value| (the changes are measured against it). The sweeps
// stop when the largest relative change is below tol, or after max_sweeps;
// one fixed effect takes one sweep.
Demeaned demean_within_levels(const MatrixView& start, const double* weights, const std::vector<double>& scale,
                              const FixedEffectLevels& levels, double tol, size_t max_sweeps);

}  // namespace kestrum
