#include "interface/numpy_api.hpp"

#include "interface/errors.hpp"

namespace kestrum::numpy {

namespace {

// Positions in NumPy's API table.
constexpr int kArrayTypeSlot = 2;
constexpr int kDescrFromTypeSlot = 45;
constexpr int kNewFromDescrSlot = 94;
constexpr int kEquivTypesSlot = 182;
constexpr int kSetBaseObjectSlot = 282;

using DescrFromType = PyObject* (*)(int);
using NewFromDescr = PyObject* (*)(PyTypeObject*, PyObject*, int, Py_ssize_t*, Py_ssize_t*, void*, int, PyObject*);
using EquivTypes = unsigned char (*)(PyObject*, PyObject*);
using SetBaseObject = int (*)(PyObject*, PyObject*);

// Loaded by the first call that handles an array; the module and the capsule
// stay referenced for the life of the process.
void** api_table() {
  static void** table = nullptr;
  if (table != nullptr) return table;
  PyObject* module = PyImport_ImportModule("numpy.core.multiarray");
  if (module == nullptr) {
    throw_if_out_of_memory();
    PyErr_Clear();
    panic("Failed to import NumPy module");
  }
  PyObject* capsule = PyObject_GetAttrString(module, "_ARRAY_API");
  if (capsule == nullptr) {
    throw_if_out_of_memory();
    PyErr_Clear();
    Py_DECREF(module);
    panic("Failed to get NumPy API capsule");
  }
  void* pointer = PyCapsule_GetPointer(capsule, nullptr);
  if (pointer == nullptr) {
    PyErr_Clear();
    Py_DECREF(capsule);
    Py_DECREF(module);
    panic("Failed to get NumPy API capsule");
  }
  if (table == nullptr) table = static_cast<void**>(pointer);  // the first stored value stays in use
  return table;
}

PyTypeObject* array_type() { return static_cast<PyTypeObject*>(api_table()[kArrayTypeSlot]); }

}  // namespace

bool is_array(PyObject* obj) {
  PyTypeObject* type = array_type();
  return Py_TYPE(obj) == type || PyType_IsSubtype(Py_TYPE(obj), type);
}

PyObject* float64_descr() {
  static PyObject* descr = nullptr;
  if (descr == nullptr) {
    auto from_type = reinterpret_cast<DescrFromType>(api_table()[kDescrFromTypeSlot]);
    PyObject* made = expect_object(from_type(kFloat64TypeNumber)).release();
    if (descr == nullptr) {
      descr = made;
    } else {
      Py_DECREF(made);
    }
  }
  return descr;
}

bool is_float64(PyObject* array) {
  PyObject* descr = fields(array)->descr;
  PyObject* target = float64_descr();
  if (descr == target) return true;
  auto equivalent = reinterpret_cast<EquivTypes>(api_table()[kEquivTypesSlot]);
  return equivalent(descr, target) != 0;
}

PyObject* new_from_descr(PyObject* descr, int nd, Py_ssize_t* dims, Py_ssize_t* strides, void* data, int flags) {
  auto create = reinterpret_cast<NewFromDescr>(api_table()[kNewFromDescrSlot]);
  return create(array_type(), descr, nd, dims, strides, data, flags, nullptr);
}

int set_base_object(PyObject* array, PyObject* base) {
  auto set_base = reinterpret_cast<SetBaseObject>(api_table()[kSetBaseObjectSlot]);
  return set_base(array, base);
}

}  // namespace kestrum::numpy
