#include "numeric/buffer.hpp"

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstdint>
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

// A lock around a few loads and stores: a spin lock is enough, and
// std::mutex is missing from some Windows toolchains (MinGW's win32 threads).
class SpinLock {
 public:
  void lock() noexcept {
    while (flag_.test_and_set(std::memory_order_acquire)) {
      // another thread is taking or keeping a block: a few instructions
    }
  }
  void unlock() noexcept { flag_.clear(std::memory_order_release); }

 private:
  std::atomic_flag flag_;  // clear from the start (C++20)
};

class Locked {
 public:
  explicit Locked(SpinLock& lock) noexcept : lock_(lock) { lock_.lock(); }
  ~Locked() { lock_.unlock(); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  SpinLock& lock_;
};

struct Block {
  void* data = nullptr;
  size_t bytes = 0;
};

// Large blocks freed, kept for the next large buffers. A block serves a
// request of at least half its size, so a small fit never holds a big block.
class KeptBlocks {
 public:
  void* take(size_t bytes) noexcept {
    const Locked guard(lock_);
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
      const Locked guard(lock_);
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

  SpinLock lock_;
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
