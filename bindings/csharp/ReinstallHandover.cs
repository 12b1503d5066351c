// Hand over to the reinstall launcher from .NET (WinForms, WPF, console): P/Invoke over the C
// interface (reinstall_handover.dll; libreinstall_handover.so natively, e.g. with Mono).
//
//   using var mutex = new ReinstallHandover.ApplicationMutex("MyCompany.MyApp");  // keep it
//   var request = new HandoverRequest(launcher, "MyCompany.MyApp", installer, "/S");
//   if (ReinstallHandover.Preflight(request).Count == 0 && ReinstallHandover.HandOver(request).Ok)
//     Application.Exit();
using System;
using System.Collections.Generic;
using System.Runtime.InteropServices;
using System.Text;

namespace Reinstall {

public sealed class HandoverRequest {
  public HandoverRequest(string launcher, string mutexName, string installPath,
                         string parameters = "") {
    Launcher = launcher;
    MutexName = mutexName;
    InstallPath = installPath;
    Parameters = parameters ?? "";
  }
  public string Launcher { get; }
  public string MutexName { get; }
  public string InstallPath { get; }
  public string Parameters { get; }
}

public sealed class Problem {
  public int Code { get; internal set; }
  public string Name { get; internal set; }   // the stable name: "mutex-not-held" and so on
  public string Field { get; internal set; }  // "", "launcher", "mutexName", ...
  public uint SystemError { get; internal set; }
  public string Message { get; internal set; }
}

public sealed class HandoverResult {
  public bool Ok { get; internal set; }
  public int Step { get; internal set; }  // 0 none, 1 check request, 2 start, 3 breakaway, 4 confirm
  public Problem Problem { get; internal set; }
  public bool BrokeAway { get; internal set; }
  public bool RemainsInJob { get; internal set; }
  public bool JobKillsOnClose { get; internal set; }
  public uint LauncherId { get; internal set; }
}

// A value the launcher could not receive intact; Field names it.
public sealed class HandoverException : ArgumentException {
  public HandoverException(string field, string message) : base(message) { Field = field; }
  public string Field { get; }
}

// The application's mutex could not be had: another process holds it (SystemError is
// ERROR_ALREADY_EXISTS on Windows, EAGAIN natively) or the system refused it.
public sealed class MutexUnavailableException : InvalidOperationException {
  public MutexUnavailableException(string message, uint systemError) : base(message) {
    SystemError = systemError;
  }
  public uint SystemError { get; }
}

public static class ReinstallHandover {
  // The C interface this binding speaks: the same major, a minor at least this new.
  public const uint InterfaceMajor = 2, InterfaceMinor = 1;
  const int InvalidValue = 1, MutexUnavailable = 15;
  const string Library = "reinstall_handover";
  static readonly string[] Fields = {"", "launcher", "mutexName", "installPath", "parameters",
                                     "confirm"};
  static readonly UTF8Encoding StrictUtf8 = new UTF8Encoding(false, true);

  [StructLayout(LayoutKind.Sequential)]
  struct Request {
    public uint Size;
    public IntPtr Launcher, MutexName, InstallPath, Parameters;
  }

  delegate int TextCall(byte[] buffer, UIntPtr size, out UIntPtr length);
  delegate int ProblemCall(out int field, out uint error, byte[] buffer, UIntPtr size,
                           out UIntPtr length);

  [DllImport(Library, CallingConvention = CallingConvention.Cdecl)] static extern uint reinstall_interface_version();
  [DllImport(Library, CallingConvention = CallingConvention.Cdecl)] static extern IntPtr reinstall_code_name(int code);
  [DllImport(Library, CallingConvention = CallingConvention.Cdecl)] static extern int reinstall_build_command_line(
      ref Request request, byte[] buffer, UIntPtr size, out UIntPtr length, out int field);
  [DllImport(Library, CallingConvention = CallingConvention.Cdecl)] static extern int reinstall_mutex_create(IntPtr name, out IntPtr mutex, out uint error);
  [DllImport(Library, CallingConvention = CallingConvention.Cdecl)] static extern void reinstall_mutex_release(IntPtr mutex);
  [DllImport(Library, CallingConvention = CallingConvention.Cdecl)] static extern int reinstall_preflight(ref Request request,
                                                              out IntPtr problems);
  [DllImport(Library, CallingConvention = CallingConvention.Cdecl)] static extern UIntPtr reinstall_problems_count(IntPtr problems);
  [DllImport(Library, CallingConvention = CallingConvention.Cdecl)] static extern int reinstall_problems_get(
      IntPtr problems, UIntPtr index, out int field, out uint error, byte[] buffer, UIntPtr size,
      out UIntPtr length);
  [DllImport(Library, CallingConvention = CallingConvention.Cdecl)] static extern void reinstall_problems_release(IntPtr problems);
  [DllImport(Library, CallingConvention = CallingConvention.Cdecl)] static extern int reinstall_hand_over(ref Request request, uint confirmMs,
                                                              out IntPtr handover);
  [DllImport(Library, CallingConvention = CallingConvention.Cdecl)] static extern int reinstall_handover_step(IntPtr handover);
  [DllImport(Library, CallingConvention = CallingConvention.Cdecl)] static extern int reinstall_handover_problem(
      IntPtr handover, out int field, out uint error, byte[] buffer, UIntPtr size,
      out UIntPtr length);
  [DllImport(Library, CallingConvention = CallingConvention.Cdecl)] static extern uint reinstall_handover_flags(IntPtr handover);
  [DllImport(Library, CallingConvention = CallingConvention.Cdecl)] static extern uint reinstall_handover_launcher_id(IntPtr handover);
  [DllImport(Library, CallingConvention = CallingConvention.Cdecl)] static extern void reinstall_handover_release(IntPtr handover);
  [DllImport(Library, CallingConvention = CallingConvention.Cdecl)] static extern int reinstall_remove_download_mark(
      IntPtr path, out int removed, out uint error);

  static bool checkedVersion;

  static void CheckVersion() {
    if (checkedVersion) return;
    uint version = reinstall_interface_version();
    if (version >> 16 != InterfaceMajor || (version & 0xFFFF) < InterfaceMinor)
      throw new InvalidOperationException(
          "reinstall_handover interface " + (version >> 16) + "." + (version & 0xFFFF) +
          ", this binding speaks " + InterfaceMajor + "." + InterfaceMinor);
    checkedVersion = true;
  }

  // Why `text` cannot be passed at all, or null: a NUL would end it early, and an unpaired
  // surrogate has no UTF-8 (the default encoder would pass U+FFFD in its place).
  static string Refusal(string field, string text) {
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
    string[] values = {request.Launcher, request.MutexName, request.InstallPath,
                       request.Parameters};
    for (int i = 0; i < values.Length; ++i) {
      string why = Refusal(Fields[i + 1], values[i]);
      if (why != null)
        problems.Add(new Problem {
          Code = InvalidValue, Name = "invalid-value", Field = Fields[i + 1], Message = why
        });
    }
    return problems;
  }

  // NUL-terminated UTF-8 in unmanaged memory; free with Marshal.FreeHGlobal.
  static IntPtr Utf8(string text) {
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
      InstallPath = Utf8(request.InstallPath), Parameters = Utf8(request.Parameters)
    };
    try {
      return use(c);
    } finally {
      Marshal.FreeHGlobal(c.Launcher);
      Marshal.FreeHGlobal(c.MutexName);
      Marshal.FreeHGlobal(c.InstallPath);
      Marshal.FreeHGlobal(c.Parameters);
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

  public static string CodeName(int code) {
    return Marshal.PtrToStringAnsi(reinstall_code_name(code));
  }

  static Problem ReadProblem(ProblemCall call) {
    int field = 0;
    uint error = 0;
    int code;
    string message = ReadText((byte[] b, UIntPtr n, out UIntPtr l) =>
        call(out field, out error, b, n, out l), out code);
    return new Problem {
      Code = code, Name = CodeName(code),
      Field = field >= 0 && field < Fields.Length ? Fields[field] : "", SystemError = error,
      Message = message
    };
  }

  // The launcher's exact command line; throws HandoverException for a value it cannot pass.
  public static string BuildCommandLine(HandoverRequest request) {
    List<Problem> refused = Refusals(request);
    if (refused.Count > 0)
      throw new HandoverException(refused[0].Field, "reinstall hand-over: " + refused[0].Message);
    return WithRequest(request, c => {
      int field = 0;
      int code;
      string text = ReadText((byte[] b, UIntPtr n, out UIntPtr l) =>
          reinstall_build_command_line(ref c, b, n, out l, out field), out code);
      if (code != 0) throw new HandoverException(Fields[field], text);
      return text;
    });
  }

  // Every problem that would make the hand-over fail; empty when none.
  public static List<Problem> Preflight(HandoverRequest request) {
    List<Problem> refused = Refusals(request);
    if (refused.Count > 0) return refused;
    return WithRequest(request, c => {
      IntPtr handle;
      int code = reinstall_preflight(ref c, out handle);
      if (code != 0) throw new OutOfMemoryException(CodeName(code));
      try {
        var problems = new List<Problem>();
        uint count = reinstall_problems_count(handle).ToUInt32();
        for (uint i = 0; i < count; ++i) {
          uint index = i;
          problems.Add(ReadProblem(
              (out int f, out uint e, byte[] b, UIntPtr n, out UIntPtr l) =>
                  reinstall_problems_get(handle, (UIntPtr)index, out f, out e, b, n, out l)));
        }
        return problems;
      } finally {
        reinstall_problems_release(handle);
      }
    });
  }

  // Starts the launcher and confirms for confirmMs (at most 2000) that it runs.
  public static HandoverResult HandOver(HandoverRequest request, uint confirmMs = 250) {
    List<Problem> refused = Refusals(request);
    if (refused.Count > 0) return new HandoverResult { Ok = false, Step = 1, Problem = refused[0] };
    return WithRequest(request, c => {
      IntPtr handle;
      int code = reinstall_hand_over(ref c, confirmMs, out handle);
      if (handle == IntPtr.Zero) throw new OutOfMemoryException(CodeName(code));
      try {
        uint flags = reinstall_handover_flags(handle);
        return new HandoverResult {
          Ok = code == 0, Step = reinstall_handover_step(handle),
          Problem = ReadProblem((out int f, out uint e, byte[] b, UIntPtr n, out UIntPtr l) =>
              reinstall_handover_problem(handle, out f, out e, b, n, out l)),
          BrokeAway = (flags & 1) != 0, RemainsInJob = (flags & 2) != 0,
          JobKillsOnClose = (flags & 4) != 0, LauncherId = reinstall_handover_launcher_id(handle)
        };
      } finally {
        reinstall_handover_release(handle);
      }
    });
  }

  // Removes the install file's mark of origin (Windows: its Zone.Identifier stream, which
  // Preflight reports as install-file-marked) once the application has verified the file: true
  // when a mark was removed, false when there was none. Throws IOException when it could not be
  // removed.
  public static bool RemoveDownloadMark(string installPath) {
    CheckVersion();
    string why = Refusal("installPath", installPath);
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

  // The application's mutex, held until disposed (on the thread that created it) or until the
  // process ends. Throws MutexUnavailableException, whose SystemError tells why, when it cannot
  // be had; HandoverException for a name the hand-over would refuse.
  public sealed class ApplicationMutex : IDisposable {
    IntPtr handle;

    public ApplicationMutex(string name) {
      CheckVersion();
      string why = Refusal("mutexName", name);
      if (why != null) throw new HandoverException("mutexName", "reinstall hand-over: " + why);
      IntPtr utf8 = Utf8(name);
      int code;
      uint error;
      try {
        code = reinstall_mutex_create(utf8, out handle, out error);
      } finally {
        Marshal.FreeHGlobal(utf8);
      }
      if (code == MutexUnavailable)
        throw new MutexUnavailableException(
            "cannot hold the mutex " + name + " (system error " + error + ")", error);
      if (code != 0)
        throw new HandoverException("mutexName",
                                    "cannot hold the mutex " + name + ": " + CodeName(code));
      Name = name;
    }

    public string Name { get; }

    public void Dispose() {
      if (handle != IntPtr.Zero) {
        reinstall_mutex_release(handle);
        handle = IntPtr.Zero;
      }
    }
  }
}

}  // namespace Reinstall
