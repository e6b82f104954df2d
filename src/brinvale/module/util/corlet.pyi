"""YAML file access through PyYAML's safe loader."""

import os as os
from typing import Any, Optional

import yaml as yaml
from yaml import load as load

Loader: type
MAX_BYTES: int

class YamlParser:
    @staticmethod
    def parse(path: str, mode: Optional[str] = None) -> Any: ...
    @staticmethod
    def dump(path: str, config: Any) -> None: ...
