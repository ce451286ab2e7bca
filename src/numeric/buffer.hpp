// A heap array of doubles with exactly one owner.
#pragma once

#include <cstddef>
#include <memory>

namespace kestrum {

class Buffer {
 public:
  Buffer() = default;
  // Uninitialised storage for `size` doubles.
  explicit Buffer(size_t size) : data_(std::make_unique_for_overwrite<double[]>(size)), size_(size) {}
  static Buffer zeros(size_t size) {
    Buffer buffer;
    buffer.data_ = std::make_unique<double[]>(size);
    buffer.size_ = size;
    return buffer;
  }

  double* data() noexcept { return data_.get(); }
  const double* data() const noexcept { return data_.get(); }
  size_t size() const noexcept { return size_; }
  double& operator[](size_t i) noexcept { return data_[i]; }
  double operator[](size_t i) const noexcept { return data_[i]; }

  // Hands ownership out; free it later with Buffer::release_routine.
  double* release() noexcept {
    size_ = 0;
    return data_.release();
  }
  static void release_routine(double* data, size_t /*length*/, size_t /*capacity*/) noexcept { delete[] data; }

 private:
  std::unique_ptr<double[]> data_;
  size_t size_ = 0;
};

}  // namespace kestrum
