// Cluster membership from the rows of the cluster variables.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "numeric/array_view.hpp"

namespace kestrum {

// The text of one cluster value: fixed-point with four decimals, the exact
// value rounded half to even ("0.0312" for 0.03125), "-" on every negative
// value including -0.0, "NaN" for any NaN, "inf" / "-inf".
std::string cluster_key_text(double value);

struct ClusterAssignment {
  std::vector<uint32_t> cluster_of;  // one entry per row
  size_t clusters = 0;               // G
};

// Two rows share a cluster exactly when the texts of all their values agree
// column by column (the row key is those texts joined by "|"). Clusters are
// numbered in order of first appearance. Each distinct value is formatted
// once, so the cost per row is a few hash lookups.
ClusterAssignment combine_cluster_keys(const ArrayView& values);

}  // namespace kestrum
