"""The real reinstall.exe under Wine: started with exact raw command lines by caller.exe (which
plays the application and holds a real named mutex), starting stub_installer.exe, which records how
it was started. Assertions are on effects and on Wine's relay trace of the launcher's own calls."""

import contextlib
import hashlib
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import wineharness
from wineharness import RELAY_DEBUG, STARTED, caller_exit, relay_text, win_path
from records import sha256_of  # tests/, on the path once wineharness is imported

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "tools"))
from make_packages import launcher_sha256  # noqa: E402  (what the packages record)

WINE = wineharness.Wine(os.environ["E2E_BUILD_DIR"])
LAUNCHER, STUB = WINE.launcher, WINE.stub


def setUpModule():
    WINE.start()


def tearDownModule():
    WINE.stop()


class WineTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="reinstall-e2e-", dir=WINE.build)
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.work = os.path.join(self.dir, "work dir")
        os.mkdir(self.work)
        self.installer = os.path.join(self.dir, "Program Files", "setup.exe")
        os.makedirs(os.path.dirname(self.installer))
        shutil.copy(STUB, self.installer)

    def long_installer(self, units):
        """A copy of the stub installer at a path of exactly `units` characters, as Windows
        names it."""
        base = win_path(self.dir) + "\\"
        folder = os.path.join(self.dir, "p" * (units - len(base) - len("\\setup.exe")))
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, "setup.exe")
        shutil.copy(STUB, path)
        self.assertEqual(len(win_path(path)), units)
        return path

    def run_caller(self, arguments, installer_wait=0.0, **keys):
        """Starts the launcher through caller.exe with the raw command line
        '"<launcher>" ' + arguments and the other scenario `keys`, and collects what happened."""
        run = WINE.call(self.dir, RELAY_DEBUG, installer_wait, launcher=win_path(LAUNCHER),
                        cmdline=f'"{win_path(LAUNCHER)}" {arguments}', cwd=win_path(self.work),
                        **keys)
        self.assertEqual(run.code, 0, caller_exit(run.code))
        self.assertIsNotNone(run.record)
        self.assertEqual(run.record["timed_out"], "0")
        self.assertEqual(run.record["exit_code"], "0", "the launcher always exits with 0")
        self.assertTrue(run.calls, "no relay trace of the launcher")
        self.assertHandlesClosed(run)
        return run

    def assertHandlesClosed(self, run):
        opened = [c.retval for c in run.calls
                  if (c.name == "OpenMutexA" and c.retval) or
                  (c.name == "CreateFileA" and c.retval not in (0xFFFFFFFF, 0xFFFFFFFFFFFFFFFF))]
        closed = [c.values[0] for c in run.named("CloseHandle")]
        self.assertEqual(sorted(opened), sorted(closed), "every handle opened is closed once")

    def assertErrorBox(self, run, message):
        boxes = run.boxes()
        self.assertEqual(len(boxes), 1, boxes)
        self.assertRegex(boxes[0],
                         r'^0+,[0-9a-f]+ "' + re.escape(relay_text(message)) + r'",0+,00001010$')

    def hand_over_args(self, name="ReinstallE2E", params="/S /D=C:\\Apps"):
        return (f"-saferun=kqz -appmutex={name} \"-appinstall={win_path(self.installer)}\" "
                f"\"-installparam={params}\"")


class HandOver(WineTest):
    def test_mutex_released_after_a_second(self):
        run = self.run_caller(self.hand_over_args(), hold_ms=1000, installer_wait=STARTED)
        self.assertIsNotNone(run.installer, "installer started")
        released = float(run.record["released"])
        delay = float(run.installer["time"]) - released
        self.assertGreaterEqual(delay, 2000)
        self.assertLess(delay, 3000)
        self.assertTrue(run.installer["cmdline"].endswith(" /S /D=C:\\Apps"),
                        run.installer["cmdline"])
        self.assertEqual(run.installer["args"], ["/S", "/D=C:\\Apps"])
        self.assertEqual(run.installer["cwd"].rstrip("\\").lower(), win_path(self.work).lower())
        self.assertEqual(run.boxes(), [])
        probes = run.named("OpenMutexA")
        self.assertGreaterEqual(len(probes), 5)
        for probe in probes:
            self.assertEqual(probe.values, [0x20000, 0, "ReinstallE2E"])
        self.assertEqual(probes[-1].retval, 0, "the last probe found it gone")
        sleeps = [c.values[0] for c in run.named("Sleep")]
        self.assertEqual(sleeps, [100] * (len(probes) - 1) + [2000])
        launches = run.named("ShellExecuteExA")
        self.assertEqual(len(launches), 1)
        self.assertNotEqual(launches[0].retval, 0)
        self.assertEqual(run.calls[-1].name, "ShellExecuteExA", "nothing after the launch")

    def test_limits_the_helper_reports_are_the_launchers(self):
        cases = [
            ("a mutex name of 259 units", "M" * 259, self.installer, None),
            ("a mutex name of 260 units", "M" * 260, self.installer,
             "Error opening mutex. Number: 206"),
            ("an install path of 259 units", "ReinstallE2E", self.long_installer(259), None),
            ("an install path of 267 units", "ReinstallE2E", self.long_installer(267),
             "Install file doesn't exists."),
        ]
        for what, name, installer, message in cases:
            with self.subTest(what):
                if os.path.exists(os.path.join(self.dir, "installer.txt")):
                    os.remove(os.path.join(self.dir, "installer.txt"))
                self.installer = installer
                run = self.run_caller(self.hand_over_args(name=name), name=name, hold_ms=300,
                                      installer_wait=STARTED if message is None else 0.5)
                if message is None:
                    self.assertEqual(run.boxes(), [])
                    self.assertIsNotNone(run.installer, "installer started")
                else:
                    self.assertErrorBox(run, message)
                    self.assertIsNone(run.installer, "nothing started")

    def test_mutex_never_released_times_out_and_starts_nothing(self):
        start = time.time()
        run = self.run_caller(self.hand_over_args(), hold_ms=-1, installer_wait=0.5)
        self.assertGreaterEqual(time.time() - start, 10.0)
        self.assertErrorBox(run, "Waiting for closing application timed out.")
        self.assertIsNone(run.installer)
        self.assertEqual(run.named("ShellExecuteExA"), [])
        self.assertNotIn(2000, [c.values[0] for c in run.named("Sleep")])

    def test_another_kind_of_object_under_the_name_is_open_error_6(self):
        run = self.run_caller(self.hand_over_args(), object="event", hold_ms=-1)
        self.assertErrorBox(run, "Error opening mutex. Number: 6")
        self.assertIsNone(run.installer)
        self.assertEqual(len(run.named("OpenMutexA")), 1)

    def test_a_file_type_without_an_open_program_fails_to_launch(self):
        document = os.path.join(self.dir, "notes.zzqq")
        with open(document, "w") as f:
            f.write("no program opens this\n")
        args = self.hand_over_args().replace(win_path(self.installer), win_path(document))
        run = self.run_caller(args, object="none")
        self.assertErrorBox(run, "Can't execute install file.")
        self.assertEqual([c.retval for c in run.named("ShellExecuteExA")], [0])

    def test_non_ansi_path_and_parameters_through_a_unicode_caller(self):
        folder = os.path.join(self.dir, "Zürich Ελλάδα 日本")
        os.mkdir(folder)
        self.installer = os.path.join(folder, "setup ü.exe")
        shutil.copy(STUB, self.installer)
        run = self.run_caller(self.hand_over_args(params="/D=Ünïcødé 名前 ∑"), object="none",
                              installer_wait=STARTED)
        self.assertIsNotNone(run.installer, "installer started")
        self.assertIn("setup ü.exe", run.installer["cmdline"])
        self.assertTrue(run.installer["cmdline"].endswith(" /D=Ünïcødé 名前 ∑"))


class Helper(WineTest):
    """Applications start the launcher through include/reinstall/handover.h."""

    def test_launcher_started_by_the_helper_sees_an_inheritable_mutex_go(self):
        run = self.run_caller("", hold_ms=1000, inherit=True, installer_wait=STARTED,
                              via="helper", install=win_path(self.installer),
                              params="/S /D=C:\\Program Files\\App")
        self.assertIsNotNone(run.installer, "installer started")
        self.assertEqual(run.boxes(), [])
        self.assertGreaterEqual(float(run.installer["time"]) - float(run.record["released"]), 2000)
        self.assertTrue(run.installer["cmdline"].endswith(" /S /D=C:\\Program Files\\App"))
        # In the install file's own folder, not the application's (caller.exe's, "work dir"),
        # which it would otherwise keep from being replaced.
        self.assertEqual(run.installer["cwd"].rstrip("\\").lower(),
                         win_path(os.path.dirname(self.installer)).lower())
        # The launcher may take the foreground, granted while the application is still in front.
        self.assertEqual(run.record["foreground"], "1")
        granted = re.findall(r":Call user32\.AllowSetForegroundWindow\(([0-9a-f]+)\)", run.trace)
        self.assertEqual([int(pid, 16) for pid in granted], [int(run.record["launcher_id"])])

    def test_an_inherited_mutex_handle_would_keep_the_launcher_waiting(self):
        # The mistake the helper prevents: the launcher holds the application's mutex itself.
        run = self.run_caller(self.hand_over_args(), hold_ms=1000, inherit=True,
                              installer_wait=0.5, inherit_handles=True)
        self.assertErrorBox(run, "Waiting for closing application timed out.")
        self.assertIsNone(run.installer)


class Jobs(WineTest):
    """The application runs in a job that kills its processes when it closes, as under a browser,
    an IDE or a service host; it hands over through the helper and quits without waiting."""

    def helper_run(self, job, install=None, hold_ms=1000, installer_wait=STARTED, **keys):
        run = WINE.call(self.dir, RELAY_DEBUG, installer_wait, hold_ms=hold_ms, wait=False,
                        job=job, via="helper", launcher=win_path(LAUNCHER),
                        cwd=win_path(self.work), install=win_path(install or self.installer),
                        params="/S", **keys)
        self.assertEqual(run.code, 0, caller_exit(run.code))
        return run

    def test_breakaway_lets_the_launcher_outlive_the_job(self):
        run = self.helper_run("kill_breakaway")
        self.assertEqual(run.record["code"], "none", run.record["message"])
        self.assertEqual(run.record["broke_away"], "1")
        self.assertIsNotNone(run.installer, "installer started")
        delay = float(run.installer["time"]) - float(run.record["released"])
        self.assertGreaterEqual(delay, 2000)
        self.assertLess(delay, 3000)

    def test_a_job_that_forbids_breakaway_is_reported_before_the_application_quits(self):
        run = self.helper_run("kill", installer_wait=1.0)
        self.assertEqual(run.record["step"], "3", run.record["message"])
        self.assertEqual(run.record["code"], "breakaway-refused")
        self.assertEqual(run.record["remains_in_job"], "1")
        self.assertEqual(run.record["system_error"], "5", "the refused breakaway's error")
        # The control: the application quit anyway, and the job took the waiting launcher with it.
        self.assertTrue(run.named("OpenMutexA"), "the launcher was waiting")
        self.assertEqual(run.named("ShellExecuteExA"), [])
        self.assertEqual(run.boxes(), [])
        self.assertIsNone(run.installer)

    def test_a_launcher_that_ends_at_once_is_reported(self):
        # Confirmed for 2 s, eight times the default, which covers a slow start under relay
        # tracing on a busy machine; HandOver returns as soon as the launcher ends.
        run = self.helper_run("none", install=os.path.join(self.dir, "gone.exe"), hold_ms=0,
                              installer_wait=0.5, confirm_ms=2000)
        self.assertEqual(run.record["step"], "4", run.record["message"])
        self.assertEqual(run.record["code"], "launcher-ended-early")
        self.assertErrorBox(run, "Install file doesn't exists.")
        self.assertIsNone(run.installer)


class Preflight(WineTest):
    def test_problems_are_found_while_the_application_runs(self):
        document = os.path.join(self.dir, "notes.zzqq")
        package = os.path.join(self.dir, "setup.msi")
        for path in (document, package):
            with open(path, "w") as f:
                f.write("not a program\n")
        cases = [
            ("all well", self.installer, "mutex", ""),
            ("a package with an open program", package, "mutex", ""),
            ("missing installer", os.path.join(self.dir, "gone.exe"), "mutex",
             "install-file-rejected:installPath"),
            ("no open program", document, "mutex", "no-open-program:installPath"),
            ("mutex not held", self.installer, "none", "mutex-not-held:mutexName"),
            ("an event under the name", self.installer, "event", "mutex-unusable:mutexName"),
            ("parameters not UTF-8", self.installer, "mutex", "invalid-value:parameters"),
            # The launcher opens its mutex and install file through the ANSI calls, which take
            # at most 259 UTF-16 units (see Limits below).
            ("a mutex name of 259 units", self.installer, "mutex", "", {"name": "M" * 259}),
            ("a mutex name of 260 units", self.installer, "none",
             "mutex-name-invalid:mutexName", {"name": "M" * 260}),
            ("129 characters of 2 units", self.installer, "mutex", "",
             {"name": "\U0001F600" * 129}),
            ("130 characters of 2 units", self.installer, "none",
             "mutex-name-invalid:mutexName", {"name": "\U0001F600" * 130}),
            ("an install path of 259 units", self.long_installer(259), "mutex", ""),
            ("an install path of 260 units", self.long_installer(260), "mutex",
             "path-too-long:installPath"),
            ("an installer open for writing", self.installer, "mutex",
             "install-file-rejected:installPath", {"hold_install": True}),
            ("a launcher path of 260 units", self.installer, "mutex", "path-too-long:launcher",
             {"launcher": win_path(self.long_installer(260))}),
            ("the manifest's digest", self.installer, "mutex", "",
             {"sha256": sha256_of(self.installer).upper()}),
            ("another digest", self.installer, "mutex", "install-file-changed:installPath",
             {"sha256": "ab" * 32}),
            ("a digest that is no digest", self.installer, "mutex",
             "invalid-value:installSha256", {"sha256": "ab" * 31}),
            ("an installer open for writing, with a digest", self.installer, "mutex",
             "install-file-rejected:installPath",
             {"hold_install": True, "sha256": sha256_of(self.installer)}),
        ]
        for what, install, obj, problems, *keys in cases:
            with self.subTest(what):
                params = "/D=\udcff" if "UTF-8" in what else "/S"
                given = {"launcher": win_path(LAUNCHER), **(keys[0] if keys else {})}
                run = WINE.call(self.dir, object=obj, via="preflight",
                                install=win_path(install), params=params, **given)
                self.assertEqual(run.code, 0, caller_exit(run.code))
                self.assertEqual(run.record["problems"], problems)

    def test_an_installer_marked_as_downloaded_is_reported_until_the_mark_is_removed(self):
        cases = [("none", False, "", None), ("1", False, "", None), ("2", False, "", None),
                 ("3", False, "install-file-marked:installPath", None),
                 ("4", False, "install-file-marked:installPath", None),
                 ("3", True, "", "1"), ("none", True, "", "0")]  # nothing to remove: no error
        for zone, unmark, problems, unmarked in cases:
            with self.subTest(zone=zone, unmark=unmark):
                run = WINE.call(self.dir, via="preflight", launcher=win_path(LAUNCHER),
                                install=win_path(self.installer), params="/S", zone=zone,
                                unmark=unmark)
                self.assertEqual(run.code, 0, caller_exit(run.code))
                self.assertEqual(run.record["problems"], problems)
                self.assertEqual(run.record.get("unmarked"), unmarked)
                self.assertEqual(run.record.get("unmark_error"), "0" if unmark else None)

    def test_before_windows_10_1903_values_must_survive_the_ansi_code_page(self):
        # Wine reports the Windows version set for caller.exe (the harness sets Windows 10 for
        # all), and gives it code page 1252.
        key = r"HKCU\Software\Wine\AppDefaults\caller.exe"
        self.addCleanup(WINE.run, "reg", "delete", key, "/f", capture_output=True)
        cases = [
            ("win10", "/D=\u65e5\u672c", ""),
            ("win7", "/D=\u65e5\u672c", "invalid-value:parameters"),
            ("win7", "/D=C:\\Caf\u00e9", ""),
        ]
        for version, params, problems in cases:
            with self.subTest(version=version, params=params):
                WINE.run("reg", "add", key, "/v", "Version", "/t", "REG_SZ", "/d", version, "/f",
                         capture_output=True, check=True)
                run = WINE.call(self.dir, via="preflight", launcher=win_path(LAUNCHER),
                                install=win_path(self.installer), params=params)
                self.assertEqual(run.code, 0, caller_exit(run.code))
                self.assertEqual(run.record["problems"], problems)


class Validation(WineTest):
    def test_each_failure_is_one_error_box_and_nothing_is_probed_or_started(self):
        os.mkdir(os.path.join(self.dir, "folder"))
        cases = [
            ("-saferun=kqz -bogus", "Error parsing command line."),
            ('-test ""', "Error parsing command line."),
            ("-saferun=kqz -appmutex=M -appinstall=C:\\nope\\setup.exe",
             "Install file doesn't exists."),
            ("-saferun=kqz -appmutex=M", "Install file doesn't exists."),
            (f"-saferun=kqz -appmutex=M -appinstall={win_path(os.path.join(self.dir, 'folder'))}",
             "Install file doesn't exists."),
            (f"-saferun=kqz \"-appinstall={win_path(self.installer)}\"",
             "Missing some required parameters."),
            (f"-saferun=kqz -appmutex=M \"-appinstall={win_path(self.installer)}\" "
             f"-installsha256={'0' * 63}", "Error parsing command line."),
        ]
        for arguments, message in cases:
            with self.subTest(arguments=arguments):
                run = self.run_caller(arguments, object="none")
                self.assertErrorBox(run, message)
                self.assertEqual(run.named("OpenMutexA"), [])
                self.assertEqual(run.named("ShellExecuteExA"), [])

    def test_probe_arguments_of_the_install_file(self):
        run = self.run_caller(f"-saferun=kqz -appmutex=Free \"-appinstall={win_path(self.installer)}\"",
                              object="none", installer_wait=STARTED)
        probe = run.named("CreateFileA")
        self.assertEqual(len(probe), 1)
        self.assertEqual(probe[0].values, [relay_text(win_path(self.installer)), 0x20000000, 1, 0,
                                           3, 0x80, 0])

    def test_without_the_execution_switch_nothing_is_checked(self):
        run = self.run_caller("-appmutex=M -appinstall=C:\\nope.exe", object="none")
        self.assertEqual(run.boxes(), [])
        for name in ("CreateFileA", "OpenMutexA", "ShellExecuteExA"):
            self.assertEqual(run.named(name), [], name)


class Verification(WineTest):
    """-installsha256=: the install file is checked through a handle that denies writing, held
    until the shell has started it."""

    def test_the_digest_in_either_case_runs_the_file_it_held(self):
        digest = sha256_of(self.installer)
        for given in (digest, digest.upper()):
            with self.subTest(given=given[:8]):
                record = os.path.join(self.dir, "installer.txt")
                if os.path.exists(record):
                    os.remove(record)
                run = self.run_caller(f"{self.hand_over_args()} -installsha256={given}",
                                      hold_ms=300, installer_wait=STARTED)
                self.assertIsNotNone(run.installer, "installer started")
                self.assertEqual(run.boxes(), [])
                opens = run.named("CreateFileA")
                self.assertEqual(len(opens), 3)
                self.assertEqual(opens[1].values, [relay_text(win_path(self.installer)),
                                                   0x80000000, 1, 0, 3, 0x08200000, 0])
                # Right before the start: the file's own path still names the held file.
                own = relay_text(win_path(os.path.realpath(self.installer)))
                self.assertEqual(opens[2].values, [own, 0x80, 7, 0, 3, 0x00200000, 0])
                self.assertIn(win_path(os.path.realpath(self.installer)), run.installer["cmdline"])
                self.assertTrue(run.named("BCryptHashData"))
                # The file test's handle value may come back for the held one: follow the calls.
                calls = run.calls[run.calls.index(opens[1]):]
                launch = [c.name for c in calls].index("ShellExecuteExA")
                closed = [i for i, c in enumerate(calls)
                          if c.name == "CloseHandle" and c.values[0] == opens[1].retval & 0xFFFFFFFF]
                self.assertEqual(len(closed), 1)
                self.assertGreater(closed[0], launch, "held until the shell has started it")

    def test_another_program_cannot_change_the_file_while_the_launcher_waits(self):
        original = sha256_of(self.installer)
        with open(self.installer + ".decoy", "wb") as f:
            f.write(b"MZ not the installer")
        # Without the digest the same attempts succeed, and the decoy is what the shell gets.
        for digest in ("", original):
            with self.subTest(digest=bool(digest)):
                switch = f" -installsha256={digest}" if digest else ""
                run = self.run_caller(self.hand_over_args() + switch, hold_ms=3000, tamper=True,
                                      install=win_path(self.installer),
                                      installer_wait=STARTED if digest else 3.0)
                attempts = dict(a.split(":") for a in run.record["tamper"].split(","))
                if not digest:
                    self.assertEqual((attempts["write"], attempts["rename"], attempts["replace"]),
                                     ("0", "0", "0"), attempts)
                    self.assertIsNone(run.installer)
                    shutil.copy(STUB, self.installer)
                    with open(self.installer + ".decoy", "wb") as f:
                        f.write(b"MZ not the installer")
                    continue
                for what in ("write", "rename", "delete", "replace"):
                    self.assertIn(attempts[what], ("5", "32"), f"{what}: {attempts}")
                self.assertIsNotNone(run.installer, "the verified installer ran")
                self.assertEqual(run.boxes(), [])
                self.assertEqual(sha256_of(self.installer), original)

    def test_a_folder_on_the_way_that_leads_elsewhere_by_the_start_starts_nothing_else(self):
        """The install path goes through a link (a junction on Windows; here a Unix symbolic
        link, which Wine follows the same way), changed once the launcher holds the file."""
        dl = os.path.join(self.dir, "dl")
        v1, v2, cur = (os.path.join(dl, name) for name in ("v1", "v2", "cur"))

        def retarget():
            os.symlink("v2", cur + ".new")
            os.replace(cur + ".new", cur)

        def replace_folder():  # Wine lets a folder be renamed while a file in it is open
            os.rename(v1, v1 + ".old")
            os.rename(v2, v1)

        for what, change, started in (("as it was", None, True),
                                      ("its link retargeted", retarget, True),
                                      ("its folder renamed, another in its place", replace_folder,
                                       False)):
            with self.subTest(what):
                shutil.rmtree(dl, ignore_errors=True)
                for folder, tail in ((v1, b""), (v2, b"another installer")):
                    os.makedirs(folder)
                    shutil.copy(STUB, os.path.join(folder, "setup.exe"))
                    with open(os.path.join(folder, "setup.exe"), "ab") as f:
                        f.write(tail)
                os.symlink("v1", cur)
                self.installer = os.path.join(cur, "setup.exe")
                for leftover in ("installer.txt", "caller.txt.go"):
                    with contextlib.suppress(FileNotFoundError):
                        os.remove(os.path.join(self.dir, leftover))
                digest = sha256_of(os.path.join(v1, "setup.exe"))
                run = self.run_caller(f"{self.hand_over_args()} -installsha256={digest}",
                                      hold_ms=300, tamper="cue" if change else False,
                                      on_call=("OpenMutexA", change) if change else None,
                                      installer_wait=STARTED if started else 3.0)
                if started:
                    self.assertEqual(run.boxes(), [])
                    self.assertIsNotNone(run.installer)
                    # v1's file, by the path it has: never v2's through the link.
                    self.assertIn(win_path(os.path.realpath(os.path.join(dl, "v1", "setup.exe"))),
                                  run.installer["cmdline"])
                else:
                    self.assertErrorBox(run, "Install file has been changed.")
                    self.assertIsNone(run.installer)

    def test_another_digest_is_one_box_and_nothing_is_waited_for_or_started(self):
        run = self.run_caller(f"{self.hand_over_args()} -installsha256={'ab' * 32}",
                              object="none", installer_wait=0.5)
        self.assertErrorBox(run, "Install file has been changed.")
        self.assertIsNone(run.installer)
        self.assertEqual(run.named("OpenMutexA"), [])
        self.assertEqual(run.named("ShellExecuteExA"), [])


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True)


class Signatures(WineTest):
    """installSigner: Authenticode signatures made with osslsigncode under a root certificate of
    this test's own, which it adds to the prefix's trusted roots."""

    @classmethod
    def setUpClass(cls):
        for tool in ("openssl", "osslsigncode"):
            if shutil.which(tool) is None:
                raise unittest.SkipTest(f"{tool} is not installed")
        cls.keys = tempfile.mkdtemp(prefix="reinstall-signers-", dir=WINE.build)
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "root.key", "-out",
                "root.pem", "-days", "30", "-subj", "/CN=reinstall test root", "-addext",
                "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign",
                cwd=cls.keys)
        with open(os.path.join(cls.keys, "leaf.ext"), "w") as f:
            f.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                    "extendedKeyUsage=codeSigning\n")
        cls.thumbprint = {}
        for name in ("us", "them"):
            openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key", "-out",
                    f"{name}.csr", "-subj", f"/CN=reinstall test publisher {name}", cwd=cls.keys)
            openssl("x509", "-req", "-in", f"{name}.csr", "-CA", "root.pem", "-CAkey", "root.key",
                    "-CAcreateserial", "-days", "30", "-extfile", "leaf.ext", "-out",
                    f"{name}.pem", "-outform", "PEM", cwd=cls.keys)
            openssl("x509", "-in", f"{name}.pem", "-outform", "DER", "-out", f"{name}.der",
                    cwd=cls.keys)
            cls.thumbprint[name] = sha256_of(os.path.join(cls.keys, f"{name}.der"))
        # Trusted as a root in this prefix: the registry's store holds each certificate as a
        # serialized element (property 32, the encoded certificate) under its SHA-1 thumbprint.
        openssl("x509", "-in", "root.pem", "-outform", "DER", "-out", "root.der", cwd=cls.keys)
        with open(os.path.join(cls.keys, "root.der"), "rb") as f:
            root = f.read()
        blob = struct.pack("<III", 32, 1, len(root)) + root
        key = ("HKLM\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\" +
               hashlib.sha1(root).hexdigest().upper())
        WINE.run("reg", "add", key, "/v", "Blob", "/t", "REG_BINARY", "/d", blob.hex(), "/f",
                 capture_output=True, check=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.keys, ignore_errors=True)

    def sign(self, program, signer, out, *options):
        subprocess.run(["osslsigncode", "sign", *options,
                        "-certs", os.path.join(self.keys, f"{signer}.pem"),
                        "-ac", os.path.join(self.keys, "root.pem"),
                        "-key", os.path.join(self.keys, f"{signer}.key"), "-h", "sha256",
                        "-in", program, "-out", out], check=True, capture_output=True)

    def signed(self, program, signer, name):
        out = os.path.join(self.dir, name)
        self.sign(program, signer, out)
        return out

    def test_only_a_valid_signature_by_a_listed_certificate_passes(self):
        ours = self.signed(STUB, "us", "ours.exe")
        changed = os.path.join(self.dir, "changed.exe")
        with open(ours, "rb") as f:
            data = bytearray(f.read())
        data[len(data) // 2] ^= 0xFF  # inside the signed image
        with open(changed, "wb") as f:
            f.write(data)
        theirs = self.signed(STUB, "them", "theirs.exe")
        self_signed_caller = self.signed(WINE.caller, "us", "caller-ours.exe")
        cases = [
            ("signed by us", ours, self.thumbprint["us"].upper(), None, ""),
            ("either of two", ours, f"{self.thumbprint['them']},{self.thumbprint['us']}", None,
             ""),
            ("signed by someone else", theirs, self.thumbprint["us"], None,
             "install-file-signer:installPath"),
            ("not signed", self.installer, self.thumbprint["us"], None,
             "install-file-signer:installPath"),
            ("changed after signing", changed, self.thumbprint["us"], None,
             "install-file-signer:installPath"),
            ("signed as this program is", ours, "self", self_signed_caller, ""),
            ("this program is not signed", ours, "self", None, "invalid-value:installSigner"),
        ]
        for what, install, signer, caller, problems in cases:
            with self.subTest(what):
                run = WINE.call(self.dir, via="preflight", launcher=win_path(LAUNCHER),
                                install=win_path(install), params="/S", signer=signer,
                                caller=caller)
                self.assertEqual(run.code, 0, caller_exit(run.code))
                self.assertEqual(run.record["problems"], problems)
                self.assertEqual(run.record["self_signer"],
                                 self.thumbprint["us"] if caller else "")

    def test_a_launcher_signed_again_by_its_publisher_hands_over_and_no_other_change_does(self):
        with open(LAUNCHER, "rb") as f:
            digest = launcher_sha256(f.read())
        launchers = {}
        for what, make in (
                ("signed", lambda out: self.sign(LAUNCHER, "us", out)),
                ("its signature replaced", lambda out: self.sign(launchers["signed"], "them", out)),
                ("a second signature added",
                 lambda out: self.sign(launchers["signed"], "them", out, "-nest")),
                ("one code byte changed",
                 lambda out: open(out, "wb").write(wineharness.code_byte_changed(LAUNCHER)))):
            folder = os.path.join(self.dir, what.replace(" ", "-"))
            os.mkdir(folder)
            launchers[what] = os.path.join(folder, "reinstall.exe")
            make(launchers[what])
            with self.subTest(what):
                with contextlib.suppress(FileNotFoundError):
                    os.remove(os.path.join(self.dir, "installer.txt"))
                changed = what == "one code byte changed"
                run = WINE.call(self.dir, installer_wait=0.5 if changed else STARTED,
                                via="helper", launcher=win_path(launchers[what]),
                                install=win_path(self.installer), params="/S", hold_ms=1000,
                                launcher_sha256=digest)
                self.assertEqual(run.code, 0, caller_exit(run.code))
                self.assertEqual(run.record["code"], "launcher-changed" if changed else "none",
                                 run.record.get("message"))
                self.assertEqual(run.installer is None, changed)

    def test_a_signer_list_alone_hands_the_launcher_the_digest_of_what_was_checked(self):
        self.installer = self.signed(STUB, "us", "setup-signed.exe")
        run = self.run_caller("", hold_ms=1000, installer_wait=STARTED, via="helper",
                              install=win_path(self.installer), params="/S",
                              signer=self.thumbprint["us"])
        self.assertEqual(run.record["code"], "none", run.record.get("message"))
        self.assertIsNotNone(run.installer, "installer started")
        self.assertTrue(run.named("BCryptHashData"), "the launcher checked the digest")


class Outcomes(WineTest):
    """-outcome=PATH: every way a run ends, recorded by a real run and read back."""

    def setUp(self):
        super().setUp()
        self.outcome = os.path.join(self.dir, "outcome.json")

    def record(self):
        with open(self.outcome, encoding="utf-8") as f:
            return json.load(f)

    def read_back(self):
        """The record as the helper's ReadOutcome (in caller.exe) reads it."""
        run = WINE.call(self.dir, object="none", via="read_outcome", outcome=win_path(self.outcome))
        self.assertEqual(run.code, 0, caller_exit(run.code))
        return run.record

    def test_each_way_a_run_ends_is_recorded(self):
        document = os.path.join(self.dir, "notes.zzqq")
        with open(document, "w") as f:
            f.write("no program opens this\n")
        out = f'"-outcome={win_path(self.outcome)}" '
        install = win_path(self.installer)
        cases = [
            ("installer started", self.hand_over_args(), {"hold_ms": 300}, "installer-started"),
            ("install file missing", "-saferun=kqz -appmutex=M -appinstall=C:\\nope\\setup.exe",
             {"object": "none"}, "install-file-missing"),
            ("missing parameters", f'-saferun=kqz "-appinstall={install}"', {"object": "none"},
             "missing-parameters"),
            ("command line error", "-saferun=kqz -bogus", {"object": "none"},
             "command-line-error"),
            ("mutex error", self.hand_over_args(), {"object": "event", "hold_ms": -1},
             "mutex-error"),
            ("no program for the type",
             self.hand_over_args().replace(install, win_path(document)), {"object": "none"},
             "cant-execute"),
            ("another digest", f"{self.hand_over_args()} -installsha256={'ab' * 32}",
             {"object": "none"}, "install-file-changed"),
        ]
        for what, arguments, keys, outcome in cases:
            with self.subTest(what):
                started = outcome == "installer-started"
                run = self.run_caller(out + arguments, installer_wait=STARTED if started else 0.0,
                                      **keys)
                record = self.record()
                self.assertEqual(record["outcome"], outcome, record)
                if outcome != "cant-execute":  # the shell shows its own box first
                    self.assertEqual(len(run.boxes()), 0 if started else 1)
                if outcome == "mutex-error":
                    self.assertEqual(record["systemError"], 6)
                elif outcome == "cant-execute":
                    self.assertNotEqual(record["systemError"], 0, "the shell's error")
                else:
                    self.assertEqual(record["systemError"], 0)
                self.assertRegex(record["launcherVersion"], r"^\d+\.\d+\.\d+\.\d+$")
                for moment in ("started", "ended"):
                    self.assertRegex(record[moment],
                                     r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")
                self.assertLessEqual(record["started"], record["ended"])
                self.assertNotIn("outcome.json.partial", os.listdir(self.dir))
                read = self.read_back()
                self.assertEqual((read["state"], read["outcome"], read["system_error"]),
                                 ("2", outcome, str(record["systemError"])))
                self.assertTrue(read["sentence"])
        self.assertEqual(self.record()["installPath"], win_path(self.installer))

    def test_a_mutex_never_released_is_recorded_as_timed_out(self):
        self.run_caller(f'"-outcome={win_path(self.outcome)}" {self.hand_over_args()}',
                        hold_ms=-1)
        self.assertEqual(self.record()["outcome"], "timed-out")

    def test_a_path_that_cannot_be_written_still_starts_the_installer(self):
        nowhere = win_path(os.path.join(self.dir, "no such folder", "outcome.json"))
        run = self.run_caller(f'"-outcome={nowhere}" {self.hand_over_args()}', hold_ms=300,
                              installer_wait=STARTED)
        self.assertIsNotNone(run.installer, "installer started")
        self.assertEqual(run.boxes(), [])
        self.assertFalse(os.path.exists(os.path.join(self.dir, "no such folder")))

    def test_the_helpers_record_is_replaced_by_the_launcher_or_left_when_it_is_stopped(self):
        run = self.run_caller("", hold_ms=500, installer_wait=STARTED, via="helper",
                              install=win_path(self.installer), params="/S",
                              outcome=win_path(self.outcome))
        self.assertIsNotNone(run.installer, "installer started")
        self.assertEqual(self.record()["outcome"], "installer-started")
        # A "launcher" that ends at once, as one stopped before it finished would.
        run = WINE.call(self.dir, via="helper", launcher=win_path(STUB), confirm_ms=0,
                        install=win_path(self.installer), params="/S",
                        outcome=win_path(self.outcome))
        self.assertEqual(run.code, 0, caller_exit(run.code))
        record = self.record()
        self.assertEqual((record["outcome"], record["ended"], record["installPath"]),
                         ("handed-over", "", win_path(self.installer)))
        self.assertIn("left no record", self.read_back()["sentence"])

    def test_a_record_is_never_seen_half_written(self):
        with open(self.outcome, "w") as f:
            json.dump({"outcome": "handed-over", "systemError": 0}, f)
        seen, done = [], []

        def hand_over():
            try:
                self.run_caller(f'"-outcome={win_path(self.outcome)}" {self.hand_over_args()}',
                                hold_ms=200, installer_wait=STARTED)
            finally:
                done.append(True)

        worker = threading.Thread(target=hand_over)
        worker.start()
        while not done:
            with open(self.outcome, encoding="utf-8") as f:
                seen.append(json.loads(f.read())["outcome"])  # never part of a record
        worker.join()
        self.assertLessEqual(set(seen), {"handed-over", "installer-started"})
        self.assertEqual(seen[-1], "installer-started")
        self.assertGreater(len(seen), 100, "read often while the launcher wrote")


class Reports(WineTest):
    def test_three_reports_with_exact_arguments_around_the_release(self):
        run = self.run_caller("-TEST -appmutex=It's \"-installparam=a b\"", object="none")
        boxes = run.named("MessageBoxA")
        self.assertEqual(len(boxes), 3)
        expected = [
            (f'"{win_path(LAUNCHER)}" -TEST -appmutex=It\'s "-installparam=a b"', "Command line"),
            ("-TEST\n-appmutex=It's\n-installparam=a b\n", "Parsed command line"),
            ("fAppMutex='It's'\nfInstallApp=''\nfExecParams='a b'\nbExecuteAllowed='0'\n"
             "bTestExecuting='1'\n", "Parameters"),
        ]
        for box, (text, caption) in zip(boxes, expected):
            self.assertRegex(box.args, r'^0+,[0-9a-f]+ "' + re.escape(relay_text(text))
                             + r'",[0-9a-f]+ "' + caption + r'",0+$')
        order = [c.name for c in run.calls if c.name in ("MessageBoxA", "LocalFree")]
        self.assertEqual(order, ["MessageBoxA", "MessageBoxA", "LocalFree", "MessageBoxA"])
        allocs = run.named("GlobalAlloc")
        self.assertEqual(len(allocs), 1)
        self.assertEqual(allocs[0].values[0], 0, "GMEM_FIXED")


class Harness(WineTest):
    """What keeps this suite honest: caller.exe refuses a scenario it cannot trust, and the gate
    in front of every Windows test skips only what the host cannot run."""

    def test_caller_refuses_a_scenario_it_cannot_trust(self):
        good = wineharness.scenario(launcher=win_path(LAUNCHER), cwd=win_path(self.work),
                                    cmdline=f'"{win_path(LAUNCHER)}" -saferun=kqz')
        cases = [
            ("a missing key", good.replace("wait=1\n", "")),
            ("an unknown key", good + "hold=5\n"),
            ("a repeated key", good + "hold_ms=5\n"),
            ("a number that is not one", good.replace("hold_ms=0", "hold_ms=1s")),
            ("an unknown kind of object", good.replace("object=mutex", "object=mutx")),
            ("a flag that is not 0 or 1", good.replace("inherit=0", "inherit=yes")),
            ("a line without a key", good + "\n"),
        ]
        scenario_file, record = (os.path.join(self.dir, n) for n in ("scenario.txt", "record.txt"))
        for what, text in cases:
            with self.subTest(what):
                with open(scenario_file, "w") as f:
                    f.write(text)
                code = WINE.run(WINE.caller, win_path(scenario_file), win_path(record),
                                timeout=300).returncode
                self.assertEqual(code, 8, caller_exit(code))
                self.assertFalse(os.path.exists(record), "nothing was run")
        with self.assertRaises(TypeError):
            wineharness.scenario(hold=5)

    def fake_build(self, machine, host=None):
        """A folder that looks like a build of `machine` to the gate: a PE header, and the probe's
        answer when `host` is given."""
        build = tempfile.mkdtemp(prefix="build-", dir=self.dir)
        header = bytearray(0x40) + b"PE\0\0" + struct.pack("<H", machine)
        header[0:2], header[0x3C:0x40] = b"MZ", struct.pack("<I", 0x40)
        with open(os.path.join(build, "reinstall.exe"), "wb") as f:
            f.write(header)
        if host is not None:
            with open(os.path.join(build, wineharness.HOST_FILE), "w") as f:
                json.dump(host, f)
        return build

    def gate(self, build, env=None):
        marker = os.path.join(build, "ran")
        proc = subprocess.run([sys.executable, wineharness.__file__, "gate", build, "--", "touch",
                               marker], env=dict(os.environ, **(env or {})), capture_output=True,
                              text=True, timeout=300)
        return proc, os.path.exists(marker)

    def test_the_gate_skips_32_bit_programs_only_when_the_host_cannot_run_them(self):
        forced = {wineharness.NO_32BIT: "1"}
        proc, ran = self.gate(self.fake_build(0x14C), forced)
        self.assertEqual((proc.returncode, ran), (wineharness.SKIP, False))
        self.assertEqual(proc.stdout, "wine host: this host runs no x86 Windows programs: "
                                      "REINSTALL_WINE_NO_32BIT is set\n")
        proc, ran = self.gate(self.fake_build(0x8664, {"arch": "x64", "runs": True,
                                                      "reason": ""}), forced)
        self.assertEqual((proc.returncode, ran), (0, True), proc.stdout + proc.stderr)
        proc, ran = self.gate(self.fake_build(0x8664, {"arch": "x64", "runs": False,
                                                      "reason": "no Wine"}))
        self.assertEqual((proc.returncode, ran), (1, False), "a 64-bit host must run x64")

    def test_the_suite_runs_on_a_server_that_outlives_its_programs(self):
        def servers():
            found = {}
            for pid in filter(str.isdigit, os.listdir("/proc")):
                try:
                    with open(f"/proc/{pid}/environ", "rb") as e, \
                            open(f"/proc/{pid}/cmdline", "rb") as c:
                        if f"WINEPREFIX={WINE.prefix}".encode() in e.read().split(b"\0"):
                            found[pid] = c.read().split(b"\0")[:-1]
                except OSError:
                    continue
            return {pid: argv for pid, argv in found.items() if argv and b"wineserver" in argv[0]}

        # A program started with no server running starts one that ends with its last program.
        WINE.stop()
        program = WINE.popen("ping", "-n", "3", "127.0.0.1", stdout=subprocess.DEVNULL)
        self.addCleanup(program.wait, 30)
        deadline = time.monotonic() + STARTED
        while not servers() and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertEqual([argv[-1] for argv in servers().values()], [b"-p0"])
        WINE.start()
        running = servers()
        self.assertEqual([argv[-1] for argv in running.values()], [b"-p"], "persistent")
        program.wait(30)
        WINE.run("reg", "query", r"HKCU\Software\Wine", stdout=subprocess.DEVNULL, check=True)
        time.sleep(3)
        self.assertEqual(servers(), running, "the same server, still running")

    def test_the_probe_starts_a_program_of_this_build(self):
        self.assertEqual(WINE.probe(), (True, ""))
        self.assertEqual(WINE.host(), {"arch": WINE.arch, "runs": True, "reason": ""})


if __name__ == "__main__":
    unittest.main()
