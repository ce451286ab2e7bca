#include "interface/errors.hpp"

#include <charconv>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace kestrum {

namespace {

constexpr const char* kPanicDoc =
    "\nThe exception raised when Native code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

constexpr const char* kDefaultPanicMessage = "panic from Native code";

// Created on first need and kept for the life of the process; nullptr, with
// the error pending, when it cannot be created (out of memory).
PyObject* panic_exception_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    PyObject* created = PyErr_NewExceptionWithDoc("ostrel_runtime.PanicException", kPanicDoc,
                                                  PyExc_BaseException, nullptr);
    if (created == nullptr) return nullptr;
    if (type == nullptr) {
      type = created;
    } else {
      Py_DECREF(created);
    }
  }
  return type;
}

// One unbuffered write to file descriptor 2 (the C runtime's on Windows);
// the number of bytes written, or a value <= 0 on failure.
long long write_to_stderr(const char* data, size_t size) noexcept {
#ifdef _WIN32
  constexpr size_t kMaxChunk = 1u << 30;  // _write takes an unsigned int count
  return _write(2, data, static_cast<unsigned>(size < kMaxChunk ? size : kMaxChunk));
#else
  return ::write(2, data, size);
#endif
}

// Writes text to file descriptor 2 as it is, allocating nothing.
void write_stderr(std::string_view text) noexcept {
  const char* data = text.data();
  size_t left = text.size();
  while (left > 0) {
    const long long written = write_to_stderr(data, left);
    if (written <= 0) return;
    data += written;
    left -= static_cast<size_t>(written);
  }
}

}  // namespace

PythonError PythonError::fetch() {
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) return make(PyExc_SystemError, "attempted to fetch exception but none was set");
  return PythonError(PyRef::steal(exc));
#else
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return make(PyExc_SystemError, "attempted to fetch exception but none was set");
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return PythonError(PyRef::steal(value));
#endif
}

PythonError PythonError::make(PyObject* type, const std::string& message) {
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text == nullptr) return fetch();
  return make(type, PyRef::steal(text));
}

PythonError PythonError::make(PyObject* type, const PyRef& message) {
  PyObject* value = PyObject_CallOneArg(type, message.get());
  if (value == nullptr) return fetch();
  return PythonError(PyRef::steal(value));
}

void PythonError::restore() && {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(value_.release());
#else
  PyObject* value = value_.release();
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  Py_INCREF(type);
  PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

void throw_python_error() { throw PythonError::fetch(); }

void raise(PyObject* type, const std::string& message) { throw PythonError::make(type, message); }

void throw_if_out_of_memory() {
  if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw_python_error();
}

PyRef expect_object(PyObject* result, std::source_location where) {
  if (result == nullptr) {
    throw_if_out_of_memory();
    if (PyErr_Occurred()) PyErr_Print();
    panic("Python API call failed", where);
  }
  return PyRef::steal(result);
}

void warn(PyObject* category, const std::string& message) {
  check_status(PyErr_WarnEx(category, message.c_str(), 1));
}

void throw_if_interrupted() { check_status(PyErr_CheckSignals()); }

std::string float_repr(double value) {
  char* text = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
  if (text == nullptr) throw_python_error();
  std::string result(text);
  PyMem_Free(text);
  return result;
}

std::string type_qualname(PyObject* obj) {
  PyObject* name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__");
  PyRef owned = PyRef::steal(name);
  if (name != nullptr && PyUnicode_Check(name)) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    if (text != nullptr) return std::string(text, static_cast<size_t>(size));
  }
  PyErr_Clear();
  return "<failed to extract type name>";
}

void raise_downcast_error(PyObject* obj, const char* target) {
  std::string message = "'";
  message.append(type_qualname(obj)).append("' object cannot be converted to '").append(target).append("'");
  raise(PyExc_TypeError, message);
}

void write_stderr_line(std::string_view line) noexcept {
  write_stderr(line);
  write_stderr("\n");
}

void set_panic_error(const char* message, const std::source_location* where) noexcept {
  const char* text = (message != nullptr && *message != '\0') ? message : kDefaultPanicMessage;
  write_stderr("kestrum: internal failure: ");
  write_stderr(text);
  if (where != nullptr) {
    char line[24];
    const auto end = std::to_chars(line, line + sizeof line, where->line()).ptr;
    write_stderr(" (at ");
    write_stderr(where->file_name());
    write_stderr(":");
    write_stderr(std::string_view(line, static_cast<size_t>(end - line)));
    write_stderr(")");
  }
  write_stderr("\n");
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // MemoryError is pending instead
  PyObject* arg = PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace");
  if (arg == nullptr) return;  // MemoryError is pending instead
  PyErr_SetObject(type, arg);
  Py_DECREF(arg);
}

void abort_at_boundary() noexcept {
  write_stderr_line("uncaught panic at ffi boundary");
  std::abort();
}

}  // namespace kestrum
