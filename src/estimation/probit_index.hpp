// The probit's per-row quantities at a given index eta (x'beta plus the
// fixed effects), by the rules of probit_problem.hpp: l_i = ln Phi(q_i eta_i),
// lambda_i = dl_i/deta_i and w_i = -d2l_i/deta_i^2, exact in the tails.
#pragma once

#include <cstddef>

namespace kestrum {

// lambda and w of the n rows (into lambda and weight) and l = sum_i l_i,
// added in fixed blocks of rows and the blocks in order: the same bits on
// any number of threads.
double probit_at_index(const double* eta, const double* y, size_t n, double* lambda, double* weight,
                       size_t threads);

}  // namespace kestrum
