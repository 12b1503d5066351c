"""The Go binding under Wine: cmd/handover-check, cross-compiled by Debian's Go for the build's
architecture, checks the golden vectors and hands over to the real reinstall.exe through
reinstall_handover.dll. REINSTALL_BUILD_DIR is a windows-x86 or windows-x64 build."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests"))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import records  # noqa: E402
import wineharness  # noqa: E402
from wineharness import win_path  # noqa: E402

WINE = wineharness.Wine(os.environ["REINSTALL_BUILD_DIR"])
ARCH = os.environ["GOARCH"]
PROGRAM = os.path.join(WINE.build, "bindings", f"handover-check-{ARCH}.exe")
DLL = os.path.join(WINE.build, "reinstall_handover.dll")
ENV = dict(os.environ, GOOS="windows", GOARCH=ARCH, CGO_ENABLED="0",
           GOCACHE=os.path.join(WINE.build, "go-cache"), GOFLAGS="-trimpath")


def setUpModule():
    subprocess.run(["go", "vet", "./..."], cwd=HERE, env=ENV, check=True)
    subprocess.run(["go", "build", "-o", PROGRAM, "./cmd/handover-check"], cwd=HERE, env=ENV,
                   check=True)
    WINE.start()


def tearDownModule():
    WINE.stop()


class Escapes(unittest.TestCase):
    def test_what_the_library_reads_and_writes_is_not_on_a_moving_stack(self):
        # The compiler's escape analysis: each request and out-value handed to the C interface
        # must live on the heap, where a growing goroutine stack cannot leave it behind.
        out = subprocess.run(["go", "build", "-gcflags=-m", "./reinstall"], cwd=HERE, env=ENV,
                             capture_output=True, text=True, check=True).stderr
        self.assertNotIn("&cRequest{...} does not escape", out)
        for name in ("handle", "field", "sysErr", "removed", "length"):
            self.assertIn(f"moved to heap: {name}", out)


class GoTest(unittest.TestCase):
    def test_go_test_passes_under_wine(self):
        # An ordinary `go test`, its test program run by Wine.
        runner = os.path.join(WINE.build, "bindings", "wine-exec")
        with open(runner, "w") as f:
            f.write(f"""#!{sys.executable}
import sys
sys.path.insert(0, {os.path.join(ROOT, 'tests', 'e2e')!r})
import wineharness
wine = wineharness.Wine({WINE.build!r})
env = dict(wine.env, REINSTALL_HANDOVER_LIBRARY={win_path(DLL)!r})
sys.exit(wine.run(*sys.argv[1:], env=env).returncode)
""")
        os.chmod(runner, 0o755)
        result = subprocess.run(["go", "test", "-exec", runner, "-v", "./reinstall"], cwd=HERE,
                                env=ENV, capture_output=True, text=True, timeout=300)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        for test in ("TestCodesAreNamedAsTheLibraryNamesThem",
                     "TestAFileAnotherProcessExtractedFirstIsAcceptedWhenTheSame",
                     "TestTheCarriedLauncherIsHandedOverWithItsDigest"):
            self.assertIn(f"--- PASS: {test}", result.stdout)


class GoBinding(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="reinstall-go-", dir=WINE.build)
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)

    def run_check(self, *args, env=None):
        return WINE.run(PROGRAM, win_path(DLL), *args, env=dict(WINE.env, **(env or {})),
                        capture_output=True, text=True, timeout=300)

    def test_golden_vectors(self):
        vectors = os.path.join(ROOT, "tests", "vectors", "handover.json")
        result = self.run_check("vectors", win_path(vectors))
        with open(vectors, encoding="utf-8") as f:
            doc = json.load(f)
        checks = (sum(v["launcher"] != "" for v in doc["vectors"]) +
                  sum(r["kind"] != "surrogate" for r in doc["refusals"]))
        self.assertEqual(result.stdout.strip().splitlines()[-1],
                         f"{checks * 33} passed, 0 failed", result.stdout)
        self.assertEqual(result.returncode, 0)

    def test_golden_outcome_records(self):
        result = self.run_check("outcomes", win_path(os.path.join(ROOT, "tests", "vectors",
                                                                  "outcomes.json")),
                                win_path(self.dir))
        with open(os.path.join(ROOT, "tests", "vectors", "outcomes.json")) as f:
            count = len(json.load(f)["records"])
        self.assertEqual(result.stdout.strip().splitlines()[-1], f"{count} passed, 0 failed",
                         result.stdout)
        self.assertEqual(result.returncode, 0)

    def test_a_marked_installer_is_reported_until_the_mark_is_removed(self):
        installer = os.path.join(self.dir, "setup.exe")
        shutil.copy(WINE.stub, installer)
        result = self.run_check("marked", win_path(WINE.launcher), win_path(installer))
        self.assertEqual(result.stdout.strip(), "marked=install-file-marked:installPath; "
                         "removed=true after= error=<nil>")

    def test_a_go_program_hands_over_and_quits(self):
        record = os.path.join(self.dir, "installer.txt")
        installer = os.path.join(self.dir, "setup.exe")
        shutil.copy(WINE.stub, installer)
        result = self.run_check("hand-over", win_path(WINE.launcher), win_path(installer),
                                "/S /D=C:\\Go App", "500",
                                env={"STUB_INSTALLER_RECORD": win_path(record)})
        self.assertIn("code=none", result.stdout)
        self.assertEqual(result.returncode, 0, result.stdout)
        installed = records.read(record, wineharness.STARTED)
        self.assertIsNotNone(installed, "installer started")
        self.assertTrue(installed["cmdline"].endswith(" /S /D=C:\\Go App"), installed["cmdline"])


if __name__ == "__main__":
    unittest.main()
