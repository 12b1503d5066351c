#!/usr/bin/env python3
"""The Windows half of tools/run-demo: the example application holds its named mutex, hands over
to build/windows-x64/reinstall.exe under Wine and quits; the launcher starts the demo installer,
whose line this prints. Usage: tools/wine_demo.py BUILD DONE_FILE T0_MS"""

import os
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import wineharness  # noqa: E402


def main():
    build, done, t0 = sys.argv[1], sys.argv[2], sys.argv[3]
    examples = os.path.join(build, "examples")
    with wineharness.Wine(build) as wine:
        env = dict(wine.env, DEMO_INSTALLER_DONE=wineharness.win_path(done),
                   REINSTALL_DEMO_T0=t0)
        wine.run(os.path.join(examples, "handover_app.exe"), wineharness.win_path(wine.launcher),
                 wineharness.win_path(os.path.join(examples, "demo_installer.exe")),
                 "/S /D=C:\\Demo App --lang=en", env=env)
        deadline = time.time() + 15
        while time.time() < deadline and not (os.path.exists(done) and open(done).read()):
            time.sleep(0.1)
    if not os.path.exists(done):
        sys.exit("the installer was not started")
    print(open(done).read(), end="")


if __name__ == "__main__":
    main()
