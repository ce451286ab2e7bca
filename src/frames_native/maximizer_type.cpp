#include "frames_native/maximizer_type.hpp"

#include <new>
#include <optional>

#include "estimation/maximizer.hpp"
#include "frames_native/partition_arguments.hpp"
#include "frames_native/sums_exchange.hpp"
#include "interface/arguments.hpp"
#include "interface/arrays.hpp"
#include "interface/call_protocol.hpp"
#include "interface/heap_type.hpp"
#include "interface/lists.hpp"
#include "numeric/strided_array.hpp"

namespace kestrum {

namespace {

// The maximiser is made after the instance, so it may be absent when the
// construction failed half way; every method runs on a made one.
struct MaximizerObject {
  PyObject_HEAD
  std::optional<ProbitMaximizer> made;
  size_t k;
  PyRef outcome;  // the outcome dict, once taken
};

MaximizerObject& object_of(PyObject* self) { return *reinterpret_cast<MaximizerObject*>(self); }
ProbitMaximizer& maximizer_of(PyObject* self) {
  std::optional<ProbitMaximizer>& made = object_of(self).made;
  if (!made) panic("Maximizer used before it was made");
  return *made;
}

PyRef vector_array(const Vector& v) {
  Vector copy(v.size());
  for (size_t j = 0; j < v.size(); ++j) copy[j] = v[j];
  return output_array(StridedArray::from(std::move(copy)));
}

PyObject* maximizer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded_call([&] {
    static constexpr const char* parameters[] = {"k", "max_iter", "tol", "final_quantities", "start"};
    if (kwargs != nullptr && PyDict_Size(kwargs) > 0) raise(PyExc_TypeError, "Maximizer() takes positional arguments only");
    PyObject* slots[std::size(parameters)];
    bind_arguments(Signature{"Maximizer", parameters, 4}, PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args), nullptr,
                   slots);
    const uint64_t k = convert_argument("k", [&] { return to_u64(slots[0]); });
    MaximizerSettings settings;
    settings.max_iter = convert_argument("max_iter", [&] { return to_u64(slots[1]); });
    const std::optional<double> tol = optional_double_argument(slots[2], "tol");
    if (!tol) raise(PyExc_TypeError, "argument 'tol': a float is needed, not None");
    settings.tol = *tol;
    const uint64_t final_quantities = convert_argument("final_quantities", [&] { return to_u64(slots[3]); });
    if ((final_quantities & ~uint64_t{kRobustMeat}) != 0) {
      raise(PyExc_ValueError, "final_quantities may ask only for the robust meat");
    }
    settings.final_quantities = static_cast<unsigned>(final_quantities);

    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) throw_python_error();
    PyRef owned = PyRef::steal(self);
    MaximizerObject& object = object_of(self);
    new (&object.made) std::optional<ProbitMaximizer>();
    new (&object.outcome) PyRef();
    object.k = k;
    // A start asks for Newton's iteration from it (maximizer.hpp).
    if (is_omitted(slots[4])) {
      object.made.emplace(k, settings);
    } else {
      object.made.emplace(settings, vector_argument(slots[4], "start", k));
    }
    return owned;
  });
}

void maximizer_dealloc(PyObject* self) {
  guarded_cleanup([self] {
    MaximizerObject& object = object_of(self);
    object.outcome.~PyRef();
    object.made.~optional();
    free_heap_instance(self);
  });
}

PyObject* finished(PyObject* self, void*) {
  return guarded_call([self] { return PyRef::borrow(maximizer_of(self).finished() ? Py_True : Py_False); });
}

PyObject* point(PyObject* self, void*) {
  return guarded_call([self] { return vector_array(maximizer_of(self).requested_point()); });
}

PyObject* quantities(PyObject* self, void*) {
  return guarded_call(
      [self] { return checked(PyLong_FromUnsignedLong(maximizer_of(self).requested_quantities())); });
}

PyObject* supply(PyObject* self, PyObject* parts) {
  return guarded_call([&] {
    ProbitMaximizer& maximizer = maximizer_of(self);
    if (maximizer.finished()) raise(PyExc_ValueError, "the maximiser has finished: it wants no more sums");
    maximizer.supply(add_evaluations(parts, object_of(self).k, maximizer.requested_quantities()));
    return PyRef::borrow(Py_None);
  });
}

PyRef matrix_or_none(Matrix&& m) {
  if (m.rows() == 0) return PyRef::borrow(Py_None);
  return output_array(StridedArray::from(std::move(m)));
}

PyRef outcome_dict(FitOutcome&& outcome) {
  PyRef dict = checked(PyDict_New());
  auto set = [&](const char* key, const PyRef& value) { check_status(PyDict_SetItemString(dict.get(), key, value.get())); };
  set("beta", output_array(StridedArray::from(std::move(outcome.beta))));
  set("loglike", checked(PyFloat_FromDouble(outcome.loglike)));
  set("iterations", checked(PyLong_FromUnsignedLongLong(outcome.iterations)));
  set("converged", PyRef::borrow(outcome.converged ? Py_True : Py_False));
  set("perfectly_predicted", checked(PyLong_FromUnsignedLongLong(outcome.perfectly_predicted)));
  set("out_of_range", to_python_list(outcome.out_of_range));
  set("hessian", matrix_or_none(std::move(outcome.final_sums.hessian)));
  set("meat", matrix_or_none(std::move(outcome.final_sums.meat)));
  return dict;
}

PyObject* outcome(PyObject* self, PyObject*) {
  return guarded_call([self] {
    MaximizerObject& object = object_of(self);
    if (!object.outcome) {
      ProbitMaximizer& maximizer = maximizer_of(self);
      if (!maximizer.finished()) raise(PyExc_ValueError, "the maximiser has not finished: it wants more sums");
      object.outcome = outcome_dict(maximizer.take_outcome());
    }
    return object.outcome;
  });
}

PyGetSetDef getters[] = {
    {"finished", finished, nullptr, "Whether the iteration has ended.", nullptr},
    {"point", point, nullptr, "The beta at which the next sums are wanted.", nullptr},
    {"quantities", quantities, nullptr, "The quantity bits the next sums must hold.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef methods[] = {
    {"supply", supply, METH_O,
     "supply($self, parts, /)\n--\n\nThe partitions' sums at point (dicts from probit_sums), added in order."},
    {"outcome", outcome, METH_NOARGS,
     "outcome($self, /)\n--\n\nbeta, loglike, iterations, converged, perfectly_predicted, out_of_range, and the "
     "Hessian and meat at beta."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(maximizer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(maximizer_dealloc)},
    {Py_tp_getset, getters},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec type_spec = {"kestrum_frames._native.Maximizer", sizeof(MaximizerObject), 0, Py_TPFLAGS_DEFAULT, slots};
PyTypeObject* type = nullptr;

}  // namespace

PyTypeObject* maximizer_type() { return lazy_heap_type(type, type_spec, "Maximizer"); }

}  // namespace kestrum
