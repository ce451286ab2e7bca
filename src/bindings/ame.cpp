// ame: reads a fitted model, checks that it is a probit model whose pieces fit
// together, classifies its regressors, computes the average marginal effects
// and returns them as a table.
#include "bindings/ame.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "interface/call_protocol.hpp"
#include "interface/arguments.hpp"
#include "interface/arrays.hpp"
#include "interface/lists.hpp"
#include "interface/probit_models.hpp"
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
    refuse_other_models(inner.get(), "ame", "probit_model");
    PyRef names = checked(PyObject_GetAttrString(inner.get(), "exog_names"));
    fitted.exog_names = to_string_list(names.get());
  }
  PyRef inner = checked(PyObject_GetAttrString(model, "model"));  // looked up afresh
  fitted.exog = checked(PyObject_GetAttrString(inner.get(), "exog"));
  require_array(fitted.exog.get(), 2);
  return fitted;
}

// Raises when params, the covariance or the names do not fit the k columns
// of X; made before anything is sized by k. Names may go on past k only with
// constant names, which are left out anyway.
void check_sizes(const FittedModel& fitted, size_t k) {
  const std::string columns = " but model.exog has " + std::to_string(k) + " columns";
  if (fitted.params.size() != k) {
    raise(PyExc_ValueError, "params has " + std::to_string(fitted.params.size()) + " entries" + columns);
  }
  if (fitted.cov_params.rows() != k || fitted.cov_params.cols() != k) {
    raise(PyExc_ValueError, "cov_params() is " + std::to_string(fitted.cov_params.rows()) + " x " +
                                std::to_string(fitted.cov_params.cols()) + columns);
  }
  const size_t names = fitted.exog_names.size();
  const bool only_constants_past_k =
      std::all_of(fitted.exog_names.begin() + static_cast<ptrdiff_t>(std::min(names, k)), fitted.exog_names.end(),
                  is_constant_name);
  if (names < k || !only_constants_past_k) {
    raise(PyExc_ValueError, "model.exog_names has " + std::to_string(names) + " names" + columns);
  }
}

// Names decide which columns are left out; the 0/1 test of the others is made
// as X is read. check_sizes has made sure there is a name for every column.
std::vector<RegressorKind> classify(const std::vector<std::string>& names, size_t k) {
  std::vector<RegressorKind> kinds(k);
  for (size_t i = 0; i < k; ++i) {
    kinds[i] = is_constant_name(names[i]) ? RegressorKind::excluded : RegressorKind::indicator_if_binary;
  }
  return kinds;
}

std::vector<AmeRow> effects_table_rows(const FittedModel& fitted, const TileSource& X, size_t block_rows) {
  const size_t k = X.cols();
  const std::vector<RegressorKind> kinds = classify(fitted.exog_names, k);
  const std::vector<MarginalEffect> effects =
      average_marginal_effects(X, fitted.params, fitted.cov_params, kinds, block_rows, throw_if_interrupted);
  std::vector<AmeRow> table_rows;
  for (size_t j = 0; j < k; ++j) {
    if (kinds[j] == RegressorKind::excluded) continue;
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
  check_sizes(fitted, k);
  const size_t block_rows = chunk_size ? static_cast<size_t>(*chunk_size) : std::max<size_t>(rows, 1);

  return ame_table(effects_table_rows(fitted, TileSource(X), block_rows));
}

}  // namespace

const FastCallEntry ame = guarded_fast_call<ame_body>;

}  // namespace kestrum
