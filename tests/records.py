"""Reads the record files that the test programs write (tests/record.h): key=value lines with
backslash, line feed and carriage return escaped. Every "arg" line is gathered, in order, into
the list under "args"."""

import hashlib
import os
import re
import time

_ESCAPES = {"\\\\": "\\", "\\n": "\n", "\\r": "\r"}


def parse(text, raw=False):
    """`raw`: the values stand as written, unescaped (a record written by a program that cannot
    escape, such as an NSIS script; its values hold no line breaks)."""
    record = {"args": []}
    for line in text.split("\n"):
        if "=" not in line:
            continue
        key, value = line.rstrip("\r").split("=", 1) if raw else line.split("=", 1)
        if not raw:
            value = re.sub(r"\\[\\nr]", lambda m: _ESCAPES[m.group(0)], value)
        if key == "arg":
            record["args"].append(value)
        else:
            record[key] = value
    return record


def read(path, wait=0.0, raw=False):
    """The record at `path`, waiting up to `wait` seconds for it to appear; None if it does not.
    Writers rename a finished record into place, so a record is never read half-written."""
    deadline = time.time() + wait
    while not os.path.exists(path) and time.time() < deadline:
        time.sleep(0.01)
    if not os.path.exists(path):
        return None
    with open(path, "rb") as f:
        return parse(f.read().decode("utf-8", "surrogateescape"), raw)


def sha256_of(path):
    """The SHA-256 of the file at `path` in lower-case hex, as an update manifest names a file the
    tests hand over."""
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()
