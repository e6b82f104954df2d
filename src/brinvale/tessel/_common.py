"""Names of the helper columns rows carry through a shuffle, and the keys a
shuffle hashes."""

import numpy as np
import pandas as pd

ROWID = "__rowid"  # the row's position in the whole frame
TARGET = "__target"  # the value range a row is ranked in
VALUE = "__v"  # the value of a quantity
HASH = "__h"  # "__h0", ...: keys equal as groupby has them


def key_column(j):
    return f"__k{j}"


def hashable_keys(keys):
    """Hashable stand-ins of a key column: -0.0 as 0.0 and every missing
    value as one NaN, so that rows of one group meet in one partition."""
    s = pd.Series(keys, copy=False)
    if pd.api.types.is_float_dtype(s.dtype):
        return (s + 0.0).where(s.notna(), np.nan)
    if pd.api.types.is_object_dtype(s.dtype):
        return s.where(s.notna(), np.nan)
    return s


def in_row_order(part):
    """The rows of a shuffled partition back in the frame's row order."""
    return part.sort_values(ROWID, kind="stable").reset_index(drop=True)
