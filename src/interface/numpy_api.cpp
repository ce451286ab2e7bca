#include "interface/numpy_api.hpp"

#include <cstdint>
#include <cstdio>
#include <string>

#include "interface/errors.hpp"

namespace kestrum::numpy {

namespace {

// Positions in NumPy's API table.
constexpr int kAbiVersionSlot = 0;  // PyArray_GetNDArrayCVersion
constexpr int kArrayTypeSlot = 2;
constexpr int kDescrFromTypeSlot = 45;
constexpr int kNewFromDescrSlot = 94;
constexpr int kEquivTypesSlot = 182;
constexpr int kFeatureVersionSlot = 211;  // PyArray_GetNDArrayCFeatureVersion
constexpr int kSetBaseObjectSlot = 282;

// The slots above are where they are in the tables of ABI 0x1000009 (NumPy
// 1.x) and 0x2000000 (NumPy 2.x); a later ABI may move them.
constexpr unsigned kNewestAbi = 0x02000000;
// PyArray_SetBaseObject, the newest entry used, came with C API version 7
// (NumPy 1.7).
constexpr unsigned kOldestFeatureVersion = 7;

using Version = unsigned (*)();
using DescrFromType = PyObject* (*)(int);
using NewFromDescr = PyObject* (*)(PyTypeObject*, PyObject*, int, Py_ssize_t*, Py_ssize_t*, void*, int, PyObject*);
using EquivTypes = unsigned char (*)(PyObject*, PyObject*);
using SetBaseObject = int (*)(PyObject*, PyObject*);

std::string hex(unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", value);
  return text;
}

// NumPy 2 keeps the module as numpy._core.multiarray (numpy.core is a
// deprecated alias), 1.26 has both names and earlier releases only the old
// one. The first module that imports must hold the capsule.
PyRef multiarray_module() {
  for (const char* name : {"numpy._core.multiarray", "numpy.core.multiarray"}) {
    PyObject* module = PyImport_ImportModule(name);
    if (module != nullptr) return PyRef::steal(module);
    throw_if_out_of_memory();
    PyErr_Clear();
  }
  panic("Failed to import NumPy module");
}

// Refuses a table this module cannot read: from a later ABI, or without the
// entries used.
void check_versions(void** table) {
  const unsigned abi = reinterpret_cast<Version>(table[kAbiVersionSlot])();
  if (abi > kNewestAbi) {
    raise(PyExc_ImportError, "this NumPy's C ABI version " + hex(abi) + " is newer than " + hex(kNewestAbi) +
                                 " (NumPy 2), the newest kestrum can read; install a kestrum built for it");
  }
  const unsigned feature = reinterpret_cast<Version>(table[kFeatureVersionSlot])();
  if (feature < kOldestFeatureVersion) {
    raise(PyExc_ImportError, "this NumPy's C API version " + hex(feature) + " is older than " +
                                 hex(kOldestFeatureVersion) + " (NumPy 1.7), the oldest kestrum can use; upgrade NumPy");
  }
}

// Loaded by the first call that handles an array; the module and the capsule
// stay referenced for the life of the process once the table is accepted.
void** api_table() {
  static void** table = nullptr;
  if (table != nullptr) return table;
  PyRef module = multiarray_module();
  PyRef capsule = PyRef::steal(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
  void* pointer = capsule ? PyCapsule_GetPointer(capsule.get(), nullptr) : nullptr;
  if (pointer == nullptr) {
    throw_if_out_of_memory();
    PyErr_Clear();
    panic("Failed to get NumPy API capsule");
  }
  check_versions(static_cast<void**>(pointer));
  module.release();
  capsule.release();
  if (table == nullptr) table = static_cast<void**>(pointer);  // the first stored value stays in use
  return table;
}

PyTypeObject* array_type() { return static_cast<PyTypeObject*>(api_table()[kArrayTypeSlot]); }

// The descriptor of a type number, kept (in `descr`) for the life of the process.
PyObject* kept_descr(PyObject*& descr, int type_number) {
  if (descr == nullptr) {
    auto from_type = reinterpret_cast<DescrFromType>(api_table()[kDescrFromTypeSlot]);
    PyObject* made = expect_object(from_type(type_number)).release();
    if (descr == nullptr) {
      descr = made;
    } else {
      Py_DECREF(made);
    }
  }
  return descr;
}

bool has_descr(PyObject* array, PyObject* target) {
  PyObject* descr = fields(array)->descr;
  if (descr == target) return true;
  auto equivalent = reinterpret_cast<EquivTypes>(api_table()[kEquivTypesSlot]);
  return equivalent(descr, target) != 0;
}

}  // namespace

bool is_array(PyObject* obj) {
  PyTypeObject* type = array_type();
  return Py_TYPE(obj) == type || PyType_IsSubtype(Py_TYPE(obj), type);
}

PyObject* float64_descr() {
  static PyObject* descr = nullptr;
  return kept_descr(descr, kFloat64TypeNumber);
}

bool is_float64(PyObject* array) { return has_descr(array, float64_descr()); }

PyObject* int64_descr() {
  static PyObject* descr = nullptr;
  return kept_descr(descr, sizeof(long) == sizeof(int64_t) ? kLongTypeNumber : kLongLongTypeNumber);
}

bool is_int64(PyObject* array) { return has_descr(array, int64_descr()); }

PyObject* new_from_descr(PyObject* descr, int nd, Py_ssize_t* dims, Py_ssize_t* strides, void* data, int flags) {
  auto create = reinterpret_cast<NewFromDescr>(api_table()[kNewFromDescrSlot]);
  return create(array_type(), descr, nd, dims, strides, data, flags, nullptr);
}

int set_base_object(PyObject* array, PyObject* base) {
  auto set_base = reinterpret_cast<SetBaseObject>(api_table()[kSetBaseObjectSlot]);
  return set_base(array, base);
}

}  // namespace kestrum::numpy
