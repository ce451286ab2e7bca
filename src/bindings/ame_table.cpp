#include "bindings/ame_table.hpp"

#include "interface/errors.hpp"
#include "interface/lists.hpp"
#include "margins/delta_method.hpp"

namespace kestrum {

PyRef ame_table(const std::vector<AmeRow>& rows) {
  std::vector<double> effects, std_errors, z_values, p_values;
  std::vector<std::string> labels, names;
  for (const AmeRow& row : rows) {
    effects.push_back(row.effect.effect);
    std_errors.push_back(row.effect.std_error);
    z_values.push_back(row.effect.z);
    p_values.push_back(row.effect.p);
    labels.emplace_back(significance_label(row.effect.p));
    names.push_back(row.name);
  }

  PyRef pandas = checked(PyImport_ImportModule("pandas"));
  PyRef columns = checked(PyDict_New());
  check_status(PyDict_SetItemString(columns.get(), "dy/dx", to_python_list(effects).get()));
  check_status(PyDict_SetItemString(columns.get(), "Std. Err", to_python_list(std_errors).get()));
  check_status(PyDict_SetItemString(columns.get(), "z", to_python_list(z_values).get()));
  check_status(PyDict_SetItemString(columns.get(), "Pr(>|z|)", to_python_list(p_values).get()));
  check_status(PyDict_SetItemString(columns.get(), "Significance", to_python_list(labels).get()));
  PyRef keywords = checked(PyDict_New());
  check_status(PyDict_SetItemString(keywords.get(), "data", columns.get()));
  check_status(PyDict_SetItemString(keywords.get(), "index", to_python_list(names).get()));

  PyRef data_frame = checked(PyObject_GetAttrString(pandas.get(), "DataFrame"));
  PyRef no_arguments = checked(PyTuple_New(0));
  return checked(PyObject_Call(data_frame.get(), no_arguments.get(), keywords.get()));
}

}  // namespace kestrum
