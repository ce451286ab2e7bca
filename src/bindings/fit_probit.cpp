// fit_probit: argument binding, validation of endog and exog, and the owned
// copies handed to the estimation run.
#include "bindings/fit_probit.hpp"

#include <string>

#include "interface/call_protocol.hpp"
#include "bindings/estimation_run.hpp"
#include "interface/arguments.hpp"
#include "interface/arrays.hpp"

namespace kestrum {

const char* const kFitProbitDoc =
    "fit_probit(endog_py, exog_py, max_iter=..., tol=..., robust=..., cluster_vars=...)\n--\n\n";

namespace {

constexpr const char* kParameters[] = {"endog_py", "exog_py", "max_iter", "tol", "robust", "cluster_vars"};
constexpr Signature kSignature{"fit_probit", kParameters, 2};

constexpr uint64_t kDefaultMaxIter = 35;
constexpr double kDefaultTol = 1e-6;

// The outcome as a one-dimensional owned copy: endog_py must announce shape
// (n,) or (n, 1) and be a float64 array of that dimension.
StridedArray read_endog(PyObject* endog) {
  PyRef shape = checked(PyObject_GetAttrString(endog, "shape"));
  if (!PyTuple_Check(shape.get())) raise_downcast_error(shape.get(), "PyTuple");
  const Py_ssize_t length = PyTuple_GET_SIZE(shape.get());
  if (length != 1 && length != 2) {
    raise(PyExc_ValueError, "expected tuple of length 2, but got tuple of length " + std::to_string(length));
  }
  const uint64_t n = to_u64(PyTuple_GET_ITEM(shape.get(), 0));
  if (length == 1) return owned_copy(view_array(require_array(endog, 1)));

  const uint64_t m = to_u64(PyTuple_GET_ITEM(shape.get(), 1));
  if (m != 1) {
    raise(PyExc_ValueError, "endog must be shape (nobs,) or (nobs,1). got=(" + std::to_string(n) + ",Some(" +
                                std::to_string(m) + "))");
  }
  const ArrayView column = view_array(require_array(endog, 2));
  Vector y(column.rows());
  for (size_t i = 0; i < column.rows(); ++i) y[i] = column(i, 0);
  return StridedArray::from(std::move(y));
}

PyRef fit_probit_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[std::size(kParameters)];
  bind_arguments(kSignature, args, nargs, kwnames, slots);
  PyObject* exog = convert_argument("exog_py", [&] { return extract_array_strict(slots[1], 2); });
  // Copied at once: the conversions and the endog inspection below run Python
  // code that could reshape or retype exog_py in place.
  StridedArray X = owned_copy(view_array(exog));
  const uint64_t max_iter = optional_u64_argument(slots[2], "max_iter").value_or(kDefaultMaxIter);
  const double tol = optional_double_argument(slots[3], "tol").value_or(kDefaultTol);
  const bool robust = optional_bool_argument(slots[4], "robust").value_or(false);

  EstimationInputs inputs;
  inputs.y = read_endog(slots[0]);
  if (X.rows() != inputs.y.rows()) {
    raise(PyExc_ValueError,
          "exog mismatch: got " + std::to_string(X.rows()) + " rows, nobs=" + std::to_string(inputs.y.rows()));
  }
  inputs.X = std::move(X);
  inputs.max_iter = max_iter;
  inputs.tol = tol;
  inputs.robust = robust;
  inputs.cluster_vars = slots[5];
  return run_estimation(std::move(inputs));
}

}  // namespace

PyObject* fit_probit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&] { return fit_probit_body(args, nargs, kwnames); });
}

}  // namespace kestrum
