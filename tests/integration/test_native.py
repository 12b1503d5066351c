"""The native launcher run for real: real lock files held by other processes, a stub installer
that records how it was started, and the launcher's reports on standard error."""

import os
import pwd
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import records  # noqa: E402  (tests/records.py)

LAUNCHER = os.environ["REINSTALL_EXE"]
STUB = os.environ["STUB_INSTALLER"]
HANDOVER_APP = os.environ.get("HANDOVER_APP")
DEMO_INSTALLER = os.environ.get("DEMO_INSTALLER")


class LockHolder:
    """A child process that holds a lock on PATH until told to let go."""

    SCRIPT = r"""
import fcntl, os, struct, sys
path, kind = sys.argv[1], sys.argv[2]
fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o600)
if kind == "ofd":
    fcntl.fcntl(fd, fcntl.F_OFD_SETLK, struct.pack("hhqqi4x", fcntl.F_WRLCK, 0, 0, 0, 0))
else:
    fcntl.lockf(fd, fcntl.LOCK_EX)
print("held", flush=True)
sys.stdin.read()
"""

    def __init__(self, path, kind="classic"):
        self.proc = subprocess.Popen(
            [sys.executable, "-c", self.SCRIPT, path, kind],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        assert self.proc.stdout.readline().strip() == "held"

    def release(self):
        """Lets go of the lock; returns the time just before, so that no probe of the launcher
        can fall between the release and the time noted for it."""
        released = time.time()
        if self.proc.returncode is None:
            self.proc.stdin.close()
            self.proc.wait(5)
            self.proc.stdout.close()
        return released


class LauncherTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="reinstall-it-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.env = dict(os.environ, XDG_RUNTIME_DIR=self.dir,
                        STUB_INSTALLER_RECORD=os.path.join(self.dir, "record"))
        self.installer = os.path.join(self.dir, "setup with blanks")
        shutil.copy(STUB, self.installer)

    def start(self, *args, cwd=None, env=None, program=LAUNCHER, **popen):
        return subprocess.Popen([program, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                env=env or self.env, cwd=cwd or self.dir, **popen)

    def run_launcher(self, *args, **kwargs):
        proc = self.start(*args, **kwargs)
        out, err = proc.communicate(timeout=60)
        self.assertEqual(proc.returncode, 0)
        self.assertEqual(out, b"", "nothing is ever written to standard output")
        return err.decode("latin-1")

    def record(self, wait=0.0):
        rec = records.read(self.env["STUB_INSTALLER_RECORD"], wait)
        if rec is not None:
            rec["time"] = float(rec["time"]) / 1000.0
        return rec

    def hand_over_args(self, name="app", params="/S /D=/opt/x  --flag"):
        return ["-saferun=kqz", "-appmutex=" + name, "-appinstall=" + self.installer,
                "-installparam=" + params]


class Reports(LauncherTest):
    def test_test_mode_writes_exactly_the_three_reports(self):
        err = self.run_launcher("-test", "-appmutex=It's", "-installparam=a b")
        self.assertEqual(err,
                         "[Command line]\n"
                         f"{LAUNCHER} -test -appmutex=It's \"-installparam=a b\"\n"
                         "[Parsed command line]\n-test\n-appmutex=It's\n-installparam=a b\n"
                         "[Parameters]\nfAppMutex='It's'\nfInstallApp=''\nfExecParams='a b'\n"
                         "bExecuteAllowed='0'\nbTestExecuting='1'\n")

    def test_quiet_without_arguments_and_without_the_execution_switch(self):
        self.assertEqual(self.run_launcher(), "")
        self.assertEqual(self.run_launcher("-appinstall=/nonexistent", "-appmutex=x"), "")

    def test_each_failure_is_one_error_box(self):
        os.mkdir(os.path.join(self.dir, "folder"))
        plain = os.path.join(self.dir, "plain.txt")
        open(plain, "w").close()
        cases = [
            (["bogus"], "Error parsing command line."),
            (["-test", '""'], "Error parsing command line."),
            (["-saferun=kqz", "-appmutex=a", "-appinstall=/nonexistent"],
             "Install file doesn't exists."),
            (["-saferun=kqz", "-appmutex=a"], "Install file doesn't exists."),
            (["-saferun=kqz", "-appmutex=a", "-appinstall=" + self.dir + "/folder"],
             "Install file doesn't exists."),
            (["-saferun=kqz", "-appmutex=a", "-appinstall=" + plain],
             "Install file doesn't exists."),
            (["-saferun=kqz", "-appinstall=" + self.installer],
             "Missing some required parameters."),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                self.assertEqual(self.run_launcher(*args), "[Error]\n" + message + "\n")
        self.assertIsNone(self.record(), "nothing was started")


class HandOver(LauncherTest):
    def hand_over(self, kind):
        holder = LockHolder(os.path.join(self.dir, "app.lock"), kind)
        work = os.path.join(self.dir, "work")
        os.mkdir(work)
        proc = self.start(*self.hand_over_args(), cwd=work)
        time.sleep(1.0)
        self.assertIsNone(proc.poll(), "the launcher waits while the lock is held")
        released = holder.release()
        out, err = proc.communicate(timeout=10)
        exited = time.time()
        rec = self.record(wait=5)
        self.assertIsNotNone(rec, "installer started")
        self.assertEqual(err, b"")
        self.assertEqual(proc.returncode, 0)
        self.assertEqual(rec["args"], ["/S", "/D=/opt/x", "--flag"])
        self.assertEqual(rec["cwd"], work)
        delay = rec["time"] - released
        self.assertGreaterEqual(delay, 2.0)
        self.assertLess(delay, 2.6)
        return exited

    def test_the_digest_of_the_install_file_in_either_case_lets_it_run(self):
        digest = records.sha256_of(self.installer)
        for given in (digest, digest.upper()):
            with self.subTest(given=given):
                err = self.run_launcher(*self.hand_over_args(name="nobody-holds-this"),
                                        "-installsha256=" + given)
                self.assertEqual(err, "")
                self.assertIsNotNone(self.record(wait=5), "installer started")
                os.remove(self.env["STUB_INSTALLER_RECORD"])

    def test_classic_lock(self):
        self.hand_over("classic")

    def test_open_file_description_lock(self):
        self.hand_over("ofd")

    def test_launcher_does_not_wait_for_the_installer(self):
        self.env["STUB_INSTALLER_LINGER_MS"] = "3000"
        start = time.time()
        # Not through pipes: the installer inherits them and would hold them open.
        proc = subprocess.Popen([LAUNCHER, *self.hand_over_args(name="nobody-holds-this")],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                env=self.env, cwd=self.dir)
        self.assertEqual(proc.wait(timeout=10), 0)
        self.assertLess(time.time() - start, 2.8, "returned after the pause, not after the stub")
        self.assertIsNotNone(self.record(wait=2))

    @unittest.skipUnless(HANDOVER_APP, "examples not built")
    def test_the_applications_descriptors_and_signals_stay_behind(self):
        # An application with a log open without close-on-exec, SIGTERM ignored and SIGUSR1
        # blocked, starting the launcher itself or through the helper (here the stub plays the
        # launcher, so that nothing cleans up after the helper).
        log = os.open(os.path.join(self.dir, "app.log"), os.O_WRONLY | os.O_CREAT, 0o600)
        self.addCleanup(os.close, log)

        def as_the_application():
            signal.signal(signal.SIGTERM, signal.SIG_IGN)
            signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGUSR1})

        cases = [("the launcher", [LAUNCHER, *self.hand_over_args(name="free")]),
                 ("the helper", [HANDOVER_APP, STUB, self.installer, "/S", "300"])]
        for what, command in cases:
            with self.subTest(what):
                record = self.env["STUB_INSTALLER_RECORD"]
                if os.path.exists(record):
                    os.remove(record)
                env = dict(self.env, STUB_INSTALLER_LINGER_MS="1000")
                subprocess.run(command, env=env, pass_fds=(log,), preexec_fn=as_the_application,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
                rec = self.record(wait=5)
                self.assertIsNotNone(rec, "started")
                self.assertEqual(rec["fds"], "", "no descriptor of the application")
                self.assertEqual(int(rec["sigblk"], 16), 0, "no blocked signal")
                self.assertEqual(int(rec["sigign"], 16) & (1 << (signal.SIGTERM - 1)), 0,
                                 "SIGTERM at its default")

    def test_a_lock_never_released_times_out_and_starts_nothing(self):
        holder = LockHolder(os.path.join(self.dir, "app.lock"))
        self.addCleanup(holder.release)
        start = time.time()
        err = self.run_launcher(*self.hand_over_args())
        elapsed = time.time() - start
        self.assertEqual(err, "[Error]\nWaiting for closing application timed out.\n")
        self.assertGreaterEqual(elapsed, 10.0)
        self.assertLess(elapsed, 11.0)
        self.assertIsNone(self.record(wait=0.5))

    def test_a_lock_name_that_is_no_file_is_an_open_error(self):
        os.mkdir(os.path.join(self.dir, "app.lock"))
        open(os.path.join(self.dir, "plain"), "w").close()
        cases = [("app", 6),  # a folder stands under the name
                 (os.path.join(self.dir, "plain", "app.lock"), 3)]  # a path through a file
        for name, number in cases:
            with self.subTest(name=name):
                err = self.run_launcher(*self.hand_over_args(name=name))
                self.assertEqual(err, f"[Error]\nError opening mutex. Number: {number}\n")
                self.assertIsNone(self.record())

    def test_a_lock_file_without_a_holder_counts_as_gone(self):
        open(os.path.join(self.dir, "app.lock"), "w").close()
        start = time.time()
        self.assertEqual(self.run_launcher(*self.hand_over_args()), "")
        self.assertGreaterEqual(time.time() - start, 2.0)
        self.assertIsNotNone(self.record(wait=2))

    def test_an_unreadable_lock_file_is_access_denied(self):
        path = os.path.join(self.dir, "app.lock")
        open(path, "w").close()
        os.chmod(path, 0)
        user = {}
        if os.geteuid() == 0:
            # Root reads every file: a copy of the launcher runs as nobody, who may pass
            # through this folder (wherever the build is) but not read the lock file.
            nobody = pwd.getpwnam("nobody")
            os.chmod(self.dir, 0o711)
            user = dict(user=nobody.pw_uid, group=nobody.pw_gid, extra_groups=[],
                        program=shutil.copy(LAUNCHER, self.dir))
        err = self.run_launcher(*self.hand_over_args(), **user)
        self.assertEqual(err, "[Error]\nError opening mutex. Number: 5\n")

    def test_installer_that_cannot_be_run_is_a_launch_failure(self):
        with open(self.installer, "wb") as f:
            f.write(b"\x7fELF but not really")
        env = dict(self.env, PATH="/nonexistent")
        err = self.run_launcher(*self.hand_over_args(name="free"), env=env)
        self.assertEqual(err, "[Error]\nCan't execute install file.\n")

    def test_a_document_goes_to_xdg_open(self):
        bindir = os.path.join(self.dir, "bin")
        os.mkdir(bindir)
        opener = os.path.join(bindir, "xdg-open")
        shutil.copy(STUB, opener)
        with open(self.installer, "w") as f:
            f.write("a document marked executable\n")
        env = dict(self.env, PATH=bindir)
        self.assertEqual(self.run_launcher(*self.hand_over_args(name="free"), env=env), "")
        self.assertEqual(self.record(wait=2)["args"], [self.installer])


@unittest.skipUnless(HANDOVER_APP and DEMO_INSTALLER, "examples not built")
class Example(unittest.TestCase):
    def test_the_example_application_hands_over(self):
        with tempfile.TemporaryDirectory() as tmp:
            done = os.path.join(tmp, "done")
            env = dict(os.environ, XDG_RUNTIME_DIR=tmp, DEMO_INSTALLER_DONE=done,
                       REINSTALL_DEMO_T0=str(int(time.time() * 1000)))
            out = subprocess.run([HANDOVER_APP, LAUNCHER, DEMO_INSTALLER, "/S  x", "500"],
                                 env=env, capture_output=True, text=True, timeout=10).stdout
            deadline = time.time() + 5
            line = ""
            while "\n" not in line and time.time() < deadline:
                time.sleep(0.02)
                line = open(done).read() if os.path.exists(done) else ""
            self.assertIn("installer    started with 2 parameter(s): [/S] [x]", line)
            self.assertIn("quit (lock released)", out)
            self.assertEqual(os.listdir(tmp), ["done"], "the example leaves no lock file behind")


if __name__ == "__main__":
    unittest.main()
