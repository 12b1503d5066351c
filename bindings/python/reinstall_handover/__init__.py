"""Hand over to the reinstall launcher from Python, through the C interface (ctypes).

    from reinstall_handover import ApplicationMutex, HandoverRequest, preflight, hand_over

    mutex = ApplicationMutex("MyCompany.MyApp")          # hold it for the life of the process
    request = HandoverRequest(mutex_name="MyCompany.MyApp", install_path=installer,
                              parameters="/S",
                              install_sha256=manifest_digest,          # verify, then hand over
                              install_signer=[signer_of_this_program()])
    problems = preflight(request)                        # [] when nothing is in the way
    result = hand_over(request)                          # result.ok: quit now

The launcher and the library come from the wheel (reinstall_handover/bin/PLATFORM/); a launcher
given in the request, a file given to load() or REINSTALL_HANDOVER_LIBRARY wins.
"""

import ctypes
import hashlib
import os
import sys
import struct
from dataclasses import dataclass
from typing import List, Optional

# The C interface this module speaks: the same major, a minor at least this new.
INTERFACE_MAJOR, INTERFACE_MINOR = 2, 4
FIELDS = {0: "", 1: "launcher", 2: "mutexName", 3: "installPath", 4: "parameters", 5: "confirm",
          6: "installSha256", 7: "installSigner", 8: "launcherSha256", 9: "outcomePath"}
OUTCOME_STATES = ("absent", "unreadable", "read")
INVALID_VALUE, MUTEX_UNAVAILABLE, LAUNCHER_CHANGED = 1, 15, 19


_WINDOWS = sys.platform == "win32"
_BIN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "bin")
LAUNCHER_FILE = "reinstall.exe" if _WINDOWS else "reinstall"
LIBRARY_FILE = "reinstall_handover.dll" if _WINDOWS else "libreinstall_handover.so"


def platform_tag():
    """The wheel platform whose binaries this process can use: win32, win_amd64, linux_x86_64."""
    if _WINDOWS:
        return "win_amd64" if struct.calcsize("P") == 8 else "win32"
    return f"{sys.platform}_{os.uname().machine}".replace("-", "_")


def packaged_file(name):
    """One of the binaries the wheel carries for this process's platform; FileNotFoundError
    saying which wheel to install when they are missing or made for another architecture."""
    tag = platform_tag()
    path = os.path.join(_BIN, tag, name)
    if os.path.isfile(path):
        return path
    carried = sorted(os.listdir(_BIN)) if os.path.isdir(_BIN) else []
    why = (f"this installation carries the binaries for {', '.join(carried)}, not for this "
           f"{tag} Python" if carried else "this installation carries no binaries")
    raise FileNotFoundError(f"reinstall_handover: {why}; install the reinstall_handover wheel "
                            f"for {tag} (or pass the launcher and library paths)")


def _digest(path):
    try:
        with open(path, "rb") as f:
            return hashlib.sha256(f.read()).hexdigest()
    except OSError:
        return None


def recorded_digest(launcher):
    """The SHA-256 the wheel records beside its launcher (NAME.sha256, as sha256sum writes it):
    the file's first word, after any blanks, when it is 64 hexadecimal digits; None when the file
    is missing or holds no such word, and the launcher cannot be checked."""
    try:
        with open(launcher + ".sha256", "rb") as f:
            word = (f.read().split() or [b""])[0].decode("latin-1")
    except FileNotFoundError:
        return None
    return word.lower() if len(word) == 64 and all(c in "0123456789abcdefABCDEF" for c in word) \
        else None


def _unchecked_launcher(launcher):
    return Problem(LAUNCHER_CHANGED, "launcher-changed", "launcher", 0,
                   f"launcher {launcher} has no SHA-256 recorded beside it ({launcher}.sha256 is "
                   "missing or holds no 64-digit digest), so it cannot be checked: install the "
                   "package again")


def lasting_launcher(path, digests=None):
    """The launcher at `path`, or a copy of it that outlives this process. A PyInstaller one-file
    program runs from a temporary _MEI... folder that its bootloader deletes when the program
    exits, while the launcher still waits for it: the launcher is copied into the user's cache,
    in a folder named by its digest, and a copy already there is used when its digest matches
    (another instance may be running it, so it is never written over). `digests`, when given,
    receives the copy's path and the digest it must have, which the helper checks again while
    it holds the copy."""
    bundle = getattr(sys, "_MEIPASS", None)
    if not (getattr(sys, "frozen", False) and bundle
            and os.path.basename(os.path.normpath(bundle)).startswith("_MEI")
            and os.path.commonpath([os.path.abspath(path), os.path.abspath(bundle)])
            == os.path.abspath(bundle)):
        return path
    digest = _digest(path)
    cache = (os.environ.get("LOCALAPPDATA") if _WINDOWS else os.environ.get("XDG_CACHE_HOME")) \
        or os.path.join(os.path.expanduser("~"), ".cache")
    folder = os.path.join(cache, "reinstall-handover", digest[:32])
    target = os.path.join(folder, os.path.basename(path))
    if digests is not None:
        digests[target] = digest
    if _digest(target) == digest:
        return target
    os.makedirs(folder, mode=0o700, exist_ok=True)
    partial = f"{target}.{os.getpid()}.partial"
    with open(path, "rb") as source, open(partial, "wb") as copy:
        copy.write(source.read())
    os.chmod(partial, 0o700)
    try:
        os.replace(partial, target)
    except OSError:
        os.remove(partial)
        if _digest(target) != digest:
            raise
    return target


def _default_library():
    return os.environ.get("REINSTALL_HANDOVER_LIBRARY") or packaged_file(LIBRARY_FILE)


class _Request(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("launcher", ctypes.c_char_p), ("mutex_name", ctypes.c_char_p),
                ("install_path", ctypes.c_char_p), ("parameters", ctypes.c_char_p),
                ("install_sha256", ctypes.c_char_p), ("install_signer", ctypes.c_char_p),
                ("launcher_sha256", ctypes.c_char_p), ("outcome_path", ctypes.c_char_p)]


_lib = None


def load(path=None):
    """Loads the C interface (the given file, REINSTALL_HANDOVER_LIBRARY, or the wheel's) and
    checks its version."""
    global _lib
    lib = ctypes.CDLL(path or _default_library())
    p, size, u32 = ctypes.c_void_p, ctypes.c_size_t, ctypes.c_uint32
    cint, out = ctypes.c_int, ctypes.POINTER
    signatures = {
        "reinstall_interface_version": (u32, []),
        "reinstall_code_name": (ctypes.c_char_p, [cint]),
        "reinstall_build_command_line": (cint, [out(_Request), ctypes.c_char_p, size, out(size),
                                                out(cint)]),
        "reinstall_mutex_create": (cint, [ctypes.c_char_p, out(p), out(u32)]),
        "reinstall_mutex_release": (None, [p]),
        "reinstall_preflight": (cint, [out(_Request), out(p)]),
        "reinstall_problems_count": (size, [p]),
        "reinstall_problems_get": (cint, [p, size, out(cint), out(u32), ctypes.c_char_p, size,
                                          out(size)]),
        "reinstall_problems_release": (None, [p]),
        "reinstall_hand_over": (cint, [out(_Request), u32, out(p)]),
        "reinstall_handover_step": (cint, [p]),
        "reinstall_handover_problem": (cint, [p, out(cint), out(u32), ctypes.c_char_p, size,
                                              out(size)]),
        "reinstall_handover_flags": (u32, [p]),
        "reinstall_handover_launcher_id": (u32, [p]),
        "reinstall_handover_release": (None, [p]),
        "reinstall_remove_download_mark": (cint, [ctypes.c_char_p, out(cint), out(u32)]),
        "reinstall_signer_of_this_program": (cint, [ctypes.c_char_p, size, out(size)]),
        "reinstall_read_outcome": (cint, [ctypes.c_char_p, out(p)]),
        "reinstall_outcome_state": (cint, [p]),
        "reinstall_outcome_system_error": (u32, [p]),
        "reinstall_outcome_text": (cint, [p, cint, ctypes.c_char_p, size, out(size)]),
        "reinstall_outcome_release": (None, [p]),
        "reinstall_default_outcome_path": (cint, [ctypes.c_char_p, ctypes.c_char_p, size,
                                                  out(size)]),
    }
    for name, (restype, argtypes) in signatures.items():
        function = getattr(lib, name)
        function.restype, function.argtypes = restype, argtypes
    version = lib.reinstall_interface_version()
    if version >> 16 != INTERFACE_MAJOR or version & 0xFFFF < INTERFACE_MINOR:
        raise OSError(f"reinstall_handover interface {version >> 16}.{version & 0xFFFF}, "
                      f"this module speaks {INTERFACE_MAJOR}.{INTERFACE_MINOR}")
    _lib = lib
    return lib


def _c():
    return _lib or load()


@dataclass(init=False)
class HandoverRequest:
    """What to hand over. `launcher` None (the default) takes the wheel's launcher. The checks
    are optional: `install_sha256` the install file's SHA-256 from the update manifest,
    `install_signer` the SHA-256 thumbprints of the certificates that may sign it (Windows),
    `launcher_sha256` the launcher's own. `outcome_path` is where the hand-over's outcome is
    recorded (default_outcome_path gives one); read it with read_outcome at the next start."""
    launcher: Optional[str]
    mutex_name: str
    install_path: str
    parameters: str
    install_sha256: str
    install_signer: List[str]
    launcher_sha256: str
    outcome_path: str

    def __init__(self, launcher: Optional[str] = None, mutex_name: str = "",
                 install_path: str = "", parameters: str = "", install_sha256: str = "",
                 install_signer: Optional[List[str]] = None, launcher_sha256: str = "",
                 outcome_path: str = ""):
        self.launcher, self.mutex_name = launcher, mutex_name
        self.install_path, self.parameters = install_path, parameters
        self.install_sha256, self.launcher_sha256 = install_sha256, launcher_sha256
        self.install_signer = list(install_signer or [])
        self.outcome_path = outcome_path

    def _resolved(self):
        """The request with its launcher: the wheel's unless given, looked up once per call,
        with the digest the wheel records for it (or, without one, the digest of what a copy was
        made from)."""
        if self.launcher is not None:
            return self
        packaged = packaged_file(LAUNCHER_FILE)
        launcher = lasting_launcher(packaged)
        # A copy must hold the same bytes as the wheel's launcher: the wheel's digest holds for
        # both.
        recorded = self.launcher_sha256 or recorded_digest(packaged)
        resolved = HandoverRequest(launcher, self.mutex_name, self.install_path, self.parameters,
                                   self.install_sha256, self.install_signer, recorded or "",
                                   self.outcome_path)
        resolved._unchecked = recorded is None
        return resolved

    def _fields(self):
        return (("launcher", self.launcher, True), ("mutexName", self.mutex_name, False),
                ("installPath", self.install_path, True), ("parameters", self.parameters, False),
                ("installSha256", self.install_sha256, False),
                ("installSigner", _signer_list(self.install_signer), False),
                ("launcherSha256", self.launcher_sha256, False),
                ("outcomePath", self.outcome_path, True))

    def _c(self):
        """The request as the C interface takes it; raises HandoverError for a value that would
        not reach the launcher as it stands."""
        return _Request(ctypes.sizeof(_Request),
                        *(_encode(field, value, path) for field, value, path in self._fields()))

    def _refusals(self):
        """A problem for each value that cannot be passed at all; for the package's own launcher
        without its recorded digest, launcher-changed."""
        if getattr(self, "_unchecked", False):
            return [_unchecked_launcher(self.launcher)]
        problems = []
        for field, value, path in self._fields():
            try:
                _encode(field, value, path)
            except HandoverError as error:
                problems.append(Problem(INVALID_VALUE, "invalid-value", field, 0, error.why))
        return problems


@dataclass
class Problem:
    code: int
    name: str  # the stable name, "mutex-not-held" and so on
    field: str
    system_error: int
    message: str


@dataclass
class HandoverResult:
    ok: bool
    step: int  # 0 none, 1 check request, 2 start process, 3 breakaway, 4 confirm
    problem: Problem
    broke_away: bool
    remains_in_job: bool
    job_kills_on_close: bool
    foreground_allowed: bool  # the launcher, and so the installer, may take the foreground
    launcher_id: int


class HandoverError(ValueError):
    """A request the launcher could not receive intact; `field` names the value."""

    def __init__(self, field, message, why=""):
        super().__init__(message)
        self.field = field
        self.why = why or message


def _signer_list(signers):
    """The signer list as the C interface takes it: one text, the thumbprints between commas. A
    list of one empty thumbprint stays visible as an empty entry, which the helper refuses."""
    return ",".join(signers) or ("," if signers else "")


def _encode(field, value, path):
    """`value` as the C interface's bytes: UTF-8, or for a path natively the file-system
    encoding (which gives back the bytes of a name Python holds with surrogate escapes). A NUL
    would end the value early and an unpaired surrogate has no UTF-8: both are refused, as the
    helper refuses what the launcher could not receive."""
    why = None
    if "\0" in value:
        why = f"{field} holds a NUL byte, which would end the command line"
    else:
        try:
            return os.fsencode(value) if path and sys.platform != "win32" else value.encode()
        except UnicodeEncodeError:
            why = f"{field} holds an unpaired surrogate, which UTF-8 cannot carry"
    raise HandoverError(field, "reinstall hand-over: " + why, why)


def _system_error(error, message):
    """The OSError for a system error: ctypes.WinError on Windows (winerror set, errno mapped),
    errno natively."""
    if _WINDOWS:
        return ctypes.WinError(error, f"{message}: {ctypes.FormatError(error).strip()}")
    return OSError(error, f"{message}: {os.strerror(error)}")


def _read_text(call):
    """Calls `call(buffer, size, length)` once to learn the length, then with room for it. The
    text is all `length` bytes, a NUL among them kept, as the other bindings keep it."""
    length = ctypes.c_size_t(0)
    code = call(None, 0, ctypes.byref(length))
    buffer = ctypes.create_string_buffer(length.value + 1)
    code = call(buffer, len(buffer), ctypes.byref(length))
    return code, buffer.raw[:length.value].decode("utf-8", "replace")


def code_name(code):
    return _c().reinstall_code_name(code).decode()


def build_command_line(request: HandoverRequest) -> str:
    """The launcher's exact command line; raises HandoverError for a value it cannot pass."""
    field = ctypes.c_int(0)
    request_c = request._resolved()._c()
    code, text = _read_text(lambda b, n, l: _c().reinstall_build_command_line(
        ctypes.byref(request_c), b, n, l, ctypes.byref(field)))
    if code != 0:
        raise HandoverError(FIELDS.get(field.value, ""), text)
    return text


def _problem(getter) -> Problem:
    field, error = ctypes.c_int(0), ctypes.c_uint32(0)
    code, message = _read_text(lambda b, n, l: getter(ctypes.byref(field), ctypes.byref(error),
                                                      b, n, l))
    return Problem(code, code_name(code), FIELDS.get(field.value, ""), error.value, message)


def preflight(request: HandoverRequest) -> List[Problem]:
    """Every problem that would make the hand-over fail; [] when none."""
    request = request._resolved()
    refusals = request._refusals()
    if refusals:
        return refusals
    handle, request_c = ctypes.c_void_p(), request._c()
    code = _c().reinstall_preflight(ctypes.byref(request_c), ctypes.byref(handle))
    if code != 0:
        raise MemoryError(code_name(code))
    try:
        return [_problem(lambda f, e, b, n, l, i=i: _c().reinstall_problems_get(
                    handle, i, f, e, b, n, l))
                for i in range(_c().reinstall_problems_count(handle))]
    finally:
        _c().reinstall_problems_release(handle)


def hand_over(request: HandoverRequest, confirm_ms: int = 250) -> HandoverResult:
    """Starts the launcher and confirms for `confirm_ms` (at most 2000) that it runs."""
    request = request._resolved()
    refusals = request._refusals()
    if refusals:
        step = 5 if refusals[0].code == LAUNCHER_CHANGED else 1
        return HandoverResult(False, step, refusals[0], False, False, False, False, 0)
    handle, request_c = ctypes.c_void_p(), request._c()
    code = _c().reinstall_hand_over(ctypes.byref(request_c), confirm_ms, ctypes.byref(handle))
    if not handle:
        raise MemoryError(code_name(code))
    try:
        problem = _problem(lambda f, e, b, n, l: _c().reinstall_handover_problem(
            handle, f, e, b, n, l))
        flags = _c().reinstall_handover_flags(handle)
        return HandoverResult(code == 0, _c().reinstall_handover_step(handle), problem,
                              bool(flags & 1), bool(flags & 2), bool(flags & 4), bool(flags & 8),
                              _c().reinstall_handover_launcher_id(handle))
    finally:
        _c().reinstall_handover_release(handle)


@dataclass
class OutcomeRecord:
    """How the last hand-over ended. `state`: "absent" (no record), "unreadable" or "read"."""
    state: str
    outcome: str  # "installer-started", "timed-out", "cant-execute", "handed-over", ...
    system_error: int
    launcher_version: str
    started: str  # UTC, ISO 8601
    ended: str
    mutex_name: str
    install_path: str
    sentence: str  # for the user: what happened and its likely cause


def read_outcome(path: str) -> OutcomeRecord:
    """The outcome record at `path`, read at the application's next start."""
    handle = ctypes.c_void_p()
    code = _c().reinstall_read_outcome(_encode("outcomePath", path, True), ctypes.byref(handle))
    if code != 0:
        raise MemoryError(code_name(code))
    try:
        texts = [_read_text(lambda b, n, l, w=w: _c().reinstall_outcome_text(handle, w, b, n, l))[1]
                 for w in range(7)]
        return OutcomeRecord(OUTCOME_STATES[_c().reinstall_outcome_state(handle)], texts[0],
                             _c().reinstall_outcome_system_error(handle), *texts[1:])
    finally:
        _c().reinstall_outcome_release(handle)


def default_outcome_path(application: str) -> str:
    """A path for `application`'s outcome record in the user's local application data (its
    folders created); ValueError when there is none."""
    code, text = _read_text(lambda b, n, l: _c().reinstall_default_outcome_path(
        _encode("application", application, False), b, n, l))
    if code != 0:
        raise ValueError(f"no outcome path for {application!r}: {code_name(code)}")
    return text


def signer_of_this_program() -> str:
    """The SHA-256 thumbprint of the certificate that signed this process's program (for Python,
    the interpreter or the frozen program), "" when it is unsigned or natively."""
    code, text = _read_text(_c().reinstall_signer_of_this_program)
    if code != 0:
        raise MemoryError(code_name(code))
    return text


def remove_download_mark(install_path: str) -> bool:
    """Removes the install file's mark of origin (Windows: its Zone.Identifier stream, which
    preflight reports as install-file-marked) once the application has verified the file. True
    when a mark was removed, False when there was none; OSError when it could not be removed."""
    removed, error = ctypes.c_int(0), ctypes.c_uint32(0)
    code = _c().reinstall_remove_download_mark(_encode("installPath", install_path, True),
                                               ctypes.byref(removed), ctypes.byref(error))
    if code != 0:
        raise _system_error(error.value, f"cannot remove the mark of {install_path!r}: "
                                         f"{code_name(code)}")
    return bool(removed.value)


class ApplicationMutex:
    """The application's mutex, held until close() (or the end of a with block, or the process).
    Raises OSError with the system's error when it cannot be had (another instance holds it),
    HandoverError for a name the hand-over would refuse."""

    def __init__(self, name: str):
        self._handle: Optional[ctypes.c_void_p] = None
        handle, error = ctypes.c_void_p(), ctypes.c_uint32(0)
        code = _c().reinstall_mutex_create(_encode("mutexName", name, False),
                                           ctypes.byref(handle), ctypes.byref(error))
        if code == MUTEX_UNAVAILABLE:
            raise _system_error(error.value, f"cannot hold the mutex {name!r}")
        if code != 0:
            raise HandoverError("mutexName", f"cannot hold the mutex {name!r}: {code_name(code)}")
        self._handle = handle
        self.name = name

    def close(self):
        if self._handle:
            _c().reinstall_mutex_release(self._handle)
            self._handle = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
