"""docs/failure-modes.md cannot rot: every test a row names exists (a CTest suite and the case
inside it, found in the sources that CMake runs), every code a row names is one the helper
defines, every code the helper defines is named by a row, and every row says what the project
does and shows it with a test unless it explains why it cannot be handled."""

import ast
import glob
import os
import re
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CATALOG = os.path.join(ROOT, "docs", "failure-modes.md")
HELPER = os.path.join(ROOT, "include", "reinstall", "handover.h")
PACKAGES = os.path.join(ROOT, "tests", "packages", "test_packages.py")
STATUSES = ("prevented", "reported", "visible", "not handled")


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def rows():
    """The catalog's table rows, each a dict of its columns."""
    lines = [line for line in read(CATALOG).splitlines() if line.startswith("|")]
    header = [cell.strip() for cell in lines[0].strip("|").split("|")]
    return [dict(zip(header, (cell.strip() for cell in line.strip("|").split("|"))))
            for line in lines[2:]]


def helper_codes():
    """The stable names of the helper's problem codes, but "none"."""
    switch = read(HELPER).split("inline const char* ProblemCodeName", 1)[1].split("\n}\n", 1)[0]
    return set(re.findall(r'return "([a-z-]+)";', switch)) - {"none", "unknown"}


def python_suites():
    """CTest name -> (Python file, class or None), from every reinstall_python_test call; the e2e
    suites are the test classes of test_wine.py, one each."""
    suites = {}
    for here, folders, files in os.walk(ROOT):
        folders[:] = [f for f in folders if f not in ("build", "node_modules") and f[0] != "."]
        if "CMakeLists.txt" not in files:
            continue
        cmake = os.path.join(here, "CMakeLists.txt")
        for name, body in re.findall(r"reinstall_python_test\((\S+)(.*?)\)", read(cmake), re.S):
            directory = re.search(r"DIRECTORY\s+(\S+)", body).group(1)
            directory = directory.replace("${CMAKE_CURRENT_SOURCE_DIR}", here)
            directory = directory.replace("${PROJECT_SOURCE_DIR}", ROOT)
            module, _, cls = re.search(r"MODULE\s+(\S+)", body).group(1).partition(".")
            path = os.path.join(directory, module + ".py")
            if "${suite}" in name:
                for suite in re.findall(r"^class (\w+)\(", read(path), re.M):
                    if suite != "WineTest":
                        suites[name.replace("${suite}", suite)] = (path, suite)
            else:
                suites[name] = (path, cls or None)
    return suites


def python_has_case(path, cls, case):
    tree = ast.parse(read(path))
    for node in ast.walk(tree):
        if isinstance(node, ast.ClassDef) and (cls is None or node.name == cls):
            if any(isinstance(item, ast.FunctionDef) and item.name == case for item in node.body):
                return True
    return False


def gtest_exists(name):
    suite, _, case = name.partition(".")
    pattern = re.compile(r"\bTEST(?:_F)?\(\s*" + re.escape(suite) + r"\s*,\s*" + re.escape(case) +
                         r"\s*\)")
    return any(pattern.search(read(path))
               for path in glob.glob(os.path.join(ROOT, "tests", "unit", "*.cpp")))


def test_exists(suite, case, suites):
    """Whether CTest would list `suite` and it holds `case` (None: the suite alone)."""
    if suite in suites:
        path, cls = suites[suite]
        return case is None or python_has_case(path, cls, case)
    if suite.startswith("packages."):  # tests/packages: one suite per class of its module
        classes = {c.lower(): c for c in re.findall(r"^class (\w+)\(", read(PACKAGES), re.M)}
        cls = classes.get(suite.partition(".")[2])
        return cls is not None and (case is None or python_has_case(PACKAGES, cls, case))
    if suite == "bindings.node":
        return case is None or f"test('{case}'" in read(os.path.join(ROOT, "bindings", "node",
                                                                     "test.js"))
    if suite == "bindings.csharp":
        return case is None or re.search(r"public void " + re.escape(case) + r"\(", read(
            os.path.join(ROOT, "bindings", "csharp", "tests", "HandoverTests.cs"))) is not None
    if case is None and any(re.fullmatch(name, suite) for name in cmake_tests()):
        return True
    return case is None and re.fullmatch(r"[A-Z]\w*\.\w+", suite) is not None and \
        gtest_exists(suite)


def cmake_tests():
    """The names of tests/CMakeLists.txt's add_test calls, as patterns: a variable in a name
    (a foreach loop's) stands for any word."""
    names = re.findall(r"add_test\(NAME (\S+)", read(os.path.join(ROOT, "tests", "CMakeLists.txt")))
    patterns = [re.sub(r"\\\$\\\{\w+\\\}", r"\\w+", re.escape(name)) for name in names]
    return [p for p in patterns if p != r"\w+"]  # a name that is a variable alone says nothing


class Catalog(unittest.TestCase):
    def test_the_catalog_names_only_what_exists_and_every_code(self):
        suites = python_suites()
        defined = helper_codes()
        named = set()
        table = rows()
        self.assertGreaterEqual(len(table), 20)
        for row in table:
            with self.subTest(row["Failure"]):
                what = row["What we do"]
                self.assertTrue(what.startswith(STATUSES), f"says what we do: {what[:40]}")
                codes = re.findall(r"`([^`]+)`", row["Codes"])
                self.assertEqual(set(codes) - defined, set(), "codes the helper does not define")
                named.update(codes)
                tests = re.findall(r"`([^`]+)`(?:\s*›\s*`([^`]+)`)?", row["Tests"])
                if what.startswith("not handled"):
                    continue
                self.assertTrue(tests, "a row that is handled names its test")
                for suite, case in tests:
                    self.assertTrue(test_exists(suite, case or None, suites),
                                    f"no test {suite} {case}")
        self.assertEqual(defined - named, set(), "codes the catalog does not mention")


if __name__ == "__main__":
    unittest.main()
