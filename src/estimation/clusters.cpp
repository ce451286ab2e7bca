#include "estimation/clusters.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <memory>

#include "panic.hpp"

namespace kestrum {

namespace {

// A double is sign | 11 exponent bits | 52 fraction bits.
constexpr uint64_t kSignBit = uint64_t{1} << 63;
constexpr uint64_t kFractionBits = (uint64_t{1} << 52) - 1;
constexpr uint64_t kInfinityBits = uint64_t{0x7FF} << 52;
constexpr int kExponentBias = 1075;  // |v| = m 2^(e - 1075), m the 53-bit significand

// From 2^48 on, a double is a multiple of 2^-4 = 0.0625, which four decimals
// write exactly: such a value is its own rounding.
constexpr int kExactExponent = 1071;  // the biased exponent of 2^48
constexpr uint64_t kExactBits = uint64_t{kExactExponent} << 52;
// Below 2^48 the rounded value is a whole number of units of 1e-4, at most
// 2^48 1e4 of them. 1e4 = 625 * 2^4, and 625 m < 2^63 for every significand.
constexpr uint64_t kUnitsPerOne = 10000;
constexpr uint64_t kOddFactor = 625;
constexpr int kTwosInUnits = 4;
constexpr int64_t kMaxUnits = (int64_t{1} << 48) * static_cast<int64_t>(kUnitsPerOne);
// NaN: a key no number has (the keys of numbers are symmetric about 0).
constexpr int64_t kNanKey = std::numeric_limits<int64_t>::min();

// |v| 1e4 rounded half to even, for |v| < 2^48 given by its bits.
uint64_t rounded_units(uint64_t magnitude_bits) {
  const int exponent = static_cast<int>(magnitude_bits >> 52);
  if (exponent == 0) return 0;  // subnormal: far below half a unit
  const uint64_t significand = (magnitude_bits & kFractionBits) | (uint64_t{1} << 52);
  // |v| 1e4 = (625 m) 2^(exponent - 1075 + 4): shift right by `shift`.
  const int shift = kExponentBias - kTwosInUnits - exponent;
  if (shift >= 64) return 0;  // 625 m < 2^63: less than half a unit
  const uint64_t scaled = significand * kOddFactor;
  const uint64_t whole = scaled >> shift;
  const uint64_t rest = scaled & ((uint64_t{1} << shift) - 1);
  const uint64_t half = uint64_t{1} << (shift - 1);
  return rest > half || (rest == half && (whole & 1) != 0) ? whole + 1 : whole;
}

// An open-addressing hash table from the keys of a row (m of them) to the
// row's cluster. The keys of cluster c are kept at keys_[c m, (c + 1) m). A
// slot holds 32 bits of the row's hash, which also place it, and the cluster
// number plus one (0: empty): most probes need not look at the keys, and
// growing the table needs no keys at all.
class RowKeyTable {
 public:
  // `rows`: the most clusters there can be. Room for their keys is taken at
  // once, but uninitialised: only the pages used are ever touched.
  RowKeyTable(size_t m, size_t rows) : m_(m), slots_(kInitialSlots), keys_(new int64_t[rows * m]) {}

  static uint32_t hash_of(const int64_t* row, size_t m) {
    uint64_t hash = 0;
    for (size_t j = 0; j < m; ++j) hash = ((hash ^ static_cast<uint64_t>(row[j])) * kMultiplier) ^ (hash >> 32);
    return static_cast<uint32_t>(hash >> 32);  // the best mixed bits of the products
  }

  // Asks for the slot's memory ahead of the lookup, so that the lookups of a
  // batch of rows wait for memory together rather than one after another.
  void prefetch(uint32_t hash) const { __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]); }

  // Makes room for `clusters` clusters in one step: growing one doubling at
  // a time, with a fresh allocation each time, costs more than the lookups
  // when nearly every row is new.
  void expect(size_t clusters) {
    if (slots_.size() < 2 * clusters) resize(std::bit_ceil(2 * clusters));
  }

  uint32_t cluster_of(const int64_t* row, uint32_t hash) {
    if (2 * (clusters_ + 1) > slots_.size()) resize(2 * slots_.size());
    for (size_t slot = hash & (slots_.size() - 1);; slot = (slot + 1) & (slots_.size() - 1)) {
      const uint64_t entry = slots_[slot];
      if (entry == 0) {
        KESTRUM_ASSERT(clusters_ < kClusterMask);  // cluster numbers are 32-bit
        std::copy_n(row, m_, &keys_[clusters_ * m_]);
        slots_[slot] = (uint64_t{hash} << 32) | (clusters_ + 1);
        return static_cast<uint32_t>(clusters_++);
      }
      const uint64_t cluster = (entry & kClusterMask) - 1;
      if ((entry >> 32) == hash && std::equal(row, row + m_, &keys_[cluster * m_])) {
        return static_cast<uint32_t>(cluster);
      }
    }
  }

  size_t clusters() const noexcept { return clusters_; }

 private:
  static constexpr size_t kInitialSlots = size_t{1} << 12;
  static constexpr uint64_t kClusterMask = 0xFFFFFFFF;
  static constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15ULL;  // 2^64 / golden ratio

  void resize(size_t slots) {
    std::vector<uint64_t> old = std::move(slots_);
    slots_.assign(slots, 0);
    for (const uint64_t entry : old) {
      if (entry == 0) continue;
      size_t slot = (entry >> 32) & (slots_.size() - 1);
      while (slots_[slot] != 0) slot = (slot + 1) & (slots_.size() - 1);
      slots_[slot] = entry;
    }
  }

  size_t m_;
  size_t clusters_ = 0;
  std::vector<uint64_t> slots_;
  std::unique_ptr<int64_t[]> keys_;
};

// Rows whose keys are computed and hashed before any of them is looked up.
constexpr size_t kBatchRows = 32;
// After this many rows the table is sized for the share of new keys seen so
// far, projected to all rows.
constexpr size_t kSampleRows = 4096;

}  // namespace

int64_t cluster_key(double value) {
  const uint64_t bits = std::bit_cast<uint64_t>(value);
  const uint64_t magnitude_bits = bits & ~kSignBit;
  if (magnitude_bits > kInfinityBits) return kNanKey;
  // From 2^48 on (infinity included) the keys continue past the largest
  // count of units, in the order of the bits, which is the order of the values.
  const int64_t units = magnitude_bits >= kExactBits
                            ? kMaxUnits + 1 + static_cast<int64_t>(magnitude_bits - kExactBits)
                            : static_cast<int64_t>(rounded_units(magnitude_bits));
  return (bits & kSignBit) != 0 ? -units : units;
}

ClusterAssignment combine_cluster_keys(const ArrayView& values) {
  const size_t rows = values.rows(), cols = values.cols();
  ClusterAssignment assignment;
  assignment.cluster_of.resize(rows);
  RowKeyTable table(cols, rows);
  std::vector<int64_t> keys(kBatchRows * cols);
  uint32_t hashes[kBatchRows];
  for (size_t start = 0; start < rows; start += kBatchRows) {
    const size_t count = std::min(kBatchRows, rows - start);
    for (size_t b = 0; b < count; ++b) {
      int64_t* row = &keys[b * cols];
      for (size_t j = 0; j < cols; ++j) row[j] = cluster_key(values(start + b, j));
      hashes[b] = RowKeyTable::hash_of(row, cols);
      table.prefetch(hashes[b]);
    }
    for (size_t b = 0; b < count; ++b) assignment.cluster_of[start + b] = table.cluster_of(&keys[b * cols], hashes[b]);
    if (start + count == kSampleRows) table.expect(table.clusters() * (rows / kSampleRows));
  }
  assignment.clusters = table.clusters();
  return assignment;
}

}  // namespace kestrum
