#include "frames_native/totals.hpp"

#include "estimation/cluster_codes.hpp"
#include "estimation/clusters.hpp"
#include "estimation/covariance.hpp"
#include "estimation/covariance_estimate.hpp"
#include "frames_native/partition_arguments.hpp"
#include "frames_native/released_lock.hpp"
#include "frames_native/sums_exchange.hpp"
#include "interface/arguments.hpp"
#include "interface/arrays.hpp"
#include "interface/call_protocol.hpp"
#include "interface/fit_messages.hpp"
#include "interface/lists.hpp"
#include "interface/probit_models.hpp"
#include "numeric/platform.hpp"
#include "numeric/strided_array.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kestrum {

const char* const kCovarianceDoc =
    "covariance(hessian, meat=None, groupings=None, vcov=None, nobs=None, beta=None, names=None)\n--\n\n"
    "V from the Hessian and the HC0 meat, or the groupings' (meat, G, sign); with beta, dependent columns dropped.\n"
    "A dict of params (with beta), cov, columns_involved, dropped and the warnings' texts (columns named by names).";
const char* const kFitWarningsDoc =
    "fit_warnings(perfectly_predicted, out_of_range, names)\n--\n\nThe texts of the maximiser's warnings.";
const char* const kClusterMeatDoc =
    "cluster_meat(score_sums)\n--\n\nThe sum of the outer products of the rows, in row order.";
const char* const kPartsClusterSumsDoc =
    "parts_cluster_sums(parts, clusters)\n--\n\n"
    "g_c of `clusters` clusters, one row each, added up from the parts in order: each part a pair of the\n"
    "model-wide numbers of its rows' clusters (int64, or whole numbers as float64) and their score sums\n"
    "(one row each), added in row order.";
const char* const kCellMeatsDoc =
    "cell_meats(totals, coarser, cells_per_piece, threads)\n--\n\n"
    "The meats of a multi-way clustering from the score sums of the cells of its finest grouping (totals,\n"
    "cells x k float64): first sum_c g_c g_c' of the cells, in pieces of cells_per_piece cells added in order,\n"
    "then that of each coarser grouping, coarser a list of pairs (the cluster of each cell, int64; their\n"
    "number), its g_c the sums of its cells in their order; on up to threads threads (the same bits on any).";
const char* const kFinishEffectsDoc =
    "finish_effects(parts, cov)\n--\n\n"
    "The average marginal effects and their delta-method statistics from the partitions' sums, added in order.";
const char* const kClusterKeysDoc =
    "cluster_keys(values)\n--\n\n"
    "The int64 key of every value of values (n float64) under the cluster key rule, an int64 array.";
const char* const kClusterCodesDoc =
    "cluster_codes(codes, extent=0)\n--\n\n"
    "The clusters of int64 codes (n,): rows with equal codes share one, numbered by first appearance. Returns\n"
    "the numbers (int64) and the count. extent, when not 0: every code lies in [0, extent).";
const char* const kValueCodesDoc =
    "value_codes(values)\n--\n\n"
    "The clusters of the cluster keys of values (n,: float64, or int64 taken as float64), numbered by first\n"
    "appearance, without forming the keys: what cluster_codes gives cluster_keys' keys. Returns the numbers\n"
    "(int64) and the count.";
const char* const kCombinedCodesDoc =
    "combined_codes(columns, with_first_rows=False)\n--\n\n"
    "The clusters of the combinations of numbered columns' values, numbered by first appearance: columns a\n"
    "list of pairs (the cluster of each row, int64 below the count; their count). Returns the numbers (int64)\n"
    "and the count: those cluster_codes gives the codes a G_b + b of two columns, and so on; with_first_rows,\n"
    "also the first row of each cluster (int64, in the order of their numbers: what first_rows gives).";
const char* const kFirstRowsDoc =
    "first_rows(numbers)\n--\n\n"
    "The rows (int64) where the running maximum of int64 numbers (n,) rises: for numbers by first appearance,\n"
    "the first row of each cluster, in the order of their numbers.";
const char* const kCheckProbitModelDoc =
    "check_probit_model(model, function, argument)\n--\n\n"
    "TypeError for a fitted model whose effects the probit formulas would get wrong (as kestrum.ame decides).";

namespace {

std::string text_argument(PyObject* obj, const char* parameter) {
  if (!PyUnicode_Check(obj)) raise(PyExc_TypeError, std::string(parameter) + " must be a str");
  return utf8_text(obj);
}

// A k x k copy of a square float64 array.
Matrix square_argument(PyObject* obj, const char* parameter) {
  convert_argument(parameter, [&] { return extract_array_strict(obj, 2); });
  const ArrayView view = view_array(obj);
  require_extent(parameter, "columns", view.cols(), view.rows());
  return copy_matrix(view);
}

// The meats of the groupings, each a triple (meat, G, sign) with a k x k meat.
std::vector<Matrix> grouping_meats(PyObject* obj, size_t k, std::vector<GroupingMeat>& terms) {
  PyRef sequence = convert_argument("groupings", [&] { return checked(PySequence_Fast(obj, "expected a sequence")); });
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
  std::vector<Matrix> meats;
  meats.reserve(static_cast<size_t>(count));
  for (Py_ssize_t t = 0; t < count; ++t) {
    PyObject* term = PySequence_Fast_GET_ITEM(sequence.get(), t);
    const std::string name = "groupings[" + std::to_string(t) + "]";
    if (!PyTuple_Check(term) || PyTuple_GET_SIZE(term) != 3) raise(PyExc_TypeError, name + " must be (meat, G, sign)");
    meats.push_back(square_argument(PyTuple_GET_ITEM(term, 0), (name + "[0]").c_str()));
    require_extent((name + "[0]").c_str(), "rows", meats.back().rows(), k);
    const uint64_t clusters = convert_argument(name.c_str(), [&] { return to_u64(PyTuple_GET_ITEM(term, 1)); });
    int overflow = 0;  // an int beyond a long: refused as any other sign
    const long sign = PyLong_Check(PyTuple_GET_ITEM(term, 2)) ? PyLong_AsLongAndOverflow(PyTuple_GET_ITEM(term, 2), &overflow) : 0;
    if (overflow != 0 || (sign != 1 && (sign != -1 || t == 0))) raise(PyExc_ValueError, name + (t == 0 ? "[2] must be 1" : "[2] must be 1 or -1"));
    terms.push_back(GroupingMeat{&meats.back(), clusters, static_cast<int>(sign)});  // reserved: never moved
  }
  return meats;
}

SmallSampleFactor factor_argument(PyObject* slot) {
  if (is_omitted(slot)) return SmallSampleFactor::kNone;
  const std::string vcov = text_argument(slot, "vcov");
  if (vcov == "HC1") return SmallSampleFactor::kObservations;
  if (vcov == "CR1") return SmallSampleFactor::kClusters;
  if (vcov == "nonrobust" || vcov == "HC0" || vcov == "CR0") return SmallSampleFactor::kNone;
  raise(PyExc_ValueError, "vcov must be 'nonrobust', 'HC0', 'HC1', 'CR0' or 'CR1', not '" + vcov + "'");
}

PyRef covariance_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* parameters[] = {"hessian", "meat", "groupings", "vcov", "nobs", "beta", "names"};
  PyObject* slots[std::size(parameters)];
  bind_arguments(Signature{"covariance", parameters, 1}, args, nargs, kwnames, slots);
  const Matrix hessian = square_argument(slots[0], "hessian");
  const size_t k = hessian.rows();
  CovarianceRequest request;
  request.hessian = &hessian;
  std::optional<Matrix> meat;
  if (!is_omitted(slots[1])) {
    meat = square_argument(slots[1], "meat");
    require_extent("meat", "rows", meat->rows(), k);
    request.meat = &*meat;
  }
  const std::vector<Matrix> meats =
      is_omitted(slots[2]) ? std::vector<Matrix>() : grouping_meats(slots[2], k, request.groupings);
  request.factor = factor_argument(slots[3]);
  if (request.factor == SmallSampleFactor::kObservations) {
    const std::optional<double> nobs = optional_double_argument(slots[4], "nobs");
    if (!nobs || !(*nobs > 1.0)) raise(PyExc_ValueError, "vcov='HC1' needs nobs above 1");
    request.nobs = *nobs;
  }
  std::optional<Vector> beta;
  if (!is_omitted(slots[5])) {
    beta = vector_argument(slots[5], "beta", k);
    request.beta = &*beta;
  }
  std::vector<std::string> names = is_omitted(slots[6]) ? numbered_names(k) : to_string_list(slots[6]);
  require_extent("names", "items", names.size(), k);

  CovarianceEstimate estimate = estimate_covariance(request);
  const std::vector<std::string> texts = covariance_warnings(estimate, MessageNames{names, "cluster", "column"});
  PyRef dict = checked(PyDict_New());
  const auto set = [&](const char* key, const PyRef& value) {
    check_status(PyDict_SetItemString(dict.get(), key, value.get()));
  };
  set("params", beta ? output_array(StridedArray::from(std::move(estimate.params))) : PyRef::borrow(Py_None));
  set("cov", output_array(StridedArray::from(std::move(estimate.cov))));
  set("columns_involved", to_python_list(estimate.columns_involved));
  set("dropped", to_python_list(estimate.dropped));
  set("warnings", to_python_list(texts));
  return dict;
}

PyRef fit_warnings_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* parameters[] = {"perfectly_predicted", "out_of_range", "names"};
  PyObject* slots[std::size(parameters)];
  bind_arguments(Signature{"fit_warnings", parameters, 3}, args, nargs, kwnames, slots);
  const uint64_t perfectly_predicted = convert_argument("perfectly_predicted", [&] { return to_u64(slots[0]); });
  const std::vector<std::string> names = to_string_list(slots[2]);
  const std::vector<size_t> out_of_range = column_numbers_argument(slots[1], "out_of_range", names.size());
  return to_python_list(fit_warnings(perfectly_predicted, out_of_range, MessageNames{names, "cluster", "column"}));
}

PyRef cluster_meat_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* parameters[] = {"score_sums"};
  PyObject* slots[std::size(parameters)];
  bind_arguments(Signature{"cluster_meat", parameters, 1}, args, nargs, kwnames, slots);
  const MatrixView sums = matrix_argument(slots[0], "score_sums", 2);  // read in place
  return output_array(StridedArray::from(without_interpreter_lock([&] { return sum_of_outer_products(sums); })));
}

// The parts of parts_cluster_sums: per part the
// cluster numbers of its rows (converted, and checked below clusters) and
// their sums, viewed in place.
struct ClusterParts {
  std::vector<std::vector<uint32_t>> numbers;
  std::vector<ClusterPart> parts;
  size_t k = 0;
};

ClusterParts cluster_parts_argument(PyObject* obj, uint64_t clusters) {
  PyRef sequence = convert_argument("parts", [&] { return checked(PySequence_Fast(obj, "expected a sequence")); });
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
  ClusterParts parts;
  parts.numbers.reserve(static_cast<size_t>(count));
  for (Py_ssize_t p = 0; p < count; ++p) {
    PyObject* part = PySequence_Fast_GET_ITEM(sequence.get(), p);
    const std::string name = "parts[" + std::to_string(p) + "]";
    if (!PyTuple_Check(part) || PyTuple_GET_SIZE(part) != 2) {
      raise(PyExc_TypeError, name + " must be a pair (ids, sums)");
    }
    const MatrixView part_sums = matrix_argument(PyTuple_GET_ITEM(part, 1), (name + "[1]").c_str(), 2);
    if (p > 0) require_extent((name + "[1]").c_str(), "columns", part_sums.cols, parts.k);
    parts.k = part_sums.cols;
    parts.numbers.push_back(cluster_numbers_argument(PyTuple_GET_ITEM(part, 0), (name + "[0]").c_str(),
                                                     part_sums.rows, clusters));
    parts.parts.push_back(ClusterPart{parts.numbers.back().data(), part_sums});
  }
  return parts;
}

PyRef parts_cluster_sums_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* parameters[] = {"parts", "clusters"};
  PyObject* slots[std::size(parameters)];
  bind_arguments(Signature{"parts_cluster_sums", parameters, 2}, args, nargs, kwnames, slots);
  const uint64_t clusters = convert_argument("clusters", [&] { return to_u64(slots[1]); });
  // Each part's arrays are checked and viewed first, so that the sums are
  // added without the interpreter lock.
  const ClusterParts parts = cluster_parts_argument(slots[0], clusters);
  Matrix total = without_interpreter_lock([&] { return add_cluster_parts(parts.parts, parts.k, clusters); });
  return output_array(StridedArray::from(std::move(total)));
}

PyRef cell_meats_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* parameters[] = {"totals", "coarser", "cells_per_piece", "threads"};
  PyObject* slots[std::size(parameters)];
  bind_arguments(Signature{"cell_meats", parameters, 4}, args, nargs, kwnames, slots);
  const MatrixView totals = matrix_argument(slots[0], "totals", 2);  // read in place
  std::vector<std::vector<uint32_t>> coarser;
  std::vector<size_t> clusters;
  groupings_argument(slots[1], "coarser", totals.rows, coarser, clusters);
  const uint64_t cells_per_piece = convert_argument("cells_per_piece", [&] { return to_u64(slots[2]); });
  if (cells_per_piece == 0) raise(PyExc_ValueError, "cells_per_piece must be at least 1");
  const uint64_t threads = convert_argument("threads", [&] { return to_u64(slots[3]); });
  if (threads == 0) raise(PyExc_ValueError, "threads must be at least 1");
  std::vector<const uint32_t*> cell_clusters;
  cell_clusters.reserve(coarser.size());
  for (const std::vector<uint32_t>& cluster_of : coarser) cell_clusters.push_back(cluster_of.data());
  std::vector<Matrix> meats = without_interpreter_lock(
      [&] { return cell_grouping_meats(totals, cell_clusters, clusters, cells_per_piece, threads); });
  return matrix_list(std::move(meats));
}

PyRef finish_effects_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* parameters[] = {"parts", "cov"};
  PyObject* slots[std::size(parameters)];
  bind_arguments(Signature{"finish_effects", parameters, 2}, args, nargs, kwnames, slots);
  const Matrix cov = square_argument(slots[1], "cov");
  const MarginalEffectSums total = add_effect_sums(slots[0], cov.rows());
  const std::vector<MarginalEffect> effects = finish_marginal_effects(total, cov);

  const size_t k = effects.size();
  Vector effect(k), std_error(k), z(k), p(k);
  for (size_t j = 0; j < k; ++j) {
    effect[j] = effects[j].effect;
    std_error[j] = effects[j].std_error;
    z[j] = effects[j].z;
    p[j] = effects[j].p;
  }
  PyRef dict = checked(PyDict_New());
  check_status(PyDict_SetItemString(dict.get(), "effect", output_array(StridedArray::from(std::move(effect))).get()));
  check_status(
      PyDict_SetItemString(dict.get(), "std_error", output_array(StridedArray::from(std::move(std_error))).get()));
  check_status(PyDict_SetItemString(dict.get(), "z", output_array(StridedArray::from(std::move(z))).get()));
  check_status(PyDict_SetItemString(dict.get(), "p", output_array(StridedArray::from(std::move(p))).get()));
  return dict;
}

PyRef cluster_keys_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* parameters[] = {"values"};
  PyObject* slots[std::size(parameters)];
  bind_arguments(Signature{"cluster_keys", parameters, 1}, args, nargs, kwnames, slots);
  convert_argument("values", [&] { return extract_array_strict(slots[0], 1); });
  const ArrayView values = view_array(slots[0]);
  int64_t* keys = nullptr;
  PyRef array = new_int64_array(values.rows(), keys);
  without_interpreter_lock([&] {
    for (size_t i = 0; i < values.rows(); ++i) keys[i] = cluster_key(values(i, 0));
    return 0;
  });
  return array;
}

// Whether every one of the numbers is in [0, bound): one comparison of each
// (a negative number is a large unsigned one) and no branch, so that the
// loop is vectorised.
KESTRUM_AVX2_CLONES bool all_below(const int64_t* numbers, size_t rows, uint64_t bound) noexcept {
  uint64_t outside = 0;
  for (size_t i = 0; i < rows; ++i) outside |= static_cast<uint64_t>(static_cast<uint64_t>(numbers[i]) >= bound);
  return outside == 0;
}

// An int64 vector read in place when it is aligned and contiguous, else
// copied so into copy.
const int64_t* contiguous_int64(const Int64View& view, std::vector<int64_t>& copy) {
  if (view.rows > 1 && (view.byte_stride != sizeof(int64_t) ||
                        reinterpret_cast<std::uintptr_t>(view.origin) % alignof(int64_t) != 0)) {
    copy.resize(view.rows);
    for (size_t i = 0; i < view.rows; ++i) copy[i] = view[i];
    return copy.data();
  }
  return reinterpret_cast<const int64_t*>(view.origin);
}

// The pair (numbers, count) of a numbering: an int64 array of `rows`
// filled by number(numbers) without the interpreter lock, and the count of
// clusters it returns.
template <class Number>
PyRef numbered_rows(size_t rows, const Number& number) {
  int64_t* numbers = nullptr;
  PyRef array = new_int64_array(rows, numbers);
  const size_t clusters = without_interpreter_lock([&] { return number(numbers); });
  PyRef count = checked(PyLong_FromSize_t(clusters));
  return checked(PyTuple_Pack(2, array.get(), count.get()));
}

PyRef cluster_codes_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* parameters[] = {"codes", "extent"};
  PyObject* slots[std::size(parameters)];
  bind_arguments(Signature{"cluster_codes", parameters, 1}, args, nargs, kwnames, slots);
  const Int64View view = int64_argument(slots[0], "codes");
  const uint64_t extent = is_omitted(slots[1]) ? 0 : convert_argument("extent", [&] { return to_u64(slots[1]); });
  std::vector<int64_t> copy;
  const int64_t* codes = contiguous_int64(view, copy);
  if (extent != 0) {
    for (size_t i = 0; i < view.rows; ++i) {
      if (codes[i] < 0 || static_cast<uint64_t>(codes[i]) >= extent) {
        raise(PyExc_ValueError, "codes[" + std::to_string(i) + "] is " + std::to_string(codes[i]) +
                                    ", outside [0, extent = " + std::to_string(extent) + ")");
      }
    }
  }
  return numbered_rows(view.rows, [&](int64_t* numbers) { return number_codes(codes, view.rows, extent, numbers); });
}

PyRef value_codes_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* parameters[] = {"values"};
  PyObject* slots[std::size(parameters)];
  bind_arguments(Signature{"value_codes", parameters, 1}, args, nargs, kwnames, slots);
  const char* origin = nullptr;
  ptrdiff_t byte_stride = 0;
  size_t rows = 0;
  const bool integers = is_int64_vector(slots[0]);
  if (integers) {
    const Int64View view = int64_argument(slots[0], "values");
    origin = view.origin;
    rows = view.rows;
    byte_stride = view.byte_stride;
  } else {
    convert_argument("values", [&] { return extract_array_strict(slots[0], 1); });
    const ArrayView view = view_array(slots[0]);
    origin = view.origin;
    rows = view.rows();
    byte_stride = view.byte_stride[0];
  }
  return numbered_rows(
      rows, [&](int64_t* numbers) { return number_value_keys(origin, byte_stride, rows, integers, numbers); });
}

PyRef combined_codes_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* parameters[] = {"columns", "with_first_rows"};
  PyObject* slots[std::size(parameters)];
  bind_arguments(Signature{"combined_codes", parameters, 1}, args, nargs, kwnames, slots);
  const bool with_first_rows = optional_bool_argument(slots[1], "with_first_rows").value_or(false);
  PyRef list = convert_argument("columns", [&] { return checked(PySequence_Fast(slots[0], "expected a sequence")); });
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(list.get());
  if (count == 0) raise(PyExc_ValueError, "columns must not be empty");
  std::vector<std::vector<int64_t>> copies(static_cast<size_t>(count));
  std::vector<NumberedColumn> columns;
  size_t rows = 0;
  for (Py_ssize_t m = 0; m < count; ++m) {
    PyObject* column = PySequence_Fast_GET_ITEM(list.get(), m);
    const std::string name = "columns[" + std::to_string(m) + "]";
    if (!PyTuple_Check(column) || PyTuple_GET_SIZE(column) != 2) {
      raise(PyExc_TypeError, name + " must be a pair (numbers, count)");
    }
    const Int64View view = int64_argument(PyTuple_GET_ITEM(column, 0), (name + "[0]").c_str());
    if (m == 0) rows = view.rows;
    require_extent((name + "[0]").c_str(), "rows", view.rows, rows);
    const uint64_t clusters = convert_argument((name + "[1]").c_str(), [&] { return to_u64(PyTuple_GET_ITEM(column, 1)); });
    // At most a cluster a row (or one): the product of two counts then fits in int64.
    if (clusters > std::max<size_t>(rows, 1)) {
      raise(PyExc_ValueError, name + "[1] is " + std::to_string(clusters) + ", more clusters than the " +
                                  std::to_string(rows) + " rows");
    }
    const int64_t* numbers = contiguous_int64(view, copies[static_cast<size_t>(m)]);
    const bool valid = all_below(numbers, rows, clusters);
    for (size_t i = 0; !valid && i < rows; ++i) {  // only a failing column is looked through
      if (static_cast<uint64_t>(numbers[i]) >= clusters) {
        raise(PyExc_ValueError, name + "[0][" + std::to_string(i) + "] is " + std::to_string(numbers[i]) +
                                    ", not a cluster number below " + std::to_string(clusters));
      }
    }
    columns.push_back(NumberedColumn{numbers, clusters});
  }
  if (!with_first_rows) {
    return numbered_rows(rows, [&](int64_t* numbers) { return number_combinations(columns, rows, numbers); });
  }
  // Room for a cluster a row, of which only the pages written are taken;
  // fewer clusters are copied into an array of their own.
  int64_t* first = nullptr;
  PyRef first_rows = new_int64_array(rows, first);
  size_t clusters = 0;
  PyRef numbered = numbered_rows(rows, [&](int64_t* numbers) {
    return clusters = number_combinations(columns, rows, numbers, first);
  });
  if (clusters < rows) {
    int64_t* fitted = nullptr;
    PyRef shorter = new_int64_array(clusters, fitted);
    std::copy_n(first, clusters, fitted);
    first_rows = std::move(shorter);
  }
  return checked(PyTuple_Pack(3, PyTuple_GET_ITEM(numbered.get(), 0), PyTuple_GET_ITEM(numbered.get(), 1),
                              first_rows.get()));
}

PyRef first_rows_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* parameters[] = {"numbers"};
  PyObject* slots[std::size(parameters)];
  bind_arguments(Signature{"first_rows", parameters, 1}, args, nargs, kwnames, slots);
  const Int64View view = int64_argument(slots[0], "numbers");
  std::vector<int64_t> copy;
  const int64_t* numbers = contiguous_int64(view, copy);
  // Counted first, then written into the array itself: no scratch of a row each.
  const size_t found = without_interpreter_lock([&] { return first_rows(numbers, view.rows); });
  int64_t* rows = nullptr;
  PyRef array = new_int64_array(found, rows);
  without_interpreter_lock([&] { return first_rows(numbers, view.rows, rows, found); });
  return array;
}

PyRef check_probit_model_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* parameters[] = {"model", "function", "argument"};
  PyObject* slots[std::size(parameters)];
  bind_arguments(Signature{"check_probit_model", parameters, 3}, args, nargs, kwnames, slots);
  const std::string function = text_argument(slots[1], "function");
  const std::string argument = text_argument(slots[2], "argument");
  refuse_other_models(slots[0], function.c_str(), argument.c_str());
  return PyRef::borrow(Py_None);
}

}  // namespace

const FastCallEntry check_probit_model = guarded_fast_call<check_probit_model_body>;
const FastCallEntry covariance = guarded_fast_call<covariance_body>;
const FastCallEntry fit_warnings_entry = guarded_fast_call<fit_warnings_body>;
const FastCallEntry cluster_meat_entry = guarded_fast_call<cluster_meat_body>;
const FastCallEntry parts_cluster_sums = guarded_fast_call<parts_cluster_sums_body>;
const FastCallEntry finish_effects = guarded_fast_call<finish_effects_body>;
const FastCallEntry cluster_keys = guarded_fast_call<cluster_keys_body>;
const FastCallEntry cluster_codes = guarded_fast_call<cluster_codes_body>;
const FastCallEntry value_codes_entry = guarded_fast_call<value_codes_body>;
const FastCallEntry combined_codes_entry = guarded_fast_call<combined_codes_body>;
const FastCallEntry first_rows_entry = guarded_fast_call<first_rows_body>;
const FastCallEntry cell_meats = guarded_fast_call<cell_meats_body>;

}  // namespace kestrum
