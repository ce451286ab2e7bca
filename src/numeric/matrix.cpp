#include "numeric/matrix.hpp"

#include "panic.hpp"

namespace kestrum {

void shape_failure(const std::string& operation, size_t a_rows, size_t a_cols, size_t b_rows, size_t b_cols) {
  panic("matrix shape mismatch in " + operation + ": " + std::to_string(a_rows) + "x" + std::to_string(a_cols) +
        " and " + std::to_string(b_rows) + "x" + std::to_string(b_cols));
}

Matrix Matrix::identity(size_t n) {
  Matrix m(n, n);
  for (size_t i = 0; i < n; ++i) m(i, i) = 1.0;
  return m;
}

Matrix Matrix::filled(size_t rows, size_t cols, double value) {
  Matrix m(rows, cols);
  for (size_t i = 0; i < rows * cols; ++i) m.buffer_[i] = value;
  return m;
}

Matrix multiply(const Matrix& a, const Matrix& b) {
  if (a.cols() != b.rows()) shape_failure("matrix product", a.rows(), a.cols(), b.rows(), b.cols());
  Matrix c(a.rows(), b.cols());
  for (size_t i = 0; i < a.rows(); ++i) {
    double* out = c.row(i);
    for (size_t p = 0; p < a.cols(); ++p) {
      const double scale = a(i, p);
      const double* in = b.row(p);
      for (size_t j = 0; j < b.cols(); ++j) out[j] += scale * in[j];
    }
  }
  return c;
}

Matrix multiply_transposed(const Matrix& a, const Matrix& b) {
  if (a.cols() != b.cols()) shape_failure("matrix product with transpose", a.rows(), a.cols(), b.cols(), b.rows());
  Matrix c(a.rows(), b.rows());
  for (size_t i = 0; i < a.rows(); ++i) {
    for (size_t j = 0; j < b.rows(); ++j) {
      double sum = 0.0;
      for (size_t p = 0; p < a.cols(); ++p) sum += a(i, p) * b(j, p);
      c(i, j) = sum;
    }
  }
  return c;
}

Vector multiply(const Matrix& a, const Vector& x) {
  if (a.cols() != x.size()) shape_failure("matrix-vector product", a.rows(), a.cols(), x.size(), 1);
  Vector y(a.rows());
  for (size_t i = 0; i < a.rows(); ++i) {
    double sum = 0.0;
    for (size_t j = 0; j < a.cols(); ++j) sum += a(i, j) * x[j];
    y[i] = sum;
  }
  return y;
}

double dot(const Vector& a, const Vector& b) {
  if (a.size() != b.size()) shape_failure("dot product", a.size(), 1, b.size(), 1);
  double sum = 0.0;
  for (size_t i = 0; i < a.size(); ++i) sum += a[i] * b[i];
  return sum;
}

Matrix negated(const Matrix& m) {
  Matrix result(m.rows(), m.cols());
  for (size_t a = 0; a < m.rows(); ++a) {
    for (size_t b = 0; b < m.cols(); ++b) result(a, b) = -m(a, b);
  }
  return result;
}

void add_into(Matrix& total, const Matrix& part) {
  KESTRUM_ASSERT(total.rows() == part.rows() && total.cols() == part.cols());
  for (size_t a = 0; a < part.rows(); ++a) {
    for (size_t b = 0; b < part.cols(); ++b) total(a, b) = total(a, b) + part(a, b);
  }
}

}  // namespace kestrum
