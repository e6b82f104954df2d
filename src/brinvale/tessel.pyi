"""Scoring a Dask DataFrame partition by partition with the feature engine of
one machine, every whole-frame quantity computed over all partitions first."""

from typing import Any

def preprocess(obj: Any, ddf: Any, return_y: bool = False) -> Any: ...
def predict(obj: Any, ddf: Any, method: str = "predict") -> Any: ...
