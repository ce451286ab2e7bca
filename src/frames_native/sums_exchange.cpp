#include "frames_native/sums_exchange.hpp"

#include <string>

#include "interface/arguments.hpp"
#include "interface/arrays.hpp"
#include "interface/errors.hpp"
#include "numeric/strided_array.hpp"

namespace kestrum {

namespace {

PyRef array_or_none(Vector&& v) {
  if (v.size() == 0) return PyRef::borrow(Py_None);
  return output_array(StridedArray::from(std::move(v)));
}

PyRef array_or_none(Matrix&& m) {
  if (m.rows() == 0 && m.cols() == 0) return PyRef::borrow(Py_None);
  return output_array(StridedArray::from(std::move(m)));
}

void set_item(PyObject* dict, const char* key, const PyRef& value) {
  check_status(PyDict_SetItemString(dict, key, value.get()));
}

// The dict of one part: its entries are looked up by name with errors that
// say which part and which entry is wrong.
class Part {
 public:
  Part(PyObject* dict, size_t index) : dict_(dict), index_(index) {
    if (!PyDict_Check(dict)) raise(PyExc_TypeError, where() + " is not a dict of partition sums");
  }

  PyObject* item(const char* key) const {
    PyObject* value = PyDict_GetItemString(dict_, key);  // borrowed
    if (value == nullptr) raise(PyExc_KeyError, where() + " has no '" + key + "'");
    return value;
  }

  double number(const char* key) const { return number_of(item(key)); }

  // Absent gives 0.
  double optional_number(const char* key) const {
    PyObject* value = PyDict_GetItemString(dict_, key);  // borrowed
    return value == nullptr ? 0.0 : number_of(value);
  }

  static double number_of(PyObject* object) {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) throw_python_error();
    return value;
  }

  uint64_t count(const char* key) const { return to_u64(item(key)); }

  // None gives an empty vector.
  Vector vector(const char* key, size_t k) const {
    PyObject* value = item(key);
    if (value == Py_None) return Vector();
    const ArrayView view = view_array(require_array(value, 1));
    require_extent(key, view.rows(), k);
    return copy_vector(view);
  }

  Matrix matrix(const char* key, size_t k) const {
    PyObject* value = item(key);
    if (value == Py_None) return Matrix();
    const ArrayView view = view_array(require_array(value, 2));
    require_extent(key, view.rows(), k);
    require_extent(key, view.cols(), k);
    return copy_matrix(view);
  }

  void require_presence(const char* key, bool present, bool wanted) const {
    if (present == static_cast<bool>(wanted)) return;
    raise(PyExc_ValueError, where() + ": '" + key + (wanted ? "' is None but was asked for" : "' was not asked for"));
  }

  std::vector<bool> flags(const char* key, size_t k) const {
    PyRef sequence = checked(PySequence_Fast(item(key), "expected a sequence of bool"));
    require_extent(key, static_cast<size_t>(PySequence_Fast_GET_SIZE(sequence.get())), k);
    std::vector<bool> flags(k);
    for (size_t j = 0; j < k; ++j) {
      const int truth = PyObject_IsTrue(PySequence_Fast_GET_ITEM(sequence.get(), static_cast<Py_ssize_t>(j)));
      check_status(truth);
      flags[j] = truth == 1;
    }
    return flags;
  }

 private:
  std::string where() const { return "part " + std::to_string(index_) + " of the sums"; }
  void require_extent(const char* key, size_t actual, size_t k) const {
    if (actual != k) {
      raise(PyExc_ValueError, where() + ": '" + key + "' has extent " + std::to_string(actual) + ", expected " +
                                  std::to_string(k));
    }
  }

  PyObject* dict_;
  size_t index_;
};

// Every part carries exactly the quantities asked for, so that they add up.
Evaluation evaluation_from(const Part& part, size_t k, unsigned quantities) {
  Evaluation sums;
  sums.loglike = part.number("loglike");
  sums.loglike_rounding_variance = part.optional_number("loglike_rounding_variance");
  sums.gradient = part.vector("gradient", k);
  sums.hessian = part.matrix("hessian", k);
  sums.near_certain_hessian = part.matrix("near_certain_hessian", k);
  sums.near_certain = part.count("near_certain");
  sums.meat = part.matrix("meat", k);
  if (k > 0) {
    part.require_presence("gradient", sums.gradient.size() > 0, quantities & kGradient);
    part.require_presence("hessian", sums.hessian.rows() > 0, quantities & kHessian);
    part.require_presence("near_certain_hessian", sums.near_certain_hessian.rows() > 0, quantities & kHessian);
    part.require_presence("meat", sums.meat.rows() > 0, quantities & kRobustMeat);
  }
  return sums;
}

MarginalEffectSums effect_sums_from(const Part& part, size_t k) {
  MarginalEffectSums sums;
  sums.rows = part.count("rows");
  sums.continuous_effect = part.vector("continuous_effect", k);
  sums.continuous_gradient = part.matrix("continuous_gradient", k);
  sums.indicator_effect = part.vector("indicator_effect", k);
  sums.indicator_gradient = part.matrix("indicator_gradient", k);
  sums.binary = part.flags("binary", k);
  if (k > 0 && (sums.continuous_effect.size() != k || sums.continuous_gradient.rows() != k ||
                sums.indicator_effect.size() != k || sums.indicator_gradient.rows() != k)) {
    raise(PyExc_ValueError, "marginal effect sums must all be arrays");
  }
  return sums;
}

// Adds the parts of a sequence in order, each read by `read`.
template <class Sums, class Read>
Sums add_parts(PyObject* parts, Read read) {
  PyRef sequence = convert_argument("parts", [&] { return checked(PySequence_Fast(parts, "expected a sequence")); });
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
  if (count == 0) raise(PyExc_ValueError, "parts is empty: at least one partition's sums are needed");
  Sums total = read(Part(PySequence_Fast_GET_ITEM(sequence.get(), 0), 0));
  for (Py_ssize_t i = 1; i < count; ++i) {
    total.add(read(Part(PySequence_Fast_GET_ITEM(sequence.get(), i), static_cast<size_t>(i))));
  }
  return total;
}

}  // namespace

PyRef matrix_list(std::vector<Matrix>&& matrices) {
  PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(matrices.size())));
  for (size_t m = 0; m < matrices.size(); ++m) {
    PyRef array = output_array(StridedArray::from(std::move(matrices[m])));
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(m), array.release());
  }
  return list;
}

PyRef evaluation_to_dict(Evaluation&& sums) {
  PyRef dict = checked(PyDict_New());
  set_item(dict.get(), "loglike", checked(PyFloat_FromDouble(sums.loglike)));
  set_item(dict.get(), "loglike_rounding_variance", checked(PyFloat_FromDouble(sums.loglike_rounding_variance)));
  set_item(dict.get(), "gradient", array_or_none(std::move(sums.gradient)));
  set_item(dict.get(), "hessian", array_or_none(std::move(sums.hessian)));
  set_item(dict.get(), "near_certain_hessian", array_or_none(std::move(sums.near_certain_hessian)));
  set_item(dict.get(), "near_certain", checked(PyLong_FromUnsignedLongLong(sums.near_certain)));
  set_item(dict.get(), "meat", array_or_none(std::move(sums.meat)));
  set_item(dict.get(), "expected_hessian", array_or_none(std::move(sums.expected_hessian)));
  return dict;
}

PyRef effect_sums_to_dict(MarginalEffectSums&& sums) {
  PyRef dict = checked(PyDict_New());
  set_item(dict.get(), "rows", checked(PyLong_FromSize_t(sums.rows)));
  set_item(dict.get(), "continuous_effect", output_array(StridedArray::from(std::move(sums.continuous_effect))));
  set_item(dict.get(), "continuous_gradient", output_array(StridedArray::from(std::move(sums.continuous_gradient))));
  set_item(dict.get(), "indicator_effect", output_array(StridedArray::from(std::move(sums.indicator_effect))));
  set_item(dict.get(), "indicator_gradient", output_array(StridedArray::from(std::move(sums.indicator_gradient))));
  PyRef binary = checked(PyList_New(static_cast<Py_ssize_t>(sums.binary.size())));
  for (size_t j = 0; j < sums.binary.size(); ++j) {
    PyList_SET_ITEM(binary.get(), static_cast<Py_ssize_t>(j), PyBool_FromLong(sums.binary[j] ? 1 : 0));
  }
  set_item(dict.get(), "binary", binary);
  return dict;
}

Evaluation add_evaluations(PyObject* parts, size_t k, unsigned quantities) {
  return add_parts<Evaluation>(parts, [=](const Part& part) { return evaluation_from(part, k, quantities); });
}

MarginalEffectSums add_effect_sums(PyObject* parts, size_t k) {
  return add_parts<MarginalEffectSums>(parts, [k](const Part& part) { return effect_sums_from(part, k); });
}

}  // namespace kestrum
