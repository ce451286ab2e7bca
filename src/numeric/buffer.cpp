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

// A large block is mapped with its pages faulted in at once (Linux): the
// kernel then zeroes them in one sweep, which on this kind of machine costs
// about half of taking a fault on each page at its first write (the X copy
// of a first fit of a million rows by 20 is 40,000 pages).
void* map_large(size_t bytes) noexcept {
#if defined(__linux__) && defined(MAP_POPULATE)
  void* data = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
  return data == MAP_FAILED ? nullptr : data;
#else
  return std::malloc(bytes);
#endif
}

void release_large(void* data, size_t bytes) noexcept {
  if (data == nullptr) return;
#if defined(__linux__) && defined(MAP_POPULATE)
  munmap(data, bytes);
#else
  (void)bytes;
  std::free(data);
#endif
}

// A block of `bytes` handed to a request of `wanted` bytes (at most as
// many) gives back the pages beyond it, so that it is released, or kept
// again, by the request's size.
void trim_large(void* data, size_t bytes, size_t wanted) noexcept {
#if defined(__linux__) && defined(MAP_POPULATE)
  static const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t used = (wanted + page - 1) / page * page, mapped = (bytes + page - 1) / page * page;
  if (mapped > used) munmap(static_cast<char*>(data) + used, mapped - used);
#else
  (void)data;
  (void)bytes;
  (void)wanted;
#endif
}

struct Block {
  void* data = nullptr;
  size_t bytes = 0;
};

// Large blocks freed, kept for the next large buffers. A block serves a
// request of at least half its size, so a small fit never holds a big block.
// Every block is released (unmapped) by the size it was last asked for.
class KeptBlocks {
 public:
  void* take(size_t bytes) noexcept {
    const Locked guard(lock_);
    for (Block& block : blocks_) {
      if (block.data != nullptr && block.bytes >= bytes && block.bytes / 2 <= bytes) {
        trim_large(block.data, block.bytes, bytes);
        return std::exchange(block.data, nullptr);
      }
    }
    return nullptr;
  }

  // Keeps the block in place of the oldest one, which is freed.
  void keep(void* data, size_t bytes) noexcept {
    allow_reclaim(data, bytes);
    void* oldest = nullptr;
    size_t oldest_bytes = 0;
    {
      const Locked guard(lock_);
      oldest = blocks_[next_].data;
      oldest_bytes = blocks_[next_].bytes;
      blocks_[next_] = Block{data, bytes};
      next_ = (next_ + 1) % kKeptBlocks;
    }
    release_large(oldest, oldest_bytes);
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
  void* data = nullptr;
  if (bytes >= kLargeBytes) {
    data = kept_blocks().take(bytes);
    if (data == nullptr) data = map_large(bytes);
  } else {
    data = std::malloc(bytes);
  }
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
