# Bundles the launcher and the library the wheel carries, which PyInstaller's import analysis
# does not see (they are loaded and started by path), under reinstall_handover/bin/ as installed.
from PyInstaller.utils.hooks import collect_data_files

datas = collect_data_files("reinstall_handover", includes=["bin/**"])
