#include "frames_native/predictions.hpp"

#include "frames_native/partition_arguments.hpp"
#include "frames_native/released_lock.hpp"
#include "interface/arguments.hpp"
#include "interface/arrays.hpp"
#include "interface/call_protocol.hpp"
#include "margins/prediction_kernel.hpp"
#include "numeric/strided_array.hpp"

namespace kestrum {

const char* const kRowPredictionsDoc =
    "row_predictions(X, beta, cov)\n--\n\n"
    "X: an n x k float64 array; beta: k; cov: the k x k covariance of beta.\n"
    "Per row: the linear index x'beta and its standard error sqrt(x'V x), the probability Phi(x'beta)\n"
    "and its delta-method standard error phi(x'beta) sqrt(x'V x), as a dict of four arrays.";

namespace {

void set_item(PyObject* dict, const char* key, Vector&& values) {
  check_status(PyDict_SetItemString(dict, key, output_array(StridedArray::from(std::move(values))).get()));
}

PyRef row_predictions_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* parameters[] = {"X", "beta", "cov"};
  PyObject* slots[std::size(parameters)];
  bind_arguments(Signature{"row_predictions", parameters, 3}, args, nargs, kwnames, slots);
  const MatrixView X = matrix_argument(slots[0], "X", 2);
  const Vector beta = vector_argument(slots[1], "beta", X.cols);
  convert_argument("cov", [&] { return extract_array_strict(slots[2], 2); });
  const ArrayView view = view_array(slots[2]);
  require_extent("cov", "rows", view.rows(), X.cols);
  require_extent("cov", "columns", view.cols(), X.cols);
  const Matrix cov = copy_matrix(view);

  RowPredictions rows = without_interpreter_lock([&] { return predict_rows(X, beta, cov); });
  PyRef dict = checked(PyDict_New());
  set_item(dict.get(), "index", std::move(rows.index));
  set_item(dict.get(), "index_se", std::move(rows.index_se));
  set_item(dict.get(), "probability", std::move(rows.probability));
  set_item(dict.get(), "probability_se", std::move(rows.probability_se));
  return dict;
}

}  // namespace

const FastCallEntry row_predictions = guarded_fast_call<row_predictions_body>;

}  // namespace kestrum
