#include "estimation/covariance.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "estimation/parallel_tasks.hpp"
#include "numeric/buffer.hpp"
#include "numeric/platform.hpp"
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

// total[j] <- total[j] + sums(r, j) for every column j.
void add_row(double* total, const MatrixView& sums, size_t r) noexcept {
  const double* row = sums.origin + static_cast<ptrdiff_t>(r) * sums.row_stride;
  if (sums.col_stride == 1) {  // the usual layout: a loop the compiler widens
    for (size_t j = 0; j < sums.cols; ++j) total[j] = total[j] + row[j];
    return;
  }
  for (size_t j = 0; j < sums.cols; ++j) total[j] = total[j] + row[static_cast<ptrdiff_t>(j) * sums.col_stride];
}

// The rows of sums added to the rows of totals their numbers name, in row order.
KESTRUM_AVX2_CLONES void add_rows_by_number(NumberedRowSums& totals, const uint32_t* number, const MatrixView& sums) {
  for (size_t r = 0; r < sums.rows; ++r) {
    // Parts numbered elsewhere visit the rows of the total at random: overlap the misses.
    if (r + kPrefetchRowsAhead < sums.rows) totals.prefetch(number[r + kPrefetchRowsAhead]);
    add_row(totals.row(number[r]), sums, r);
  }
}

// lambda_i of the tile's rows, times the row weights c_i where there are any.
void weighted_score_factors(const Probit& problem, const Tile& tile, double* lambda) {
  tile.score_factors(lambda);
  if (problem.weights == nullptr) return;
  for (size_t b = 0; b < tile.count; ++b) lambda[b] = lambda[b] * problem.weights[tile.start + b];
}

// Each row's (weighted) score c_i s_i added to its cluster's sums under
// every grouping, in row order; with meat, (c_i s_i)(c_i s_i)' to it too.
void add_score_sums(const Probit& problem, const Vector& beta, const std::vector<const uint32_t*>& groupings,
                    std::vector<NumberedRowSums>& sums, ProductAccumulator* meat) {
  KESTRUM_ASSERT(groupings.size() == sums.size());
  ScaledTile scores(problem.k());
  for_each_tile(problem, beta.data(), [&](const Tile& tile) {
    double lambda[kTileRows];
    weighted_score_factors(problem, tile, lambda);
    scores.assign(tile.rows, lambda);
    // (x_a c s)(x_b c s) from the scaled rows themselves: the same products.
    if (meat != nullptr) meat->add(scores.rows(), nullptr, nullptr);
    for (size_t grouping = 0; grouping < groupings.size(); ++grouping) {
      const uint32_t* cluster_of = groupings[grouping] + tile.start;
      double* target[kTileRows];
      for (size_t b = 0; b < tile.count; ++b) {
        // Many clusters spread their sums over more memory than the caches
        // hold: the whole tile's rows of sums are asked for before the adds.
        target[b] = sums[grouping].row(cluster_of[b]);
        prefetch_row(target[b], tile.rows.cols());
      }
      scores.add_to(target);
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

// The cells' totals in rows of storage (row-major, not owned): the
// partitions' sums added in partition order to rows that the partition
// where the cell first appears zeroed (0.0 + a = a + 0.0: the same bits as
// writing the first sum). The cells are shared out among threads in blocks,
// each adding only its own.
class CellTotals {
 public:
  CellTotals(double* storage, size_t cells, size_t k) : storage_(storage), cells_(cells), k_(k) {}

  double* row(size_t cell) const noexcept { return storage_ + cell * k_; }
  // Adds the rows of sums (row r of cell ids[r]) whose cells are in share
  // `share` of `shares`.
  void add(const uint32_t* ids, const double* sums, size_t rows, size_t share, size_t shares) const noexcept {
    const auto mine = [&](uint32_t cell) { return (cell / kBlockCells) % shares == share; };
    const MatrixView parts{sums, rows, k_, static_cast<ptrdiff_t>(k_), 1};
    for (size_t r = 0; r < rows; ++r) {
      if (r + kPrefetchRowsAhead < rows && mine(ids[r + kPrefetchRowsAhead])) {
        prefetch_row(row(ids[r + kPrefetchRowsAhead]), k_);
      }
      if (mine(ids[r])) add_row(row(ids[r]), parts, r);
    }
  }
  // Zeroes the rows from `first` on, which no partition met: storage then
  // holds every total.
  void finish(size_t first) const noexcept { std::fill(row(std::min(first, cells_)), row(cells_), 0.0); }

 private:
  // Cells per block of a share: a block's rows are whole cache lines apart
  // from the next block's, so that no two threads write the same line.
  static constexpr size_t kBlockCells = 512;
  double* storage_;
  size_t cells_, k_;
};

// The model-wide cells one partition first meets, [fresh, stop): those of
// none of the partitions before it, and below those of the partitions after.
struct FreshCells {
  size_t fresh = 0, stop = 0;
};

// One partition's cells summed as its rows come, each row's (weighted)
// score c_i s_i added to its cell's row of sums, a row zeroed when first
// reached, so that the sums are formed in one sweep. A cell the partition
// first meets is in none of the partitions before: its sum is its total so
// far, and is formed in the totals themselves. The others are numbered by
// first appearance in the partition and summed apart, to be added to the
// totals in partition order. The table of the model-wide cells met
// (stamped with the partition, and each cell's number there) serves one
// partition after another without being cleared (storage for a uint64_t a
// cell, not owned). Where the partition has kModelWideRowsPerCluster rows
// per model-wide cell or more, it sums every cell apart by the model-wide
// numbers instead, into a row for each.
class PartitionCells {
 public:
  PartitionCells(uint64_t* met, size_t cells) : met_(met), cells_(cells) { std::fill(met, met + cells, 0); }

  // The sums of the partition's rows: of its fresh cells into totals, of
  // the others into storage, room for min(rows, cells) rows of k
  // (row-major, not owned).
  void sum(const CellPartition& part, const Vector& beta, uint32_t partition, FreshCells own,
           const CellTotals& totals, double* storage) {
    const Probit& problem = *part.problem;
    const size_t k = problem.k(), rows = problem.nobs(), cells = cells_;
    ids_.clear();
    if (cells <= rows / kModelWideRowsPerCluster) {
      // Every cell below stop (the partition has none above), to be added
      // to the totals, its fresh cells' rows zeroed for that.
      std::fill(totals.row(own.fresh), totals.row(own.stop), 0.0);
      ids_.resize(own.stop);
      for (size_t c = 0; c < own.stop; ++c) ids_[c] = static_cast<uint32_t>(c);
      std::vector<NumberedRowSums> sums{NumberedRowSums(storage, own.stop, k)};
      add_score_sums(problem, beta, {part.cell_of}, sums, nullptr);
      sums[0].finish();
      return;
    }
    ids_.reserve(std::min(rows, cells));
    NumberedRowSums fresh_sums(totals.row(own.fresh), own.stop - own.fresh, k);
    NumberedRowSums apart(storage, std::min(rows, cells), k);
    const uint64_t stamp = uint64_t{partition + 1} << 32;
    const uint32_t* cell_of = part.cell_of;
    ScaledTile scores(k);
    for_each_tile(problem, beta.data(), [&](const Tile& tile) {
      double lambda[kTileRows];
      weighted_score_factors(problem, tile, lambda);
      double* target[kTileRows];
      for (size_t b = 0; b < tile.count; ++b) {
        const size_t i = tile.start + b;
        // The rows' cells are met at random: the table's entries are asked
        // for ahead, and the whole tile's rows of sums before the adds.
        if (i + kPrefetchRowsAhead < rows && cell_of[i + kPrefetchRowsAhead] < own.fresh) {
          __builtin_prefetch(&met_[cell_of[i + kPrefetchRowsAhead]]);
        }
        const uint32_t cell = cell_of[i];
        if (cell >= own.fresh) {
          target[b] = fresh_sums.row(cell - own.fresh);
        } else {
          uint64_t& met = met_[cell];
          if ((met & kStampBits) != stamp) {
            met = stamp | ids_.size();
            ids_.push_back(cell);
          }
          target[b] = apart.row(static_cast<uint32_t>(met));
        }
        prefetch_row(target[b], k);
      }
      scores.assign(tile.rows, lambda);
      scores.add_to(target);
    });
    fresh_sums.finish();
  }
  // The model-wide cell of each row of sums.
  const uint32_t* ids() const noexcept { return ids_.data(); }
  size_t cells() const noexcept { return ids_.size(); }

 private:
  static constexpr uint64_t kStampBits = ~uint64_t{0} << 32;
  // Per model-wide cell: the partition that met it last (plus one, high
  // half) and its number there (low half), one load per row.
  uint64_t* met_;
  size_t cells_;
  std::vector<uint32_t> ids_;
};

// The storage of sum_cells in one block (cell_score_meats): the totals,
// each thread's partition sums (room for the most cells a partition can
// have) and each thread's table of the cells met. A fit's next covariance
// finds the block among the buffers kept for reuse (buffer.hpp), its pages
// already mapped, and writes it again; the tables are integers in rows of
// the block, which are never read as doubles.
class CellsWork {
 public:
  CellsWork(const std::vector<CellPartition>& partitions, size_t cells, size_t k, size_t threads)
      : cells_(cells), k_(k), threads_(threads) {
    for (const CellPartition& part : partitions) room_ = std::max(room_, std::min(part.problem->nobs(), cells));
    const size_t table_bytes = threads * cells * sizeof(uint64_t);
    work_ = Buffer(tables_at() + (table_bytes + sizeof(double) - 1) / sizeof(double));
  }

  double* totals() noexcept { return work_.data(); }
  double* scratch(size_t thread) noexcept { return work_.data() + (cells_ + thread * room_) * k_; }
  uint64_t* met(size_t thread) noexcept { return static_cast<uint64_t*>(tables()) + thread * cells_; }
  MatrixView totals_view() const noexcept {
    return MatrixView{work_.data(), cells_, k_, static_cast<ptrdiff_t>(k_), 1};
  }

 private:
  size_t tables_at() const noexcept { return (cells_ + threads_ * room_) * k_; }  // in doubles
  void* tables() noexcept { return work_.data() + tables_at(); }

  size_t cells_, k_, threads_, room_ = 0;
  Buffer work_;
};

// The cells' score sums into the totals of work: up to `threads`
// partitions summed side by side, then the sums they hold apart added to
// the totals in partition order, the cells shared out among the threads.
void sum_cells(const std::vector<CellPartition>& partitions, const Vector& beta, size_t cells, size_t threads,
               CellsWork& work) {
  const size_t k = beta.size();
  const CellTotals totals(work.totals(), cells, k);
  // Per partition, the cells from one above the highest of the partitions
  // before it (all cells for the first) to one above its own highest.
  std::vector<FreshCells> own(partitions.size());
  run_tasks(partitions.size(), threads, [&](size_t p) {
    const uint32_t* cell_of = partitions[p].cell_of;
    const size_t rows = partitions[p].problem->nobs();
    const uint32_t* highest = std::max_element(cell_of, cell_of + rows);
    own[p].stop = highest == cell_of + rows ? 0 : static_cast<size_t>(*highest) + 1;
  });
  for (size_t p = 0, above = 0; p < partitions.size(); ++p) {
    own[p].fresh = above;
    own[p].stop = above = std::max(above, own[p].stop);
  }
  std::vector<PartitionCells> summed;  // each thread's
  summed.reserve(threads);
  for (size_t t = 0; t < threads; ++t) summed.emplace_back(work.met(t), cells);
  for (size_t first = 0; first < partitions.size(); first += threads) {
    const size_t batch = std::min(threads, partitions.size() - first);
    run_tasks(batch, batch, [&](size_t t) {
      summed[t].sum(partitions[first + t], beta, static_cast<uint32_t>(first + t), own[first + t], totals,
                    work.scratch(t));
    });
    run_tasks(threads, threads, [&](size_t share) {
      for (size_t t = 0; t < batch; ++t) {  // in partition order
        totals.add(summed[t].ids(), work.scratch(t), summed[t].cells(), share, threads);
      }
    });
  }
  totals.finish(partitions.empty() ? 0 : own.back().stop);
}

// Rows [first, first + count) of view.
MatrixView row_range(const MatrixView& view, size_t first, size_t count) noexcept {
  return MatrixView{view.origin + static_cast<ptrdiff_t>(first) * view.row_stride, count, view.cols, view.row_stride,
                    view.col_stride};
}

// One piece of the cells (rows of the totals): sum_c g_c g_c' of its cells
// and, where sums is not null, its own sums of the cells by each coarser
// grouping (from 0.0, in cell order), a tile of cells at a time, so that
// each cell's row is read from memory once.
Matrix piece_meat_and_sums(const MatrixView& piece, const std::vector<const uint32_t*>& coarser, size_t first,
                           std::vector<Matrix>* sums) {
  ProductAccumulator meat(piece.cols, true);
  std::vector<NumberedRowSums> grouping_sums;
  if (sums != nullptr) {
    for (Matrix& grouping : *sums) grouping_sums.emplace_back(grouping);
  }
  for (size_t start = 0; start < piece.rows; start += kTileRows) {
    const size_t count = std::min(kTileRows, piece.rows - start);
    meat.add(TileRows{piece, start, count}, nullptr, nullptr);
    for (size_t m = 0; m < grouping_sums.size(); ++m) {
      add_rows_by_number(grouping_sums[m], coarser[m] + first + start, row_range(piece, start, count));
    }
  }
  for (NumberedRowSums& grouping : grouping_sums) grouping.finish();
  return meat.result();
}

}  // namespace

std::vector<Matrix> cell_grouping_meats(const MatrixView& totals, const std::vector<const uint32_t*>& coarser,
                                        const std::vector<size_t>& clusters, size_t cells_per_piece,
                                        size_t threads) {
  KESTRUM_ASSERT(coarser.size() == clusters.size() && cells_per_piece > 0);
  const size_t cells = totals.rows, k = totals.cols;
  const size_t pieces = std::max<size_t>(1, (cells + cells_per_piece - 1) / cells_per_piece);
  // The coarser groupings are summed within the pieces' sweeps when the
  // pieces' sums of them take at most a quarter of the totals' room, and
  // otherwise each in a task of its own that sweeps every cell. (With one
  // piece the two give the same sums.)
  size_t coarser_clusters = 0;
  for (const size_t count : clusters) coarser_clusters += count;
  const bool coarser_in_pieces = pieces * coarser_clusters <= cells / 4;
  std::vector<std::vector<Matrix>> piece_sums(coarser_in_pieces ? pieces : 0);
  for (std::vector<Matrix>& sums : piece_sums) {
    for (const size_t count : clusters) sums.push_back(Matrix::uninitialized(count, k));
  }
  const size_t own_tasks = coarser_in_pieces ? 0 : coarser.size();
  std::vector<Matrix> piece_meats(pieces), meats(1 + coarser.size());
  run_tasks(own_tasks + pieces, threads, [&](size_t task) {
    if (task < own_tasks) {  // the cells as one part
      meats[1 + task] = sum_of_outer_products(add_cluster_parts({ClusterPart{coarser[task], totals}}, k, clusters[task]));
      return;
    }
    // cells [piece cells / pieces, (piece + 1) cells / pieces)
    const size_t piece = task - own_tasks, first = piece * cells / pieces, stop = (piece + 1) * cells / pieces;
    piece_meats[piece] = piece_meat_and_sums(row_range(totals, first, stop - first), coarser, first,
                                             coarser_in_pieces ? &piece_sums[piece] : nullptr);
  });
  for (size_t piece = 1; piece < pieces; ++piece) {  // in piece order
    add_into(piece_meats[0], piece_meats[piece]);
    if (coarser_in_pieces) {
      for (size_t m = 0; m < coarser.size(); ++m) add_into(piece_sums[0][m], piece_sums[piece][m]);
    }
  }
  meats[0] = std::move(piece_meats[0]);
  if (coarser_in_pieces) {
    for (size_t m = 0; m < coarser.size(); ++m) meats[1 + m] = sum_of_outer_products(piece_sums[0][m]);
  }
  return meats;
}

std::vector<Matrix> cell_score_meats(const std::vector<CellPartition>& partitions, const Vector& beta, size_t cells,
                                     const std::vector<const uint32_t*>& coarser, const std::vector<size_t>& clusters,
                                     size_t cells_per_piece, size_t threads) {
  KESTRUM_ASSERT(partitions.size() < std::numeric_limits<uint32_t>::max());
  const size_t k = beta.size();
  threads = std::max<size_t>(1, std::min(threads, partitions.size()));
  CellsWork work(partitions, cells, k, threads);
  sum_cells(partitions, beta, cells, threads, work);
  const MatrixView totals = work.totals_view();
  return cell_grouping_meats(totals, coarser, clusters, cells_per_piece, threads);
}

Matrix cluster_score_sums(const Probit& problem, const Vector& beta, const std::vector<uint32_t>& cluster_of,
                          size_t clusters) {
  return std::move(grouped_score_sums(problem, beta, {cluster_of.data()}, {clusters})[0]);
}

Matrix add_cluster_parts(const std::vector<ClusterPart>& parts, size_t k, size_t clusters) {
  Matrix totals = Matrix::uninitialized(clusters, k);
  NumberedRowSums total_sums(totals);
  for (const ClusterPart& part : parts) add_rows_by_number(total_sums, part.numbers, part.sums);
  total_sums.finish();
  return totals;
}

// sum_c g_c g_c' by the tile kernel, a tile of clusters at a time without
// scales, added in cluster order.
Matrix sum_of_outer_products(const Matrix& score_sums) {
  const size_t k = score_sums.cols(), clusters = score_sums.rows();
  if (clusters == 0) return ProductAccumulator(k, true).result();
  return sum_of_outer_products(MatrixView{score_sums.row(0), clusters, k, static_cast<ptrdiff_t>(k), 1});
}

Matrix sum_of_outer_products(const MatrixView& cluster_sums) {
  const size_t k = cluster_sums.cols, clusters = cluster_sums.rows;
  ProductAccumulator meat(k, true);
  for (size_t start = 0; start < clusters; start += kTileRows) {
    meat.add(TileRows{cluster_sums, start, std::min(kTileRows, clusters - start)}, nullptr, nullptr);
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
