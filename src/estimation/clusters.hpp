// Cluster membership from the rows of the cluster variables.
#pragma once

#include <cstdint>
#include <vector>

#include "numeric/array_view.hpp"

namespace kestrum {

// The key of one cluster value: the value rounded to four decimals as its
// fixed-point text with four decimals shows it (the exact binary value
// rounded half to even: 0.03125 gives 0.0312), with -0 and +0 one key, every
// NaN one key and each infinity its own. Two values have the same key exactly
// when they round to the same number.
int64_t cluster_key(double value);

struct ClusterAssignment {
  std::vector<uint32_t> cluster_of;  // one entry per row
  size_t clusters = 0;               // G
};

// Two rows share a cluster exactly when the keys of all their values agree
// column by column. Clusters are numbered in order of first appearance. The
// rows' keys are hashed, so the cost per row is the same whatever the values.
ClusterAssignment combine_cluster_keys(const ArrayView& values);

}  // namespace kestrum
