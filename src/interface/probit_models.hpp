// Which fitted models the marginal effects accept, and which of their
// columns are a constant: the rules that kestrum.ame and kestrum_frames apply.
#pragma once

#include <Python.h>

#include <string>

namespace kestrum {

// Raises TypeError for a model known not to be a plain probit: a statsmodels
// model other than Probit, or a statsmodels Probit fitted with an offset or
// an exposure, whose effects the probit formulas would get wrong. Any other
// object is taken at its word. `function` and `argument` name the call and
// the argument holding the result (`argument`.model is `model`).
void refuse_other_models(PyObject* model, const char* function, const char* argument);

// A constant term is recognised by its name alone (UTF-8): "const" or
// "intercept" after full Unicode lower-casing (str.lower), nothing else.
bool is_constant_name(const std::string& name);

}  // namespace kestrum
