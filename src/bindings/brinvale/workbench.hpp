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

// Refuses (ValueError naming the record) a training record dictionary whose
// records are not in the shapes the group-statistic operators write.
void check_records(py::handle records);

// The module object of brinvale.brinvale, set once its body starts.  Methods
// look names up in the module namespace at call time, as Python functions of
// the module would (so `name2feature`, `pd` ... can be replaced there).
void set_module(py::module_ &m);
py::object global(const char *name);
py::handle global_module();

// pandas helpers shared by the areas.
bool is_text_dtype(py::handle dtype);      // object, pandas str, categorical
bool is_datetime_dtype(py::handle dtype);  // any datetime64 column
bool in_columns(py::handle df, py::handle label);

}  // namespace brinvale::workbench
