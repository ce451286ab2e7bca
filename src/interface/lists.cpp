#include "interface/lists.hpp"

#include <algorithm>

#include "interface/errors.hpp"

namespace kestrum {

namespace {

// A length hint is only a hint: never reserve more than this up front.
constexpr Py_ssize_t kMaxReserve = 1 << 16;

template <class Item, class MakeObject>
PyRef make_list(const std::vector<Item>& items, MakeObject make_object) {
  PyRef list = expect_object(PyList_New(static_cast<Py_ssize_t>(items.size())));
  for (size_t i = 0; i < items.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), expect_object(make_object(items[i])).release());
  }
  return list;
}

}  // namespace

PyRef to_python_list(const std::vector<std::string>& items) {
  return make_list(items, [](const std::string& text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

PyRef to_python_list(const std::vector<double>& items) {
  return make_list(items, [](double value) { return PyFloat_FromDouble(value); });
}

PyRef to_python_list(const std::vector<size_t>& items) {
  return make_list(items, [](size_t value) { return PyLong_FromSize_t(value); });
}

std::string utf8_text(PyObject* str) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(str, &size);
  if (text == nullptr) throw_python_error();
  return std::string(text, static_cast<size_t>(size));
}

std::vector<std::string> to_string_list(PyObject* obj) {
  if (PyUnicode_Check(obj)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(obj)) raise_downcast_error(obj, "Sequence");
  Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0) {
    PyErr_Clear();
    hint = 0;
  }
  std::vector<std::string> result;
  result.reserve(static_cast<size_t>(std::min<Py_ssize_t>(hint, kMaxReserve)));
  PyRef iterator = checked(PyObject_GetIter(obj));
  while (PyObject* next = PyIter_Next(iterator.get())) {
    PyRef item = PyRef::steal(next);
    if (!PyUnicode_Check(item.get())) raise_downcast_error(item.get(), "PyString");
    result.push_back(utf8_text(item.get()));
  }
  if (PyErr_Occurred()) throw_python_error();
  return result;
}

}  // namespace kestrum
