#include "estimation/covariance.hpp"

#include <algorithm>
#include <limits>

#include "estimation/parallel_tasks.hpp"
#include "numeric/symmetric_factor.hpp"
#include "numeric/tile_kernels.hpp"
#include "panic.hpp"

namespace kestrum {

namespace {

constexpr size_t kPrefetchRowsAhead = 16;
constexpr size_t kRowsZeroedAhead = 32;

void prefetch_row(const double* row, size_t k) {
  const char* start = reinterpret_cast<const char*>(row);
  for (size_t offset = 0; offset < k * sizeof(double); offset += 64) __builtin_prefetch(start + offset, 1, 1);
}

// Sums of rows by number into rows x k storage (row-major, not owned), each
// number's rows added from 0.0 in the order they come. A row of sums is
// zeroed when a number at or beyond it is first reached rather than all
// rows up front: where the numbers arrive mostly in increasing order
// (numbered by first appearance, or parts sorted by number), the sums are
// built in one sweep over memory instead of two.
class NumberedRowSums {
 public:
  NumberedRowSums(double* storage, size_t rows, size_t k) : storage_(storage), rows_(rows), k_(k) {}
  explicit NumberedRowSums(Matrix& storage) : NumberedRowSums(storage.row(0), storage.rows(), storage.cols()) {}

  double* row(size_t number) noexcept {
    // A few rows beyond at once: where new numbers come one after another,
    // one fill serves the next rows too.
    if (number >= zeroed_) zero_below(std::min(rows_, std::max(number + 1, zeroed_ + kRowsZeroedAhead)));
    return storage_ + number * k_;
  }
  void prefetch(size_t number) const { prefetch_row(storage_ + number * k_, k_); }
  // Rows below `rows` hold sums already (formed elsewhere).
  void written(size_t rows) noexcept { zeroed_ = std::max(zeroed_, rows); }
  // Zeroes the rows no number reached: the storage then holds every sum.
  void finish() noexcept { zero_below(rows_); }

 private:
  void zero_below(size_t stop) noexcept {
    if (stop > zeroed_) std::fill(storage_ + zeroed_ * k_, storage_ + stop * k_, 0.0);
    zeroed_ = std::max(zeroed_, stop);
  }

  double* storage_;
  size_t rows_, k_;
  size_t zeroed_ = 0;  // rows below are sums, the others unwritten
};

// The rows of sums added to the rows of totals their numbers name, in row order.
void add_rows_by_number(NumberedRowSums& totals, const uint32_t* number, const MatrixView& sums) {
  for (size_t r = 0; r < sums.rows; ++r) {
    // Parts numbered elsewhere visit the rows of the total at random: overlap the misses.
    if (r + kPrefetchRowsAhead < sums.rows) totals.prefetch(number[r + kPrefetchRowsAhead]);
    double* row = totals.row(number[r]);
    for (size_t j = 0; j < sums.cols; ++j) row[j] = row[j] + sums(r, j);
  }
}

// Each row's (weighted) score c_i s_i added to its cluster's sums under
// every grouping, in row order; with meat, (c_i s_i)(c_i s_i)' to it too.
void add_score_sums(const Probit& problem, const Vector& beta, const std::vector<const uint32_t*>& groupings,
                    std::vector<NumberedRowSums>& sums, ProductAccumulator* meat) {
  KESTRUM_ASSERT(groupings.size() == sums.size());
  for_each_tile(problem, beta.data(), [&](const Tile& tile) {
    double lambda[kTileRows];
    tile.score_factors(lambda);
    if (problem.weights != nullptr) {
      for (size_t b = 0; b < tile.count; ++b) lambda[b] = lambda[b] * problem.weights[tile.start + b];
    }
    if (meat != nullptr) meat->add(tile.rows, lambda, lambda);
    for (size_t grouping = 0; grouping < groupings.size(); ++grouping) {
      const uint32_t* cluster_of = groupings[grouping] + tile.start;
      NumberedRowSums& grouping_sums = sums[grouping];
      for (size_t b = 0; b < tile.count; ++b) {
        // Many clusters spread their sums over more memory than the caches
        // hold: asking for the sums of the rows ahead overlaps the misses.
        if (b + kPrefetchRowsAhead < tile.count) grouping_sums.prefetch(cluster_of[b + kPrefetchRowsAhead]);
        add_scaled_row(grouping_sums.row(cluster_of[b]), tile.rows, b, lambda[b]);
      }
    }
  });
}

}  // namespace

std::vector<Matrix> grouped_score_sums(const Probit& problem, const Vector& beta,
                                       const std::vector<const uint32_t*>& groupings,
                                       const std::vector<size_t>& clusters, Matrix* single_row_meat) {
  KESTRUM_ASSERT(groupings.size() == clusters.size());
  const size_t k = problem.k();
  ProductAccumulator meat(k, true);  // (c_a s_a)(c_b s_b): exactly symmetric
  std::vector<Matrix> result;
  std::vector<NumberedRowSums> sums;
  result.reserve(clusters.size());
  sums.reserve(clusters.size());
  for (const size_t count : clusters) {
    result.push_back(Matrix::uninitialized(count, k));
    sums.emplace_back(result.back());
  }
  add_score_sums(problem, beta, groupings, sums, single_row_meat != nullptr ? &meat : nullptr);
  if (single_row_meat != nullptr) *single_row_meat = meat.result();
  for (NumberedRowSums& grouping_sums : sums) grouping_sums.finish();
  return result;
}

namespace {

// A partition's own numbering of its cells, by first appearance: the
// number of each row's cell and the model-wide number of each of its
// cells. The table of the cells met is stamped with the partition, so that
// it serves one partition after another without being cleared. Where the
// partition has kModelWideRowsPerCluster rows per model-wide cell or more,
// it sums by the model-wide numbers instead.
class CellNumbering {
 public:
  explicit CellNumbering(size_t cells) : met_(cells, 0) {}

  void number(const uint32_t* cell_of, size_t rows, uint32_t partition) {
    ids_.clear();
    if (met_.size() <= rows / kModelWideRowsPerCluster) {
      model_wide_ = cell_of;
      ids_.resize(met_.size());
      for (size_t c = 0; c < ids_.size(); ++c) ids_[c] = static_cast<uint32_t>(c);
      return;
    }
    model_wide_ = nullptr;
    const uint64_t stamp = uint64_t{partition + 1} << 32;
    rows_.resize(rows);
    for (size_t i = 0; i < rows; ++i) {
      const uint32_t cell = cell_of[i];
      uint64_t& met = met_[cell];
      if ((met & kStampBits) != stamp) {
        met = stamp | ids_.size();
        ids_.push_back(cell);
      }
      rows_[i] = static_cast<uint32_t>(met);
    }
  }
  const uint32_t* rows() const noexcept { return model_wide_ != nullptr ? model_wide_ : rows_.data(); }
  const uint32_t* ids() const noexcept { return ids_.data(); }
  size_t cells() const noexcept { return ids_.size(); }
  // Whether the partition's cells are the model's first cells, in order.
  bool identity() const noexcept {
    for (size_t c = 0; c < ids_.size(); ++c) {
      if (ids_[c] != c) return false;
    }
    return true;
  }

 private:
  static constexpr uint64_t kStampBits = ~uint64_t{0} << 32;
  // Per model-wide cell: the partition that met it last (plus one, high
  // half) and its number there (low half), one load per row.
  std::vector<uint64_t> met_;
  std::vector<uint32_t> rows_, ids_;
  const uint32_t* model_wide_ = nullptr;  // the rows' model-wide cells, when the partition sums by them
};

// The cells' score sums into rows [0, cells) of work, each thread's
// partition sums in `room` rows after them (cell_score_meats).
void sum_cells(const std::vector<CellPartition>& partitions, const Vector& beta, size_t cells, size_t threads,
               size_t room, Matrix& work) {
  const size_t k = beta.size();
  NumberedRowSums total_sums(work.row(0), cells, k);
  std::vector<CellNumbering> numbering(threads, CellNumbering(cells));
  const auto scratch = [&](size_t t) { return work.row(cells + t * room); };
  for (size_t first = 0; first < partitions.size(); first += threads) {
    const size_t batch = std::min(threads, partitions.size() - first);
    bool in_totals = false;  // the first partition's sums formed in the totals
    run_tasks(batch, batch, [&](size_t t) {
      const CellPartition& part = partitions[first + t];
      numbering[t].number(part.cell_of, part.problem->nobs(), static_cast<uint32_t>(first + t));
      // Where the first partition numbers its cells as the model does (the
      // model's numbers by first appearance, its rows first), its sums from
      // 0.0 are what the totals hold once they are added to 0.0 (a sum from
      // +0.0 is never -0.0): they are formed in the totals themselves.
      const bool first_cells = first + t == 0 && numbering[t].identity();
      std::vector<NumberedRowSums> sums{
          NumberedRowSums(first_cells ? work.row(0) : scratch(t), numbering[t].cells(), k)};
      add_score_sums(*part.problem, beta, {numbering[t].rows()}, sums, nullptr);
      sums[0].finish();
      if (first_cells) in_totals = true;
    });
    if (in_totals) total_sums.written(numbering[0].cells());
    for (size_t t = in_totals ? 1 : 0; t < batch; ++t) {  // in partition order
      const MatrixView sums{scratch(t), numbering[t].cells(), k, static_cast<ptrdiff_t>(k), 1};
      add_rows_by_number(total_sums, numbering[t].ids(), sums);
    }
  }
  total_sums.finish();
}

}  // namespace

std::vector<Matrix> cell_grouping_meats(const MatrixView& totals, const std::vector<const uint32_t*>& coarser,
                                        const std::vector<size_t>& clusters, size_t cells_per_piece,
                                        size_t threads) {
  KESTRUM_ASSERT(coarser.size() == clusters.size() && cells_per_piece > 0);
  const size_t cells = totals.rows, k = totals.cols;
  const size_t pieces = std::max<size_t>(1, (cells + cells_per_piece - 1) / cells_per_piece);
  std::vector<Matrix> piece_meats(pieces), meats(1);
  run_tasks(pieces + (coarser.empty() ? 0 : 1), threads, [&](size_t task) {
    if (task < pieces) {  // cells [task cells / pieces, (task + 1) cells / pieces)
      const size_t first = task * cells / pieces, stop = (task + 1) * cells / pieces;
      const MatrixView piece{totals.origin + static_cast<ptrdiff_t>(first) * totals.row_stride, stop - first, k,
                             totals.row_stride, totals.col_stride};
      piece_meats[task] = sum_of_outer_products(piece);
      return;
    }
    std::vector<std::vector<const uint32_t*>> numbers;  // the cells as one part
    numbers.reserve(coarser.size());
    for (const uint32_t* cluster_of : coarser) numbers.push_back({cluster_of});
    for (const Matrix& sums : add_cluster_parts({totals}, numbers, clusters, k)) {
      meats.push_back(sum_of_outer_products(sums));
    }
  });
  meats[0] = std::move(piece_meats[0]);
  for (size_t piece = 1; piece < pieces; ++piece) {  // in piece order
    for (size_t i = 0; i < k; ++i) {
      for (size_t j = 0; j < k; ++j) meats[0](i, j) = meats[0](i, j) + piece_meats[piece](i, j);
    }
  }
  return meats;
}

std::vector<Matrix> cell_score_meats(const std::vector<CellPartition>& partitions, const Vector& beta, size_t cells,
                                     const std::vector<const uint32_t*>& coarser, const std::vector<size_t>& clusters,
                                     size_t cells_per_piece, size_t threads) {
  KESTRUM_ASSERT(partitions.size() < std::numeric_limits<uint32_t>::max());
  const size_t k = beta.size();
  threads = std::max<size_t>(1, std::min(threads, partitions.size()));
  // The totals and each thread's partition sums (room for the most cells a
  // partition can have) in one block, written again for the next
  // partitions: a fit's next covariance finds it among the buffers kept
  // for reuse (buffer.hpp), its pages already mapped.
  size_t room = 0;
  for (const CellPartition& part : partitions) room = std::max(room, std::min(part.problem->nobs(), cells));
  Matrix work = Matrix::uninitialized(cells + threads * room, k);
  sum_cells(partitions, beta, cells, threads, room, work);
  const MatrixView totals{work.row(0), cells, k, static_cast<ptrdiff_t>(k), 1};
  return cell_grouping_meats(totals, coarser, clusters, cells_per_piece, threads);
}

Matrix cluster_score_sums(const Probit& problem, const Vector& beta, const std::vector<uint32_t>& cluster_of,
                          size_t clusters) {
  return std::move(grouped_score_sums(problem, beta, {cluster_of.data()}, {clusters})[0]);
}

std::vector<Matrix> add_cluster_parts(const std::vector<MatrixView>& parts,
                                      const std::vector<std::vector<const uint32_t*>>& numbers,
                                      const std::vector<size_t>& clusters, size_t k) {
  KESTRUM_ASSERT(numbers.size() == clusters.size());
  std::vector<Matrix> result;
  std::vector<NumberedRowSums> totals;
  result.reserve(clusters.size());
  totals.reserve(clusters.size());
  for (const size_t count : clusters) {
    result.push_back(Matrix::uninitialized(count, k));
    totals.emplace_back(result.back());
  }
  for (size_t p = 0; p < parts.size(); ++p) {
    const MatrixView& sums = parts[p];
    for (size_t r = 0; r < sums.rows; ++r) {  // each row of the part read once, for every grouping
      for (size_t m = 0; m < totals.size(); ++m) {
        const uint32_t* number = numbers[m][p];
        // Parts numbered elsewhere visit the rows of the total at random: overlap the misses.
        if (r + kPrefetchRowsAhead < sums.rows) totals[m].prefetch(number[r + kPrefetchRowsAhead]);
        double* row = totals[m].row(number[r]);
        for (size_t j = 0; j < k; ++j) row[j] = row[j] + sums(r, j);
      }
    }
  }
  for (NumberedRowSums& total : totals) total.finish();
  return result;
}

Matrix add_cluster_parts(const std::vector<ClusterPart>& parts, size_t k, size_t clusters) {
  Matrix totals = Matrix::uninitialized(clusters, k);
  NumberedRowSums total_sums(totals);
  for (const ClusterPart& part : parts) add_rows_by_number(total_sums, part.numbers, part.sums);
  total_sums.finish();
  return totals;
}

// sum_c g_c g_c' by the tile kernel, a tile of clusters at a time with unit
// scales: (g_ca 1)(g_cb 1) = g_ca g_cb exactly, added in cluster order.
Matrix sum_of_outer_products(const Matrix& score_sums) {
  const size_t k = score_sums.cols(), clusters = score_sums.rows();
  if (clusters == 0) return ProductAccumulator(k, true).result();
  return sum_of_outer_products(MatrixView{score_sums.row(0), clusters, k, static_cast<ptrdiff_t>(k), 1});
}

Matrix sum_of_outer_products(const MatrixView& cluster_sums) {
  const size_t k = cluster_sums.cols, clusters = cluster_sums.rows;
  ProductAccumulator meat(k, true);
  if (clusters == 0) return meat.result();
  const std::vector<double> ones(kTileRows, 1.0);
  for (size_t start = 0; start < clusters; start += kTileRows) {
    meat.add(TileRows{cluster_sums, start, std::min(kTileRows, clusters - start)}, ones.data(), ones.data());
  }
  return meat.result();
}

Matrix cluster_meat(const Probit& problem, const Vector& beta, const std::vector<uint32_t>& cluster_of,
                    size_t clusters) {
  return sum_of_outer_products(cluster_score_sums(problem, beta, cluster_of, clusters));
}

Matrix sandwich_covariance(const Matrix& bread, const Matrix& meat) {
  return multiply(multiply(bread, meat), bread);
}

CovarianceOutcome covariance_from_hessian(const Matrix& hessian, const Matrix* meat) {
  const size_t k = hessian.rows();
  const SymmetricFactor information(negated(hessian));
  if (!information.full_rank()) {
    return CovarianceOutcome{Matrix::filled(k, k, std::numeric_limits<double>::quiet_NaN()),
                             information.columns_involved()};
  }
  Matrix inverse = information.inverse();  // (-H)^-1
  if (meat == nullptr) return CovarianceOutcome{std::move(inverse), {}};
  return CovarianceOutcome{sandwich_covariance(inverse, *meat), {}};  // (-B) M (-B) = B M B
}

}  // namespace kestrum
