// ame: reads a fitted model, classifies its regressors, computes the average
// marginal effects and returns them as a table.
#include "bindings/ame.hpp"

#include <string>
#include <vector>

#include "interface/call_protocol.hpp"
#include "interface/arguments.hpp"
#include "interface/arrays.hpp"
#include "interface/lists.hpp"
#include "margins/ame_kernel.hpp"
#include "bindings/ame_table.hpp"

namespace kestrum {

const char* const kAmeDoc =
    "ame(probit_model, chunk_size=...)\n--\n\nCalculates Average Marginal Effects (AME) for a Probit model";

namespace {

constexpr const char* kParameters[] = {"probit_model", "chunk_size"};
constexpr Signature kSignature{"ame", kParameters, 1};

// What ame reads from the model, in reading order. The coefficients and
// their covariance are copied as soon as they pass their check, since the
// reads after them run Python code that could change those arrays in place.
// X is read last and stays referenced; it is read in place.
struct FittedModel {
  Vector params;
  Matrix cov_params;
  std::vector<std::string> exog_names;
  PyRef exog;  // 2-D float64
};

FittedModel read_model(PyObject* model) {
  FittedModel fitted;
  PyRef params = checked(PyObject_GetAttrString(model, "params"));
  fitted.params = copy_vector(view_array(require_array(params.get(), 1)));
  PyRef cov_method = checked(PyObject_GetAttrString(model, "cov_params"));
  PyRef cov = checked(PyObject_CallNoArgs(cov_method.get()));
  fitted.cov_params = copy_matrix(view_array(require_array(cov.get(), 2)));
  {
    PyRef inner = checked(PyObject_GetAttrString(model, "model"));
    PyRef names = checked(PyObject_GetAttrString(inner.get(), "exog_names"));
    fitted.exog_names = to_string_list(names.get());
  }
  PyRef inner = checked(PyObject_GetAttrString(model, "model"));  // looked up afresh
  fitted.exog = checked(PyObject_GetAttrString(inner.get(), "exog"));
  require_array(fitted.exog.get(), 2);
  return fitted;
}

// A constant term is recognised by its name alone: "const" or "intercept"
// after full Unicode lower-casing, nothing else.
bool is_excluded_name(const std::string& name) {
  PyRef text = checked(PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), nullptr));
  PyRef lower = checked(PyObject_CallMethod(text.get(), "lower", nullptr));
  return PyUnicode_CompareWithASCIIString(lower.get(), "const") == 0 ||
         PyUnicode_CompareWithASCIIString(lower.get(), "intercept") == 0;
}

// Names decide which columns are left out; the 0/1 test of the others is made
// as X is read. A column without a name counts as continuous.
std::vector<RegressorKind> classify(const std::vector<std::string>& names, size_t k) {
  std::vector<bool> excluded(names.size());
  for (size_t i = 0; i < names.size(); ++i) excluded[i] = is_excluded_name(names[i]);
  std::vector<RegressorKind> kinds(k, RegressorKind::continuous);
  for (size_t i = 0; i < names.size(); ++i) {
    if (excluded[i]) {
      if (i < k) kinds[i] = RegressorKind::excluded;
      continue;
    }
    if (i >= k) panic("assertion failed: index < dim");
    kinds[i] = RegressorKind::indicator_if_binary;
  }
  return kinds;
}

template <class View>
std::vector<AmeRow> effects_table_rows(const FittedModel& fitted, const View& X, size_t rows, size_t k,
                                       size_t block_rows) {
  const std::vector<RegressorKind> kinds = classify(fitted.exog_names, k);
  const std::vector<MarginalEffect> effects =
      average_marginal_effects(X, rows, fitted.params, fitted.cov_params, kinds, block_rows);
  std::vector<AmeRow> table_rows;
  for (size_t j = 0; j < k; ++j) {
    if (kinds[j] == RegressorKind::excluded) continue;
    if (j >= fitted.exog_names.size()) {
      const std::string length = std::to_string(fitted.exog_names.size());
      panic("index out of bounds: the len is " + length + " but the index is " + std::to_string(j));
    }
    table_rows.push_back(AmeRow{fitted.exog_names[j], effects[j]});
  }
  return table_rows;
}

PyRef ame_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[std::size(kParameters)];
  bind_arguments(kSignature, args, nargs, kwnames, slots);
  const std::optional<uint64_t> chunk_size = optional_u64_argument(slots[1], "chunk_size");

  const FittedModel fitted = read_model(slots[0]);
  const ArrayView X = view_array(fitted.exog.get());
  const size_t rows = X.rows(), k = X.cols();
  if (chunk_size == 0 && rows > 0) raise(PyExc_ValueError, "chunk_size must be at least 1");
  const size_t block_rows = chunk_size ? static_cast<size_t>(*chunk_size) : std::max<size_t>(rows, 1);

  const std::vector<AmeRow> table_rows = X.element_strided()
                                             ? effects_table_rows(fitted, X.matrix_view(), rows, k, block_rows)
                                             : effects_table_rows(fitted, X, rows, k, block_rows);
  return ame_table(table_rows);
}

}  // namespace

PyObject* ame(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&] { return ame_body(args, nargs, kwnames); });
}

}  // namespace kestrum
