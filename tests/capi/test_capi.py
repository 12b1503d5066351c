"""The C interface from a C program (capi_test.c): it checks the golden vectors and hands over
for real, natively (CAPI_WINDOWS=0) or under Wine (CAPI_WINDOWS=1) from CAPI_BUILD_DIR."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "e2e"))
import records  # noqa: E402
import wineharness  # noqa: E402

BUILD = os.environ["CAPI_BUILD_DIR"]
WINDOWS = os.environ.get("CAPI_WINDOWS") == "1"
VECTORS = os.path.join(os.path.dirname(HERE), "vectors", "handover.json")
FIELDS = {"launcher": 1, "mutexName": 2, "installPath": 3, "parameters": 4, "installSha256": 6,
          "installSigner": 7, "launcherSha256": 8}
WINE = wineharness.Wine(BUILD) if WINDOWS else None


def setUpModule():
    if WINE:
        WINE.start()


def tearDownModule():
    if WINE:
        WINE.stop()


def hexed(text):
    return text.encode("utf-8").hex() or "-"


def path(p):
    return wineharness.win_path(p) if WINDOWS else p


def run(args, env=None):
    if WINDOWS:
        program = os.path.join(BUILD, "capi_test.exe")
        return WINE.run(program, *args, env=dict(WINE.env, **(env or {})), capture_output=True,
                        text=True, timeout=300)
    return subprocess.run([os.path.join(BUILD, "tests", "capi", "capi_test"), *args],
                          env=dict(os.environ, **(env or {})), capture_output=True, text=True,
                          timeout=300)


class CInterface(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="reinstall-capi-", dir=BUILD)
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)

    def test_golden_vectors(self):
        with open(VECTORS, encoding="utf-8") as f:
            vectors = json.load(f)["vectors"]
        lines = []
        for v in vectors:
            words = [hexed(v[k]) for k in ("launcher", "mutexName", "installPath", "parameters")]
            if "commandLine" in v:
                words += ["ok", hexed(v["commandLine"])]
            else:
                words += [str(FIELDS[v["refusedField"]]), hexed(v["refusal"])]
            # The signer list as the C interface takes it: one text, thumbprints between commas
            # (one empty thumbprint as an empty entry).
            signers = v.get("installSigner", [])
            words += [hexed(v.get("installSha256", "")),
                      hexed(",".join(signers) or ("," if signers else "")),
                      hexed(v.get("launcherSha256", ""))]
            lines.append(" ".join(words))
        listing = os.path.join(self.dir, "vectors.txt")
        with open(listing, "w") as f:
            f.write("\n".join(lines) + "\n")
        result = run(["vectors", path(listing)])
        self.assertEqual(result.stdout.strip().splitlines()[-1], f"{len(vectors)} passed, 0 failed",
                         result.stdout)
        self.assertEqual(result.returncode, 0)

    def test_texts_cut_to_the_callers_buffer(self):
        result = run(["cut"])
        self.assertEqual(result.stdout.strip().splitlines()[-1], "cut: 0 failed", result.stdout)
        self.assertEqual(result.returncode, 0)

    def test_a_real_hand_over(self):
        if WINDOWS:
            launcher, stub = os.path.join(BUILD, "reinstall.exe"), WINE.stub
        else:
            launcher = os.path.join(BUILD, "reinstall")
            stub = os.path.join(BUILD, "tests", "integration", "stub_installer")
        installer = os.path.join(self.dir, "setup.exe")
        shutil.copy(stub, installer)
        # A launcher given by path, and none: the one beside the library.
        for given in (path(launcher), "-"):
            with self.subTest(launcher=given):
                record = os.path.join(self.dir, f"installer{len(given)}.txt")
                env = {"STUB_INSTALLER_RECORD": path(record), "XDG_RUNTIME_DIR": self.dir}
                result = run(["hand-over", given, path(installer), "/S /D=x", "500"], env)
                self.assertIn("code=none", result.stdout)
                self.assertEqual(result.returncode, 0)
                installed = records.read(record, wineharness.STARTED)
                self.assertIsNotNone(installed, "installer started")
                self.assertEqual(installed["args"], ["/S", "/D=x"])


if __name__ == "__main__":
    unittest.main()
