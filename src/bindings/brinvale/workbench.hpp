// The model workbench module: the tabular_incrml class is a plain Python class
// whose methods are native functions; each area adds its methods to it.
#pragma once

#include "bind.hpp"

namespace brinvale::workbench {

void add_input_methods(py::object &cls);     // _load_data_from_file, _colname_filter, ...
void add_pipeline_methods(py::object &cls);  // _process_data, preprocess, predict, splits
void add_label_methods(py::object &cls);     // labelencode, labeldecode
void add_chart_methods(py::object &cls);     // plot_* methods
void register_dataset(py::module_ &m);       // load_dataset
void register_safe_pickle(py::module_ &m);   // TRUSTED_PICKLE_GLOBALS and the restricted unpickler

// pickle.load restricted to what trained models and their records need.
py::object safe_pickle_load(py::module_ &m, py::handle file);

}  // namespace brinvale::workbench
