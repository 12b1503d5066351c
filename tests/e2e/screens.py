"""Every box a user of the launcher can meet, shown on a virtual display as a person sees it:
Xvfb with a small window manager (openbox, so each box has its title bar), the x64 reinstall.exe
under Wine started by caller.exe as an application would, and each box captured with its frame,
then closed with Enter as a user would. tools/screenshots keeps the pictures under docs/boxes/;
test_screens.py reads them back by OCR. Usage from Python: capture(build, folder)."""

import os
import shutil
import subprocess
import tempfile
import time

import wineharness
from wineharness import win_path

# Where the application keeps the launcher in the pictures: a stable path, so that the command
# line in the first report does not show the build folder.
APP_FOLDER = r"C:\Program Files\MyApp"
INSTALLER = "C:\\Users\\Zoë\\Downloads\\MyApp Setup 2.0.exe"  # non-ASCII, in the reports
ERROR_TITLE = "Error"  # a box without a caption gets the system's own


class Box:
    """One box: its file name under docs/boxes/, its title, its text and whether it shows the
    error icon. (The README says, for each, what causes it and how an application prevents it.)"""

    def __init__(self, name, title, text, icon):
        self.name, self.title, self.text, self.icon = name, title, text, icon


# The command line of the three reports.
REPORTED = (f'"{APP_FOLDER}\\reinstall.exe" -test -appmutex=MyCompany.MyApp '
            f'"-appinstall={INSTALLER}" "-installparam=/S /D=C:\\Apps\\MyApp"')
PARSED = (f"-test\n-appmutex=MyCompany.MyApp\n-appinstall={INSTALLER}\n"
          "-installparam=/S /D=C:\\Apps\\MyApp\n")
VALUES = (f"fAppMutex='MyCompany.MyApp'\nfInstallApp='{INSTALLER}'\n"
          "fExecParams='/S /D=C:\\Apps\\MyApp'\nbExecuteAllowed='0'\nbTestExecuting='1'\n")

BOXES = [
    Box("error-parsing", ERROR_TITLE, "Error parsing command line.", True),
    Box("install-file-missing", ERROR_TITLE, "Install file doesn't exists.", True),
    Box("missing-parameters", ERROR_TITLE, "Missing some required parameters.", True),
    Box("error-opening-mutex", ERROR_TITLE, "Error opening mutex. Number: 6", True),
    Box("timed-out", ERROR_TITLE, "Waiting for closing application timed out.", True),
    # The shell's own message comes first (Wine's words), then the launcher's.
    Box("cannot-execute-shell", ERROR_TITLE,
        "There is no Windows program configured to open this type of file.", True),
    Box("cannot-execute", ERROR_TITLE, "Can't execute install file.", True),
    # -test: the three reports of one run, in order.
    Box("report-1-command-line", "Command line", REPORTED, False),
    Box("report-2-parsed-command-line", "Parsed command line", PARSED, False),
    Box("report-3-parameters", "Parameters", VALUES, False),
]


def wait_for(predicate, timeout, what):
    deadline = time.time() + timeout
    while time.time() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.1)
    raise TimeoutError(f"{what} did not happen within {timeout:.0f} s")


class Display:
    """A virtual display (Xvfb, on the first free number) with openbox."""

    def __enter__(self):
        read, write = os.pipe()
        self.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0",
                                      "1024x768x24", "-nolisten", "tcp"], pass_fds=[write],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read) as f:
            number = f.readline().strip()
        self.name = f":{number}"
        self.env = dict(os.environ, DISPLAY=self.name)
        self.wm = subprocess.Popen(["openbox"], env=self.env, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        wait_for(lambda: "window id" in self.x("xprop", "-root", "_NET_SUPPORTING_WM_CHECK"),
                  wineharness.STARTED, "openbox starting")
        return self

    def __exit__(self, *exc):
        for process in (self.wm, self.xvfb):
            process.terminate()
            process.wait(30)

    def x(self, *args):
        return subprocess.run(args, env=self.env, capture_output=True, text=True,
                              timeout=60).stdout

    def window(self, title):
        """The id of the visible window with exactly this title, or None."""
        found = self.x("xdotool", "search", "--onlyvisible", "--name",
                       "^" + title.replace(".", "\\.") + "$").split()
        return found[0] if found else None

    def viewable(self, window):
        return "IsViewable" in self.x("xwininfo", "-id", window)

    def capture(self, window, path, frame):
        """A PNG of the window (with its title bar and border when `frame`), without the time
        stamps that would make each capture differ."""
        args = ["import", "-window", window, "-define", "png:exclude-chunks=date,time", path]
        if frame:
            args.insert(1, "-frame")
        subprocess.run(args, env=self.env, check=True, capture_output=True, timeout=60)
        with open(path, "rb") as f:
            return f.read()


class Shot:
    """A captured box: the picture with its frame (`picture`) and of its inside (`client`)."""

    def __init__(self, box, picture, client):
        self.box, self.picture, self.client = box, picture, client


def _show(display, box, folder):
    """Waits for the box, captures it once it stands still, and closes it with Enter."""
    window = wait_for(lambda: display.window(box.title), 60, f"the box {box.name!r} appearing")
    picture, client = (os.path.join(folder, box.name + s) for s in (".png", "-client.png"))
    last = None
    for _ in range(50):  # drawn when two captures 200 ms apart agree
        time.sleep(0.2)
        shot = display.capture(window, picture, frame=True)
        if shot == last:
            break
        last = shot
    display.capture(window, client, frame=False)
    display.x("xdotool", "windowactivate", window)
    display.x("xdotool", "key", "Return")
    # Gone from the screen, not only from the list: a box drawn over it would show a hole.
    wait_for(lambda: not display.viewable(window), 60, f"the box {box.name!r} closing")
    return Shot(box, picture, client)


def capture(build, folder):
    """Shows every box of BOXES with the x64 launcher of `build` and captures it into `folder`
    (NAME.png with the frame, NAME-client.png inside it). Returns the Shots in BOXES' order."""
    wine = wineharness.Wine(build)
    with Display() as display, tempfile.TemporaryDirectory(dir=wine.build) as work:
        # Every Wine process sees the display from the first one on, which starts the desktop
        # process that all windows go through.
        wine.env["DISPLAY"] = display.name
        with wine:
            return _capture_all(wine, display, work, folder)


def _capture_all(wine, display, work, folder):
    app = os.path.join(wine.prefix, "drive_c", "Program Files", "MyApp")
    os.makedirs(app, exist_ok=True)
    shutil.copy(wine.launcher, os.path.join(app, "reinstall.exe"))
    launcher = APP_FOLDER + r"\reinstall.exe"
    setup = os.path.join(work, "setup.exe")
    shutil.copy(wine.stub, setup)
    document = os.path.join(work, "notes.zzqq")
    with open(document, "w") as f:
        f.write("no program opens this\n")
    start = f'"{launcher}" -saferun=kqz'
    held = f'{start} -appmutex=ReinstallE2E "-appinstall={win_path(setup)}"'
    runs = {  # each box's application: the scenario keys of caller.exe
        "error-parsing": dict(object="none", cmdline=f"{start} -appmutex=MyApp -update"),
        "install-file-missing": dict(object="none", cmdline=f"{start} -appmutex=MyApp "
                                     r"-appinstall=C:\Downloads\MyAppSetup.exe"),
        "missing-parameters": dict(object="none",
                                   cmdline=f'{start} "-appinstall={win_path(setup)}"'),
        "error-opening-mutex": dict(object="event", hold_ms=-1, cmdline=held),
        "timed-out": dict(hold_ms=-1, cmdline=held),
        "cannot-execute-shell": dict(object="none", cmdline=f'{start} -appmutex=MyApp '
                                                            f'"-appinstall={win_path(document)}"'),
        "report-1-command-line": dict(object="none", cmdline=REPORTED),
    }
    shots, caller = [], None
    for box in BOXES:
        if box.name in runs:  # otherwise a further box of the same run
            if caller is not None:
                caller.wait(120)
            scenario = os.path.join(work, "scenario.txt")
            with open(scenario, "w", encoding="utf-8") as f:
                f.write(wineharness.scenario(launcher=launcher, cwd=win_path(work),
                                             **runs[box.name]))
            caller = wine.popen(wine.caller, win_path(scenario),
                                win_path(os.path.join(work, "caller.txt")),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shots.append(_show(display, box, folder))
    caller.wait(120)
    return shots
