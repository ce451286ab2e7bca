// The cluster meat and the sandwich.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "estimation/probit_problem.hpp"
#include "numeric/matrix.hpp"

namespace kestrum {

// A partition sums the scores of all G clusters in model-wide numbering,
// without numbering its rows' clusters of its own, when it has at least this
// many rows per cluster (G <= rows / this): its G x k sums are then few, and
// a cluster absent from it adds 0.0, which leaves the totals' bits as they
// are (a sum from +0.0 is never -0.0).
inline constexpr size_t kModelWideRowsPerCluster = 4;

// G x k: row c is g_c, the sum of the scores s_i = lambda_i x_i of cluster
// c in observation order; clusters are numbered 0..G-1 by first appearance.
// Parts of the observations give parts of each g_c, which add up. With row
// weights c_i, g_c sums c_i s_i.
Matrix cluster_score_sums(const Probit& problem, const Vector& beta, const std::vector<uint32_t>& cluster_of,
                          size_t clusters);

// The score sums of several groupings of the rows from one pass: entry m is
// cluster_score_sums with the row clusters groupings[m] (nobs of them, below
// clusters[m]), bit for bit. With single_row_meat, the same pass also sets it
// to sum_i (c_i s_i)(c_i s_i)': the meat of a grouping whose clusters are
// single rows.
std::vector<Matrix> grouped_score_sums(const Probit& problem, const Vector& beta,
                                       const std::vector<const uint32_t*>& groupings,
                                       const std::vector<size_t>& clusters, Matrix* single_row_meat = nullptr);

// The score sums of the clusters from parts of the rows: a part gives a row
// of sums for each of its clusters, numbers[r] (below clusters) naming the
// cluster of its row r. Row c of the result is the total of cluster c: the
// parts' rows of c added in part order, each part's in row order, from 0.0.
struct ClusterPart {
  const uint32_t* numbers;  // sums.rows of them
  MatrixView sums;
};
Matrix add_cluster_parts(const std::vector<ClusterPart>& parts, size_t k, size_t clusters);

// The meats of the groupings of a multi-way clustering from the score sums
// g_c of the cells of the finest one (totals, a row per cell, in the order
// of their numbers), each coarser cluster a union of cells: first
// sum_c g_c g_c' of the cells, formed in pieces of cells_per_piece cells
// side by side and added in piece order (the pieces depend on the cells
// alone, so the bits do not depend on the threads); then per coarser
// grouping m, with coarser[m] the cluster of each cell (below clusters[m]),
// the meat of the cells' sums by those clusters: where the pieces times the
// coarser clusters together are at most a quarter of the cells, each
// piece's sums (its cells in cell order, from 0.0) added in piece order,
// formed in the same sweep as the piece's meat; otherwise
// add_cluster_parts of all the cells.
std::vector<Matrix> cell_grouping_meats(const MatrixView& totals, const std::vector<const uint32_t*>& coarser,
                                        const std::vector<size_t>& clusters, size_t cells_per_piece,
                                        size_t threads);

// cell_grouping_meats of the cells' score sums from partitions of the rows
// (cells numbered 0..cells-1 by first appearance over the partitions in
// order): each partition numbers its own cells by first appearance and
// sums its rows by them (cluster_score_sums), and those sums are added to
// the totals in partition order (add_cluster_parts), bit for bit, without
// holding every partition's sums at once: up to `threads` partitions are
// summed side by side, into buffers written again for the next ones.
struct CellPartition {
  const Probit* problem;    // the partition's rows
  const uint32_t* cell_of;  // the model-wide cell of each row, below cells
};
std::vector<Matrix> cell_score_meats(const std::vector<CellPartition>& partitions, const Vector& beta, size_t cells,
                                     const std::vector<const uint32_t*>& coarser, const std::vector<size_t>& clusters,
                                     size_t cells_per_piece, size_t threads);

// M = sum_c g_c g_c', the clusters visited in row order.
Matrix sum_of_outer_products(const Matrix& score_sums);
// The same over the rows of a view (read in place).
Matrix sum_of_outer_products(const MatrixView& score_sums);

// The cluster meat: sum_of_outer_products(cluster_score_sums(...)).
Matrix cluster_meat(const Probit& problem, const Vector& beta, const std::vector<uint32_t>& cluster_of,
                    size_t clusters);

// (B M) B.
Matrix sandwich_covariance(const Matrix& bread, const Matrix& meat);

// The covariance from the Hessian of l at the estimate: -H^-1 without a
// meat, the sandwich (B M) B with B = H^-1 with one. A singular Hessian
// (equilibrated, pivoted Cholesky of -H with relative tolerance
// kRankTolerance) gives NaN everywhere and names the columns of the linear
// dependence.
struct CovarianceOutcome {
  Matrix cov;
  std::vector<size_t> columns_involved;  // empty when the Hessian is invertible
};
CovarianceOutcome covariance_from_hessian(const Matrix& hessian, const Matrix* meat);

}  // namespace kestrum
