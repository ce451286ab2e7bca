#include "frames_native/statistics.hpp"

#include <string>
#include <utility>
#include <vector>

#include "frames_native/partition_arguments.hpp"
#include "interface/arguments.hpp"
#include "interface/arrays.hpp"
#include "interface/call_protocol.hpp"
#include "interface/lists.hpp"
#include "interface/probit_models.hpp"
#include "margins/delta_method.hpp"
#include "numeric/strided_array.hpp"

namespace kestrum {

const char* const kDeltaMethodDoc =
    "delta_method(estimates, variances=None, jacobians=None, cov=None, alpha=0.05)\n--\n\n"
    "se, z, two-sided p and the 1 - alpha interval (low, high) of the estimates (n float64), from their variances\n"
    "(n) or from their Jacobian (n x k) and the k x k covariance of the coefficients: a dict of float64 arrays.";
const char* const kNormalIntervalDoc =
    "normal_interval(estimates, std_errors, alpha=0.05)\n--\n\n"
    "The 1 - alpha normal interval estimates -/+ q std_errors, q = Phi^-1(1 - alpha / 2): (low, high).";
const char* const kSignificanceLabelsDoc =
    "significance_labels(p)\n--\n\nThe significance label of each p-value (float64 array): '***', '**', '*' or ''.";
const char* const kConstantNamesDoc =
    "constant_names(names)\n--\n\nWhether each name (str) names a constant term, which the effects leave out.";

namespace {

Vector vector_copy(PyObject* obj, const char* parameter) {
  convert_argument(parameter, [&] { return extract_array_strict(obj, 1); });
  return copy_vector(view_array(obj));
}

Matrix matrix_copy(PyObject* obj, const char* parameter) {
  convert_argument(parameter, [&] { return extract_array_strict(obj, 2); });
  return copy_matrix(view_array(obj));
}

// q = Phi^-1(1 - alpha / 2) for alpha in (0, 1), 0.05 when omitted.
double critical_value_argument(PyObject* slot) {
  const double alpha = optional_double_argument(slot, "alpha").value_or(0.05);
  if (!(alpha > 0.0 && alpha < 1.0)) {
    raise(PyExc_ValueError, "alpha must be between 0 and 1 (0.05 for 95% intervals), not " + std::to_string(alpha));
  }
  return interval_critical_value(alpha);
}

PyRef array_of(Vector&& values) { return output_array(StridedArray::from(std::move(values))); }

// The 1 - alpha interval estimate_j -/+ q se_j: (low, high).
std::pair<Vector, Vector> interval_bounds(const Vector& estimates, const Vector& se, double q) {
  Vector low(estimates.size()), high(estimates.size());
  for (size_t j = 0; j < estimates.size(); ++j) {
    low[j] = estimates[j] - q * se[j];
    high[j] = estimates[j] + q * se[j];
  }
  return {std::move(low), std::move(high)};
}

PyRef delta_method_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* parameters[] = {"estimates", "variances", "jacobians", "cov", "alpha"};
  PyObject* slots[std::size(parameters)];
  bind_arguments(Signature{"delta_method", parameters, 1}, args, nargs, kwnames, slots);
  const Vector estimates = vector_copy(slots[0], "estimates");
  const size_t n = estimates.size();
  if (is_omitted(slots[1]) == (is_omitted(slots[2]) || is_omitted(slots[3]))) {
    raise(PyExc_TypeError, "delta_method() takes either variances, or jacobians and cov");
  }
  Vector variances;
  if (!is_omitted(slots[1])) {
    variances = vector_copy(slots[1], "variances");
    require_extent("variances", "entries", variances.size(), n);
  } else {
    const Matrix jacobians = matrix_copy(slots[2], "jacobians");
    const Matrix cov = matrix_copy(slots[3], "cov");
    require_extent("jacobians", "rows", jacobians.rows(), n);
    require_extent("cov", "rows", cov.rows(), jacobians.cols());
    require_extent("cov", "columns", cov.cols(), jacobians.cols());
    variances = delta_method_variances(jacobians, cov);
  }
  const double q = critical_value_argument(slots[4]);
  Vector se(n), z(n), p(n);
  for (size_t j = 0; j < n; ++j) {
    const NormalStatistics s = normal_statistics(estimates[j], variances[j]);
    se[j] = s.std_error;
    z[j] = s.z;
    p[j] = s.p;
  }
  auto [low, high] = interval_bounds(estimates, se, q);
  PyRef dict = checked(PyDict_New());
  check_status(PyDict_SetItemString(dict.get(), "se", array_of(std::move(se)).get()));
  check_status(PyDict_SetItemString(dict.get(), "z", array_of(std::move(z)).get()));
  check_status(PyDict_SetItemString(dict.get(), "p", array_of(std::move(p)).get()));
  check_status(PyDict_SetItemString(dict.get(), "low", array_of(std::move(low)).get()));
  check_status(PyDict_SetItemString(dict.get(), "high", array_of(std::move(high)).get()));
  return dict;
}

PyRef normal_interval_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* parameters[] = {"estimates", "std_errors", "alpha"};
  PyObject* slots[std::size(parameters)];
  bind_arguments(Signature{"normal_interval", parameters, 2}, args, nargs, kwnames, slots);
  const Vector estimates = vector_copy(slots[0], "estimates");
  const Vector se = vector_copy(slots[1], "std_errors");
  require_extent("std_errors", "entries", se.size(), estimates.size());
  auto [low, high] = interval_bounds(estimates, se, critical_value_argument(slots[2]));
  PyRef lows = array_of(std::move(low)), highs = array_of(std::move(high));
  return checked(PyTuple_Pack(2, lows.get(), highs.get()));
}

PyRef significance_labels_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* parameters[] = {"p"};
  PyObject* slots[std::size(parameters)];
  bind_arguments(Signature{"significance_labels", parameters, 1}, args, nargs, kwnames, slots);
  const Vector p = vector_copy(slots[0], "p");
  std::vector<std::string> labels;
  labels.reserve(p.size());
  for (size_t j = 0; j < p.size(); ++j) labels.emplace_back(significance_label(p[j]));
  return to_python_list(labels);
}

PyRef constant_names_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* parameters[] = {"names"};
  PyObject* slots[std::size(parameters)];
  bind_arguments(Signature{"constant_names", parameters, 1}, args, nargs, kwnames, slots);
  const std::vector<std::string> names = convert_argument("names", [&] { return to_string_list(slots[0]); });
  PyRef flags = checked(PyList_New(static_cast<Py_ssize_t>(names.size())));
  for (size_t j = 0; j < names.size(); ++j) {
    PyList_SET_ITEM(flags.get(), static_cast<Py_ssize_t>(j), PyRef::borrow(is_constant_name(names[j]) ? Py_True : Py_False).release());
  }
  return flags;
}

}  // namespace

PyRef significance_levels() {
  PyRef levels = checked(PyTuple_New(static_cast<Py_ssize_t>(kSignificanceLevels.size())));
  for (size_t j = 0; j < kSignificanceLevels.size(); ++j) {
    PyTuple_SET_ITEM(levels.get(), static_cast<Py_ssize_t>(j),
                     checked(Py_BuildValue("(ds)", kSignificanceLevels[j].below, kSignificanceLevels[j].label)).release());
  }
  return levels;
}

const FastCallEntry delta_method_entry = guarded_fast_call<delta_method_body>;
const FastCallEntry normal_interval_entry = guarded_fast_call<normal_interval_body>;
const FastCallEntry significance_labels = guarded_fast_call<significance_labels_body>;
const FastCallEntry constant_names = guarded_fast_call<constant_names_body>;

}  // namespace kestrum
