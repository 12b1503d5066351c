#!/usr/bin/env python3
"""Says in one line what a test run skipped and why, from the JUnit files that CTest wrote
(ctest --output-junit): every CTest test reported skipped, with the reason its output gave, and
every unittest case skipped inside a suite that ran. Usage: skipped.py build/PRESET/junit.xml..."""

import os
import re
import sys
import xml.etree.ElementTree as ET

# unittest writes the reason as repr() does: in double quotes when it holds a single quote; a
# sub-test's skip is indented and names the sub-test in brackets.
CASE = re.compile(r"^\s*(test\w*) \([^)]*\)( \[.*\])? \.\.\. skipped (['\"])(.*)\3$", re.M)


def main(paths):
    tests, cases = {}, []
    for path in paths:
        if not os.path.exists(path):
            continue
        preset = os.path.basename(os.path.dirname(os.path.abspath(path)))
        for test in ET.parse(path).getroot().iter("testcase"):
            out = (test.findtext("system-out") or "").strip()
            if test.find("skipped") is not None:
                reason = out.splitlines()[-1] if out else test.find("skipped").get("message")
                tests.setdefault(reason, []).append(f"{preset}/{test.get('name')}")
            else:
                cases += [f"{preset}/{test.get('name')} {name}{sub} ({why})"
                          for name, sub, _, why in CASE.findall(out)]
    parts = [f"{len(names)} test{'s' if len(names) > 1 else ''} ({', '.join(names)}): {reason}"
             for reason, names in tests.items()]
    if cases:
        parts.append("cases inside suites that ran: " + ", ".join(cases))
    print("skipped: " + ("; ".join(parts) if parts else "nothing"))


if __name__ == "__main__":
    main(sys.argv[1:])
