// Which fitted models the marginal effects accept: the one rule that
// kestrum.ame and kestrum_frames apply to a model object.
#pragma once

#include <Python.h>

namespace kestrum {

// Raises TypeError for a model known not to be a plain probit: a statsmodels
// model other than Probit, or a statsmodels Probit fitted with an offset or
// an exposure, whose effects the probit formulas would get wrong. Any other
// object is taken at its word. `function` and `argument` name the call and
// the argument holding the result (`argument`.model is `model`).
void refuse_other_models(PyObject* model, const char* function, const char* argument);

}  // namespace kestrum
