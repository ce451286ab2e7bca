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

// pandas.DataFrame(data={"dy/dx", "Std. Err", "z", "Pr(>|z|)", "Significance"},
// the labels of margins/delta_method.hpp,
// index=names). pandas is imported here, after all numerical work.
PyRef ame_table(const std::vector<AmeRow>& rows);

}  // namespace kestrum
