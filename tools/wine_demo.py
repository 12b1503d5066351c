#!/usr/bin/env python3
"""The Windows half of tools/run-demo: a real update under Wine. Version 1 of Demo App runs from
C:\\Demo App, holds its named mutex, hands over to build/windows-x64/reinstall.exe and quits; the
launcher starts the real NSIS installer of version 2 (tests/installers), which replaces the
application's files and starts it again. Prints the timeline. Usage: tools/wine_demo.py BUILD"""

import os
import shutil
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import records  # noqa: E402
import wineharness  # noqa: E402


def main():
    build = os.path.abspath(sys.argv[1])
    installers = os.path.join(build, "tests", "installers")
    host = wineharness.Wine(build).host(fresh=True)
    if not host["runs"]:
        sys.exit(f"this host cannot run the demo: {host['reason']}")
    with wineharness.Wine(build) as wine, tempfile.TemporaryDirectory(dir=build) as tmp:
        folder = os.path.join(wine.prefix, "drive_c", "Demo App")
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        shutil.copy(os.path.join(installers, "demo_app_v1.exe"),
                    os.path.join(folder, "demo_app.exe"))
        paths = {n: os.path.join(tmp, n + ".txt") for n in ("handover", "relaunched", "installer")}
        t0 = time.time() * 1000.0

        def say(at, who, what):
            print(f"[+{(at - t0) / 1000.0:6.3f} s] {who:12} {what}", flush=True)

        say(t0, "application", "Demo App 1 starts from C:\\Demo App\\demo_app.exe")
        handover = wine.hand_over_demo_app(
            "C:\\Demo App\\demo_app.exe", paths,
            wineharness.win_path(os.path.join(installers, "DemoAppUpdate.exe")),
            "/S /D=C:\\Demo App", 1000)
        if handover is None or handover["code"] != "none":
            sys.exit("the hand-over failed: " + (handover or {}).get("message", "no record"))
        say(float(handover["time"]), "application",
            "holds its mutex, handed over to reinstall.exe (preflight and confirmation passed)")
        say(float(handover["released"]), "application", "quit (mutex released)")
        relaunched = records.read(paths["relaunched"], wineharness.STARTED)
        installer = records.read(paths["installer"], 1, raw=True)
        if relaunched is None or installer is None:
            sys.exit("the installer did not run")
        say(float(relaunched["time"]), "installer",
            f"NSIS installed into {installer['instdir']}"
            f" (demo_app.exe replaced: {'yes' if installer['replaced'] == '1' else 'no'})")
        say(float(relaunched["time"]), "application",
            f"Demo App {relaunched['version']} started again from {relaunched['path']}")


if __name__ == "__main__":
    main()
