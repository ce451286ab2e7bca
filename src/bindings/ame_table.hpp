// The pandas table that ame returns.
#pragma once

#include <string>
#include <vector>

#include "interface/py_ref.hpp"
#include "margins/ame_kernel.hpp"

namespace kestrum {

struct AmeRow {
  std::string name;
  MarginalEffect effect;
};

// "***" for p < 0.01, "**" for p < 0.05, "*" for p < 0.1, else "" (NaN too).
const char* significance_label(double p);

// pandas.DataFrame(data={"dy/dx", "Std. Err", "z", "Pr(>|z|)", "Significance"},
// index=names). pandas is imported here, after all numerical work.
PyRef ame_table(const std::vector<AmeRow>& rows);

}  // namespace kestrum
