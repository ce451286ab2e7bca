// fit_probit: argument binding, validation of endog, exog and cluster_vars,
// and the owned copies handed to the estimation run.
#include "bindings/fit_probit.hpp"

#include <string>

#include "interface/call_protocol.hpp"
#include "bindings/estimation_run.hpp"
#include "estimation/clusters.hpp"
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

constexpr const char* kIgnoredClusters =
    "cluster_vars is ignored without robust=True: pass robust=True for cluster-robust standard errors, "
    "or leave cluster_vars out";

// The outcome as a one-dimensional owned copy, checked to hold only 0 and 1:
// endog_py must announce shape (n,) or (n, 1) and be a float64 array of that
// dimension.
CheckedCopy read_endog(PyObject* endog) {
  PyRef shape = checked(PyObject_GetAttrString(endog, "shape"));
  if (!PyTuple_Check(shape.get())) raise_downcast_error(shape.get(), "PyTuple");
  const Py_ssize_t length = PyTuple_GET_SIZE(shape.get());
  if (length != 1 && length != 2) {
    raise(PyExc_ValueError, "expected tuple of length 2, but got tuple of length " + std::to_string(length));
  }
  const uint64_t n = to_u64(PyTuple_GET_ITEM(shape.get(), 0));
  if (length == 1) return owned_copy(view_array(require_array(endog, 1)), ValueRule::zero_or_one);

  const uint64_t m = to_u64(PyTuple_GET_ITEM(shape.get(), 1));
  if (m != 1) {
    raise(PyExc_ValueError, "endog must be shape (nobs,) or (nobs,1). got=(" + std::to_string(n) + ",Some(" +
                                std::to_string(m) + "))");
  }
  const ArrayView column = view_array(require_array(endog, 2));
  Vector y(column.rows());
  bool valid = true;
  for (size_t i = 0; i < column.rows(); ++i) {
    y[i] = column(i, 0);
    valid = valid && obeys(ValueRule::zero_or_one, y[i]);
  }
  return CheckedCopy{StridedArray::from(std::move(y)), valid};
}

// The cluster variables, read in place; raises for a cluster_vars that is not
// an nobs x m float64 array with m >= 1.
ArrayView cluster_values(PyObject* cluster_vars, size_t nobs) {
  const ArrayView values = view_array(require_array(cluster_vars, 2));
  if (values.rows() != nobs) {
    raise(PyExc_ValueError, "cluster mismatch: got " + std::to_string(values.rows()) +
                                " rows, nobs=" + std::to_string(nobs));
  }
  if (values.cols() == 0) {
    raise(PyExc_ValueError, "cluster_vars has no columns: pass an (nobs, m) array with m >= 1, one column per "
                            "clustering variable, or None for no clustering");
  }
  return values;
}

void refuse_masked(PyObject* array, const char* parameter) {
  if (!is_masked_array(array)) return;
  raise(PyExc_TypeError, std::string("argument '") + parameter +
                             "': masked arrays are not accepted, since the mask would be ignored; pass "
                             ".filled(value) or only the unmasked rows (.compressed() for one dimension)");
}

// Raises the ValueError for the first value of `copy` that breaks `rule`.
[[noreturn]] void raise_breach(const StridedArray& copy, ValueRule rule) {
  const MatrixView values = copy.view();
  const Position at = first_breach(values, rule);
  const std::string found = float_repr(values(at.row, at.col));
  if (rule == ValueRule::zero_or_one) {
    raise(PyExc_ValueError, "endog must hold only 0 and 1: found " + found + " at row " + std::to_string(at.row));
  }
  raise(PyExc_ValueError, "exog must be finite: found " + found + " at row " + std::to_string(at.row) +
                              ", column " + std::to_string(at.col));
}

PyRef fit_probit_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[std::size(kParameters)];
  bind_arguments(kSignature, args, nargs, kwnames, slots);
  PyObject* exog = convert_argument("exog_py", [&] { return extract_array_strict(slots[1], 2); });
  // Copied at once: the conversions and the endog inspection below run Python
  // code that could reshape or retype exog_py in place. The values are checked
  // as they are copied and refused only after every other argument error.
  CheckedCopy X = owned_copy(view_array(exog), ValueRule::finite);
  const uint64_t max_iter = optional_u64_argument(slots[2], "max_iter").value_or(kDefaultMaxIter);
  const double tol = optional_double_argument(slots[3], "tol").value_or(kDefaultTol);
  const bool robust = optional_bool_argument(slots[4], "robust").value_or(false);

  CheckedCopy y = read_endog(slots[0]);
  const size_t nobs = y.array.rows();
  if (X.array.rows() != nobs) {
    raise(PyExc_ValueError,
          "exog mismatch: got " + std::to_string(X.array.rows()) + " rows, nobs=" + std::to_string(nobs));
  }
  PyObject* cluster_vars = robust && !is_omitted(slots[5]) ? slots[5] : nullptr;
  if (cluster_vars != nullptr) cluster_values(cluster_vars, nobs);
  refuse_masked(slots[0], "endog_py");
  refuse_masked(exog, "exog_py");
  if (cluster_vars != nullptr) refuse_masked(cluster_vars, "cluster_vars");
  if (!y.valid) raise_breach(y.array, ValueRule::zero_or_one);
  if (!X.valid) raise_breach(X.array, ValueRule::finite);
  if (!robust && !is_omitted(slots[5])) warn(PyExc_UserWarning, kIgnoredClusters);

  EstimationInputs inputs;
  inputs.y = std::move(y.array);
  inputs.X = std::move(X.array);
  inputs.max_iter = max_iter;
  inputs.tol = tol;
  inputs.robust = robust;
  // Grouped before the fit, which runs signal handlers; the array is checked
  // again, as the checks above ran Python code.
  if (cluster_vars != nullptr) inputs.clusters = combine_cluster_keys(cluster_values(cluster_vars, nobs));
  return run_estimation(std::move(inputs));
}

}  // namespace

const FastCallEntry fit_probit = guarded_fast_call<fit_probit_body>;

}  // namespace kestrum
