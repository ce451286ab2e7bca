// Fitted probabilities with their standard errors, for the rows of one
// partition or of new data. Hands the interpreter lock back while it runs.
#pragma once

#include <Python.h>

#include "interface/call_protocol.hpp"

namespace kestrum {

// row_predictions(X, beta, cov) -> dict of index, index_se, probability, probability_se
extern const FastCallEntry row_predictions;
extern const char* const kRowPredictionsDoc;

}  // namespace kestrum
