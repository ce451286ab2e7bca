// The sums of one partition as they travel from a task to the client: a dict
// of numbers and NumPy arrays, which pickles, so that the sums can come from
// another thread or another process. The client adds the parts up in
// partition order with the core's own add().
#pragma once

#include <Python.h>

#include <vector>

#include "estimation/evaluation.hpp"
#include "interface/py_ref.hpp"
#include "margins/ame_kernel.hpp"

namespace kestrum {

// {"loglike", "gradient", "hessian", "near_certain_hessian", "near_certain",
// "meat", "expected_hessian"}; a quantity that was not computed is None
// (the maximiser reads all but the expected Hessian).
PyRef evaluation_to_dict(Evaluation&& sums);

// A list of float64 arrays, one per matrix.
PyRef matrix_list(std::vector<Matrix>&& matrices);

// {"rows", "continuous_effect", "continuous_gradient", "indicator_effect",
// "indicator_gradient", "binary"}.
PyRef effect_sums_to_dict(MarginalEffectSums&& sums);

// The parts (a sequence of such dicts, sums over k regressors) added up in
// sequence order, starting from the first. At least one part is needed, and
// each must hold exactly the `quantities` asked for.
Evaluation add_evaluations(PyObject* parts, size_t k, unsigned quantities);
MarginalEffectSums add_effect_sums(PyObject* parts, size_t k);

}  // namespace kestrum
