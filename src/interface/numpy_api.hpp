// NumPy's C API, reached at run time through the "_ARRAY_API" capsule.
//
// No NumPy header is used at build time: the few table entries and array
// fields the module needs are declared here by their documented layout.
#pragma once

#include <Python.h>

#include "interface/py_ref.hpp"

namespace kestrum::numpy {

// The leading fields of NumPy's array object (PyArrayObject_fields).
struct ArrayFields {
  PyObject_HEAD
  char* data;
  int nd;
  Py_ssize_t* dimensions;
  Py_ssize_t* strides;
  PyObject* base;
  PyObject* descr;
  int flags;
};

inline ArrayFields* fields(PyObject* array) noexcept { return reinterpret_cast<ArrayFields*>(array); }

inline constexpr int kFloat64TypeNumber = 12;   // NPY_DOUBLE
inline constexpr int kLongTypeNumber = 7;       // NPY_LONG
inline constexpr int kLongLongTypeNumber = 9;   // NPY_LONGLONG
inline constexpr int kWriteableFlag = 0x0400;   // NPY_ARRAY_WRITEABLE

// True when obj is a NumPy array or an instance of a subclass.
bool is_array(PyObject* obj);
// True when the array's dtype is float64 itself or equivalent to it.
bool is_float64(PyObject* array);
// The float64 descriptor (borrowed; kept for the life of the process).
PyObject* float64_descr();
// The same for int64 (NPY_LONG where long has 64 bits, else NPY_LONGLONG).
bool is_int64(PyObject* array);
PyObject* int64_descr();

// PyArray_NewFromDescr; takes over the reference to descr even when it fails.
PyObject* new_from_descr(PyObject* descr, int nd, Py_ssize_t* dims, Py_ssize_t* strides, void* data, int flags);
// PyArray_SetBaseObject; takes over the reference to base even when it fails.
int set_base_object(PyObject* array, PyObject* base);

}  // namespace kestrum::numpy
