#include "frames_native/index_derivatives.hpp"

#include "estimation/probit_index.hpp"
#include "frames_native/partition_arguments.hpp"
#include "frames_native/released_lock.hpp"
#include "interface/arguments.hpp"
#include "interface/arrays.hpp"
#include "interface/call_protocol.hpp"
#include "numeric/strided_array.hpp"

#include <optional>

namespace kestrum {

const char* const kProbitAtIndexDoc =
    "probit_at_index(eta, y, threads, out=None)\n--\n\n"
    "The probit at the index eta (n float64) with outcomes y (n float64, 0 or 1): l = sum ln Phi(q eta),\n"
    "q = 2 y - 1, and per row lambda = dl_i/deta and w = -d2l_i/deta2, exact in the tails, on up to threads\n"
    "threads (the same bits on any number). Returns (l, lambda, w); out: a pair of n float64 arrays to write\n"
    "lambda and w into (writeable, contiguous, apart from eta and y and each other), returned as they are.";

namespace {

PyRef probit_at_index_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* parameters[] = {"eta", "y", "threads", "out"};
  PyObject* slots[std::size(parameters)];
  bind_arguments(Signature{"probit_at_index", parameters, 3}, args, nargs, kwnames, slots);
  const MatrixView eta = matrix_argument(slots[0], "eta", 1);
  const uint64_t threads = convert_argument("threads", [&] { return to_u64(slots[2]); });
  if (threads == 0) raise(PyExc_ValueError, "threads must be at least 1");
  std::optional<Vector> eta_copy;
  std::optional<Vector> y_copy;
  const double* eta_data = column_argument(slots[0], "eta", eta.rows, eta_copy);
  const double* y_data = column_argument(slots[1], "y", eta.rows, y_copy);
  if (!is_omitted(slots[3])) {
    // Into the caller's buffers (a Newton loop reuses them rather than touching fresh pages every step).
    if (!PyTuple_Check(slots[3]) || PyTuple_GET_SIZE(slots[3]) != 2) {
      raise(PyExc_TypeError, "out must be a pair (lambda, w) of float64 arrays, or None");
    }
    PyObject* lambda_array = PyTuple_GET_ITEM(slots[3], 0);
    PyObject* weight_array = PyTuple_GET_ITEM(slots[3], 1);
    double* lambda = output_column_argument(lambda_array, "out[0]", eta.rows, {eta_data, y_data});
    double* weight = output_column_argument(weight_array, "out[1]", eta.rows, {eta_data, y_data, lambda});
    const double loglike = without_interpreter_lock(
        [&] { return probit_at_index(eta_data, y_data, eta.rows, lambda, weight, threads); });
    PyRef total = checked(PyFloat_FromDouble(loglike));
    return checked(PyTuple_Pack(3, total.get(), lambda_array, weight_array));
  }
  Vector lambda(eta.rows);
  Vector weight(eta.rows);
  const double loglike = without_interpreter_lock(
      [&] { return probit_at_index(eta_data, y_data, eta.rows, lambda.data(), weight.data(), threads); });
  PyRef total = checked(PyFloat_FromDouble(loglike));
  PyRef lambda_array = output_array(StridedArray::from(std::move(lambda)));
  PyRef weight_array = output_array(StridedArray::from(std::move(weight)));
  return checked(PyTuple_Pack(3, total.get(), lambda_array.get(), weight_array.get()));
}

}  // namespace

const FastCallEntry probit_at_index_entry = guarded_fast_call<probit_at_index_body>;

}  // namespace kestrum
