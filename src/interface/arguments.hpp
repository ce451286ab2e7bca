// Binding of fast-call arguments to parameters, and the scalar conversions.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>

#include "interface/errors.hpp"

namespace kestrum {

struct Signature {
  const char* function;                    // "fit_probit"; messages say "fit_probit()"
  std::span<const char* const> parameters;  // positional-or-keyword, in order
  size_t required;                         // leading parameters that must be given
};

// Fills slots[0..P) with borrowed references, nullptr for an omitted argument.
// Raises the binding TypeErrors (too many, unexpected, repeated, missing).
void bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> slots);

inline bool is_omitted(PyObject* slot) { return slot == nullptr || slot == Py_None; }

// Runs one conversion; a TypeError it raises gets the "argument '<name>': "
// prefix (keeping its __cause__), any other error passes unchanged.
[[noreturn]] void raise_prefixed(const char* parameter, PythonError&& error);

template <class Convert>
auto convert_argument(const char* parameter, Convert&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (PythonError& error) {
    raise_prefixed(parameter, std::move(error));
  }
}

// An integer by its __index__, as an unsigned 64-bit value; the
// interpreter's TypeError or OverflowError on failure.
uint64_t to_u64(PyObject* obj);

// Optional scalars: std::nullopt when omitted or None.
std::optional<uint64_t> optional_u64_argument(PyObject* slot, const char* parameter);
std::optional<double> optional_double_argument(PyObject* slot, const char* parameter);
std::optional<bool> optional_bool_argument(PyObject* slot, const char* parameter);

}  // namespace kestrum
