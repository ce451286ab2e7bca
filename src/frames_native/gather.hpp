// The regressor block of a partition, gathered from the columns of a frame.
#pragma once

#include <Python.h>

#include "interface/call_protocol.hpp"

namespace kestrum {

// gather_columns(columns, start, stop, rows=None, threads=1) -> (block, has_nonfinite)
extern const FastCallEntry gather_columns;
extern const char* const kGatherColumnsDoc;

}  // namespace kestrum
