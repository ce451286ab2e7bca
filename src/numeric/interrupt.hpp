// A check for a request to stop, which long computations make between passes
// over the data. The caller decides what a request is; the check reports one
// by throwing, so the computation unwinds and releases whatever it holds.
#pragma once

namespace kestrum {

using InterruptCheck = void (*)();

// For callers that never stop a computation early.
inline void never_interrupted() {}

}  // namespace kestrum
