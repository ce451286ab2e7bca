// The probit's per-row derivatives at a given index (a fit with fixed effects).
#pragma once

#include <Python.h>

#include "interface/call_protocol.hpp"

namespace kestrum {

// probit_at_index(eta, y, threads) -> (loglike, lam, w)
extern const FastCallEntry probit_at_index_entry;
extern const char* const kProbitAtIndexDoc;

}  // namespace kestrum
