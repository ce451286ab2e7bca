#include "interface/probit_models.hpp"

#include <string>

#include "interface/errors.hpp"
#include "interface/lists.hpp"

namespace kestrum {

namespace {

// The model terms that the probit formulas of the marginal effects leave out.
constexpr const char* kExcludedTerms[] = {"offset", "exposure"};

std::string type_attribute(PyObject* type, const char* name) {
  PyRef value = checked(PyObject_GetAttrString(type, name));
  return PyUnicode_Check(value.get()) ? utf8_text(value.get()) : std::string();
}

}  // namespace

void refuse_other_models(PyObject* model, const char* function, const char* argument) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(model));
  if (!type_attribute(type, "__module__").starts_with("statsmodels")) return;
  const std::string name = type_attribute(type, "__name__");
  if (name != "Probit") {
    raise(PyExc_TypeError, std::string(function) + " computes the effects of a probit model, but " + argument +
                               ".model is a statsmodels " + name +
                               ": fit a statsmodels Probit, or use that model's own get_margeff()");
  }
  for (const char* term : kExcludedTerms) {
    PyObject* value = PyObject_GetAttrString(model, term);
    if (value == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
      PyErr_Clear();
      continue;
    }
    const bool present = value != Py_None;
    Py_DECREF(value);
    if (present) {
      raise(PyExc_TypeError, std::string(argument) + " was fitted with an " + term + ", which " + function +
                                 "'s probit formulas leave out: refit the Probit without it");
    }
  }
}

bool is_constant_name(const std::string& name) {
  PyRef text = checked(PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), nullptr));
  PyRef lower = checked(PyObject_CallMethod(text.get(), "lower", nullptr));
  return PyUnicode_CompareWithASCIIString(lower.get(), "const") == 0 ||
         PyUnicode_CompareWithASCIIString(lower.get(), "intercept") == 0;
}

}  // namespace kestrum
