#include "estimation/cluster_codes.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "estimation/clusters.hpp"
#include "panic.hpp"

namespace kestrum {

namespace {

// A range of codes at most this many times the rows (or this floor) is
// numbered through a direct table: one entry per possible code.
constexpr uint64_t kDirectPerRow = 4;
constexpr uint64_t kDirectFloor = uint64_t{1} << 16;

// Codes looked up a batch at a time, their entries asked for ahead.
constexpr size_t kBatchRows = 16;

// code(i): row i's code, in [0, extent). With first (room for `rows`),
// first[c] is set to the first row of cluster c.
template <class Code>
size_t number_direct(const Code& code, size_t rows, uint64_t extent, int64_t* numbers, int64_t* first = nullptr) {
  std::vector<int64_t> table(extent, -1);
  int64_t clusters = 0;
  for (size_t start = 0; start < rows; start += kBatchRows) {
    // A table larger than the caches is met at random where codes are.
    const size_t count = std::min(kBatchRows, rows - start);
    size_t batch[kBatchRows];
    for (size_t b = 0; b < count; ++b) {
      batch[b] = static_cast<size_t>(code(start + b));
      __builtin_prefetch(&table[batch[b]]);
    }
    for (size_t b = 0; b < count; ++b) {
      int64_t& number = table[batch[b]];
      if (number < 0) {
        if (first != nullptr) first[clusters] = static_cast<int64_t>(start + b);
        number = clusters++;
      }
      numbers[start + b] = number;
    }
  }
  return static_cast<size_t>(clusters);
}

// Open addressing: each slot a code and its cluster number (-1: empty), the
// table at most half full.
class CodeTable {
 public:
  explicit CodeTable(size_t slots) : slots_(std::bit_ceil(std::max<size_t>(slots, kInitialSlots))) {
    shift_ = 64 - std::countr_zero(slots_.size());
  }

  size_t home(int64_t code) const noexcept {
    return static_cast<size_t>((static_cast<uint64_t>(code) * kMultiplier) >> shift_);
  }
  void prefetch(int64_t code) const noexcept { __builtin_prefetch(&slots_[home(code)]); }

  int64_t number_of(int64_t code) {
    if (2 * static_cast<size_t>(clusters_ + 1) > slots_.size()) grow();
    const size_t mask = slots_.size() - 1;
    for (size_t slot = home(code);; slot = (slot + 1) & mask) {
      Slot& entry = slots_[slot];
      if (entry.number < 0) {
        entry = Slot{code, clusters_};
        return clusters_++;
      }
      if (entry.code == code) return entry.number;
    }
  }

  size_t clusters() const noexcept { return static_cast<size_t>(clusters_); }

 private:
  struct Slot {
    int64_t code = 0;
    int64_t number = -1;
  };
  static constexpr size_t kInitialSlots = size_t{1} << 12;
  static constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15ULL;  // 2^64 / golden ratio

  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(4 * old.size(), Slot{});
    shift_ -= 2;
    const size_t mask = slots_.size() - 1;
    for (const Slot& entry : old) {
      if (entry.number < 0) continue;
      size_t slot = home(entry.code);
      while (slots_[slot].number >= 0) slot = (slot + 1) & mask;
      slots_[slot] = entry;
    }
  }

  std::vector<Slot> slots_;
  int shift_ = 0;
  int64_t clusters_ = 0;
};

template <class Code>
size_t number_hashed(const Code& code, size_t rows, int64_t* numbers, int64_t* first = nullptr) {
  CodeTable table(0);
  for (size_t start = 0; start < rows; start += kBatchRows) {
    const size_t count = std::min(kBatchRows, rows - start);
    int64_t batch[kBatchRows];
    for (size_t b = 0; b < count; ++b) {
      batch[b] = code(start + b);
      table.prefetch(batch[b]);
    }
    for (size_t b = 0; b < count; ++b) {
      const size_t before = table.clusters();
      numbers[start + b] = table.number_of(batch[b]);
      if (first != nullptr && table.clusters() > before) first[before] = static_cast<int64_t>(start + b);
    }
  }
  return table.clusters();
}

template <class Code>
size_t number_by(const Code& code, size_t rows, uint64_t extent, int64_t* numbers, int64_t* first = nullptr) {
  if (extent != 0 && extent <= std::max(kDirectFloor, kDirectPerRow * rows)) {
    return number_direct(code, rows, extent, numbers, first);
  }
  return number_hashed(code, rows, numbers, first);
}

}  // namespace

size_t number_codes(const int64_t* codes, size_t rows, uint64_t extent, int64_t* numbers) {
  return number_by([codes](size_t i) { return codes[i]; }, rows, extent, numbers);
}

size_t number_value_keys(const char* origin, ptrdiff_t byte_stride, size_t rows, bool integers, int64_t* numbers) {
  const auto integer_at = [=](size_t i) {
    int64_t integer;
    std::memcpy(&integer, origin + static_cast<ptrdiff_t>(i) * byte_stride, sizeof integer);
    return integer;
  };
  if (integers && rows > 0) {
    // Integers of magnitude at most 2^53 are distinct doubles, whose keys
    // are distinct too: they are numbered by value, as their keys would
    // number them (through the direct table over a small range).
    constexpr int64_t kExactIntegers = int64_t{1} << 53;
    int64_t low = integer_at(0), high = low;
    for (size_t i = 1; i < rows; ++i) {
      low = std::min(low, integer_at(i));
      high = std::max(high, integer_at(i));
    }
    if (low >= -kExactIntegers && high <= kExactIntegers) {
      const uint64_t extent = static_cast<uint64_t>(high - low) + 1;
      return number_by([&](size_t i) { return integer_at(i) - low; }, rows, extent, numbers);
    }
  }
  const auto key = [=](size_t i) {
    double value;
    if (integers) {
      value = static_cast<double>(integer_at(i));
    } else {
      std::memcpy(&value, origin + static_cast<ptrdiff_t>(i) * byte_stride, sizeof value);
    }
    return cluster_key(value);
  };
  return number_hashed(key, rows, numbers);
}

size_t number_combinations(const std::vector<NumberedColumn>& columns, size_t rows, int64_t* numbers,
                           int64_t* first) {
  KESTRUM_ASSERT(!columns.empty());
  const int64_t* so_far = columns[0].numbers;  // the combinations of the columns before m, numbered
  size_t clusters = columns[0].clusters;
  if (columns.size() == 1) {
    std::copy_n(so_far, rows, numbers);
    if (first != nullptr) first_rows(numbers, rows, first, rows);
  }
  for (size_t m = 1; m < columns.size(); ++m) {
    const int64_t* next = columns[m].numbers;
    const auto extent = static_cast<int64_t>(columns[m].clusters);
    // Row i's number is read before it is written: so_far may be numbers itself.
    clusters = number_by([&](size_t i) { return so_far[i] * extent + next[i]; }, rows,
                         uint64_t{clusters} * columns[m].clusters, numbers, m + 1 == columns.size() ? first : nullptr);
    so_far = numbers;
  }
  return clusters;
}

size_t first_rows(const int64_t* numbers, size_t rows, int64_t* first, size_t room) {
  // Without a branch per row (the numbers are random where clusters are
  // many): every row is written as a candidate, kept when the maximum rises;
  // candidates beyond the room (or without first) go to a spare slot.
  int64_t spare = 0;
  size_t found = 0;
  int64_t highest = -1;
  for (size_t i = 0; i < rows; ++i) {
    *(found < room ? first + found : &spare) = static_cast<int64_t>(i);
    found += numbers[i] > highest ? 1 : 0;
    highest = std::max(highest, numbers[i]);
  }
  return found;
}

}  // namespace kestrum
