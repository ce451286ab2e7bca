// Failures inside the module and how they are carried to the boundary.
//
// PythonError holds a Python exception: either one the interpreter raised
// (fetched out of the error indicator at once, so that no C++ frame runs with
// an error pending) or one the module makes. Panic is a violated internal
// invariant; the call protocol turns it into PanicException.
#pragma once

#include <Python.h>

#include <source_location>
#include <string>
#include <string_view>

#include "interface/py_ref.hpp"
#include "panic.hpp"

namespace kestrum {

class PythonError {
 public:
  // Takes the pending exception; a SystemError when none is pending.
  static PythonError fetch();
  // A new exception of `type` whose single argument is `message`.
  static PythonError make(PyObject* type, const std::string& message);
  static PythonError make(PyObject* type, const PyRef& message);

  PyObject* type() const noexcept { return reinterpret_cast<PyObject*>(Py_TYPE(value_.get())); }
  PyObject* value() const noexcept { return value_.get(); }
  // Puts the exception back into the interpreter's error indicator.
  void restore() &&;

 private:
  explicit PythonError(PyRef value) : value_(std::move(value)) {}
  PyRef value_;
};

// Throws the pending interpreter error as a PythonError.
[[noreturn]] void throw_python_error();
[[noreturn]] void raise(PyObject* type, const std::string& message);

// A new reference from an interpreter call; a NULL result throws its error.
inline PyRef checked(PyObject* result) {
  if (result == nullptr) throw_python_error();
  return PyRef::steal(result);
}
// An interpreter call returning a status: -1 throws the pending error.
inline void check_status(int status) {
  if (status < 0) throw_python_error();
}
// For calls that only fail when the interpreter itself is in trouble: the
// pending error is printed and the call ends as an internal failure, unless
// it is a MemoryError, which is thrown as it is.
PyRef expect_object(PyObject* result, std::source_location where = std::source_location::current());
// Throws the pending error when it is a MemoryError: running out of memory is
// reported as MemoryError on every path, never as an internal failure.
void throw_if_out_of_memory();

// "'<qualname>' object cannot be converted to '<target>'"
[[noreturn]] void raise_downcast_error(PyObject* obj, const char* target);
std::string type_qualname(PyObject* obj);

// Issues a Python warning of `category` attributed to the caller; a filter
// that turns it into an error makes this throw that error.
void warn(PyObject* category, const std::string& message);

// Runs the handlers of pending signals and throws the exception one of them
// raises (KeyboardInterrupt for Ctrl-C). Long computations call it between
// passes over the data, with the interpreter lock held.
void throw_if_interrupted();

// Python's repr() of a float: "-1.0", "0.5", "2.0", "nan", "inf".
std::string float_repr(double value);

// Sets PanicException(message) as the pending error, after a diagnostic line.
// Allocates nothing but the exception: when that fails, MemoryError is pending.
void set_panic_error(const char* message, const std::source_location* where) noexcept;
// Writes a line to file descriptor 2, bypassing sys.stderr; allocates nothing.
void write_stderr_line(std::string_view line) noexcept;
// Ends the process: a failure happened where none can be reported.
[[noreturn]] void abort_at_boundary() noexcept;

}  // namespace kestrum
