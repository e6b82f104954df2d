"""A label encoder that maps values unseen in fitting to a reserved token."""

from typing import Any, Iterable

import numpy as _np
from sklearn.preprocessing import LabelEncoder as LabelEncoder

np = _np

class LabelEncoderWithOOV(LabelEncoder):
    oov_token: Any
    classes_: _np.ndarray
    def __init__(self, oov_token: Any = "OOV") -> None: ...
    def fit(self, y: Iterable[Any]) -> None: ...  # type: ignore[override]
    def transform(self, y: Iterable[Any]) -> _np.ndarray: ...
