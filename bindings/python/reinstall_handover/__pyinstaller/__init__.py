"""PyInstaller finds this package's hook here (the pyinstaller40 entry point of the wheel)."""

import os


def get_hook_dirs():
    return [os.path.dirname(__file__)]
