// Creation of the module's heap types, on first need.
#pragma once

#include <Python.h>

namespace kestrum {

// PyType_FromSpec, kept for the life of the process in *slot. A failure is
// printed as RuntimeError "An error occurred while initializing class <name>"
// and ends the call as the internal failure "failed to create type object for <name>".
PyTypeObject* lazy_heap_type(PyTypeObject*& slot, PyType_Spec& type_spec, const char* class_name);

// The tp_new of classes that Python code cannot instantiate.
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Releases an instance of a heap type after its contents have been released.
void free_heap_instance(PyObject* self);

}  // namespace kestrum
