// A heap array of doubles with exactly one owner.
//
// Large buffers (copies of X) are aligned to 2 MiB and marked for huge
// pages where the kernel offers them: first-touch page faults then cost a
// fraction of what 4 KiB pages cost, and the kernels' TLB misses drop too.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>

namespace kestrum {

namespace buffer_detail {
struct Free {
  void operator()(double* data) const noexcept { std::free(data); }
};
// Uninitialised storage for `size` doubles (at least one, so the address is
// never null); throws std::bad_alloc.
double* allocate(size_t size);
}  // namespace buffer_detail

class Buffer {
 public:
  Buffer() = default;
  // Uninitialised storage for `size` doubles.
  explicit Buffer(size_t size) : data_(buffer_detail::allocate(size)), size_(size) {}
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
  static void release_routine(double* data, size_t /*length*/, size_t /*capacity*/) noexcept { std::free(data); }

 private:
  std::unique_ptr<double, buffer_detail::Free> data_;
  size_t size_ = 0;
};

}  // namespace kestrum
