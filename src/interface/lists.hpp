// Lists of text and of numbers across the boundary.
#pragma once

#include <Python.h>

#include <string>
#include <vector>

#include "interface/py_ref.hpp"

namespace kestrum {

PyRef to_python_list(const std::vector<std::string>& items);
PyRef to_python_list(const std::vector<double>& items);
PyRef to_python_list(const std::vector<size_t>& items);

// Iterates a sequence of str into UTF-8 strings. A bare str, a non-sequence
// and a non-str item each raise their TypeError; iteration errors pass through.
std::vector<std::string> to_string_list(PyObject* obj);

// The UTF-8 text of a str object.
std::string utf8_text(PyObject* str);

}  // namespace kestrum
