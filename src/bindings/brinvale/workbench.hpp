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

// Model structure checks (model_check.cpp).  The unpickler's find_class
// returns checked_model_class(cls) for every admitted class: LightGBM's and
// XGBoost's Booster classes come back as subclasses that check the model
// before the library parses it.  check_model_structure(obj) checks the
// scikit-learn trees of a loaded object and returns it.
void register_model_checks(py::module_ &m);
py::object checked_model_class(py::handle resolved);
py::object check_model_structure(py::object loaded);

// The model's predict/predict_proba output for `frame` (its `target` column
// left out) computed natively, identical to the model's own; None for models,
// transforms or frames it does not recognise (model_predict.cpp).
py::object native_model_output(py::object model, py::object frame, py::object target,
                               const char *method);
void register_native_predict(py::module_ &m);  // private helpers for tests and benchmarks

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
