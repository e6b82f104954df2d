"""Importing this module builds one wheel per interpreter environment under
~/.brinvale/envs and gathers them in ./releases (a script, not a library)."""

import glob as glob
import os as os
import shutil as shutil

remove_files: list[str]
save_path: str
py_envs: list[str]
envs_root: str

def purlane_files(directory: str) -> None: ...
def delete_files(path: str) -> None: ...
