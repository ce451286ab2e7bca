// The one way into the module from the interpreter.
//
// Every entry (module init, functions, getters, methods) runs its body through
// guarded_call: a PyRef result leaves as a new reference; a PythonError is
// put back into the error indicator; a Panic or any other C++ failure becomes
// PanicException. Whatever happens, only NULL-with-error or a result crosses
// back. A failure while reporting a failure ends the process.
#pragma once

#include <Python.h>

#include <new>

#include "interface/errors.hpp"
#include "interface/py_ref.hpp"

namespace kestrum {

template <class Body>
PyObject* guarded_call(Body&& body) noexcept {
  try {
    try {
      PyRef result = body();
      return result.release();
    } catch (PythonError& error) {
      std::move(error).restore();
    } catch (const Panic& failure) {
      set_panic_error(failure.what(), &failure.where());
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (const std::exception& failure) {
      set_panic_error(failure.what(), nullptr);
    } catch (...) {
      set_panic_error(nullptr, nullptr);
    }
  } catch (...) {
    abort_at_boundary();
  }
  return nullptr;
}

// A METH_FASTCALL | METH_KEYWORDS function: its body returns the result or
// throws; the entry the interpreter calls runs the body through guarded_call.
using FastCallBody = PyRef (*)(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
using FastCallEntry = PyObject* (*)(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

template <FastCallBody Body>
PyObject* guarded_fast_call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded_call([&] { return Body(args, nargs, kwnames); });
}

// The method record of such an entry.
inline PyMethodDef fast_call_method(const char* name, FastCallEntry entry, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry)), METH_FASTCALL | METH_KEYWORDS,
          doc};
}

// For entries that cannot report errors (deallocation).
template <class Body>
void guarded_cleanup(Body&& body) noexcept {
  try {
    body();
  } catch (...) {
    abort_at_boundary();
  }
}

}  // namespace kestrum
