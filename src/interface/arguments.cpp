#include "interface/arguments.hpp"

#include <cstring>
#include <string>
#include <vector>

namespace kestrum {

namespace {

std::string callable_name(const Signature& signature) { return std::string(signature.function) + "()"; }

[[noreturn]] void raise_too_many(const Signature& signature, Py_ssize_t given) {
  const size_t total = signature.parameters.size();
  std::string message = callable_name(signature);
  if (signature.required != total) {
    message += " takes from " + std::to_string(signature.required) + " to " + std::to_string(total);
  } else {
    message += " takes " + std::to_string(total);
  }
  message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
  raise(PyExc_TypeError, message);
}

[[noreturn]] void raise_missing(const Signature& signature, const std::vector<const char*>& missing) {
  std::string message = callable_name(signature) + " missing " + std::to_string(missing.size()) +
                        " required positional argument" + (missing.size() == 1 ? "" : "s") + ": ";
  for (size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) {
      if (missing.size() > 2) message += ",";
      message += (i + 1 == missing.size()) ? " and " : " ";
    }
    message += std::string("'") + missing[i] + "'";
  }
  raise(PyExc_TypeError, message);
}

// Index of the parameter named `name`, or -1.
Py_ssize_t find_parameter(const Signature& signature, PyObject* name) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &size);
  if (text == nullptr) {
    PyErr_Clear();  // a name that is not valid UTF-8 matches nothing
    return -1;
  }
  for (size_t i = 0; i < signature.parameters.size(); ++i) {
    const char* parameter = signature.parameters[i];
    if (std::strlen(parameter) == static_cast<size_t>(size) && std::memcmp(parameter, text, size) == 0) {
      return static_cast<Py_ssize_t>(i);
    }
  }
  return -1;
}

}  // namespace

uint64_t to_u64(PyObject* obj) {
  PyRef index = checked(PyNumber_Index(obj));
  unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_python_error();
  return value;
}

void bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> slots) {
  const Py_ssize_t total = static_cast<Py_ssize_t>(signature.parameters.size());
  KESTRUM_ASSERT(slots.size() == signature.parameters.size());
  for (auto& slot : slots) slot = nullptr;
  for (Py_ssize_t i = 0; i < nargs && i < total; ++i) slots[i] = args[i];
  if (nargs > total) raise_too_many(signature, nargs);

  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < keywords; ++i) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, i);
    if (!PyUnicode_Check(name)) raise_downcast_error(name, "PyString");
    const Py_ssize_t index = find_parameter(signature, name);
    if (index < 0) {
      throw PythonError::make(PyExc_TypeError,
                              checked(PyUnicode_FromFormat("%s() got an unexpected keyword argument '%S'",
                                                           signature.function, name)));
    }
    if (slots[index] != nullptr) {
      raise(PyExc_TypeError, callable_name(signature) + " got multiple values for argument '" +
                                 signature.parameters[index] + "'");
    }
    slots[index] = args[nargs + i];
  }

  if (static_cast<size_t>(nargs) < signature.required) {
    std::vector<const char*> missing;
    for (size_t i = 0; i < signature.required; ++i) {
      if (slots[i] == nullptr) missing.push_back(signature.parameters[i]);
    }
    if (!missing.empty()) raise_missing(signature, missing);
  }
}

void raise_prefixed(const char* parameter, PythonError&& error) {
  if (error.type() != PyExc_TypeError) throw std::move(error);
  const PyRef message = checked(PyUnicode_FromFormat("argument '%s': %S", parameter, error.value()));
  PythonError prefixed = PythonError::make(PyExc_TypeError, message);
  if (PyObject* cause = PyException_GetCause(error.value())) PyException_SetCause(prefixed.value(), cause);
  throw prefixed;
}

std::optional<uint64_t> optional_u64_argument(PyObject* slot, const char* parameter) {
  if (is_omitted(slot)) return std::nullopt;
  return convert_argument(parameter, [&] { return to_u64(slot); });
}

std::optional<double> optional_double_argument(PyObject* slot, const char* parameter) {
  if (is_omitted(slot)) return std::nullopt;
  return convert_argument(parameter, [&] {
    const double value = PyFloat_AsDouble(slot);
    if (value == -1.0 && PyErr_Occurred()) throw_python_error();
    return value;
  });
}

std::optional<bool> optional_bool_argument(PyObject* slot, const char* parameter) {
  if (is_omitted(slot)) return std::nullopt;
  return convert_argument(parameter, [&] {
    if (!PyBool_Check(slot)) raise_downcast_error(slot, "PyBool");
    return slot == Py_True;
  });
}

}  // namespace kestrum
