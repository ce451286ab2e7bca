#include "interface/heap_type.hpp"

#include <string>

#include "interface/call_protocol.hpp"

namespace kestrum {

PyTypeObject* lazy_heap_type(PyTypeObject*& slot, PyType_Spec& type_spec, const char* class_name) {
  if (slot != nullptr) return slot;
  PyObject* created = PyType_FromSpec(&type_spec);
  if (created == nullptr) {
    // CPython 3.11 leaves some failed allocations in type creation unreported.
    if (!PyErr_Occurred()) PyErr_NoMemory();
    throw_if_out_of_memory();
    PythonError cause = PythonError::fetch();
    PythonError wrapper =
        PythonError::make(PyExc_RuntimeError, std::string("An error occurred while initializing class ") + class_name);
    PyException_SetCause(wrapper.value(), PyRef::borrow(cause.value()).release());
    std::move(wrapper).restore();
    PyErr_Print();
    panic(std::string("failed to create type object for ") + class_name);
  }
  if (slot == nullptr) {
    slot = reinterpret_cast<PyTypeObject*>(created);  // the first stored value stays in use
  } else {
    Py_DECREF(created);
  }
  return slot;
}

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
  return guarded_call([]() -> PyRef { raise(PyExc_TypeError, "No constructor defined"); });
}

void free_heap_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types hold a reference to their type
}

}  // namespace kestrum
