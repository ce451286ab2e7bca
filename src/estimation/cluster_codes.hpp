// Clusters from integer codes: the one numbering every grouping of the
// frames' cluster columns goes through (a column's keys, or the combined
// codes of several columns).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrum {

// Rows with equal codes share a cluster; clusters are numbered in order of
// first appearance into numbers[0, rows). Returns the number of clusters.
// extent: 0, or a bound with every code in [0, extent) (checked by the
// caller), which lets a small range be numbered through a table indexed by
// the code instead of a hash table; the numbers are the same either way.
size_t number_codes(const int64_t* codes, size_t rows, uint64_t extent, int64_t* numbers);

// number_codes of the cluster keys (cluster_key, clusters.hpp) of `rows`
// values, value i at origin + i byte_stride: a double, or with `integers` an
// int64 taken as the double it converts to; the keys are not formed.
size_t number_value_keys(const char* origin, ptrdiff_t byte_stride, size_t rows, bool integers, int64_t* numbers);

// The clusters of the combinations of several numbered columns' values (a
// row's cluster under each, below its count), numbered in order of first
// appearance into numbers[0, rows), as number_codes numbers the codes
// a G_b + b of two columns and so on column by column (at most G_a G_b <=
// rows^2 at each step, which int64 holds), without forming those codes.
// Returns the number of clusters; with first (room for `rows`), first[c]
// is set to the first row of cluster c, for every cluster (what first_rows
// gives).
struct NumberedColumn {
  const int64_t* numbers;  // rows of them, each below clusters
  size_t clusters;
};
size_t number_combinations(const std::vector<NumberedColumn>& columns, size_t rows, int64_t* numbers,
                           int64_t* first = nullptr);

// The rows where the running maximum of numbers rises, in order: for
// numbers handed out by first appearance (as number_codes does), the first
// row of each cluster, in the order of the clusters' numbers. Returns how
// many there are; the first `room` of them are written to first (none
// without it), so that one pass counts them and a second fills an array
// of that size.
size_t first_rows(const int64_t* numbers, size_t rows, int64_t* first = nullptr, size_t room = 0);

}  // namespace kestrum
