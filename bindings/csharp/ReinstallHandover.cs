// Hand over to the reinstall launcher from .NET (WinForms, WPF, console): P/Invoke over the C
// interface (reinstall_handover.dll; libreinstall_handover.so natively, e.g. with Mono).
//
//   var mutex = new ReinstallHandover.ApplicationMutex("MyCompany.MyApp");  // at start-up
//   var request = new HandoverRequest("MyCompany.MyApp", installer, "/S") {
//     InstallSha256 = manifestDigest,                                       // verify, then hand over
//     InstallSigner = { ReinstallHandover.SignerOfThisProgram() } };
//   if (ReinstallHandover.Preflight(request).Count == 0 && ReinstallHandover.HandOver(request).Ok)
//     Application.Exit();
//
// The launcher and the library are the package's: runtimes/RID/native/ beside this assembly (the
// package's build targets copy them there) or this assembly's own folder (a RID-specific
// publish). A launcher given in the request, ReinstallHandover.LibraryPath set before the first
// call, or REINSTALL_HANDOVER_LIBRARY wins.
using System;
using System.Collections.Generic;
using System.Linq;
using System.IO;
using System.Runtime.CompilerServices;
using System.Runtime.InteropServices;
using System.Text;

namespace Reinstall {

/// <summary>
/// The problem codes, as the C interface numbers them.
/// </summary>
public enum ProblemCode {
  /// <summary>Nothing failed.</summary>
  None = 0,
  /// <summary>A value the launcher cannot receive (empty, a double quote, NUL, encoding).</summary>
  InvalidValue = 1,
  /// <summary>A name the system cannot use for a mutex.</summary>
  MutexNameInvalid = 2,
  /// <summary>The install path or the launcher is relative.</summary>
  InstallPathRelative = 3,
  /// <summary>No file at the launcher's path.</summary>
  LauncherMissing = 4,
  /// <summary>Something there, but not a program.</summary>
  LauncherNotExecutable = 5,
  /// <summary>The launcher's own check of the install file would fail.</summary>
  InstallFileRejected = 6,
  /// <summary>The shell has no program for "open" on this file type.</summary>
  NoOpenProgram = 7,
  /// <summary>The mutex does not exist: the installer would start at once.</summary>
  MutexNotHeld = 8,
  /// <summary>The launcher could not open the mutex.</summary>
  MutexUnusable = 9,
  /// <summary>A job that kills on close and forbids breakaway.</summary>
  JobKillsLauncher = 10,
  /// <summary>The launcher process could not be started.</summary>
  StartFailed = 11,
  /// <summary>Started, but inside the application's job.</summary>
  BreakawayRefused = 12,
  /// <summary>Started, but gone before the confirmation.</summary>
  LauncherEndedEarly = 13,
  /// <summary>A path longer than the launcher's calls can open.</summary>
  PathTooLong = 14,
  /// <summary>The system would not create or lock the mutex.</summary>
  MutexUnavailable = 15,
  /// <summary>Marked as downloaded: Windows would stop it at a security prompt.</summary>
  InstallFileMarked = 16,
  /// <summary>Not the bytes the application verified, or it cannot be held unchanged.</summary>
  InstallFileChanged = 17,
  /// <summary>Unsigned, badly signed, or signed by nobody in InstallSigner.</summary>
  InstallFileSigner = 18,
  /// <summary>The launcher is not the one LauncherSha256 names.</summary>
  LauncherChanged = 19,
  /// <summary>The outcome record's folder is missing or cannot be written.</summary>
  OutcomePathUnusable = 20
}

/// <summary>
/// The step of HandOver that failed.
/// </summary>
public enum HandoverStep {
  /// <summary>Nothing failed.</summary>
  None = 0,
  /// <summary>The request itself (the checks of Preflight that need no system call).</summary>
  CheckRequest = 1,
  /// <summary>The launcher could not be started.</summary>
  StartProcess = 2,
  /// <summary>Started, but inside the application's job, which forbids breakaway.</summary>
  Breakaway = 3,
  /// <summary>Started, but it ended before the confirmation wait was over.</summary>
  Confirm = 4,
  /// <summary>The install file or the launcher is not what the request names.</summary>
  Verify = 5
}

/// <summary>
/// What the application hands over: the launcher (null: the package's), the mutex it holds
/// while it runs, the install file (an absolute path) and its parameters.
/// </summary>
public sealed class HandoverRequest {
  /// <summary>
  /// The launcher of this package.
  /// </summary>
  public HandoverRequest(string mutexName, string installPath, string parameters = "")
      : this(null, mutexName, installPath, parameters) {}

  /// <summary>
  /// A launcher of your own (null: the package's).
  /// </summary>
  public HandoverRequest(string? launcher, string mutexName, string installPath,
                         string parameters) {
    Launcher = launcher;
    MutexName = mutexName;
    InstallPath = installPath;
    Parameters = parameters ?? "";
  }
  /// <summary>
  /// The launcher to start; null takes the package's own.
  /// </summary>
  public string? Launcher { get; }
  /// <summary>
  /// The mutex the application holds while it runs.
  /// </summary>
  public string MutexName { get; }
  /// <summary>
  /// The install file, an absolute path.
  /// </summary>
  public string InstallPath { get; }
  /// <summary>
  /// The install file's parameters, passed on unchanged.
  /// </summary>
  public string Parameters { get; }
  /// <summary>
  /// The install file's SHA-256 from the update manifest, 64 hexadecimal digits; "" for none.
  /// </summary>
  public string InstallSha256 { get; set; } = "";
  /// <summary>
  /// SHA-256 thumbprints of the certificates that may sign the install file (Windows); empty
  /// for none.
  /// </summary>
  public IList<string> InstallSigner { get; set; } = new List<string>();
  /// <summary>
  /// The launcher's own SHA-256, where it is known; "" for none. For the package's own launcher
  /// the digest the package records beside it is taken.
  /// </summary>
  public string LauncherSha256 { get; set; } = "";
  /// <summary>
  /// Where the hand-over's outcome is recorded (an absolute path;
  /// ReinstallHandover.DefaultOutcomePath gives one); "" for none.
  /// </summary>
  public string OutcomePath { get; set; } = "";
  // The package's own launcher without the digest it records: it cannot be checked.
  internal bool LauncherUnchecked { get; set; }
}

/// <summary>
/// How the last hand-over ended, as ReinstallHandover.ReadOutcome finds it.
/// </summary>
public sealed class OutcomeRecord {
  /// <summary>"absent" (no record), "unreadable" or "read".</summary>
  public string State { get; internal set; } = "absent";
  /// <summary>"installer-started", "timed-out", "cant-execute", "handed-over", ...</summary>
  public string Outcome { get; internal set; } = "";
  /// <summary>The shell's error for cant-execute, the probe's for mutex-error.</summary>
  public uint SystemError { get; internal set; }
  /// <summary>The launcher's version ("" in the helper's record).</summary>
  public string LauncherVersion { get; internal set; } = "";
  /// <summary>When the launcher started, UTC, ISO 8601.</summary>
  public string Started { get; internal set; } = "";
  /// <summary>When it ended, UTC, ISO 8601.</summary>
  public string Ended { get; internal set; } = "";
  /// <summary>The mutex it waited for.</summary>
  public string MutexName { get; internal set; } = "";
  /// <summary>The install file.</summary>
  public string InstallPath { get; internal set; } = "";
  /// <summary>For the user: what happened and its likely cause.</summary>
  public string Sentence { get; internal set; } = "";
}

/// <summary>
/// One problem: its code and stable name, the request field it concerns, the system's error and
/// one sentence for a log or the user.
/// </summary>
public sealed class Problem {
  /// <summary>
  /// The problem's code.
  /// </summary>
  public ProblemCode Code { get; internal set; }
  /// <summary>
  /// The code's stable name: "mutex-not-held" and so on.
  /// </summary>
  public string Name { get; internal set; } = "";
  /// <summary>
  /// The field it concerns: "", "launcher", "mutexName", "installPath", "parameters" or
  /// "confirm".
  /// </summary>
  public string Field { get; internal set; } = "";
  /// <summary>
  /// The system's error (Win32 error on Windows, errno natively); 0 when none.
  /// </summary>
  public uint SystemError { get; internal set; }
  /// <summary>
  /// One sentence for a log or the user.
  /// </summary>
  public string Message { get; internal set; } = "";
}

/// <summary>
/// What HandOver did. On Ok the launcher runs outside the application's job (or there is none)
/// and was still running after the confirmation.
/// </summary>
public sealed class HandoverResult {
  /// <summary>
  /// Whether the hand-over will happen once the application quits.
  /// </summary>
  public bool Ok { get; internal set; }
  /// <summary>
  /// The step that failed; None when nothing did.
  /// </summary>
  public HandoverStep Step { get; internal set; }
  /// <summary>
  /// What went wrong; code None when nothing did.
  /// </summary>
  public Problem Problem { get; internal set; } = new Problem();
  /// <summary>
  /// Started with CREATE_BREAKAWAY_FROM_JOB (Windows).
  /// </summary>
  public bool BrokeAway { get; internal set; }
  /// <summary>
  /// The job forbade breakaway: the launcher shares its fate.
  /// </summary>
  public bool RemainsInJob { get; internal set; }
  /// <summary>
  /// And that job kills its processes when it closes.
  /// </summary>
  public bool JobKillsOnClose { get; internal set; }
  /// <summary>
  /// The launcher, and so the installer it starts, may take the foreground (Windows).
  /// </summary>
  public bool ForegroundAllowed { get; internal set; }
  /// <summary>
  /// The started launcher's process id; 0 when it was not started.
  /// </summary>
  public uint LauncherId { get; internal set; }
}

/// <summary>
/// A value the launcher could not receive intact; Field names it.
/// </summary>
public sealed class HandoverException : ArgumentException {
  /// <summary>
  /// A refusal of the value of `field`.
  /// </summary>
  public HandoverException(string field, string message) : base(message) { Field = field; }
  /// <summary>
  /// The field it concerns: "", "launcher", "mutexName", "installPath", "parameters" or
  /// "confirm".
  /// </summary>
  public string Field { get; }
}

/// <summary>
/// The application's mutex could not be had: another process holds it (SystemError is
/// ERROR_ALREADY_EXISTS on Windows, EAGAIN natively) or the system refused it.
/// </summary>
public sealed class MutexUnavailableException : InvalidOperationException {
  /// <summary>
  /// The mutex could not be had, for the system's reason `systemError`.
  /// </summary>
  public MutexUnavailableException(string message, uint systemError) : base(message) {
    SystemError = systemError;
  }
  /// <summary>
  /// The system's error: ERROR_ALREADY_EXISTS on Windows or EAGAIN natively when another process holds it.
  /// </summary>
  public uint SystemError { get; }
}

/// <summary>
/// The C interface's records, each released by its own function when disposed or finalized.
/// </summary>
public abstract class RecordHandle : SafeHandle {
  /// <summary>
  /// An empty record.
  /// </summary>
  protected RecordHandle() : base(IntPtr.Zero, true) {}
  /// <summary>
  /// Whether no record is held.
  /// </summary>
  public override bool IsInvalid { get { return handle == IntPtr.Zero; } }
}

/// <summary>
/// A list of problems from the C interface.
/// </summary>
public sealed class ProblemsHandle : RecordHandle {
  /// <summary>
  /// Releases the record.
  /// </summary>
  protected override bool ReleaseHandle() {
    ReinstallHandover.reinstall_problems_release(handle);
    return true;
  }
}

/// <summary>
/// A hand-over result from the C interface.
/// </summary>
public sealed class HandoverHandle : RecordHandle {
  /// <summary>
  /// Releases the record.
  /// </summary>
  protected override bool ReleaseHandle() {
    ReinstallHandover.reinstall_handover_release(handle);
    return true;
  }
}

/// <summary>
/// A held mutex from the C interface.
/// </summary>
public sealed class MutexHandle : RecordHandle {
  /// <summary>
  /// Releases the record.
  /// </summary>
  protected override bool ReleaseHandle() {
    ReinstallHandover.reinstall_mutex_release(handle);
    return true;
  }
}

/// <summary>
/// Hand over to the reinstall launcher: check the request, start the launcher, hold the application's mutex.
/// </summary>
public static class ReinstallHandover {
  /// <summary>
  /// The C interface this binding speaks: the same major, a minor at least this new.
  /// </summary>
  public const uint InterfaceMajor = 2, InterfaceMinor = 4;
  const int MutexUnavailable = (int)ProblemCode.MutexUnavailable;
  static readonly string[] Fields = {"", "launcher", "mutexName", "installPath", "parameters",
                                     "confirm", "installSha256", "installSigner",
                                     "launcherSha256", "outcomePath"};
  static readonly string[] OutcomeStates = {"absent", "unreadable", "read"};
  static readonly UTF8Encoding StrictUtf8 = new UTF8Encoding(false, true);

  [StructLayout(LayoutKind.Sequential)]
  internal struct Request {
    public uint Size;
    public IntPtr Launcher, MutexName, InstallPath, Parameters, InstallSha256, InstallSigner,
        LauncherSha256, OutcomePath;
  }

  delegate int TextCall(byte[]? buffer, UIntPtr size, out UIntPtr length);
  delegate int ProblemCall(out int field, out uint error, byte[]? buffer, UIntPtr size,
                           out UIntPtr length);

  // The C functions, bound by name once the library is loaded (Load).
  [UnmanagedFunctionPointer(CallingConvention.Cdecl)] internal delegate uint InterfaceVersionFn();
  internal static InterfaceVersionFn reinstall_interface_version = null!;
  [UnmanagedFunctionPointer(CallingConvention.Cdecl)] internal delegate IntPtr CodeNameFn(int code);
  internal static CodeNameFn reinstall_code_name = null!;
  [UnmanagedFunctionPointer(CallingConvention.Cdecl)] internal delegate int BuildCommandLineFn(ref Request request, byte[]? buffer, UIntPtr size, out UIntPtr length, out int field);
  internal static BuildCommandLineFn reinstall_build_command_line = null!;
  [UnmanagedFunctionPointer(CallingConvention.Cdecl)] internal delegate int MutexCreateFn(IntPtr name, out MutexHandle mutex, out uint error);
  internal static MutexCreateFn reinstall_mutex_create = null!;
  [UnmanagedFunctionPointer(CallingConvention.Cdecl)] internal delegate void MutexReleaseFn(IntPtr mutex);
  internal static MutexReleaseFn reinstall_mutex_release = null!;
  [UnmanagedFunctionPointer(CallingConvention.Cdecl)] internal delegate int PreflightFn(ref Request request, out ProblemsHandle problems);
  internal static PreflightFn reinstall_preflight = null!;
  [UnmanagedFunctionPointer(CallingConvention.Cdecl)] internal delegate UIntPtr ProblemsCountFn(ProblemsHandle problems);
  internal static ProblemsCountFn reinstall_problems_count = null!;
  [UnmanagedFunctionPointer(CallingConvention.Cdecl)] internal delegate int ProblemsGetFn(ProblemsHandle problems, UIntPtr index, out int field, out uint error, byte[]? buffer, UIntPtr size, out UIntPtr length);
  internal static ProblemsGetFn reinstall_problems_get = null!;
  [UnmanagedFunctionPointer(CallingConvention.Cdecl)] internal delegate void ProblemsReleaseFn(IntPtr problems);
  internal static ProblemsReleaseFn reinstall_problems_release = null!;
  [UnmanagedFunctionPointer(CallingConvention.Cdecl)] internal delegate int HandOverFn(ref Request request, uint confirmMs, out HandoverHandle handover);
  internal static HandOverFn reinstall_hand_over = null!;
  [UnmanagedFunctionPointer(CallingConvention.Cdecl)] internal delegate int HandoverStepFn(HandoverHandle handover);
  internal static HandoverStepFn reinstall_handover_step = null!;
  [UnmanagedFunctionPointer(CallingConvention.Cdecl)] internal delegate int HandoverProblemFn(HandoverHandle handover, out int field, out uint error, byte[]? buffer, UIntPtr size, out UIntPtr length);
  internal static HandoverProblemFn reinstall_handover_problem = null!;
  [UnmanagedFunctionPointer(CallingConvention.Cdecl)] internal delegate uint HandoverFlagsFn(HandoverHandle handover);
  internal static HandoverFlagsFn reinstall_handover_flags = null!;
  [UnmanagedFunctionPointer(CallingConvention.Cdecl)] internal delegate uint HandoverLauncherIdFn(HandoverHandle handover);
  internal static HandoverLauncherIdFn reinstall_handover_launcher_id = null!;
  [UnmanagedFunctionPointer(CallingConvention.Cdecl)] internal delegate void HandoverReleaseFn(IntPtr handover);
  internal static HandoverReleaseFn reinstall_handover_release = null!;
  [UnmanagedFunctionPointer(CallingConvention.Cdecl)] internal delegate int RemoveDownloadMarkFn(IntPtr path, out int removed, out uint error);
  internal static RemoveDownloadMarkFn reinstall_remove_download_mark = null!;
  [UnmanagedFunctionPointer(CallingConvention.Cdecl)] internal delegate int SignerOfThisProgramFn(byte[]? buffer, UIntPtr size, out UIntPtr length);
  internal static SignerOfThisProgramFn reinstall_signer_of_this_program = null!;
  [UnmanagedFunctionPointer(CallingConvention.Cdecl)] internal delegate int ReadOutcomeFn(IntPtr path, out IntPtr outcome);
  internal static ReadOutcomeFn reinstall_read_outcome = null!;
  [UnmanagedFunctionPointer(CallingConvention.Cdecl)] internal delegate int OutcomeStateFn(IntPtr outcome);
  internal static OutcomeStateFn reinstall_outcome_state = null!;
  [UnmanagedFunctionPointer(CallingConvention.Cdecl)] internal delegate uint OutcomeSystemErrorFn(IntPtr outcome);
  internal static OutcomeSystemErrorFn reinstall_outcome_system_error = null!;
  [UnmanagedFunctionPointer(CallingConvention.Cdecl)] internal delegate int OutcomeTextFn(IntPtr outcome, int which, byte[]? buffer, UIntPtr size, out UIntPtr length);
  internal static OutcomeTextFn reinstall_outcome_text = null!;
  [UnmanagedFunctionPointer(CallingConvention.Cdecl)] internal delegate void OutcomeReleaseFn(IntPtr outcome);
  internal static OutcomeReleaseFn reinstall_outcome_release = null!;
  [UnmanagedFunctionPointer(CallingConvention.Cdecl)] internal delegate int DefaultOutcomePathFn(IntPtr application, byte[]? buffer, UIntPtr size, out UIntPtr length);
  internal static DefaultOutcomePathFn reinstall_default_outcome_path = null!;

  [DllImport("kernel32", CharSet = CharSet.Unicode, SetLastError = true)]
  static extern IntPtr LoadLibraryW(string path);
  [DllImport("kernel32", CharSet = CharSet.Ansi, BestFitMapping = false)]
  static extern IntPtr GetProcAddress(IntPtr module, string name);
  [DllImport("libdl.so.2")] static extern IntPtr dlopen(string path, int mode);
  [DllImport("libdl.so.2")] static extern IntPtr dlerror();
  [DllImport("libdl.so.2")] static extern IntPtr dlsym(IntPtr module, string name);

  static readonly bool Windows = Environment.OSVersion.Platform == PlatformID.Win32NT;
  static readonly string LauncherFile = Windows ? "reinstall.exe" : "reinstall";
  static readonly string LibraryFile = Windows ? "reinstall_handover.dll" : "libreinstall_handover.so";

  /// <summary>
  /// The library to load, when not the package's; set it before the first call.
  /// </summary>
  public static string? LibraryPath { get; set; }

  /// <summary>
  /// The runtime identifier of this process, whose runtimes/ folder holds its binaries.
  /// </summary>
  public static string RuntimeIdentifier {
    get { return RuntimeIdentifierFor(Windows, ProcessArchitecture()); }
  }

  // The process's architecture as a runtime identifier names it ("x64", "arm64", ...). A runtime
  // that cannot resolve RuntimeInformation through the netstandard facade (Mono without its
  // facades) is told it by the pointer size instead.
  static string ProcessArchitecture() {
    try {
      return RuntimeArchitecture();
    } catch (TypeLoadException) {
      return IntPtr.Size == 8 ? "x64" : "x86";
    }
  }

  [MethodImpl(MethodImplOptions.NoInlining)]
  static string RuntimeArchitecture() {
    return RuntimeInformation.ProcessArchitecture.ToString().ToLowerInvariant();
  }

  /// <summary>
  /// The runtime identifier of a process of `architecture` (what it runs as, not what the
  /// machine is: an x64 process on an Arm64 machine takes win-x64). The package carries x86 and
  /// x64 binaries only: any other architecture is refused, naming what is shipped.
  /// </summary>
  public static string RuntimeIdentifierFor(bool windows, Architecture architecture) {
    return RuntimeIdentifierFor(windows, architecture.ToString().ToLowerInvariant());
  }

  static string RuntimeIdentifierFor(bool windows, string architecture) {
    string os = windows ? "win-" : "linux-";
    if (architecture == "x64" || architecture == "x86") return os + architecture;
    throw new PlatformNotSupportedException(
        "reinstall: no launcher is shipped for " + os + architecture +
        "; the Reinstall.Handover package carries win-x86, win-x64 and linux-x64: build the " +
        "application for x64 or x86 (Windows on Arm runs either)");
  }

  // The machine a PE or ELF file was built for ("x64", "x86", or its number), null for neither.
  static string? MachineOf(string path) {
    using (var reader = new BinaryReader(File.OpenRead(path))) {
      byte[] head = reader.ReadBytes(64);
      if (head.Length == 64 && head[0] == 0x7F && head[1] == 'E' && head[2] == 'L' && head[3] == 'F') {
        int machine = BitConverter.ToUInt16(head, 18);
        return machine == 62 ? "x64" : machine == 3 ? "x86" : machine.ToString();
      }
      if (head.Length == 64 && head[0] == 'M' && head[1] == 'Z') {
        reader.BaseStream.Position = BitConverter.ToUInt32(head, 0x3C) + 4;
        int machine = reader.ReadUInt16();
        return machine == 0x8664 ? "x64" : machine == 0x14C ? "x86" : machine.ToString();
      }
      return null;
    }
  }

  /// <summary>
  /// One of the package's files for this process: beside this assembly (a RID-specific publish),
  /// in runtimes/RID/native/ beside it (the package's build targets copy them there), or in the
  /// package's own runtimes/ folder (the assembly loaded from the package cache).
  /// The folder is the application's base folder: in a single-file program the assembly has no
  /// file of its own (an empty Location would make these paths relative to the working folder).
  /// </summary>
  public static string PackagedFile(string name) {
    string here = AppContext.BaseDirectory;
    string rid = RuntimeIdentifier;
    string native = Path.Combine("runtimes", rid, "native");
    string[] candidates = {Path.Combine(here, name), Path.Combine(here, native, name),
                           Path.Combine(here, "..", "..", native, name)};
    foreach (string path in candidates) {
      if (!File.Exists(path)) continue;
      string? machine = MachineOf(path);
      string wanted = rid.Substring(rid.IndexOf('-') + 1);
      if (machine != wanted)
        throw new BadImageFormatException(path + " is built for " + machine + ", this process is " +
                                          wanted + " (a Prefer32Bit or platform-specific build " +
                                          "needs the " + rid + " files)", path);
      return Path.GetFullPath(path);
    }
    throw new DllNotFoundException(
        "reinstall: " + name + " for " + rid + " is in none of " +
        string.Join(", ", candidates) + "; the Reinstall.Handover package copies it to " +
        native + " beside your program when it builds");
  }

  static bool checkedVersion;
  static readonly object LoadLock = new object();

  static T Bind<T>(IntPtr module, string name) where T : class {
    IntPtr address = Windows ? GetProcAddress(module, name) : dlsym(module, name);
    if (address == IntPtr.Zero)
      throw new EntryPointNotFoundException("reinstall: the library has no " + name);
    return (T)(object)Marshal.GetDelegateForFunctionPointer(address, typeof(T));
  }

  // Loads the library by its full path (a DllImport would look for it by name, in folders that
  // are not the package's) and binds its functions.
  static void LoadLibrary() {
    string? path = LibraryPath ?? Environment.GetEnvironmentVariable("REINSTALL_HANDOVER_LIBRARY");
    if (string.IsNullOrEmpty(path)) path = PackagedFile(LibraryFile);
    IntPtr module = Windows ? LoadLibraryW(path) : dlopen(path, 2 /* RTLD_NOW */ | 0x100 /* GLOBAL */);
    if (module == IntPtr.Zero)
      throw new DllNotFoundException(
          "reinstall: cannot load " + path + ": " +
          (Windows ? "error " + Marshal.GetLastWin32Error()
                   : Marshal.PtrToStringAnsi(dlerror())));
    reinstall_interface_version = Bind<InterfaceVersionFn>(module, "reinstall_interface_version");
    reinstall_code_name = Bind<CodeNameFn>(module, "reinstall_code_name");
    reinstall_build_command_line = Bind<BuildCommandLineFn>(module, "reinstall_build_command_line");
    reinstall_mutex_create = Bind<MutexCreateFn>(module, "reinstall_mutex_create");
    reinstall_mutex_release = Bind<MutexReleaseFn>(module, "reinstall_mutex_release");
    reinstall_preflight = Bind<PreflightFn>(module, "reinstall_preflight");
    reinstall_problems_count = Bind<ProblemsCountFn>(module, "reinstall_problems_count");
    reinstall_problems_get = Bind<ProblemsGetFn>(module, "reinstall_problems_get");
    reinstall_problems_release = Bind<ProblemsReleaseFn>(module, "reinstall_problems_release");
    reinstall_hand_over = Bind<HandOverFn>(module, "reinstall_hand_over");
    reinstall_handover_step = Bind<HandoverStepFn>(module, "reinstall_handover_step");
    reinstall_handover_problem = Bind<HandoverProblemFn>(module, "reinstall_handover_problem");
    reinstall_handover_flags = Bind<HandoverFlagsFn>(module, "reinstall_handover_flags");
    reinstall_handover_launcher_id = Bind<HandoverLauncherIdFn>(module, "reinstall_handover_launcher_id");
    reinstall_handover_release = Bind<HandoverReleaseFn>(module, "reinstall_handover_release");
    reinstall_remove_download_mark = Bind<RemoveDownloadMarkFn>(module, "reinstall_remove_download_mark");
    reinstall_signer_of_this_program = Bind<SignerOfThisProgramFn>(module, "reinstall_signer_of_this_program");
    reinstall_read_outcome = Bind<ReadOutcomeFn>(module, "reinstall_read_outcome");
    reinstall_outcome_state = Bind<OutcomeStateFn>(module, "reinstall_outcome_state");
    reinstall_outcome_system_error = Bind<OutcomeSystemErrorFn>(module, "reinstall_outcome_system_error");
    reinstall_outcome_text = Bind<OutcomeTextFn>(module, "reinstall_outcome_text");
    reinstall_outcome_release = Bind<OutcomeReleaseFn>(module, "reinstall_outcome_release");
    reinstall_default_outcome_path = Bind<DefaultOutcomePathFn>(module, "reinstall_default_outcome_path");
  }

  static void CheckVersion() {
    lock (LoadLock) {
      if (checkedVersion) return;
      LoadLibrary();
      uint version = reinstall_interface_version();
      if (version >> 16 != InterfaceMajor || (version & 0xFFFF) < InterfaceMinor)
        throw new InvalidOperationException(
            "reinstall_handover interface " + (version >> 16) + "." + (version & 0xFFFF) +
            ", this binding speaks " + InterfaceMajor + "." + InterfaceMinor);
      checkedVersion = true;
    }
  }

  // Why `text` cannot be passed at all, or null: a NUL would end it early, and an unpaired
  // surrogate has no UTF-8 (the default encoder would pass U+FFFD in its place).
  static string? Refusal(string field, string? text) {
    if ((text ?? "").IndexOf('\0') >= 0)
      return field + " holds a NUL byte, which would end the command line";
    try {
      StrictUtf8.GetByteCount(text ?? "");
      return null;
    } catch (EncoderFallbackException) {
      return field + " holds an unpaired surrogate, which UTF-8 cannot carry";
    }
  }

  // A problem for each value of `request` that cannot be passed at all.
  static List<Problem> Refusals(HandoverRequest request) {
    var problems = new List<Problem>();
    string?[] values = {request.Launcher, request.MutexName, request.InstallPath,
                       request.Parameters, request.InstallSha256, SignerList(request),
                       request.LauncherSha256, request.OutcomePath};
    for (int i = 0; i < values.Length; ++i) {
      string? why = Refusal(Fields[i + 1], values[i]);
      if (why != null)
        problems.Add(new Problem {
          Code = ProblemCode.InvalidValue, Name = "invalid-value", Field = Fields[i + 1], Message = why
        });
    }
    return problems;
  }

  // The request with its launcher: the package's unless given, looked up once per call, with
  // the digest the package records beside it.
  static HandoverRequest Resolved(HandoverRequest request) {
    if (request.Launcher != null) return request;
    string launcher = PackagedFile(LauncherFile);
    string? digest = string.IsNullOrEmpty(request.LauncherSha256) ? RecordedDigest(launcher)
                                                                  : request.LauncherSha256;
    return new HandoverRequest(launcher, request.MutexName, request.InstallPath,
                               request.Parameters) {
      InstallSha256 = request.InstallSha256, InstallSigner = request.InstallSigner,
      LauncherSha256 = digest ?? "", LauncherUnchecked = digest == null,
      OutcomePath = request.OutcomePath
    };
  }

  static Problem UncheckedLauncher(HandoverRequest request) {
    return new Problem {
      Code = ProblemCode.LauncherChanged, Name = "launcher-changed", Field = "launcher",
      Message = "launcher " + request.Launcher + " has no SHA-256 recorded beside it (" +
                request.Launcher + ".sha256 is missing or holds no 64-digit digest), so it " +
                "cannot be checked: install the package again"
    };
  }

  // The SHA-256 the package records beside its launcher (NAME.sha256, as sha256sum writes it):
  // the file's first word, after any blanks, when it is 64 hexadecimal digits; null when the
  // file is missing or holds no such word, and the launcher cannot be checked.
  static string? RecordedDigest(string launcher) {
    string recorded = launcher + ".sha256";
    if (!File.Exists(recorded)) return null;
    string text = File.ReadAllText(recorded, Encoding.ASCII).Trim();
    int end = text.IndexOfAny(new[] {' ', '\t', '\r', '\n', '\f', '\v'});
    string word = end < 0 ? text : text.Substring(0, end);
    return word.Length == 64 && word.All(Uri.IsHexDigit) ? word.ToLowerInvariant() : null;
  }

  // The signer list as the C interface takes it: one text, the thumbprints between commas. A
  // list of one empty thumbprint stays visible as an empty entry, which the helper refuses.
  static string SignerList(HandoverRequest request) {
    IList<string> signers = request.InstallSigner ?? new List<string>();
    string list = string.Join(",", signers);
    return list.Length == 0 && signers.Count > 0 ? "," : list;
  }

  // NUL-terminated UTF-8 in unmanaged memory; free with Marshal.FreeHGlobal.
  static IntPtr Utf8(string? text) {
    byte[] bytes = StrictUtf8.GetBytes(text ?? "");
    IntPtr memory = Marshal.AllocHGlobal(bytes.Length + 1);
    Marshal.Copy(bytes, 0, memory, bytes.Length);
    Marshal.WriteByte(memory, bytes.Length, 0);
    return memory;
  }

  static T WithRequest<T>(HandoverRequest request, Func<Request, T> use) {
    CheckVersion();
    var c = new Request {
      Size = (uint)Marshal.SizeOf(typeof(Request)), Launcher = Utf8(request.Launcher), MutexName = Utf8(request.MutexName),
      InstallPath = Utf8(request.InstallPath), Parameters = Utf8(request.Parameters),
      InstallSha256 = Utf8(request.InstallSha256), InstallSigner = Utf8(SignerList(request)),
      LauncherSha256 = Utf8(request.LauncherSha256), OutcomePath = Utf8(request.OutcomePath)
    };
    try {
      return use(c);
    } finally {
      Marshal.FreeHGlobal(c.Launcher);
      Marshal.FreeHGlobal(c.MutexName);
      Marshal.FreeHGlobal(c.InstallPath);
      Marshal.FreeHGlobal(c.Parameters);
      Marshal.FreeHGlobal(c.InstallSha256);
      Marshal.FreeHGlobal(c.InstallSigner);
      Marshal.FreeHGlobal(c.LauncherSha256);
      Marshal.FreeHGlobal(c.OutcomePath);
    }
  }

  // Calls once for the length, then with room for the text.
  static string ReadText(TextCall call, out int code) {
    UIntPtr length;
    call(null, UIntPtr.Zero, out length);
    var buffer = new byte[(int)length.ToUInt32() + 1];
    code = call(buffer, (UIntPtr)buffer.Length, out length);
    return Encoding.UTF8.GetString(buffer, 0, (int)length.ToUInt32());
  }

  /// <summary>
  /// The stable name of a code: "mutex-not-held" and so on.
  /// </summary>
  public static string CodeName(ProblemCode code) {
    return CodeName((int)code);
  }

  /// <summary>
  /// The stable name of a code number, as the C interface names it.
  /// </summary>
  public static string CodeName(int code) {
    CheckVersion();
    return Marshal.PtrToStringAnsi(reinstall_code_name(code)) ?? "";
  }

  static Problem ReadProblem(ProblemCall call) {
    int field = 0;
    uint error = 0;
    int code;
    string message = ReadText((byte[]? b, UIntPtr n, out UIntPtr l) =>
        call(out field, out error, b, n, out l), out code);
    return new Problem {
      Code = (ProblemCode)code, Name = CodeName(code),
      Field = field >= 0 && field < Fields.Length ? Fields[field] : "", SystemError = error,
      Message = message
    };
  }

  /// <summary>
  /// The launcher's exact command line; throws HandoverException for a value it cannot pass.
  /// </summary>
  public static string BuildCommandLine(HandoverRequest request) {
    request = Resolved(request);
    List<Problem> refused = Refusals(request);
    if (refused.Count > 0)
      throw new HandoverException(refused[0].Field, "reinstall hand-over: " + refused[0].Message);
    return WithRequest(request, c => {
      int field = 0;
      int code;
      string text = ReadText((byte[]? b, UIntPtr n, out UIntPtr l) =>
          reinstall_build_command_line(ref c, b, n, out l, out field), out code);
      if (code != 0) throw new HandoverException(Fields[field], text);
      return text;
    });
  }

  /// <summary>
  /// Every problem that would make the hand-over fail; empty when none.
  /// </summary>
  public static List<Problem> Preflight(HandoverRequest request) {
    request = Resolved(request);
    List<Problem> refused = Refusals(request);
    if (refused.Count > 0) return refused;
    if (request.LauncherUnchecked) return new List<Problem> { UncheckedLauncher(request) };
    return WithRequest(request, c => {
      ProblemsHandle handle;
      int code = reinstall_preflight(ref c, out handle);
      using (handle) {
        if (code != 0) throw new OutOfMemoryException(CodeName(code));
        var problems = new List<Problem>();
        uint count = reinstall_problems_count(handle).ToUInt32();
        for (uint i = 0; i < count; ++i) {
          uint index = i;
          problems.Add(ReadProblem(
              (out int f, out uint e, byte[]? b, UIntPtr n, out UIntPtr l) =>
                  reinstall_problems_get(handle, (UIntPtr)index, out f, out e, b, n, out l)));
        }
        return problems;
      }
    });
  }

  /// <summary>
  /// Starts the launcher and confirms for confirmMs (at most 2000) that it runs.
  /// </summary>
  public static HandoverResult HandOver(HandoverRequest request, uint confirmMs = 250) {
    request = Resolved(request);
    List<Problem> refused = Refusals(request);
    if (refused.Count > 0)
      return new HandoverResult { Ok = false, Step = HandoverStep.CheckRequest, Problem = refused[0] };
    if (request.LauncherUnchecked)
      return new HandoverResult {
        Ok = false, Step = HandoverStep.Verify, Problem = UncheckedLauncher(request)
      };
    return WithRequest(request, c => {
      HandoverHandle handle;
      int code = reinstall_hand_over(ref c, confirmMs, out handle);
      using (handle) {
        if (handle.IsInvalid) throw new OutOfMemoryException(CodeName(code));
        uint flags = reinstall_handover_flags(handle);
        return new HandoverResult {
          Ok = code == 0, Step = (HandoverStep)reinstall_handover_step(handle),
          Problem = ReadProblem((out int f, out uint e, byte[]? b, UIntPtr n, out UIntPtr l) =>
              reinstall_handover_problem(handle, out f, out e, b, n, out l)),
          BrokeAway = (flags & 1) != 0, RemainsInJob = (flags & 2) != 0,
          JobKillsOnClose = (flags & 4) != 0, ForegroundAllowed = (flags & 8) != 0,
          LauncherId = reinstall_handover_launcher_id(handle)
        };
      }
    });
  }

  /// <summary>
  /// How the last hand-over that recorded to path ended, read at the application's next start.
  /// </summary>
  public static OutcomeRecord ReadOutcome(string path) {
    CheckVersion();
    string? why = Refusal("outcomePath", path);
    if (why != null) throw new HandoverException("outcomePath", "reinstall hand-over: " + why);
    IntPtr utf8 = Utf8(path);
    IntPtr handle = IntPtr.Zero;
    try {
      int code = reinstall_read_outcome(utf8, out handle);
      if (code != 0) throw new OutOfMemoryException(CodeName(code));
      var texts = new string[7];
      for (int which = 0; which < 7; ++which) {
        int ignored;
        texts[which] = ReadText((byte[]? b, UIntPtr n, out UIntPtr l) =>
            reinstall_outcome_text(handle, which, b, n, out l), out ignored);
      }
      return new OutcomeRecord {
        State = OutcomeStates[reinstall_outcome_state(handle)], Outcome = texts[0],
        SystemError = reinstall_outcome_system_error(handle), LauncherVersion = texts[1],
        Started = texts[2], Ended = texts[3], MutexName = texts[4], InstallPath = texts[5],
        Sentence = texts[6]
      };
    } finally {
      if (handle != IntPtr.Zero) reinstall_outcome_release(handle);
      Marshal.FreeHGlobal(utf8);
    }
  }

  /// <summary>
  /// A path for application's outcome record in the user's local application data (its folders
  /// created); throws ArgumentException when there is none.
  /// </summary>
  public static string DefaultOutcomePath(string application) {
    CheckVersion();
    IntPtr utf8 = Utf8(application);
    try {
      int code;
      string path = ReadText((byte[]? b, UIntPtr n, out UIntPtr l) =>
          reinstall_default_outcome_path(utf8, b, n, out l), out code);
      if (code != 0) throw new ArgumentException("no outcome path for " + application);
      return path;
    } finally {
      Marshal.FreeHGlobal(utf8);
    }
  }

  /// <summary>
  /// The SHA-256 thumbprint of the certificate that signed this process's program; "" when it is
  /// unsigned or natively. InstallSigner = { SignerOfThisProgram() } accepts installers signed as
  /// the application is.
  /// </summary>
  public static string SignerOfThisProgram() {
    CheckVersion();
    int code;
    string signer = ReadText((byte[]? b, UIntPtr n, out UIntPtr l) =>
        reinstall_signer_of_this_program(b, n, out l), out code);
    if (code != 0) throw new OutOfMemoryException(CodeName(code));
    return signer;
  }

  /// <summary>
  /// Removes the install file's mark of origin (Windows: its Zone.Identifier stream, which
  /// Preflight reports as install-file-marked) once the application has verified the file: true
  /// when a mark was removed, false when there was none. Throws IOException when it could not be
  /// removed.
  /// </summary>
  public static bool RemoveDownloadMark(string installPath) {
    CheckVersion();
    string? why = Refusal("installPath", installPath);
    if (why != null) throw new HandoverException("installPath", "reinstall hand-over: " + why);
    IntPtr utf8 = Utf8(installPath);
    try {
      int removed;
      uint error;
      int code = reinstall_remove_download_mark(utf8, out removed, out error);
      if (code != 0)
        throw new System.IO.IOException("cannot remove the mark of " + installPath + ": " +
                                        CodeName(code) + " (system error " + error + ")");
      return removed == 1;
    } finally {
      Marshal.FreeHGlobal(utf8);
    }
  }

  /// <summary>
  /// The application's mutex, held until disposed (on the thread that created it) or until the
  /// process ends, even when the object itself is no longer referenced. Throws
  /// MutexUnavailableException, whose SystemError tells why, when it cannot be had;
  /// HandoverException for a name the hand-over would refuse.
  /// </summary>
  public sealed class ApplicationMutex : IDisposable {
    // Keeps every undisposed mutex from the finalizer, which would otherwise release it at a
    // garbage collection while the application still runs.
    static readonly HashSet<MutexHandle> Held = new HashSet<MutexHandle>();
    MutexHandle handle;

    /// <summary>
    /// Creates and holds the mutex `name`.
    /// </summary>
    public ApplicationMutex(string name) {
      CheckVersion();
      string? why = Refusal("mutexName", name);
      if (why != null) throw new HandoverException("mutexName", "reinstall hand-over: " + why);
      IntPtr utf8 = Utf8(name);
      int code;
      uint error;
      try {
        code = reinstall_mutex_create(utf8, out handle, out error);
      } finally {
        Marshal.FreeHGlobal(utf8);
      }
      if (code == MutexUnavailable) {
        handle.Dispose();
        throw new MutexUnavailableException(
            "cannot hold the mutex " + name + " (system error " + error + ")", error);
      }
      if (code != 0) {
        handle.Dispose();
        throw new HandoverException("mutexName",
                                    "cannot hold the mutex " + name + ": " + CodeName(code));
      }
      lock (Held) Held.Add(handle);
      Name = name;
    }

    /// <summary>
    /// The code's stable name: "mutex-not-held" and so on.
    /// </summary>
    public string Name { get; }

    /// <summary>
    /// Releases the mutex.
    /// </summary>
    public void Dispose() {
      lock (Held) Held.Remove(handle);
      handle.Dispose();
    }
  }
}

}  // namespace Reinstall
