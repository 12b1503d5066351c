#!/usr/bin/env python3
"""Writes a release ZIP that is the same, byte for byte, for every build of the same commit.

Usage: make_package.py OUTPUT.zip FILE...   (run from the source tree)

Each FILE is a path, stored under its base name, or NAME=PATH, stored as NAME (folders allowed).
The archive holds the files and a SHA256SUMS file for them, in a fixed order, every entry stamped with the commit's time (SOURCE_DATE_EPOCH when set), fixed permissions
and a fixed compression level. Nothing of the build folder, the user or the clock gets in.
"""

import hashlib
import os
import sys
import time
import zipfile

import source_info


def entry(spec):
    """(name in the archive, path) of a FILE argument."""
    name, sep, path = spec.partition("=")
    return (name, path) if sep else (os.path.basename(spec), spec)


def mode_of(name):
    """0755 for a program or library, else 0644."""
    return 0o755 if name.endswith((".exe", ".dll", ".so", "reinstall")) else 0o644


def write_zip(output, entries, stamp):
    """Writes `entries`, (name, bytes) in the order given, each with the time `stamp` (Unix
    seconds), fixed permissions (mode_of) and compression."""
    with zipfile.ZipFile(output, "w") as archive:
        for name, data in entries:
            info = zipfile.ZipInfo(name, date_time=time.gmtime(stamp)[:6])
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 3
            info.external_attr = (0o100000 | mode_of(name)) << 16
            archive.writestr(info, data, compresslevel=9)


def main(output, files):
    entries = []
    for name, path in map(entry, files):
        with open(path, "rb") as f:
            entries.append((name, f.read()))
    sums = "".join(f"{hashlib.sha256(data).hexdigest()}  {name}\n" for name, data in entries)
    entries.append(("SHA256SUMS", sums.encode()))
    partial = output + ".partial"
    write_zip(partial, entries, source_info.commit_time())
    os.replace(partial, output)
    print(f"{output}\n{hashlib.sha256(open(output, 'rb').read()).hexdigest()}")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2:])
