// effect_group_sums: the binding of the grouped sums of a batch of effects
// over the rows of a partition, in one pass (margins/effect_kernel.hpp).
#include <string>
#include <vector>

#include "frames_native/partition_arguments.hpp"
#include "frames_native/partition_sums.hpp"
#include "frames_native/released_lock.hpp"
#include "interface/arguments.hpp"
#include "interface/arrays.hpp"
#include "interface/call_protocol.hpp"
#include "margins/effect_kernel.hpp"
#include "numeric/strided_array.hpp"

namespace kestrum {

const char* const kEffectGroupSumsDoc =
    "effect_group_sums(link, X, beta, effects, group, groups, weights=None)\n--\n\n"
    "X: an n x k float64 array, or a list of its k columns (contiguous float64, None for ones).\n"
    "effects: a list of (kind, columns, A, B): kind 0 (prediction), 1 (slope: A the derivative of the columns)\n"
    "or 2 (contrast: A and B the columns at the level and at the base), A and B each an n x c array or a list\n"
    "of its c columns (1-D float64, any stride). group: the row's group as a float64 whole number, negative\n"
    "to leave it out; weights: None, or per row a float64 multiplying its value and gradient. Returns per\n"
    "effect (values, gradients): per group the (weighted) sum of the effect and of its gradient in beta.";

namespace {

// A or B of an effect: an n x c float64 array, or a list (or tuple) of its
// c columns, 1-D float64 arrays of n at any whole-element stride (0: one
// value for every row). A list is held as a tuple in `held` for the call.
std::vector<StridedColumn> columns_of_rows(PyObject* obj, const char* parameter, size_t rows, size_t columns,
                                           std::vector<PyRef>& held) {
  std::vector<StridedColumn> out;
  if (!PyList_Check(obj) && !PyTuple_Check(obj)) {
    const MatrixView view = matrix_argument(obj, parameter, 2);
    require_extent(parameter, "rows", view.rows, rows);
    require_extent(parameter, "columns", view.cols, columns);
    for (size_t j = 0; j < columns; ++j) {
      out.push_back({view.origin + static_cast<ptrdiff_t>(j) * view.col_stride, view.row_stride});
    }
    return out;
  }
  held.push_back(checked(PySequence_Tuple(obj)));
  PyObject* items = held.back().get();
  require_extent(parameter, "columns", static_cast<size_t>(PyTuple_GET_SIZE(items)), columns);
  for (size_t j = 0; j < columns; ++j) {
    const std::string name = std::string(parameter) + "[" + std::to_string(j) + "]";
    const MatrixView column = matrix_argument(PyTuple_GET_ITEM(items, static_cast<Py_ssize_t>(j)), name.c_str(), 1);
    require_extent(name.c_str(), "rows", column.rows, rows);
    out.push_back({column.origin, column.row_stride});
  }
  return out;
}

EffectColumns effect_argument(PyObject* obj, size_t n, size_t k, std::vector<PyRef>& held) {
  if (!PyTuple_Check(obj) || PyTuple_GET_SIZE(obj) != 4) {
    raise(PyExc_TypeError, "effects must hold tuples (kind, columns, A, B)");
  }
  const uint64_t kind = convert_argument("kind", [&] { return to_u64(PyTuple_GET_ITEM(obj, 0)); });
  if (kind > 2) raise(PyExc_ValueError, "kind must be 0, 1 or 2");
  EffectColumns effect;
  effect.kind = static_cast<EffectKind>(kind);
  effect.columns = column_numbers_argument(PyTuple_GET_ITEM(obj, 1), "columns", k);
  if (effect.kind != EffectKind::prediction) {
    effect.A = columns_of_rows(PyTuple_GET_ITEM(obj, 2), "A", n, effect.columns.size(), held);
  }
  if (effect.kind == EffectKind::contrast) {
    effect.B = columns_of_rows(PyTuple_GET_ITEM(obj, 3), "B", n, effect.columns.size(), held);
  }
  return effect;
}

PyRef effect_group_sums_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* parameters[] = {"link", "X", "beta", "effects", "group", "groups", "weights"};
  PyObject* slots[std::size(parameters)];
  bind_arguments(Signature{"effect_group_sums", parameters, 6}, args, nargs, kwnames, slots);
  const int link = PyObject_IsTrue(slots[0]);
  if (link < 0) throw_python_error();
  TileSourceArgument X;
  regressors_argument(slots[1], X);
  EffectRows rows;
  rows.X = X.X;
  const size_t n = rows.rows(), k = rows.cols();
  const Vector beta = vector_argument(slots[2], "beta", k);
  if (!PyList_Check(slots[3])) raise(PyExc_TypeError, "effects must be a list of tuples (kind, columns, A, B)");
  // A tuple of the list's items holds their arrays while the lock is released, whatever happens to the list.
  const PyRef effects = checked(PyList_AsTuple(slots[3]));
  std::vector<PyRef> held;  // the effects' lists of columns, as tuples
  for (Py_ssize_t e = 0; e < PyTuple_GET_SIZE(effects.get()); ++e) {
    rows.effects.push_back(effect_argument(PyTuple_GET_ITEM(effects.get(), e), n, k, held));
  }
  const MatrixView group = matrix_argument(slots[4], "group", 1);
  require_extent("group", "rows", group.rows, n);
  if (group.row_stride != 1 && n > 1) raise(PyExc_ValueError, "group must be contiguous");
  rows.group = group.origin;
  rows.groups = static_cast<size_t>(convert_argument("groups", [&] { return to_u64(slots[5]); }));
  for (size_t i = 0; i < n; ++i) {
    if (rows.group[i] >= static_cast<double>(rows.groups)) {
      raise(PyExc_ValueError, "group holds " + std::to_string(rows.group[i]) + " in row " + std::to_string(i) +
                                  ", beyond the " + std::to_string(rows.groups) + " groups");
    }
  }
  if (!is_omitted(slots[6])) {
    const MatrixView weights = matrix_argument(slots[6], "weights", 1);
    require_extent("weights", "rows", weights.rows, n);
    if (weights.row_stride != 1 && n > 1) raise(PyExc_ValueError, "weights must be contiguous");
    rows.weights = weights.origin;
  }
  std::vector<EffectGroupSums> sums =
      without_interpreter_lock([&] { return effect_group_sums(link != 0, rows, beta); });
  PyRef out = checked(PyList_New(static_cast<Py_ssize_t>(sums.size())));
  for (size_t e = 0; e < sums.size(); ++e) {
    PyRef values = output_array(StridedArray::from(std::move(sums[e].values)));
    PyRef gradients = output_array(StridedArray::from(std::move(sums[e].gradients)));
    PyRef pair = checked(PyTuple_Pack(2, values.get(), gradients.get()));
    PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(e), pair.release());
  }
  return out;
}

}  // namespace

const FastCallEntry effect_group_sums_entry = guarded_fast_call<effect_group_sums_body>;

}  // namespace kestrum
