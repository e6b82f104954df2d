// The model workbench module: the tabular_incrml class is a plain Python class
// whose methods are native functions; each area adds its methods to it.
#pragma once

#include "bind.hpp"

#include <functional>

namespace brinvale::workbench {

void add_input_methods(py::object &cls);         // _load_data_from_file, _colname_filter, ...
void register_percent_helpers(py::module_ &m);   // _percent_columns, _convert_percentages
void register_encoding_helpers(py::module_ &m);  // _encode_text_columns
void add_pipeline_methods(py::object &cls);      // _process_data, preprocess, predict, splits
void add_label_methods(py::object &cls);         // labelencode, labeldecode
void add_chart_methods(py::object &cls);         // plot_* methods
void register_dataset(py::module_ &m);           // load_dataset
void register_safe_pickle(py::module_ &m);  // TRUSTED_PICKLE_GLOBALS and the restricted unpickler

// The folder's own config.yaml, checked and kept on the object (the first
// folder of the process also configures TaskConfig); `with_folder_config`
// runs `body` with the feature engine reading that configuration.
py::object load_folder_config(py::object self, const py::object &config_path);
py::object with_folder_config(py::handle self, const std::function<py::object()> &body);

// Input files: npz archives and workbooks whose zip directory declares no
// more than the module's size limits (NPZ_MAX_BYTES, XLSX_MAX_BYTES), and
// regular files only from a folder of CSV files.
void register_input_limits(py::module_ &m);
py::object read_npz(const py::object &path);
void check_xlsx(const py::object &path);
py::object read_folder_entry(const py::object &folder, const py::object &entry);

// A file of the result folder `folder` (config.yaml, the pickles, the feature
// list, the validation rows): a regular file inside the folder, read whole, at
// most the bytes of the module setting `setting` (PICKLE_MAX_BYTES,
// FEATURES_MAX_BYTES, VALIDATION_MAX_BYTES).
py::bytes read_folder_file(const py::object &folder, const py::object &path, const char *setting);
// The same as a binary stream.
py::object open_folder_file(const py::object &folder, const py::object &path, const char *setting);
// Refuses a path of the result folder that leads out of it (through links).
void require_inside_folder(const py::object &folder, const py::object &path);

// Public dataset downloads: DATASET_DEADLINE, DATASET_MAX_BYTES and
// DATASET_META_MAX_BYTES, names that stay inside the dataset path, and a
// bounded GET.  `consume` is called while the response is open, with the
// status and, for status 200, the body as a text stream (UTF-8, undecodable
// bytes replaced) that yields at most the bytes of the setting `limit`; its
// result is fetch's.
void register_download_settings(py::module_ &m);
void check_dataset_name(py::handle name);
py::object fetch(const py::module_ &m, const py::object &url, const char *limit,
                 const std::function<py::object(py::object, py::object)> &consume);

// Common mistakes in user input, refused before preprocessing starts: a file
// or folder without rows; labels that are not text or repeat once cleaned;
// columns the engineered features or the model need and the input lacks
// (all named at once); numbers written as text where the model reads numbers.
void check_loaded_input(const py::object &path, const py::object &frame);
void check_model_input(const py::object &self, const py::object &frame);
// The input columns a loaded folder reads, in order of first use.
py::list input_columns(const py::object &self);

// pickle.load restricted to what trained models and their records need.
py::object safe_pickle_load(py::module_ &m, py::handle file);

// Refuses (ValueError naming the record) a training record dictionary whose
// records are not in the shapes the group-statistic operators write.
void check_records(py::handle records);

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
// The same for the model's input columns given as one-dimensional arrays by
// label (the scoring plan's), never assembled into a frame.
py::object native_model_columns(py::object model, py::dict columns, const char *method);
// Why the native evaluator does not serve the model's `method` whatever the
// frame (its kind, task or learner), empty when it may.
std::string native_model_refusal(py::object model, const char *method);

// The scoring plan (plan.cpp): the model's output for `ori_df`, the frame
// the pipeline hands to the feature engine, computed by the folder's plan
// with the native evaluator; None, after a debug message on the
// "brinvale.plan" logger, when the plan or the evaluator does not serve the
// case (the records are then as the engine will find them).
// Where it steps aside only for the model, `engine_frame` (if given) receives
// what planned_engine_frame gives for `ori_df`.
py::object planned_output(py::object self, py::object ori_df, const char *method,
                          py::object *engine_frame = nullptr);
// The columns the pipeline drops after the feature rebuild from a frame of
// these labels: the identifier and the ignored columns, never the time or
// the group column, each once.
py::list dropped_columns(const py::object &labels, const py::object &id_index,
                         const py::object &ignore, const py::object &time_index,
                         const py::object &group_id);
// The frame name2feature returns for the pipeline's frame `ori_df` (before
// its percentage conversion), computed by the folder's scoring plan with the
// records the engine writes; None, as planned_output, where the plan does not
// serve the case.
py::object planned_engine_frame(py::object self, py::object ori_df);
// The model's input columns as the plan compiled them, None without a plan
// that serves the folder.
py::object planned_model_columns(py::object self);
void register_plan(py::module_ &m);  // ScoringPlan, _scoring_plan

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
// pd.to_datetime(column) for a text column of dates written YYYY-MM-DD,
// without pandas' format guessing; None for any other column.
py::object native_iso_dates(py::handle column);
// The dates native_iso_dates gives, as a datetime64 array (None where it
// gives None), for a column or its array.
py::object native_iso_date_values(py::handle column);
// Whether some text of a column ends with "%": 1 or 0, -1 when the column is
// of a kind only pandas reads.
int native_any_percent(py::handle column);

// pandas helpers shared by the areas.
bool is_text_dtype(py::handle dtype);      // object, pandas str, categorical
bool is_datetime_dtype(py::handle dtype);  // any datetime64 column
bool in_columns(py::handle df, py::handle label);
// The dtypes of a frame's columns in order, the objects DataFrame.dtypes
// lists, read from its block manager where pandas keeps one (the Series
// DataFrame.dtypes builds costs more than the rest of a one-row check).
py::list frame_dtypes(const py::object &df);
// The column at position `j`, the Series df.iloc[:, j] gives, without the
// indexer's checks.
py::object frame_column(const py::object &df, std::size_t j);
// The values of that column as its block holds them (a NumPy or extension
// array), for the native readers of text columns.
py::object frame_column_array(const py::object &df, std::size_t j);

}  // namespace brinvale::workbench
