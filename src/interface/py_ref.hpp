// Owning handle for one Python reference.
//
// A PyRef holds exactly one strong reference or none. The destructor releases
// it, a copy takes a new reference, a move leaves the source empty, release()
// hands the raw pointer out. How the reference was obtained is stated at
// construction: steal() takes over a new reference, borrow() adds one.
#pragma once

#include <Python.h>

#include <utility>

namespace kestrum {

class PyRef {
 public:
  PyRef() noexcept = default;
  ~PyRef() { Py_XDECREF(ptr_); }

  static PyRef steal(PyObject* obj) noexcept { return PyRef(obj); }
  static PyRef borrow(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return PyRef(obj);
  }

  PyRef(const PyRef& other) noexcept : ptr_(other.ptr_) { Py_XINCREF(ptr_); }
  PyRef(PyRef&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  PyRef& operator=(PyRef other) noexcept {
    std::swap(ptr_, other.ptr_);
    return *this;
  }

  PyObject* get() const noexcept { return ptr_; }
  PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
  void reset() noexcept { Py_XDECREF(std::exchange(ptr_, nullptr)); }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }

 private:
  explicit PyRef(PyObject* obj) noexcept : ptr_(obj) {}
  PyObject* ptr_ = nullptr;
};

}  // namespace kestrum
