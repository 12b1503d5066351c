"""Real installers under Wine: version 1 of Demo App runs, holds its mutex, hands over through the
applications' helper to the launcher and quits; the launcher starts an NSIS installer or an MSI
package of version 2, which installs Demo App for the user, records what it received and starts
the application again. Assertions are on installed files, received parameters and properties, and
the relaunched application's own record."""

import filecmp
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import screens
import wineharness
from wineharness import STARTED, win_path

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import records  # noqa: E402

WINE = wineharness.Wine(os.environ["E2E_BUILD_DIR"])
BUILT = os.path.join(WINE.build, "tests", "installers")
APP_V1 = os.path.join(BUILT, "demo_app_v1.exe")
APP_V2 = os.path.join(BUILT, "demo_app_v2.exe")
NSIS = os.path.join(BUILT, "DemoAppUpdate.exe")
NSIS_WITH_LAUNCHER = os.path.join(BUILT, "DemoAppUpdateWithLauncher.exe")
MSI = os.path.join(BUILT, "DemoApp.msi")
MSI_KEY = r"HKCU\Software\ReinstallTests\DemoApp"
MSI_OPEN = r"HKCR\Msi.Package\shell\Open\command"
MSIEXEC = r"C:\windows\system32\msiexec.exe"


def setUpModule():
    WINE.start()


def tearDownModule():
    WINE.stop()


def host_path(windows_path):
    """The host path of a C: path in the prefix."""
    rest = windows_path[3:].rstrip("\\").replace("\\", "/")
    return os.path.join(WINE.prefix, "drive_c", rest)


def reg_value(key, name=None):
    """A value of `key` (its default value when `name` is None), or None."""
    which = ["/v", name] if name else ["/ve"]
    out = WINE.run("reg", "query", key, *which, capture_output=True, text=True).stdout
    for line in out.splitlines():
        parts = line.split(None, 2)
        if len(parts) == 3 and parts[0] == (name or "(Default)"):
            return parts[2]
    return None


def reg_set(key, value, kind="REG_SZ"):
    WINE.run("reg", "add", key, "/ve", "/t", kind, "/d", value, "/f", check=True,
             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class Installers(unittest.TestCase):
    def setUp(self):
        # No blank in this folder: an msiexec command line could not quote a package path.
        self.dir = tempfile.mkdtemp(prefix="reinstall-installers-", dir=WINE.build)
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.records = {n: os.path.join(self.dir, n + ".txt")
                        for n in ("handover", "relaunched", "installer")}

    def hand_over(self, app, install, parameters, hold_ms=1000):
        return WINE.hand_over_demo_app(app, self.records, install, parameters, hold_ms)

    def relaunched(self, wait=STARTED):
        return records.read(self.records["relaunched"], wait)

    def installed_v1(self, folder):
        os.makedirs(folder)
        app = os.path.join(folder, "demo_app.exe")
        shutil.copy(APP_V1, app)
        return app

    def assertUpdated(self, folder):
        relaunched = self.relaunched()
        self.assertIsNotNone(relaunched, "the installer started the application again")
        app = os.path.join(folder, "demo_app.exe")
        self.assertEqual(relaunched["version"], "2")
        self.assertEqual(relaunched["path"].lower(), win_path(app).lower())
        self.assertTrue(filecmp.cmp(app, APP_V2, shallow=False), "demo_app.exe is version 2")
        with open(os.path.join(folder, "readme.txt")) as f:
            self.assertEqual(f.read().strip(), "Demo App, version 2.")
        return relaunched

    # NSIS: /S for silent, /D= last and unquoted, blanks and all.

    def test_nsis_silent_into_a_folder_with_blanks(self):
        folder = os.path.join(self.dir, "Program Files", "Demo App")
        app = self.installed_v1(folder)
        handover = self.hand_over(app, win_path(NSIS), f"/S /D={win_path(folder)}")
        self.assertEqual(handover["code"], "none", handover["message"])
        self.assertUpdated(folder)
        installer = records.read(self.records["installer"], STARTED, raw=True)
        self.assertEqual(installer["instdir"], win_path(folder))
        self.assertEqual(installer["replaced"], "1")
        # NSIS takes /D= out of $CMDLINE once it has read it.
        self.assertTrue(installer["cmdline"].endswith(" /S"), installer["cmdline"])

    def test_an_application_that_quits_late_is_replaced_after_it_is_gone(self):
        folder = os.path.join(self.dir, "Demo App")
        app = self.installed_v1(folder)
        handover = self.hand_over(app, win_path(NSIS), f"/S /D={win_path(folder)}", hold_ms=3000)
        self.assertEqual(handover["code"], "none", handover["message"])
        relaunched = self.assertUpdated(folder)
        installer = records.read(self.records["installer"], STARTED, raw=True)
        self.assertEqual(installer["replaced"], "1", "the running executable was not in the way")
        self.assertGreater(float(relaunched["time"]) - float(handover["released"]), 2000)

    def test_control_an_installer_started_while_the_application_runs_cannot_replace_it(self):
        # No blank in this folder: wine quotes an argument with a blank, and NSIS reads /D= only
        # unquoted.
        folder = os.path.join(self.dir, "DemoApp")
        app = self.installed_v1(folder)
        env = dict(WINE.env, DEMO_INSTALLER_RECORD=win_path(self.records["installer"]))
        # The application holds on for 10 s (its hand-over fails: no launcher there) while the
        # installer runs at once, as it would if nothing waited for the application.
        running = WINE.popen(app, "--hand-over", win_path(self.records["handover"]),
                             win_path(os.path.join(self.dir, "none.exe")), win_path(NSIS), "/S",
                             "10000", env=env, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
        self.addCleanup(running.wait, 120)
        self.assertIsNotNone(records.read(self.records["handover"] + ".running", STARTED),
                             "the application runs")
        WINE.run(NSIS, "/S", f"/D={win_path(folder)}", env=env, timeout=300,
                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.assertIsNone(records.read(self.records["handover"]), "it still ran meanwhile")
        installer = records.read(self.records["installer"], STARTED, raw=True)
        self.assertEqual(installer["instdir"], win_path(folder))
        self.assertEqual(installer["replaced"], "0")
        self.assertTrue(filecmp.cmp(app, APP_V1, shallow=False))

    def installed_v1_with_launcher(self, folder):
        """Version 1 and a launcher in `folder`; that launcher runs like this build's but is
        another file (one byte of overlay more), so a replaced one can be told."""
        app = self.installed_v1(folder)
        launcher = os.path.join(folder, "reinstall.exe")
        shutil.copy(WINE.launcher, launcher)
        with open(launcher, "ab") as f:
            f.write(b"\0")
        return app, launcher

    def test_a_launcher_in_the_folder_it_updates_is_replaced_with_it(self):
        folder = os.path.join(self.dir, "DemoApp")
        app, launcher = self.installed_v1_with_launcher(folder)
        handover = WINE.hand_over_demo_app(app, self.records, win_path(NSIS_WITH_LAUNCHER),
                                           f"/S /D={win_path(folder)}", 1000, launcher=launcher)
        self.assertEqual(handover["code"], "none", handover["message"])
        self.assertUpdated(folder)
        installer = records.read(self.records["installer"], STARTED, raw=True)
        self.assertEqual(installer["launcher_replaced"], "1")
        self.assertTrue(filecmp.cmp(launcher, WINE.launcher, shallow=False))

    def test_control_an_installer_started_while_the_launcher_waits_cannot_replace_it(self):
        folder = os.path.join(self.dir, "DemoApp")
        app, launcher = self.installed_v1_with_launcher(folder)
        env = dict(WINE.env, DEMO_INSTALLER_RECORD=win_path(self.records["installer"]))
        # The application hands over to the launcher in its folder (which is to start a
        # harmless stub) and holds on while the installer runs at once.
        stub = os.path.join(self.dir, "stub.exe")
        shutil.copy(WINE.stub, stub)
        running = WINE.popen(app, "--hand-over", win_path(self.records["handover"]),
                             win_path(launcher), win_path(stub), "", "8000", env=env,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(running.wait, 120)
        waiting = records.read(self.records["handover"] + ".running", STARTED)
        self.assertEqual(waiting["code"], "none", "the launcher waits")
        WINE.run(NSIS_WITH_LAUNCHER, "/S", f"/D={win_path(folder)}", env=env, timeout=300,
                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.assertIsNone(records.read(self.records["handover"]), "it still waited meanwhile")
        installer = records.read(self.records["installer"], STARTED, raw=True)
        self.assertEqual(installer["launcher_replaced"], "0")
        with open(launcher, "rb") as f:
            self.assertTrue(f.read().endswith(b"\0"), "the waiting launcher is version 1's")

    def test_nsis_interactive_on_a_virtual_display(self):
        # Its pages wait for clicks: this prefix's server runs again with a display, and Enter
        # goes to the installer's window (Install, then Close) until it has gone.
        folder = os.path.join(self.dir, "DemoApp")
        app = self.installed_v1(folder)
        WINE.stop()
        self.addCleanup(WINE.start)
        with screens.Display() as display:
            WINE.env["DISPLAY"] = display.name
            try:
                with WINE:
                    handover = self.hand_over(app, win_path(NSIS), f"/D={win_path(folder)}")
                    self.assertEqual(handover["code"], "none", handover["message"])
                    # Its title is "Demo App Setup", then "Demo App Setup: Completed".
                    def window():
                        return display.x("xdotool", "search", "--onlyvisible", "--name",
                                         "^Demo App Setup").split()[:1]
                    screens.wait_for(window, 120, "the installer's window")
                    start = time.monotonic()
                    while found := window():
                        display.x("xdotool", "windowactivate", "--sync", found[0], "key",
                                  "Return")
                        time.sleep(1)
                        self.assertLess(time.monotonic() - start, 120, "the installer ends")
            finally:
                del WINE.env["DISPLAY"]
        self.assertUpdated(folder)
        installer = records.read(self.records["installer"], STARTED, raw=True)
        self.assertNotIn("/S", installer["cmdline"])

    # MSI: per-user, into the folder the package chooses; property values without blanks.

    def install_msi(self, install, parameters, channel):
        self.addCleanup(WINE.run, "msiexec", "/x", win_path(MSI), "/qn",
                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        app = self.installed_v1(os.path.join(self.dir, "running"))
        handover = self.hand_over(app, install, parameters)
        self.assertEqual(handover["code"], "none", handover["message"])
        relaunched = self.relaunched()
        self.assertIsNotNone(relaunched, "the package started the application again")
        self.assertEqual(relaunched["version"], "2")
        self.assertEqual(reg_value(MSI_KEY, "DemoChannel"), channel)
        folder = host_path(reg_value(MSI_KEY, "InstallDir"))
        self.assertEqual(relaunched["path"].lower(),
                         (reg_value(MSI_KEY, "InstallDir") + "demo_app.exe").lower())
        self.assertTrue(filecmp.cmp(os.path.join(folder, "demo_app.exe"), APP_V2, shallow=False))
        self.assertTrue(os.path.exists(os.path.join(folder, "readme.txt")))

    def test_msi_opened_through_the_shell(self):
        # Wine's own "open" for .msi is msiexec.exe /i "%1", without the %* that Windows has, so
        # it would drop the parameter string; the prefix gets the value Windows ships.
        original = reg_value(MSI_OPEN)
        self.addCleanup(reg_set, MSI_OPEN, original)
        reg_set(MSI_OPEN, '"%SystemRoot%\\System32\\msiexec.exe" /i "%1" %*', "REG_EXPAND_SZ")
        self.install_msi(win_path(MSI), "/qn DEMO_CHANNEL=direct", "direct")

    def test_msi_through_msiexec(self):
        package = os.path.join(self.dir, "DemoApp.msi")
        shutil.copy(MSI, package)
        self.install_msi(MSIEXEC, f"/i {win_path(package)} /qn DEMO_CHANNEL=msiexec", "msiexec")

    def test_a_property_value_with_blanks_cannot_be_passed(self):
        app = self.installed_v1(os.path.join(self.dir, "running"))
        handover = self.hand_over(app, win_path(MSI), '/qn DEMO_CHANNEL="two words"', hold_ms=0)
        self.assertEqual(handover["code"], "invalid-value")
        self.assertEqual(handover["field"], "parameters")
        self.assertIsNone(self.relaunched(wait=3), "nothing was started")
        self.assertIsNone(reg_value(MSI_KEY, "DemoChannel"))


if __name__ == "__main__":
    unittest.main()
