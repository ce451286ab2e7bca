// Maximizer: the core's ProbitMaximizer as a Python type, driven by a loop
// in Python that computes each requested pass over the partitions.
//
//   m = Maximizer(k, max_iter, tol, final_quantities)
//   while not m.finished:
//       m.supply([sums of each partition at m.point for m.quantities])
//   m.outcome()
#pragma once

#include <Python.h>

namespace kestrum {

// The type object, created on first need.
PyTypeObject* maximizer_type();

}  // namespace kestrum
