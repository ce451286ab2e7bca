// A heap array of doubles with exactly one owner.
//
// Large buffers (copies of X) cost most on their first touch, a page fault
// for every fresh page. So a large buffer is mapped with its pages faulted
// in at once (on Linux), and a large buffer freed is kept for the next one
// (up to two are kept: a fit's copies of X and y), so that repeated fits
// write into pages already mapped. They are not advised to huge pages: where the
// free memory is handed back to a hypervisor in 2 MiB blocks (or has to be
// compacted into them), the first touch of huge pages in a process stalls
// for longer than a fit of a million rows takes, and that first fit is the
// one most scripts make.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>

namespace kestrum {

namespace buffer_detail {
// Uninitialised storage for `size` doubles (at least one, so the address is
// never null); throws std::bad_alloc.
double* allocate(size_t size);
// Frees (or keeps for reuse) what allocate(size) returned.
void deallocate(double* data, size_t size) noexcept;

struct Free {
  size_t size = 0;
  void operator()(double* data) const noexcept { deallocate(data, size); }
};
}  // namespace buffer_detail

class Buffer {
 public:
  Buffer() = default;
  // Uninitialised storage for `size` doubles.
  explicit Buffer(size_t size) : data_(buffer_detail::allocate(size), buffer_detail::Free{size}), size_(size) {}
  static Buffer zeros(size_t size) {
    Buffer buffer(size);
    for (size_t i = 0; i < size; ++i) buffer[i] = 0.0;
    return buffer;
  }

  double* data() noexcept { return data_.get(); }
  const double* data() const noexcept { return data_.get(); }
  size_t size() const noexcept { return size_; }
  double& operator[](size_t i) noexcept { return data_.get()[i]; }
  double operator[](size_t i) const noexcept { return data_.get()[i]; }

  // Hands ownership out; free it later with Buffer::release_routine.
  double* release() noexcept {
    size_ = 0;
    return data_.release();
  }
  static void release_routine(double* data, size_t length, size_t /*capacity*/) noexcept {
    buffer_detail::deallocate(data, length);
  }

 private:
  std::unique_ptr<double, buffer_detail::Free> data_;
  size_t size_ = 0;
};

}  // namespace kestrum
