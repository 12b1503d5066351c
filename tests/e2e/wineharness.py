"""Running this project's Windows programs under Wine, for the e2e suite, the benchmark and the
demo: a private prefix under a build folder with its own wineserver, caller.exe scenarios, and the
relay trace of the launcher's own calls. Importing it does nothing; Wine(build).start() sets up."""

import os
import re
import struct
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import records  # noqa: E402  (tests/records.py: the one reader of every record file)

# The launcher's eleven operations, as the relay trace names them.
RELAYED = ["kernel32.GetCommandLineA", "kernel32.GlobalAlloc", "kernel32.LocalFree",
           "kernel32.CreateFileA", "kernel32.CloseHandle", "kernel32.OpenMutexA",
           "kernel32.GetLastError", "kernel32.GetTickCount", "kernel32.Sleep",
           "shell32.ShellExecuteExA", "user32.MessageBoxA"]
RELAY_DEBUG = "-all,+relay,+loaddll"

# caller.exe's exit codes (CallerExit in caller.cpp), for failure messages.
CALLER_EXITS = {0: "recorded", 2: "usage", 3: "the named object could not be created",
                4: "CreateProcessW failed", 5: "the record could not be written",
                7: "the job could not be set up"}


def caller_exit(code):
    return f"caller.exe exited with {code}: {CALLER_EXITS.get(code, 'unknown')}"


def win_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def relay_text(text):
    """`text` as the relay trace prints a string argument."""
    return text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")


class Call:
    """One call of the launcher's, from the relay trace: name, raw argument text, return value,
    and the debug timestamp (seconds on Wine's tick clock) when the trace has them."""

    def __init__(self, name, args, retval, time=None):
        self.name, self.args, self.retval, self.time = name, args, retval, time

    @property
    def values(self):
        return split_args(self.args)

    def __repr__(self):
        return f"{self.name}({self.args}) = {self.retval}"


def split_args(text):
    """The relay's argument list: numbers as ints (low 32 bits, as a DWORD receives them; a
    64-bit register may carry junk above), string arguments as their text in relay form."""
    args, depth, current = [], False, ""
    for ch in text + ",":
        if ch == "," and not depth:
            m = re.fullmatch(r'[0-9a-f]+ "(.*)"', current, re.S)
            args.append(m.group(1) if m else int(current, 16) & 0xFFFFFFFF)
            current = ""
            continue
        if ch == '"' and not current.endswith("\\"):
            depth = not depth
        current += ch
    return args


def image_size(path):
    """SizeOfImage from the PE optional header."""
    with open(path, "rb") as f:
        data = f.read(4096)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    return struct.unpack_from("<I", data, pe + 24 + 56)[0]


def parse_relay(trace, image):
    """The calls made by the launcher's own image (its code and its static runtime), in order,
    told apart from the system's by thread and return address. `image` is the launcher's file."""
    stamp = r"(?:(\d+\.\d+):)?"
    m = re.search(r'^' + stamp + r'([0-9a-f]+):trace:loaddll:\S+ Loaded L"[^"]*reinstall\.exe" '
                  r'at ([0-9a-f]+)', trace, re.M)
    if not m:
        return []
    tid, base = m.group(2), int(m.group(3), 16)
    end = base + image_size(image)
    calls = []
    for line in trace.splitlines():
        c = re.match(stamp + tid + r":Call \w+\.(\w+)\((.*)\) ret=([0-9a-f]+)$", line)
        if c and base <= int(c.group(4), 16) < end:
            calls.append(Call(c.group(2), c.group(3), None,
                              float(c.group(1)) if c.group(1) else None))
            continue
        r = re.match(stamp + tid + r":Ret  \w+\.(\w+)\(\) retval=([0-9a-f]+) ret=([0-9a-f]+)$",
                     line)
        if r and base <= int(r.group(4), 16) < end:
            for call in reversed(calls):
                if call.name == r.group(2) and call.retval is None:
                    call.retval = int(r.group(3), 16)
                    break
    return calls


class Outcome:
    """What one caller.exe run left: its exit code, its record, the installer's record (None
    when nothing was started) and the launcher's calls from the relay trace."""

    def __init__(self, code, record, installer, trace, image):
        self.code, self.record, self.installer, self.trace = code, record, installer, trace
        self.calls = parse_relay(trace, image)

    def named(self, name):
        return [c for c in self.calls if c.name == name]

    def boxes(self):
        return [c.args for c in self.named("MessageBoxA")]


class Wine:
    """A Wine prefix of its own under `build` (a windows-x86 or windows-x64 build folder)."""

    def __init__(self, build):
        self.build = build = os.path.abspath(build)  # Wine takes only an absolute WINEPREFIX
        self.prefix = os.path.join(build, "wineprefix")
        self.launcher = os.path.join(build, "reinstall.exe")
        self.caller = os.path.join(build, "tests", "e2e", "caller.exe")
        self.stub = os.path.join(build, "tests", "e2e", "stub_installer.exe")
        self.env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}  # boxes return at once
        self.env.update(WINEPREFIX=self.prefix, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        self.server = None

    def start(self, relayed=RELAYED):
        """Creates the prefix when missing, starts its wineserver and sets which calls of the
        launcher the relay trace records."""
        quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL)
        if not os.path.isdir(self.prefix):
            subprocess.run(["wineboot", "-i"], env=self.env, check=True, **quiet)
        # Detached: wineserver keeps inherited pipes open and would hang a reader.
        self.server = subprocess.Popen(["wineserver", "-p"], env=self.env,
                                       start_new_session=True, **quiet)
        key = r"HKCU\Software\Wine\Debug"
        for name, value in (("RelayInclude", ";".join(relayed)),
                            ("RelayFromInclude", "reinstall.exe")):
            self.run("reg", "add", key, "/v", name, "/t", "REG_SZ", "/d", value, "/f",
                     check=True, **quiet)
        return self

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if self.server is not None:
            self.server.wait(30)
            self.server = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def run(self, *args, env=None, **kwargs):
        kwargs.setdefault("stdin", subprocess.DEVNULL)
        return subprocess.run(["wine", *args], env=env or self.env, **kwargs)

    def call(self, folder, scenario, debug="-all", installer_wait=0.0, image=None):
        """Runs caller.exe on the scenario text (key=value lines, see caller.cpp) in `folder`,
        with the stub installer recording to folder/installer.txt. `image` is the launcher file
        the relay trace is read against (this build's by default)."""
        paths = [os.path.join(folder, n) for n in ("scenario.txt", "caller.txt", "installer.txt")]
        with open(paths[0], "w", encoding="utf-8", errors="surrogateescape") as f:
            f.write(scenario)  # "\udcff" and the like stand for bytes that are not UTF-8
        env = dict(self.env, WINEDEBUG=debug, STUB_INSTALLER_RECORD=win_path(paths[2]))
        proc = self.run(self.caller, win_path(paths[0]), win_path(paths[1]), env=env,
                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=120)
        return Outcome(proc.returncode, records.read(paths[1]),
                       records.read(paths[2], installer_wait),
                       proc.stderr.decode("utf-8", "replace"), image or self.launcher)

    def hand_over_demo_app(self, app, recorded, install, parameters, hold_ms):
        """Runs Demo App (tests/installers/demo_app.cpp) at `app` as the application: it hands
        over `install` with `parameters` to this build's launcher and quits `hold_ms` later. The
        Demo App that an installer starts again records to recorded["relaunched"], the NSIS
        installer to recorded["installer"]. Returns the application's record of the hand-over
        (recorded["handover"])."""
        env = dict(self.env, DEMO_APP_RECORD=win_path(recorded["relaunched"]),
                   DEMO_INSTALLER_RECORD=win_path(recorded["installer"]))
        self.run(app, "--hand-over", win_path(recorded["handover"]), win_path(self.launcher),
                 install, parameters, str(hold_ms), env=env, stdout=subprocess.DEVNULL,
                 stderr=subprocess.DEVNULL, timeout=60)
        return records.read(recorded["handover"], 5)

    def start_cost_ms(self, folder, image=None):
        """From caller.exe's CreateProcessW to the launcher's first OpenMutexA, in ms on Wine's
        tick clock, for the launcher `image` (this build's by default)."""
        launcher = win_path(image or self.launcher)
        # An event under the name: the first probe fails at once with error 6, so the run ends
        # without the wait and the pause.
        scenario = (f"object=event\nname=StartCost\nhold_ms=-1\nlauncher={launcher}\n"
                    f'cmdline="{launcher}" -saferun=kqz -appmutex=StartCost '
                    f'"-appinstall={launcher}"\ncwd={win_path(folder)}\n')
        outcome = self.call(folder, scenario, "-all,+timestamp,+relay,+loaddll", image=image)
        probes = outcome.named("OpenMutexA")
        if outcome.code != 0 or not probes:
            raise RuntimeError(f"no probe in the trace ({caller_exit(outcome.code)})")
        return probes[0].time * 1000.0 - float(outcome.record["started_tick"])
