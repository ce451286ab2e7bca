#pragma once

#include <Python.h>

#include "interface/call_protocol.hpp"

namespace kestrum {

// ame(probit_model, chunk_size=...)
extern const FastCallEntry ame;
extern const char* const kAmeDoc;

}  // namespace kestrum
