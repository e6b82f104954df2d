"""The process-wide task configuration."""

import logging as logging
import os as os
from contextvars import ContextVar
from typing import Any, Optional

from ..util.corlet import YamlParser as YamlParser

_active_config: ContextVar[Optional[dict[str, Any]]]

class TaskConfig:
    cfg: dict[str, Any]
    cfg_path: str
    def __new__(cls, *args: Any, **kwargs: Any) -> "TaskConfig": ...
    def __init__(self, conf_file: Optional[str] = None) -> None: ...
