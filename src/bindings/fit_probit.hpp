#pragma once

#include <Python.h>

#include "interface/call_protocol.hpp"

namespace kestrum {

// fit_probit(endog_py, exog_py, max_iter=..., tol=..., robust=..., cluster_vars=...)
extern const FastCallEntry fit_probit;
extern const char* const kFitProbitDoc;

}  // namespace kestrum
