"""What a release build knows of its source: the commit and the commit's time. Both come from an
explicit setting first (REINSTALL_SOURCE_COMMIT, SOURCE_DATE_EPOCH), then from the checkout this
file stands in, and never from a repository around it: a source archive unpacked inside another
repository would otherwise take that repository's commit."""

import os
import re
import subprocess

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EARLIEST = 315532800  # 1980-01-01, the earliest time a ZIP entry can hold


def _git(*args):
    if not os.path.exists(os.path.join(ROOT, ".git")):
        return ""
    try:
        return subprocess.run(["git", "-C", ROOT, *args], capture_output=True, text=True,
                              check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return ""


def version():
    """The project's version, as CMakeLists.txt declares it: 1.0.0.23."""
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
        return re.search(r"project\(reinstall VERSION ([0-9.]+)", f.read()).group(1)


def semver():
    """The version as npm and Go take it, three numbers: 1.0.0."""
    return ".".join(version().split(".")[:3])


def commit():
    """The source commit, or "unknown" (a source archive built without the setting)."""
    given = os.environ.get("REINSTALL_SOURCE_COMMIT", "")
    if given:
        if not re.fullmatch(r"[0-9a-f]{40}|[0-9a-f]{64}", given):
            raise SystemExit(f"REINSTALL_SOURCE_COMMIT is not a commit id: {given!r}")
        return given
    return _git("rev-parse", "HEAD") or "unknown"


def commit_time():
    """Unix seconds: SOURCE_DATE_EPOCH, the commit's time, or the earliest a ZIP can hold."""
    text = os.environ.get("SOURCE_DATE_EPOCH") or _git("log", "-1", "--format=%ct")
    return max(int(text), EARLIEST) if text else EARLIEST
