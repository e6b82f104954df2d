"""Importing this module deletes generated .c files below the working
directory and its build, egg-info and dist folders (a script, not a library)."""

import glob as glob
import os as os
import shutil as shutil

remove_files: list[str]

def purlane_files(directory: str) -> None: ...
def delete_files(path: str) -> None: ...
