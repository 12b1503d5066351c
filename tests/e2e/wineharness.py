"""Running this project's Windows programs under Wine, for the e2e suite, the benchmark and the
demo: what this host can run, a private prefix under a build folder with its own wineserver,
caller.exe scenarios, and the relay trace of the launcher's own calls. Importing it does nothing;
Wine(build).start() sets up.

As a command, it is what CTest asks before a test that runs Windows programs:
  wineharness.py probe BUILD          finds out whether this host runs BUILD's programs (starting
                                      one), records the answer in BUILD and prints it in one line
  wineharness.py gate BUILD -- CMD... runs CMD when it does; otherwise prints why not and exits
                                      with SKIP (77), which CTest reports as skipped
A host that runs no 64-bit Windows programs is a broken set-up, not a reason to skip: probe and
gate fail for it. REINSTALL_WINE_NO_32BIT=1 makes 32-bit programs count as not runnable, so the
skip path can be tried on any host."""

import contextlib
import errno
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import records  # noqa: E402  (tests/records.py: the one reader of every record file)

# The launcher's operations, as the relay trace names them: the eleven of every run, then those
# of a digest check, then those of an outcome record.
RELAYED = ["kernel32.GetCommandLineA", "kernel32.GlobalAlloc", "kernel32.LocalFree",
           "kernel32.CreateFileA", "kernel32.CloseHandle", "kernel32.OpenMutexA",
           "kernel32.GetLastError", "kernel32.GetTickCount", "kernel32.Sleep",
           "shell32.ShellExecuteExA", "user32.MessageBoxA",
           "kernel32.ReadFile", "kernel32.GetFileInformationByHandle",
           "bcrypt.BCryptOpenAlgorithmProvider", "bcrypt.BCryptCreateHash", "bcrypt.BCryptHashData",
           "bcrypt.BCryptFinishHash", "bcrypt.BCryptDestroyHash",
           "bcrypt.BCryptCloseAlgorithmProvider", "kernel32.GetFinalPathNameByHandleA",
           "kernel32.GetACP", "kernel32.MultiByteToWideChar",
           # the helper's, from caller.exe
           "user32.AllowSetForegroundWindow"]
RELAY_DEBUG = "-all,+relay,+loaddll"

# Debian's `wine` command starts the 32-bit loader whenever Wine's 32-bit part is installed, even
# for a 64-bit program, and that loader cannot start on a kernel without 32-bit support. The
# 64-bit loader runs 64-bit programs itself and hands 32-bit ones to the 32-bit loader.
LOADER = os.environ.get("REINSTALL_WINE_LOADER", "/usr/lib/wine/wine64")
LOADER_32 = os.path.join(os.path.dirname(LOADER), "wine")
SERVER = os.path.join(os.path.dirname(LOADER), "wineserver")
NO_32BIT = "REINSTALL_WINE_NO_32BIT"
SKIP = 77  # CTest's SKIP_RETURN_CODE for the tests behind the gate
HOST_FILE = "wine-host.json"
# Why tools/bootstrap could not install Wine's 32-bit part, in apt-get's words, where it tried.
BUILDS = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "build")
WINE32_MISSING = os.path.join(BUILDS, "wine32-missing.txt")
# The 32-bit Wine that tools/wine32-emulated makes where the host cannot have its own: its loader
# runs every 32-bit process under qemu's user-mode emulation, in a 32-bit prefix of its own served
# by the host's wineserver. Used for 32-bit programs whenever it is ready.
EMULATED = os.path.join(BUILDS, "wine32-emulated")
EMULATED_LOADER = os.path.join(EMULATED, "root", "usr", "lib", "wine", "wine")


def emulated_32bit():
    """The emulator and Wine versions of the emulated 32-bit Wine, or None when it is not ready."""
    try:
        with open(os.path.join(EMULATED, "ready")) as f:
            return ", ".join(line.strip() for line in f if line.strip())
    except OSError:
        return None
# How long a test waits for what must happen (a record to appear): long enough for a busy machine,
# and no cost when it happens at once, since records.read returns as soon as the record is there.
STARTED = 30.0

# caller.exe's exit codes (CallerExit in caller.cpp), for failure messages.
CALLER_USAGE = 2
CALLER_EXITS = {0: "recorded", 1: "ended by Wine (its server was stopped or shut down)",
                CALLER_USAGE: "usage", 3: "the named object could not be created",
                4: "CreateProcessW failed", 5: "the record could not be written",
                7: "the job could not be set up",
                8: "the scenario has a missing, unknown, repeated or malformed key",
                9: "the install file could not be marked or held open"}

# Every key of a caller.exe scenario with its default (see caller.cpp); scenario() writes them all,
# and caller.exe refuses a scenario that lacks one or has another.
SCENARIO_DEFAULTS = {
    "object": "mutex",      # mutex | event | none: what the application holds while it runs
    "name": "ReinstallE2E",  # the object's name
    "inherit": False,       # create it inheritable
    "hold_ms": 0,           # hold it this long after starting the launcher; -1: until it ends
    "launcher": "",         # the launcher's path
    "cmdline": "",          # via=raw: the launcher's exact raw command line
    "inherit_handles": False,  # via=raw: let the launcher inherit inheritable handles
    "cwd": "",              # the launcher's working directory ("": caller.exe's own)
    "via": "raw",           # raw | helper | preflight
    "install": "",          # via=helper/preflight: the request's install path
    "params": "",           # via=helper/preflight: the request's parameters
    "confirm_ms": "default",  # via=helper: the confirmation wait, or the helper's default
    "job": "none",          # none | kill | kill_breakaway: the job caller.exe first puts itself in
    "wait": True,           # wait for the launcher to end before quitting
    "zone": "none",         # none, or the zone that marks the install file as downloaded
    "unmark": False,        # via=preflight: remove that mark with the helper first
    "hold_install": False,  # keep the install file open for writing meanwhile
    "sha256": "",           # via=helper/preflight: the request's installSha256
    "launcher_sha256": "",  # ...its launcherSha256
    "signer": "",           # ...its installSigner, thumbprints between commas ("self": ours)
    "tamper": False,        # halfway through hold_ms, try to change the install file; "cue":
                            # let go only once caller.txt.go exists (see Wine.call's on_call)
    "outcome": "",          # via=helper: the request's outcomePath; via=read_outcome: the record
}


def scenario(**keys):
    """caller.exe's scenario text: every key, each given value in place of its default. An
    unknown key is a TypeError, so a misspelt key cannot pass unnoticed."""
    unknown = set(keys) - set(SCENARIO_DEFAULTS)
    if unknown:
        raise TypeError(f"unknown scenario keys: {', '.join(sorted(unknown))}")
    lines = []
    for key, default in SCENARIO_DEFAULTS.items():
        value = keys.get(key, default)
        if isinstance(value, bool):
            value = int(value)
        if "\n" in str(value):
            raise ValueError(f"scenario value {key} holds a line break")
        lines.append(f"{key}={value}\n")
    return "".join(lines)


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


def _pe_header(path):
    with open(path, "rb") as f:
        data = f.read(4096)
    return data, struct.unpack_from("<I", data, 0x3C)[0]


def image_size(path):
    """SizeOfImage from the PE optional header."""
    data, pe = _pe_header(path)
    return struct.unpack_from("<I", data, pe + 24 + 56)[0]


def code_byte_changed(path):
    """The bytes of the program at `path` with one byte of its first section (its code) changed."""
    with open(path, "rb") as f:
        image = bytearray(f.read())
    data, pe = _pe_header(path)
    sections = pe + 24 + struct.unpack_from("<H", data, pe + 20)[0]
    image[struct.unpack_from("<I", data, sections + 20)[0] + 64] ^= 0xFF
    return bytes(image)


def pe_arch(path):
    """x86 or x64, from the PE file header's machine type."""
    data, pe = _pe_header(path)
    return {0x14C: "x86", 0x8664: "x64"}[struct.unpack_from("<H", data, pe + 4)[0]]


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
        # 32-bit programs under emulation, where that is how this host runs them.
        self.emulated = os.path.exists(self.launcher) and self.arch == "x86" and \
            emulated_32bit() is not None and not os.environ.get(NO_32BIT)
        self.loader, self.server_command = LOADER, SERVER
        if self.emulated:
            self.prefix = os.path.join(build, "wineprefix-emulated")
            self.loader = EMULATED_LOADER
            self.server_command = os.path.join(os.path.dirname(EMULATED_LOADER), "wineserver")
            self.env.update(WINEARCH="win32")
        self.env.update(WINEPREFIX=self.prefix, WINEDEBUG="-all", WINELOADER=self.loader,
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        self.server = None

    @property
    def arch(self):
        return pe_arch(self.launcher)

    def start(self, relayed=RELAYED):
        """Creates the prefix when missing, starts its wineserver and sets which calls of the
        launcher the relay trace records."""
        quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL)
        if not os.path.isdir(self.prefix):
            self.run("wineboot", "-i", check=True, **quiet)
        # The server is running before any program starts: a program that finds none starts one
        # that ends with its last program (Debian's wineserver script passes -p0), and a program
        # that meets such a server shutting down is ended with 1. The first process of wineserver
        # ends once the server holds the prefix's lock and listens (0), or with 2 when another
        # server holds it: one left by wineboot or an earlier run, stopped here.
        for _ in range(3):
            # Detached: wineserver keeps inherited pipes open and would hang a reader.
            self.server = subprocess.Popen([self.server_command, "-p"], env=self.env,
                                           start_new_session=True,
                                           **quiet)
            if self.server.wait(60) == 0:
                break
            self.stop()
        else:
            raise OSError(f"no persistent wineserver could be started for {self.prefix}")
        # Windows 10 unless a test says otherwise: a new prefix may report Windows 7, whose
        # code page the helper then requires of every value (Wine itself gives the launcher
        # UTF-8 whatever version it reports).
        for key, name, value in ((r"HKCU\Software\Wine\Debug", "RelayInclude", ";".join(relayed)),
                                 (r"HKCU\Software\Wine\Debug", "RelayFromInclude",
                                  "reinstall.exe;caller.exe"),
                                 (r"HKCU\Software\Wine", "Version", "win10")):
            self.run("reg", "add", key, "/v", name, "/t", "REG_SZ", "/d", value, "/f",
                     check=True, **quiet)
        return self

    def stop(self):
        subprocess.run([self.server_command, "-k"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if self.server is not None:
            self.server.wait(30)
            self.server = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def command(self, *args):
        return [self.loader, *args]

    def run(self, *args, env=None, **kwargs):
        kwargs.setdefault("stdin", subprocess.DEVNULL)
        return subprocess.run(self.command(*args), env=env or self.env, **kwargs)

    def popen(self, *args, env=None, **kwargs):
        kwargs.setdefault("stdin", subprocess.DEVNULL)
        return subprocess.Popen(self.command(*args), env=env or self.env, **kwargs)

    def probe(self):
        """Whether this host runs this build's programs, found by starting them: for x86 Wine's
        32-bit loader first, then caller.exe without arguments, which answers with its usage
        code. Returns (True, "") or (False, why)."""
        arch = self.arch
        if arch == "x86":
            if os.environ.get(NO_32BIT):
                return False, f"{NO_32BIT} is set"
            try:
                subprocess.run([self.loader if self.emulated else LOADER_32, "--version"],
                               capture_output=True, timeout=300)
            except FileNotFoundError:
                why = "Wine's 32-bit part (wine32:i386) is not installed"
                with contextlib.suppress(OSError), open(WINE32_MISSING) as f:
                    why += f": the set-up could not install it ({f.read().strip()})"
                return False, why
            except OSError as e:
                why = f"the 32-bit Wine loader cannot start: {e.strerror}"
                if e.errno == errno.ENOEXEC:
                    why = f"this kernel runs no 32-bit programs ({why})"
                return False, why
        for attempt in range(2):
            try:
                # Within this object's own server when it runs one, else in a server of its own.
                with self if self.server is None else contextlib.nullcontext():
                    proc = self.run(self.caller, capture_output=True, text=True,
                                    errors="replace", timeout=300)
            except (OSError, subprocess.SubprocessError) as e:
                return False, f"Wine could not be set up ({e})"
            if proc.returncode == CALLER_USAGE:
                return True, ""
            if attempt or arch != "x86" or self.server is not None:
                break
            # A prefix made while 32-bit programs could not run lacks their half of the system:
            # made again.
            shutil.rmtree(self.prefix, ignore_errors=True)
        said = [line for line in proc.stderr.splitlines() if line.strip()]
        return False, (f"a {arch} program ended with {proc.returncode}"
                       + (f" ({said[-1]})" if said else ""))

    def host(self, fresh=False):
        """The probe's answer as {"arch", "runs", "reason"}, kept in the build folder so that
        each test of a run asks the host once (fresh: ask again)."""
        path = os.path.join(self.build, HOST_FILE)
        if not fresh and os.path.exists(path):
            with open(path) as f:
                return json.load(f)
        runs, reason = self.probe()
        answer = {"arch": self.arch, "runs": runs, "reason": reason}
        with open(path + ".partial", "w") as f:
            json.dump(answer, f)
        os.replace(path + ".partial", path)
        return answer

    def call(self, folder, debug="-all", installer_wait=0.0, image=None, caller=None,
             on_call=None, **keys):
        """Runs caller.exe (or a copy of it at `caller`) on the scenario made of `keys` (see
        scenario()) in `folder`, with the stub installer recording to folder/installer.txt.
        `image` is the launcher file the relay trace is read against (this build's by default).
        `on_call` (name, action): once the relay trace shows the launcher's first call of `name`,
        action() runs and then caller.txt.go is made, which a scenario with tamper="cue" waits
        for before it lets go of its object."""
        paths = [os.path.join(folder, n) for n in ("scenario.txt", "caller.txt", "installer.txt")]
        with open(paths[0], "w", encoding="utf-8", errors="surrogateescape") as f:
            f.write(scenario(**keys))  # "\udcff" and the like stand for bytes that are not UTF-8
        env = dict(self.env, WINEDEBUG=debug, STUB_INSTALLER_RECORD=win_path(paths[2]))
        proc = self.popen(caller or self.caller, win_path(paths[0]), win_path(paths[1]), env=env,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        trace = []
        watchdog = threading.Timer(300, proc.kill)
        watchdog.start()
        try:
            # Read as it comes, so that on_call acts while the launcher waits.
            for line in proc.stderr:
                trace.append(line)
                if on_call and re.search(rb":Call \w+\." + on_call[0].encode() + rb"\(", line):
                    on_call[1]()
                    with open(paths[1] + ".go", "w"):
                        pass
                    on_call = None
            proc.wait()
        finally:
            watchdog.cancel()
        return Outcome(proc.returncode, records.read(paths[1]),
                       records.read(paths[2], installer_wait),
                       b"".join(trace).decode("utf-8", "replace"), image or self.launcher)

    def hand_over_demo_app(self, app, recorded, install, parameters, hold_ms, launcher=None):
        """Runs Demo App (tests/installers/demo_app.cpp) at `app` as the application: it hands
        over `install` with `parameters` to `launcher` (this build's by default) and quits
        `hold_ms` later. The
        Demo App that an installer starts again records to recorded["relaunched"], the NSIS
        installer to recorded["installer"]. Returns the application's record of the hand-over
        (recorded["handover"])."""
        env = dict(self.env, DEMO_APP_RECORD=win_path(recorded["relaunched"]),
                   DEMO_INSTALLER_RECORD=win_path(recorded["installer"]))
        self.run(app, "--hand-over", win_path(recorded["handover"]),
                 win_path(launcher or self.launcher),
                 install, parameters, str(hold_ms), env=env, stdout=subprocess.DEVNULL,
                 stderr=subprocess.DEVNULL, timeout=300)
        return records.read(recorded["handover"], 5)

    def start_cost_ms(self, folder, image=None):
        """From caller.exe's CreateProcessW to the launcher's first OpenMutexA, in ms on Wine's
        tick clock, for the launcher `image` (this build's by default)."""
        launcher = win_path(image or self.launcher)
        # An event under the name: the first probe fails at once with error 6, so the run ends
        # without the wait and the pause.
        outcome = self.call(folder, "-all,+timestamp,+relay,+loaddll", image=image,
                            object="event", name="StartCost", hold_ms=-1, launcher=launcher,
                            cmdline=f'"{launcher}" -saferun=kqz -appmutex=StartCost '
                                    f'"-appinstall={launcher}"', cwd=win_path(folder))
        probes = outcome.named("OpenMutexA")
        if outcome.code != 0 or not probes:
            raise RuntimeError(f"no probe in the trace ({caller_exit(outcome.code)})")
        return probes[0].time * 1000.0 - float(outcome.record["started_tick"])


def _say_host(answer):
    if answer["runs"]:
        return f"wine host: this host runs {answer['arch']} Windows programs"
    return (f"wine host: this host runs no {answer['arch']} Windows programs: "
            f"{answer['reason']}")


def main(argv):
    if len(argv) >= 2 and argv[0] == "probe":
        answer = Wine(argv[1]).host(fresh=True)
        print(_say_host(answer), flush=True)
        return 0 if answer["runs"] or answer["arch"] == "x86" else 1
    if len(argv) >= 4 and argv[0] == "gate" and argv[2] == "--":
        answer = Wine(argv[1]).host()
        if answer["runs"]:
            return subprocess.run(argv[3:]).returncode
        print(_say_host(answer), flush=True)
        return SKIP if answer["arch"] == "x86" else 1
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
