"""The Python binding against the native shared library: the golden vectors and a real hand-over.
REINSTALL_HANDOVER_LIBRARY names the library; REINSTALL_BUILD_DIR the native build."""

import json
import os
import shutil
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests"))
import records  # noqa: E402
import reinstall_handover as rh  # noqa: E402

BUILD = os.environ["REINSTALL_BUILD_DIR"]


class Binding(unittest.TestCase):
    def test_golden_vectors(self):
        with open(os.path.join(ROOT, "tests", "vectors", "handover.json"), encoding="utf-8") as f:
            vectors = json.load(f)["vectors"]
        for v in vectors:
            request = rh.HandoverRequest(v["launcher"], v["mutexName"], v["installPath"],
                                         v["parameters"], v.get("installSha256", ""),
                                         v.get("installSigner"), v.get("launcherSha256", ""))
            with self.subTest(v["parameters"]):
                if "commandLine" in v:
                    self.assertEqual(rh.build_command_line(request), v["commandLine"])
                else:
                    with self.assertRaises(rh.HandoverError) as refused:
                        rh.build_command_line(request)
                    self.assertEqual(refused.exception.field, v["refusedField"])
                    self.assertEqual(str(refused.exception), v["refusal"])

    def test_golden_outcome_records(self):
        with open(os.path.join(ROOT, "tests", "vectors", "outcomes.json"), encoding="utf-8") as f:
            records = json.load(f)["records"]
        folder = tempfile.mkdtemp(prefix="reinstall-python-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        for i, r in enumerate(records):
            path = os.path.join(folder, f"{i}.json")
            if r["text"] is not None:
                with open(path, "wb") as f:
                    f.write(r["text"].encode("utf-8", "surrogatepass"))
            with self.subTest(r["about"]):
                read = rh.read_outcome(path)
                self.assertEqual(
                    (read.state, read.outcome, read.system_error, read.launcher_version,
                     read.started, read.ended, read.mutex_name, read.install_path, read.sentence),
                    (r["state"], r["outcome"], r["systemError"], r["launcherVersion"],
                     r["started"], r["ended"], r["mutexName"], r["installPath"], r["sentence"]))

    def test_golden_refusals(self):
        with open(os.path.join(ROOT, "tests", "vectors", "handover.json"), encoding="utf-8") as f:
            refusals = json.load(f)["refusals"]
        checked = 0
        for r in (r for r in refusals if r["kind"] in ("nul", "surrogate")):
            fields = {"launcher": "/r", "mutexName": "m", "installPath": "/x", "parameters": "",
                      r["field"]: r["value"]}
            request = rh.HandoverRequest(fields["launcher"], fields["mutexName"],
                                         fields["installPath"], fields["parameters"])
            with self.subTest(r):
                self.assertIn(("invalid-value", r["field"]),
                              [(p.name, p.field) for p in rh.preflight(request)])
                with self.assertRaises(rh.HandoverError) as refused:
                    rh.build_command_line(request)
                self.assertEqual(refused.exception.field, r["field"])
                result = rh.hand_over(request)
                self.assertEqual((result.ok, result.step, result.problem.field),
                                 (False, 1, r["field"]))
                checked += 1
        self.assertEqual(checked, 5)

    def test_a_path_held_with_surrogate_escapes_reaches_the_file(self):
        folder = tempfile.mkdtemp(prefix="reinstall-python-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        raw = os.path.join(os.fsencode(folder), b"setup-\xff")
        shutil.copy(os.path.join(BUILD, "tests", "integration", "stub_installer"), raw)
        request = rh.HandoverRequest(os.path.join(BUILD, "reinstall"), "m", os.fsdecode(raw))
        self.assertNotIn("installPath", [p.field for p in rh.preflight(request)])

    def test_a_real_hand_over(self):
        folder = tempfile.mkdtemp(prefix="reinstall-python-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        os.environ["XDG_RUNTIME_DIR"] = folder
        os.environ["STUB_INSTALLER_RECORD"] = os.path.join(folder, "installer.txt")
        installer = os.path.join(folder, "setup")
        shutil.copy(os.path.join(BUILD, "tests", "integration", "stub_installer"), installer)
        # Verified: the digest reaches the launcher, which checks it again before it waits; the
        # outcome is recorded where the next start reads it.
        os.environ["XDG_STATE_HOME"] = folder
        outcome = rh.default_outcome_path("PythonApp")
        self.assertEqual(outcome, os.path.join(folder, "PythonApp", "reinstall-outcome.json"))
        request = rh.HandoverRequest(os.path.join(BUILD, "reinstall"), "python-app", installer,
                                     "/S /D=x", install_sha256=rh._digest(installer).upper(),
                                     outcome_path=outcome)
        self.assertEqual(rh.read_outcome(outcome).state, "absent")
        mutex = rh.ApplicationMutex("python-app")
        with self.assertRaises(OSError) as taken:
            rh.ApplicationMutex("python-app")  # held: a second instance is refused
        self.assertEqual(taken.exception.errno, 11, "EAGAIN: another holder")
        self.assertEqual(rh.preflight(request), [])
        tampered = rh.HandoverRequest(request.launcher, "python-app", installer, "",
                                      install_sha256="0" * 64, install_signer=["a" * 64],
                                      launcher_sha256="1" * 64)
        self.assertEqual([(p.name, p.field) for p in rh.preflight(tampered)],
                         [("install-file-changed", "installPath"),
                          ("install-file-signer", "installPath"),
                          ("launcher-changed", "launcher")])
        refused = rh.hand_over(tampered)
        self.assertEqual((refused.ok, refused.step, refused.problem.name),
                         (False, 5, "launcher-changed"), "nothing is started")
        self.assertFalse(rh.remove_download_mark(installer), "natively nothing is marked")
        result = rh.hand_over(request)
        self.assertTrue(result.ok, result.problem.message)
        self.assertGreater(result.launcher_id, 0)
        time.sleep(0.5)
        self.assertIsNone(records.read(os.environ["STUB_INSTALLER_RECORD"]), "waits for the app")
        self.assertEqual(rh.read_outcome(outcome).outcome, "handed-over")
        mutex.close()
        installed = records.read(os.environ["STUB_INSTALLER_RECORD"], 6)
        self.assertIsNotNone(installed, "installer started")
        self.assertEqual(installed["args"], ["/S", "/D=x"])
        for _ in range(50):  # the launcher records once the installer has started
            if rh.read_outcome(outcome).outcome != "handed-over":
                break
            time.sleep(0.1)
        done = rh.read_outcome(outcome)
        self.assertEqual((done.outcome, done.mutex_name, done.install_path, done.sentence),
                         ("installer-started", "python-app", installer,
                          "The installer was started."))
        self.assertEqual(os.listdir(os.path.dirname(outcome)), ["reinstall-outcome.json"])
        unusable = rh.HandoverRequest(request.launcher, "python-app", installer,
                                      outcome_path=os.path.join(folder, "gone", "o.json"))
        self.assertIn(("outcome-path-unusable", "outcomePath"),
                      [(p.name, p.field) for p in rh.preflight(unusable)])

    def test_problems_carry_code_field_and_message(self):
        problems = rh.preflight(rh.HandoverRequest("/nonexistent/reinstall", "a\\b", "setup", ""))
        self.assertEqual([(p.name, p.field) for p in problems],
                         [("mutex-name-invalid", "mutexName"),
                          ("install-path-relative", "installPath"),
                          ("launcher-missing", "launcher")])
        # Codes only Windows gives come through by their names too.
        self.assertEqual([rh.code_name(c) for c in (14, 16)],
                         ["path-too-long", "install-file-marked"])
        result = rh.hand_over(rh.HandoverRequest("/nonexistent/reinstall", "m", "/bin/true", ""))
        self.assertFalse(result.ok)
        self.assertEqual((result.step, result.problem.name), (2, "start-failed"))
        # The sources carry no binaries: without a launcher the binding says which wheel to take.
        with self.assertRaisesRegex(FileNotFoundError, "carries no binaries; install the "
                                                       "reinstall_handover wheel for linux_x86_64"):
            rh.preflight(rh.HandoverRequest(mutex_name="m", install_path="/bin/true"))

    def test_a_one_file_program_hands_over_a_launcher_that_outlives_its_bundle(self):
        folder = tempfile.mkdtemp(prefix="reinstall-python-")
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        bundle = os.path.join(folder, "_MEI12345")
        os.makedirs(bundle)
        packaged = shutil.copy(os.path.join(BUILD, "reinstall"), bundle)
        os.environ["XDG_CACHE_HOME"] = os.path.join(folder, "cache")
        sys.frozen, sys._MEIPASS = True, bundle
        self.addCleanup(delattr, sys, "frozen")
        self.addCleanup(delattr, sys, "_MEIPASS")
        digests = {}
        lasting = rh.lasting_launcher(packaged, digests)
        self.assertEqual(digests, {lasting: rh._digest(packaged)}, "checked again when started")
        self.assertTrue(lasting.startswith(os.environ["XDG_CACHE_HOME"] + os.sep), lasting)
        self.assertEqual(rh.lasting_launcher(packaged), lasting, "the copy there is used")
        shutil.rmtree(bundle)  # what the bootloader does when the program exits
        self.assertTrue(os.access(lasting, os.X_OK))
        self.assertEqual(rh._digest(lasting), rh._digest(os.path.join(BUILD, "reinstall")))
        self.assertEqual(rh.lasting_launcher(os.path.join(BUILD, "reinstall")),
                         os.path.join(BUILD, "reinstall"), "outside the bundle: as it is")


if __name__ == "__main__":
    unittest.main()
