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

// The module object of brinvale.brinvale, set once its body starts.  Methods
// look names up in the module namespace at call time, as Python functions of
// the module would (so `name2feature`, `pd` ... can be replaced there).
void set_module(py::module_ &m);
py::object global(const char *name);
py::handle global_module();

// Text columns in the native core (textcols.cpp).  The codes a recorded
// encoder gives the column's fillna("na").astype(str) texts, or None when
// the encoder or the column is of a kind only the encoder itself handles.
py::object native_text_codes(py::handle encoder, py::handle column);
// The percentage conversion of a column: 1 with the float64 values in
// `values`, 0 when no text ends with "%", -1 when the column is of a kind
// only pandas reads.
int native_percent_column(py::handle column, py::object &values);

// pandas helpers shared by the areas.
bool is_text_dtype(py::handle dtype);      // object, pandas str, categorical
bool is_datetime_dtype(py::handle dtype);  // any datetime64 column
bool in_columns(py::handle df, py::handle label);

}  // namespace brinvale::workbench
