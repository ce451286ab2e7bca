#include "numeric/buffer.hpp"

#include <array>
#include <cstdlib>
#include <cstdint>
#include <mutex>
#include <new>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace kestrum::buffer_detail {

namespace {

constexpr size_t kLargeBytes = size_t{4} << 20;
constexpr size_t kKeptBlocks = 2;  // a fit's copies of X and y

struct Block {
  void* data = nullptr;
  size_t bytes = 0;
};

// Large blocks freed, kept for the next large buffers. A block serves a
// request of at least half its size, so a small fit never holds a big block.
class KeptBlocks {
 public:
  void* take(size_t bytes) noexcept {
    const std::lock_guard<std::mutex> guard(mutex_);
    for (Block& block : blocks_) {
      if (block.data != nullptr && block.bytes >= bytes && block.bytes / 2 <= bytes) {
        return std::exchange(block.data, nullptr);
      }
    }
    return nullptr;
  }

  // Keeps the block in place of the oldest one, which is freed.
  void keep(void* data, size_t bytes) noexcept {
    allow_reclaim(data, bytes);
    void* oldest = nullptr;
    {
      const std::lock_guard<std::mutex> guard(mutex_);
      oldest = blocks_[next_].data;
      blocks_[next_] = Block{data, bytes};
      next_ = (next_ + 1) % kKeptBlocks;
    }
    std::free(oldest);
  }

 private:
  // The pages stay mapped, and are written again without a fault when the
  // block is reused; under memory pressure the kernel may take them back
  // (they then read as zeros, which uninitialised storage allows).
  static void allow_reclaim(void* data, size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_FREE)
    static const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t skip = (page - reinterpret_cast<uintptr_t>(data) % page) % page;  // to the first whole page
    if (bytes <= skip) return;
    madvise(static_cast<char*>(data) + skip, (bytes - skip) / page * page, MADV_FREE);  // advice only
#else
    (void)data;
    (void)bytes;
#endif
  }

  std::mutex mutex_;
  std::array<Block, kKeptBlocks> blocks_{};
  size_t next_ = 0;
};

KeptBlocks& kept_blocks() {
  static KeptBlocks* blocks = new KeptBlocks;  // never destroyed: buffers may be freed at exit
  return *blocks;
}

}  // namespace

double* allocate(size_t size) {
  if (size == 0) size = 1;
  if (size > SIZE_MAX / sizeof(double)) throw std::bad_alloc();
  const size_t bytes = size * sizeof(double);
  void* data = bytes >= kLargeBytes ? kept_blocks().take(bytes) : nullptr;
  if (data == nullptr) data = std::malloc(bytes);
  if (data == nullptr) throw std::bad_alloc();
  return static_cast<double*>(data);
}

void deallocate(double* data, size_t size) noexcept {
  if (data != nullptr && size >= kLargeBytes / sizeof(double)) {
    kept_blocks().keep(data, size * sizeof(double));
  } else {
    std::free(data);
  }
}

}  // namespace kestrum::buffer_detail
