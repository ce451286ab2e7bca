#include "estimation/demeaning.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <tuple>
#include <utility>

#include "estimation/parallel_tasks.hpp"
#include "numeric/tile_kernels.hpp"

namespace kestrum {

namespace {

// The passes over the rows run in this many blocks of whole runs of the
// first fixed effect (fewer when there are fewer runs); their partial sums
// add in block order, whatever the number of threads.
constexpr size_t kRowBlocks = 8;
// Rows of a tile of the residuals' Gram matrix.
constexpr size_t kGramRows = 128;
static_assert(kGramRows <= TileRows::kMaxTileRows);

// Rows first, ..., last - 1 of C_fh from the rows of each level of f (rows of
// level g: order[begins[g]], ..., order[begins[g + 1] - 1]; order null: the
// rows themselves); out.starts counts from 0 at level first.
Crosstab crosstab(const std::vector<size_t>& begins, size_t first_level, size_t last_level, const uint32_t* order,
                  const std::vector<uint32_t>& partner_of, size_t partner_count, const double* weights) {
  Crosstab out;
  std::vector<size_t> slot(partner_count, std::numeric_limits<size_t>::max());
  for (size_t g = first_level; g < last_level; ++g) {
    const size_t first = out.partner.size();
    for (size_t k = begins[g]; k < begins[g + 1]; ++k) {
      const size_t i = order != nullptr ? order[k] : k;
      const uint32_t l = partner_of[i];
      if (slot[l] == std::numeric_limits<size_t>::max() || slot[l] < first) {
        slot[l] = out.partner.size();
        out.partner.push_back(l);
        out.weight.push_back(0.0);
      }
      out.weight[slot[l]] += weights[i];
    }
    out.starts.push_back(out.partner.size());
  }
  return out;
}

// The rows of C_fh from consecutive ranges of f's levels, one after another.
Crosstab joined(std::vector<Crosstab>& parts) {
  if (parts.size() == 1) return std::move(parts[0]);
  Crosstab out;
  for (const Crosstab& part : parts) {
    const size_t offset = out.partner.size();
    for (size_t g = 1; g < part.starts.size(); ++g) out.starts.push_back(offset + part.starts[g]);
    out.partner.insert(out.partner.end(), part.partner.begin(), part.partner.end());
    out.weight.insert(out.weight.end(), part.weight.begin(), part.weight.end());
  }
  return out;
}

// C_hf = C_fh' (partner_count: the levels of h), each row in the order of f's levels.
Crosstab transposed(const Crosstab& c, size_t partner_count) {
  Crosstab out;
  out.starts.assign(partner_count + 1, 0);
  for (uint32_t l : c.partner) ++out.starts[l + 1];
  for (size_t l = 0; l < partner_count; ++l) out.starts[l + 1] += out.starts[l];
  out.partner.resize(c.partner.size());
  out.weight.resize(c.partner.size());
  std::vector<size_t> fill(out.starts.begin(), out.starts.end() - 1);
  for (size_t g = 0; g + 1 < c.starts.size(); ++g) {
    for (size_t e = c.starts[g]; e < c.starts[g + 1]; ++e) {
      const size_t to = fill[c.partner[e]]++;
      out.partner[to] = static_cast<uint32_t>(g);
      out.weight[to] = c.weight[e];
    }
  }
  return out;
}

// The rows of each level of codes (count levels), by a counting sort: the
// order and where each level's rows begin in it.
std::pair<std::vector<uint32_t>, std::vector<size_t>> rows_by_level(const std::vector<uint32_t>& codes, size_t count) {
  std::vector<size_t> begins(count + 1, 0);
  for (uint32_t code : codes) ++begins[code + 1];
  for (size_t g = 0; g < count; ++g) begins[g + 1] += begins[g];
  std::vector<uint32_t> order(codes.size());
  std::vector<size_t> fill(begins.begin(), begins.end() - 1);
  for (size_t i = 0; i < codes.size(); ++i) order[fill[codes[i]]++] = static_cast<uint32_t>(i);
  return {std::move(order), std::move(begins)};
}

// The loops over the p values of a row, as plain functions of pointers: the
// compiler vectorises them (checking at run time that they do not overlap),
// which it did not do for the same loops written inline over the members.
void add_scaled(double* total, const double* row, double w, size_t p) {
  for (size_t j = 0; j < p; ++j) total[j] += w * row[j];
}

void note_largest(double* largest, const double* row, size_t p) {
  for (size_t j = 0; j < p; ++j) largest[j] = std::max(largest[j], std::fabs(row[j]));
}

// out = row - coefficient (out may be row itself).
void subtract(double* out, const double* row, const double* coefficient, size_t p) {
  for (size_t j = 0; j < p; ++j) out[j] = row[j] - coefficient[j];
}

// The sweeps of the coefficients from the level sums and the pairs' weights:
// a_f <- (b_f - sum_{h != f} C_fh a_h) / W_f for every level of f, fixed
// effect by fixed effect. A level's new coefficients depend on the other
// fixed effects' alone, so ranges of levels share the threads with the same
// bits on any number. Returns the largest change relative to its column's scale.
double update_levels(size_t f, const std::vector<Matrix>& sums, const std::vector<double>& scale,
                     const std::vector<std::vector<Crosstab>>& cross, std::vector<Matrix>& coefficients,
                     size_t threads) {
  const size_t effects = sums.size(), p = scale.size(), count = sums[f].rows();
  const size_t blocks = std::max<size_t>(1, std::min(kRowBlocks, count));
  std::vector<double> largest(blocks, 0.0);
  run_tasks(blocks, threads, [&](size_t b) {
    std::vector<double> total(p);
    for (size_t g = b * count / blocks; g < (b + 1) * count / blocks; ++g) {
      const double level_weight = sums[f](g, p);
      if (!(level_weight > 0.0)) continue;  // weights that all underflowed: the level keeps its coefficients
      const double* level_sum = sums[f].row(g);
      std::copy(level_sum, level_sum + p, total.begin());
      for (size_t h = 0; h < effects; ++h) {
        if (h == f) continue;
        const Crosstab& c = cross[f][h];
        for (size_t e = c.starts[g]; e < c.starts[g + 1]; ++e) {
          const double weight = c.weight[e];
          const double* other = coefficients[h].row(c.partner[e]);
          for (size_t j = 0; j < p; ++j) total[j] -= weight * other[j];
        }
      }
      double* coefficient = coefficients[f].row(g);
      for (size_t j = 0; j < p; ++j) {
        const double updated = total[j] / level_weight;
        largest[b] = std::max(largest[b], std::fabs(updated - coefficient[j]) / scale[j]);
        coefficient[j] = updated;
      }
    }
  });
  return *std::max_element(largest.begin(), largest.end());
}

class Problem {
 public:
  Problem(const double* leading, const MatrixView& values, const double* weights, const FixedEffectLevels& levels,
          size_t threads)
      : leading_(leading),
        values_(values),
        weights_(weights),
        levels_(levels),
        threads_(threads),
        effects_(levels.levels.size() + 1),
        p_(values.cols + (leading != nullptr ? 1 : 0)),
        run_begins_(levels.run_lengths.size() + 1, 0) {
    for (size_t r = 0; r < levels.run_lengths.size(); ++r) run_begins_[r + 1] = run_begins_[r] + levels.run_lengths[r];
    const size_t runs = levels.run_lengths.size();
    const size_t blocks = std::max<size_t>(1, std::min(kRowBlocks, runs));
    for (size_t b = 0; b <= blocks; ++b) block_runs_.push_back(b * runs / blocks);
    counts_.push_back(runs);
    for (size_t count : levels.level_counts) counts_.push_back(count);
  }

  size_t columns() const { return p_; }
  size_t count(size_t f) const { return counts_[f]; }

  // scale_ (each column's largest |value|, at least the smallest normal),
  // level_weights_ (W_f) and sums_ (b_f), from one pass over the rows.
  void level_sums() {
    const size_t blocks = block_runs_.size() - 1;
    std::vector<std::vector<double>> block_scale(blocks, std::vector<double>(p_, 0.0));
    // Per block and fixed effect after the first: its levels' weights (column p_) and sums.
    std::vector<std::vector<Matrix>> block_sums(blocks);
    sums_.emplace_back(counts_[0], p_ + 1);
    run_tasks(blocks, threads_, [&](size_t b) {
      for (size_t f = 1; f < effects_; ++f) block_sums[b].emplace_back(counts_[f], p_ + 1);
      std::vector<double> copy(p_);
      double* scale = block_scale[b].data();
      for (size_t r = block_runs_[b]; r < block_runs_[b + 1]; ++r) {
        double* run_total = sums_[0].row(r);
        for (size_t i = run_begins_[r]; i < run_begins_[r + 1]; ++i) {
          const double* row = row_at(i, copy.data());
          const double w = weights_[i];
          note_largest(scale, row, p_);
          add_scaled(run_total, row, w, p_);
          run_total[p_] += w;
          for (size_t f = 1; f < effects_; ++f) {
            double* total = block_sums[b][f - 1].row(levels_.levels[f - 1][i]);
            add_scaled(total, row, w, p_);
            total[p_] += w;
          }
        }
      }
    });
    scale_.assign(p_, 0.0);
    for (size_t b = 0; b < blocks; ++b) {
      for (size_t j = 0; j < p_; ++j) scale_[j] = std::max(scale_[j], block_scale[b][j]);
    }
    for (double& s : scale_) s = std::max(s, std::numeric_limits<double>::min());
    for (size_t f = 1; f < effects_; ++f) {
      Matrix total(counts_[f], p_ + 1);
      for (size_t b = 0; b < blocks; ++b) {
        for (size_t g = 0; g < counts_[f]; ++g) {
          const double* part = block_sums[b][f - 1].row(g);
          double* into = total.row(g);
          for (size_t j = 0; j <= p_; ++j) into[j] += part[j];
        }
      }
      sums_.push_back(std::move(total));
    }
  }

  // C_fh for every pair of fixed effects f != h; those of the first fixed
  // effect in its blocks of runs, which share the threads (each block's
  // rows of C_0h are its own, so the bits do not depend on their number).
  void crosstabs() {
    cross_.assign(effects_, std::vector<Crosstab>(effects_));
    for (size_t f = 0; f + 1 < effects_; ++f) {
      std::pair<std::vector<uint32_t>, std::vector<size_t>> grouped;
      if (f > 0) grouped = rows_by_level(levels_.levels[f - 1], counts_[f]);
      const std::vector<size_t>& begins = f == 0 ? run_begins_ : grouped.second;
      const uint32_t* order = f == 0 ? nullptr : grouped.first.data();
      const std::vector<size_t> ranges = f == 0 ? block_runs_ : std::vector<size_t>{0, counts_[f]};
      for (size_t h = f + 1; h < effects_; ++h) {
        std::vector<Crosstab> parts(ranges.size() - 1);
        run_tasks(parts.size(), threads_, [&](size_t b) {
          parts[b] = crosstab(begins, ranges[b], ranges[b + 1], order, levels_.levels[h - 1], counts_[h], weights_);
        });
        cross_[f][h] = joined(parts);
        cross_[h][f] = transposed(cross_[f][h], counts_[h]);
      }
    }
  }

  // The sweeps of all columns from the coefficients (sweep_levels).
  std::pair<size_t, double> sweep(std::vector<Matrix>& coefficients, double tol, size_t max_sweeps) const {
    return sweep_levels(sums_, scale_, cross_, coefficients, tol, max_sweeps, threads_);
  }

  // The residuals values - sum_f D_f coefficients[f] and, when with_gram,
  // their weighted Gram matrix (the product kernel of the probit's Hessian,
  // over tiles of kGramRows residual rows); the residuals of the first
  // `returned` columns kept.
  void residuals(Demeaned& out, size_t returned, bool with_gram) const {
    const size_t blocks = block_runs_.size() - 1;
    if (!with_gram) {
      run_tasks(blocks, threads_, [&](size_t b) {
        std::vector<double> row(p_);
        for (size_t r = block_runs_[b]; r < block_runs_[b + 1]; ++r) {
          for (size_t i = run_begins_[r]; i < run_begins_[r + 1]; ++i) {
            residual_row(out.coefficients, r, i, row.data());
            std::copy(row.data(), row.data() + returned, out.residuals.row(i));
          }
        }
      });
      return;
    }
    std::vector<Matrix> block_gram(blocks);
    run_tasks(blocks, threads_, [&](size_t b) {
      ProductAccumulator gram(p_, true);
      std::vector<double> tile(kGramRows * p_);
      double tile_weights[kGramRows];
      size_t filled = 0;
      auto add_tile = [&] {
        TileRows rows;
        rows.X = MatrixView{tile.data(), filled, p_, static_cast<ptrdiff_t>(p_), 1};
        rows.count = filled;
        gram.add(rows, tile_weights, nullptr);  // (r_a w) r_c
        filled = 0;
      };
      for (size_t r = block_runs_[b]; r < block_runs_[b + 1]; ++r) {
        for (size_t i = run_begins_[r]; i < run_begins_[r + 1]; ++i) {
          double* row = tile.data() + filled * p_;
          residual_row(out.coefficients, r, i, row);
          std::copy(row, row + returned, out.residuals.row(i));
          tile_weights[filled] = weights_[i];
          if (++filled == kGramRows) add_tile();
        }
      }
      if (filled > 0) add_tile();
      block_gram[b] = gram.result();
    });
    for (size_t b = 0; b < blocks; ++b) {
      for (size_t a = 0; a < p_; ++a) {
        for (size_t c = 0; c < p_; ++c) out.gram(a, c) += block_gram[b](a, c);
      }
    }
  }

 private:
  // Row i (in run r of the first fixed effect) of values - sum_f D_f coefficients[f].
  void residual_row(const std::vector<Matrix>& coefficients, size_t r, size_t i, double* row) const {
    subtract(row, row_at(i, row), coefficients[0].row(r), p_);
    for (size_t f = 1; f < effects_; ++f) subtract(row, row, coefficients[f].row(levels_.levels[f - 1][i]), p_);
  }

  // Row i of [leading values]: in place when it lies contiguous in values, else copied into copy.
  const double* row_at(size_t i, double* copy) const {
    if (leading_ == nullptr && values_.col_stride == 1) {
      return values_.origin + static_cast<ptrdiff_t>(i) * values_.row_stride;
    }
    const size_t shift = leading_ != nullptr ? 1 : 0;
    if (leading_ != nullptr) copy[0] = leading_[i];
    for (size_t j = 0; j < values_.cols; ++j) copy[j + shift] = values_(i, j);
    return copy;
  }

  const double* leading_;
  const MatrixView& values_;
  const double* weights_;
  const FixedEffectLevels& levels_;
  size_t threads_;
  size_t effects_;
  size_t p_;
  std::vector<size_t> run_begins_;
  std::vector<size_t> block_runs_;  // block b: runs block_runs_[b], ..., block_runs_[b + 1] - 1
  std::vector<size_t> counts_;      // levels per fixed effect
  std::vector<double> scale_;
  std::vector<Matrix> sums_;  // per fixed effect, G_f x (p + 1): b_f, then W_f
  std::vector<std::vector<Crosstab>> cross_;
};

}  // namespace

std::pair<size_t, double> sweep_levels(const std::vector<Matrix>& sums, const std::vector<double>& scale,
                                       const std::vector<std::vector<Crosstab>>& cross,
                                       std::vector<Matrix>& coefficients, double tol, size_t max_sweeps,
                                       size_t threads) {
  size_t sweeps = 0;
  double change = 0.0;
  while (sweeps < max_sweeps) {
    ++sweeps;
    change = 0.0;
    for (size_t f = 0; f < sums.size(); ++f) {
      change = std::max(change, update_levels(f, sums, scale, cross, coefficients, threads));
    }
    if (sums.size() == 1 || change < tol) break;
  }
  return {sweeps, change};
}

Demeaned demean_within_levels(const double* leading, const MatrixView& values, const double* weights,
                              const FixedEffectLevels& levels, std::vector<Matrix> start, double tol,
                              size_t max_sweeps, size_t threads, size_t returned, bool with_gram) {
  Problem problem(leading, values, weights, levels, threads);
  const size_t p = problem.columns();
  returned = std::min(returned, p);
  Demeaned out{Matrix::uninitialized(values.rows, returned), std::move(start), with_gram ? Matrix(p, p) : Matrix(),
               0, 0.0};
  if (out.coefficients.empty()) {
    for (size_t f = 0; f <= levels.levels.size(); ++f) out.coefficients.emplace_back(problem.count(f), p);
  }
  if (max_sweeps > 0) {
    problem.level_sums();
    problem.crosstabs();
    std::tie(out.sweeps, out.change) = problem.sweep(out.coefficients, tol, max_sweeps);
  }
  problem.residuals(out, returned, with_gram);
  return out;
}

}  // namespace kestrum
