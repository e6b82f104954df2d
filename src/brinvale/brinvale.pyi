"""Model workbench: load a result folder, preprocess, predict, charts, datasets."""

import json as json
import os as os
import pickle as pickle
import sys as sys
import warnings as warnings
from copy import deepcopy as deepcopy
from typing import TYPE_CHECKING, Any, overload

import matplotlib.pyplot as _plt
import numpy as _np
import pandas as _pd
import shap as shap
from matplotlib.colors import Colormap
from typing import Optional as Optional, Tuple as Tuple, Union as Union

from .module.common.quillet import TaskConfig as TaskConfig
from .module.util.report import (
    plot_box as plot_box,
    plot_confusion_matrix as plot_confusion_matrix,
    plot_kde as plot_kde,
    plot_regression_results as plot_regression_results,
    plot_roc_curve as plot_roc_curve,
    plot_trends as plot_trends,
)
from .tavrin import name2feature as name2feature

if TYPE_CHECKING:  # Dask is an optional dependency (brinvale[dask])
    import dask.array as _da
    import dask.dataframe as _dd

np = _np
pd = _pd
plt = _plt

__all__ = ["tabular_incrml", "load_dataset"]

DATASET_BASE_URL: str
DATASET_TIMEOUT: Tuple[float, float]
DATASET_DEADLINE: float
DATASET_MAX_BYTES: int
NPZ_MAX_BYTES: int
XLSX_MAX_BYTES: int
XLSX_MAX_RATIO: int
XLSX_MAX_GRID_RATIO: int
DATASET_META_MAX_BYTES: int
PICKLE_MAX_BYTES: int
FEATURES_MAX_BYTES: int
VALIDATION_MAX_BYTES: int
TRUSTED_PICKLE_GLOBALS: set[str]

_Labels = Union[_pd.Series, _np.ndarray]

class tabular_incrml:
    path: str
    labelencoder_dt_path: str
    autofe_result_path: str
    automl_result_path: str
    save_path: str
    model_path: str
    target_name: Optional[str]
    feature_name: Any
    task: str
    training_data: Optional[_pd.DataFrame]
    id_index: Optional[str]
    time_index: Optional[str]
    ignore_features: list[str]
    group_id: Optional[str]
    split_type: str
    seed: Any
    test_size: float
    autofe_running: Any
    automl_running: Any
    lec_record_dt: dict[str, Any]
    adv_features: list[str]
    model: Any
    def __init__(self, path: str) -> None: ...
    def _split_train_test(
        self, X: _pd.DataFrame, y: _pd.Series, split_type: str
    ) -> Tuple[_pd.DataFrame, _pd.DataFrame, _pd.Series, _pd.Series]: ...
    def _load_data_from_file(self, input_file_path: str) -> _pd.DataFrame: ...
    def _colname_filter(self, his_col: Union[str, list[str]]) -> Union[str, list[str]]: ...
    def _process_data(self, ori_df: _pd.DataFrame) -> _pd.DataFrame: ...
    def _normalize_column_names(self, df: _pd.DataFrame) -> _pd.DataFrame: ...
    def _percent_sign_conversion(self, df: _pd.DataFrame) -> _pd.DataFrame: ...
    def _validation_data(self) -> Tuple[_pd.DataFrame, _pd.Series]: ...
    @overload
    def predict(self, test_path: Union[str, _pd.DataFrame, _np.ndarray]) -> _np.ndarray: ...
    @overload
    def predict(self, test_path: _dd.DataFrame) -> _da.Array: ...
    @overload
    def predict_proba(self, test_path: Union[str, _pd.DataFrame, _np.ndarray]) -> _np.ndarray: ...
    @overload
    def predict_proba(self, test_path: _dd.DataFrame) -> _da.Array: ...
    @overload
    def preprocess(self, input: Union[str, _pd.DataFrame], return_y: bool = False) -> _pd.DataFrame: ...
    @overload
    def preprocess(self, input: _dd.DataFrame, return_y: bool = False) -> _dd.DataFrame: ...
    def get_train_validation_data(
        self, path: Optional[str] = None
    ) -> Tuple[_pd.DataFrame, _pd.DataFrame, _pd.Series, _pd.Series]: ...
    def labelencode(
        self, X: Union[_pd.DataFrame, _pd.Series], feature_name: Optional[str] = None
    ) -> Optional[_pd.Series]: ...
    def labeldecode(
        self, X: Union[_pd.DataFrame, _pd.Series], feature_name: Optional[str] = None
    ) -> Optional[_pd.Series]: ...
    def plot_box(
        self, X: _pd.DataFrame, y: _pd.DataFrame, feature_name: str, target_name: str, path: Optional[str] = None
    ) -> None: ...
    def plot_kde(self, X: _pd.DataFrame, feature_name: str, path: Optional[str] = None) -> None: ...
    def plot_trend_comparison(
        self, X: _pd.DataFrame, feature_name: str, target_name: str, path: Optional[str] = None
    ) -> None: ...
    def plot_roc_curve(
        self,
        y_true: _Labels,
        y_score: _Labels,
        n_classes: Optional[int] = None,
        roc_type: str = "both",
        path: Optional[str] = None,
    ) -> None: ...
    def plot_confusion_matrix(
        self,
        y_true: _Labels,
        y_pred: _Labels,
        normalize: bool = False,
        title: Optional[str] = None,
        cmap: Colormap = ...,
        path: Optional[str] = None,
    ) -> None: ...
    def plot_regression_scatter(
        self, y_true: _Labels, y_pred: _Labels, model_name: str = "Model", path: Optional[str] = None
    ) -> None: ...
    def obtain_model_configuration(self) -> dict[str, Any]: ...
    def get_feature_importance(self) -> tuple[tuple[str, Any], ...]: ...
    def plot_shap(
        self, X_test: Optional[_pd.DataFrame] = None, save_path: Optional[str] = None, plot_type: str = "dot"
    ) -> None: ...

class load_dataset:
    prefix: str
    name: str
    description: Any
    data_type: str
    suffix: str
    data: _pd.DataFrame
    def __init__(self, name: str) -> None: ...
    def get_meta_data(self) -> None: ...
    def get_real_data(self) -> None: ...
    def get_dataframe(self) -> _pd.DataFrame: ...

def _input_columns(obj: tabular_incrml) -> list[str]: ...

class ScoringPlan:
    """The scoring plan of a loaded result folder, compiled on first use."""
    @property
    def steps(self) -> list[str]: ...
    @property
    def labels(self) -> list[str]: ...
    @property
    def operators(self) -> list[str]: ...
    @property
    def features(self) -> list[str]: ...
    @property
    def model_columns(self) -> list[str]: ...
    @property
    def unsupported(self) -> Optional[str]: ...

def _scoring_plan(model: tabular_incrml) -> ScoringPlan: ...
def _run_scoring_plan(
    df: _pd.DataFrame, features: list[str], records: dict[str, Any], group: Optional[str] = None
) -> dict[str, Optional[_np.ndarray]]: ...
