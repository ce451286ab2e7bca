// Dense vectors and matrices of doubles, and read-only strided views.
#pragma once

#include <cstddef>
#include <string>
#include <utility>

#include "numeric/buffer.hpp"

namespace kestrum {

// Thrown by the shape checks of the products below: an internal failure.
[[noreturn]] void shape_failure(const std::string& operation, size_t a_rows, size_t a_cols, size_t b_rows,
                                size_t b_cols);

class Vector {
 public:
  Vector() = default;
  explicit Vector(size_t size) : buffer_(Buffer::zeros(size)) {}

  size_t size() const noexcept { return buffer_.size(); }
  double* data() noexcept { return buffer_.data(); }
  const double* data() const noexcept { return buffer_.data(); }
  double& operator[](size_t i) noexcept { return buffer_[i]; }
  double operator[](size_t i) const noexcept { return buffer_[i]; }
  Buffer take_buffer() && noexcept { return std::move(buffer_); }

 private:
  Buffer buffer_;
};

// Row-major rows x cols.
class Matrix {
 public:
  Matrix() = default;
  Matrix(size_t rows, size_t cols) : buffer_(Buffer::zeros(rows * cols)), rows_(rows), cols_(cols) {}
  static Matrix identity(size_t n);
  static Matrix filled(size_t rows, size_t cols, double value);
  // Storage only: for a caller that writes every entry before reading it.
  static Matrix uninitialized(size_t rows, size_t cols) { return Matrix(Buffer(rows * cols), rows, cols); }

  size_t rows() const noexcept { return rows_; }
  size_t cols() const noexcept { return cols_; }
  double* row(size_t i) noexcept { return buffer_.data() + i * cols_; }
  const double* row(size_t i) const noexcept { return buffer_.data() + i * cols_; }
  double& operator()(size_t i, size_t j) noexcept { return buffer_[i * cols_ + j]; }
  double operator()(size_t i, size_t j) const noexcept { return buffer_[i * cols_ + j]; }
  Buffer take_buffer() && noexcept { return std::move(buffer_); }

 private:
  Matrix(Buffer buffer, size_t rows, size_t cols) : buffer_(std::move(buffer)), rows_(rows), cols_(cols) {}

  Buffer buffer_;
  size_t rows_ = 0;
  size_t cols_ = 0;
};

Matrix multiply(const Matrix& a, const Matrix& b);
Matrix multiply_transposed(const Matrix& a, const Matrix& b);  // a * b^T
Vector multiply(const Matrix& a, const Vector& x);
double dot(const Vector& a, const Vector& b);
Matrix negated(const Matrix& m);
// total <- total + part, entry by entry (the same shape).
void add_into(Matrix& total, const Matrix& part);

// Element [i, j] at origin[i * row_stride + j * col_stride]; strides in
// elements and possibly negative.
struct MatrixView {
  const double* origin = nullptr;
  size_t rows = 0;
  size_t cols = 0;
  ptrdiff_t row_stride = 0;
  ptrdiff_t col_stride = 0;

  double operator()(size_t i, size_t j) const noexcept {
    return origin[static_cast<ptrdiff_t>(i) * row_stride + static_cast<ptrdiff_t>(j) * col_stride];
  }
};

}  // namespace kestrum
