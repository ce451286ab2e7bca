#include "interface/result_classes.hpp"

#include <new>
#include <utility>

#include "interface/call_protocol.hpp"
#include "interface/heap_type.hpp"
#include "interface/lists.hpp"

namespace kestrum {

namespace {

template <class Record>
struct Instance {
  PyObject_HEAD
  Record record;
};

using ModelObject = Instance<ModelRecord>;
using ResultsObject = Instance<ResultsRecord>;

template <class Record>
const Record& record_of(PyObject* self) {
  return reinterpret_cast<Instance<Record>*>(self)->record;
}

// Releases the record's references in field order, then the record itself.
void release_model(ModelRecord& model) {
  model.exog.reset();
  model.endog.reset();
  model.exog_names.clear();
}

template <class Record>
void dealloc(PyObject* self) {
  guarded_cleanup([self] {
    Record& record = reinterpret_cast<Instance<Record>*>(self)->record;
    if constexpr (std::is_same_v<Record, ModelRecord>) {
      release_model(record);
    } else {
      record.params.reset();
      record.cov_params.reset();
      release_model(record.model);
    }
    record.~Record();
    free_heap_instance(self);
  });
}

template <class Record>
PyRef instantiate(PyTypeObject* type, Record record) {
  PyObject* object = type->tp_alloc(type, 0);
  if (object == nullptr) {
    throw_if_out_of_memory();
    PyErr_Clear();
    panic("called `Result::unwrap()` on an `Err` value: instance allocation failed");
  }
  new (&reinterpret_cast<Instance<Record>*>(object)->record) Record(std::move(record));
  return PyRef::steal(object);
}

// Getters and methods share the call protocol.
template <PyRef (*Body)(PyObject*)>
PyObject* getter(PyObject* self, void*) {
  return guarded_call([self] { return Body(self); });
}
template <PyRef (*Body)(PyObject*)>
PyObject* method(PyObject* self, PyObject*) {
  return guarded_call([self] { return Body(self); });
}

// NativeProbitModel

PyRef model_exog(PyObject* self) { return record_of<ModelRecord>(self).exog; }
PyRef model_endog(PyObject* self) { return record_of<ModelRecord>(self).endog; }
PyRef model_exog_names(PyObject* self) { return to_python_list(record_of<ModelRecord>(self).exog_names); }

PyGetSetDef model_getters[] = {
    {"exog", getter<model_exog>, nullptr, nullptr, nullptr},
    {"endog", getter<model_endog>, nullptr, nullptr, nullptr},
    {"exog_names", getter<model_exog_names>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot model_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<ModelRecord>)},
    {Py_tp_getset, model_getters},
    {0, nullptr},
};

PyType_Spec model_spec = {"builtins.NativeProbitModel", sizeof(ModelObject), 0, Py_TPFLAGS_DEFAULT, model_slots};
PyTypeObject* model_type = nullptr;

// NativeProbitResults

PyRef results_params(PyObject* self) { return record_of<ResultsRecord>(self).params; }
PyRef results_cov_params(PyObject* self) { return record_of<ResultsRecord>(self).cov_params; }
PyRef results_model(PyObject* self) {
  PyTypeObject* type = lazy_heap_type(model_type, model_spec, "NativeProbitModel");
  return instantiate(type, ModelRecord(record_of<ResultsRecord>(self).model));
}
PyRef results_loglike(PyObject* self) {
  return expect_object(PyFloat_FromDouble(record_of<ResultsRecord>(self).loglike));
}
PyRef results_iterations(PyObject* self) {
  return expect_object(PyLong_FromUnsignedLongLong(record_of<ResultsRecord>(self).iterations));
}
PyRef results_converged(PyObject* self) {
  return PyRef::borrow(record_of<ResultsRecord>(self).converged ? Py_True : Py_False);
}

PyGetSetDef results_getters[] = {
    {"params", getter<results_params>, nullptr, nullptr, nullptr},
    {"model", getter<results_model>, nullptr, nullptr, nullptr},
    {"loglike", getter<results_loglike>, nullptr, nullptr, nullptr},
    {"iterations", getter<results_iterations>, nullptr, nullptr, nullptr},
    {"converged", getter<results_converged>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef results_methods[] = {
    {"cov_params", method<results_cov_params>, METH_NOARGS, "cov_params($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot results_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<ResultsRecord>)},
    {Py_tp_getset, results_getters},
    {Py_tp_methods, results_methods},
    {0, nullptr},
};

PyType_Spec results_spec = {"builtins.NativeProbitResults", sizeof(ResultsObject), 0, Py_TPFLAGS_DEFAULT,
                            results_slots};
PyTypeObject* results_type = nullptr;

}  // namespace

PyRef wrap_results(ResultsRecord&& record) {
  ResultsRecord owned = std::move(record);  // released here if the type or instance cannot be made
  PyTypeObject* type = lazy_heap_type(results_type, results_spec, "NativeProbitResults");
  return instantiate(type, std::move(owned));
}

}  // namespace kestrum
