#include "interface/slice_container.hpp"

#include "interface/call_protocol.hpp"
#include "interface/heap_type.hpp"

namespace kestrum {

namespace {

using ReleaseRoutine = void (*)(double*, size_t, size_t) noexcept;

struct SliceContainer {
  PyObject_HEAD
  double* data;
  size_t length;
  size_t capacity;
  ReleaseRoutine release;
};

void dealloc(PyObject* self) {
  guarded_cleanup([self] {
    auto* container = reinterpret_cast<SliceContainer*>(self);
    if (container->release != nullptr) container->release(container->data, container->length, container->capacity);
    free_heap_instance(self);
  });
}

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Utility type to safely store `Box<[_]>` or `Vec<_>` on the Python heap")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {0, nullptr},
};

PyType_Spec type_spec = {"builtins.PySliceContainer", sizeof(SliceContainer), 0, Py_TPFLAGS_DEFAULT, slots};

PyTypeObject* container_type = nullptr;

}  // namespace

PyRef make_slice_container(Buffer&& buffer) {
  Buffer owned = std::move(buffer);  // released here if anything below fails
  PyTypeObject* type = lazy_heap_type(container_type, type_spec, "PySliceContainer");
  PyObject* object = type->tp_alloc(type, 0);
  if (object == nullptr) {
    throw_if_out_of_memory();
    PyErr_Clear();
    panic("Failed to create slice container");
  }
  auto* container = reinterpret_cast<SliceContainer*>(object);
  container->length = owned.size();
  container->capacity = owned.size();
  container->data = owned.release();
  container->release = &Buffer::release_routine;
  return PyRef::steal(object);
}

}  // namespace kestrum
