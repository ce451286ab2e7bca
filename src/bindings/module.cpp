// The module kestrum: single-phase initialisation and registration.
#include <Python.h>

#include <atomic>
#include <string>

#include "interface/call_protocol.hpp"
#include "bindings/fit_probit.hpp"
#include "interface/lists.hpp"
#include "bindings/ame.hpp"

namespace kestrum {

namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "kestrum",
    "A Python module implemented in Native.",
    0,
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

constexpr int kModuleApiVersion = 1013;

// Registered in this order; the records live for the whole process.
PyMethodDef functions[] = {
    fast_call_method("ame", ame, kAmeDoc),
    fast_call_method("fit_probit", fit_probit, kFitProbitDoc),
};

std::atomic<bool> initialised{false};

// The module's __all__, created as an empty list when it does not exist yet.
PyRef all_list(PyObject* module) {
  PyObject* existing = PyObject_GetAttrString(module, "__all__");
  if (existing == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
    PyErr_Clear();
    PyRef list = checked(PyList_New(0));
    check_status(PyObject_SetAttrString(module, "__all__", list.get()));
    return list;
  }
  PyRef all = PyRef::steal(existing);
  if (!PyList_Check(all.get())) raise_downcast_error(all.get(), "PyList");
  return all;
}

void add_function(PyObject* module, PyMethodDef& record) {
  PyRef module_name = checked(PyModule_GetNameObject(module));
  PyRef function = checked(PyCMethod_New(&record, module, module_name.get(), nullptr));
  PyRef name = checked(PyObject_GetAttrString(function.get(), "__name__"));
  if (!PyUnicode_Check(name.get())) raise_downcast_error(name.get(), "PyString");
  const std::string text = utf8_text(name.get());
  PyRef all = all_list(module);
  if (PyList_Append(all.get(), name.get()) < 0) {
    throw_if_out_of_memory();
    PyErr_Clear();
    panic("could not append __name__ to __all__");
  }
  check_status(PyObject_SetAttrString(module, text.c_str(), function.get()));
}

PyRef initialise() {
  PyRef module = checked(PyModule_Create2(&module_definition, kModuleApiVersion));
  if (initialised.exchange(true)) {
    raise(PyExc_ImportError, "Ostrel modules may only be initialized once per interpreter process");
  }
  for (PyMethodDef& record : functions) add_function(module.get(), record);
  return module;
}

}  // namespace

}  // namespace kestrum

PyMODINIT_FUNC PyInit_kestrum(void) {
  return kestrum::guarded_call(kestrum::initialise);
}
