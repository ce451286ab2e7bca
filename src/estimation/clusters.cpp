#include "estimation/clusters.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <unordered_map>

namespace kestrum {

namespace {

constexpr int kKeyDecimals = 4;

// Maps the values of one column to the index of their text.
class ColumnTexts {
 public:
  uint32_t text_id(double value) {
    const uint64_t bits = std::bit_cast<uint64_t>(value);
    if (auto found = by_bits_.find(bits); found != by_bits_.end()) return found->second;
    const auto [entry, inserted] = by_text_.try_emplace(cluster_key_text(value), static_cast<uint32_t>(by_text_.size()));
    by_bits_.emplace(bits, entry->second);
    return entry->second;
  }

 private:
  std::unordered_map<uint64_t, uint32_t> by_bits_;
  std::unordered_map<std::string, uint32_t> by_text_;
};

}  // namespace

std::string cluster_key_text(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char text[400];  // the largest double has 309 integer digits
  const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, kKeyDecimals);
  std::string key(text, result.ptr);
  if (std::signbit(value) && key.front() != '-') key.insert(key.begin(), '-');
  return key;
}

ClusterAssignment combine_cluster_keys(const ArrayView& values) {
  const size_t rows = values.rows(), cols = values.cols();
  ClusterAssignment assignment;
  assignment.cluster_of.resize(rows);
  std::vector<ColumnTexts> columns(cols);
  if (cols == 1) {
    // The text index of the single column is already the cluster index.
    for (size_t i = 0; i < rows; ++i) assignment.cluster_of[i] = columns[0].text_id(values(i, 0));
  } else {
    // The row key: the text indices of its columns, packed as bytes.
    std::unordered_map<std::string, uint32_t> clusters;
    std::string key(cols * sizeof(uint32_t), '\0');
    for (size_t i = 0; i < rows; ++i) {
      for (size_t j = 0; j < cols; ++j) {
        const uint32_t id = columns[j].text_id(values(i, j));
        std::memcpy(key.data() + j * sizeof id, &id, sizeof id);
      }
      assignment.cluster_of[i] = clusters.try_emplace(key, static_cast<uint32_t>(clusters.size())).first->second;
    }
  }
  size_t count = 0;
  for (uint32_t id : assignment.cluster_of) count = std::max<size_t>(count, size_t{id} + 1);
  assignment.clusters = count;
  return assignment;
}

}  // namespace kestrum
