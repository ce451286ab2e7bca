#include "numeric/buffer.hpp"

#include <cstdint>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace kestrum::buffer_detail {

namespace {
constexpr size_t kHugePage = size_t{2} << 20;
constexpr size_t kHugePageThreshold = size_t{4} << 20;  // bytes from which huge pages pay off
}  // namespace

double* allocate(size_t size) {
  if (size == 0) size = 1;
  if (size > SIZE_MAX / sizeof(double)) throw std::bad_alloc();
  const size_t bytes = size * sizeof(double);
  void* data = nullptr;
#if defined(__linux__)
  if (bytes >= kHugePageThreshold) {
    const size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    data = std::aligned_alloc(kHugePage, rounded);
    if (data != nullptr) madvise(data, rounded, MADV_HUGEPAGE);  // advice only: failure changes nothing
  }
#endif
  if (data == nullptr) data = std::malloc(bytes);
  if (data == nullptr) throw std::bad_alloc();
  return static_cast<double*>(data);
}

}  // namespace kestrum::buffer_detail
