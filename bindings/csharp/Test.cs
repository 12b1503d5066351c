// The C# binding against the native shared library (Mono): the golden vectors and a real
// hand-over. Usage: mono test.exe ROOT BUILD (REINSTALL_HANDOVER_LIBRARY naming the library). Prints
// "N passed, M failed".
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Runtime.InteropServices;
using System.Runtime.Serialization.Json;
using System.Text;
using System.Threading;
using System.Xml;
using Reinstall;

static class Test {
  static int passed, failed;

  static void Check(bool condition, string what) {
    if (condition) {
      ++passed;
    } else {
      ++failed;
      Console.WriteLine("FAILED: " + what);
    }
  }

  static string Field(XmlNode item, string name) {
    XmlNode node = item.SelectSingleNode(name);
    return node == null ? null : node.InnerText;
  }

  static void GoldenVectors(string root) {
    byte[] json = File.ReadAllBytes(Path.Combine(root, "tests", "vectors", "handover.json"));
    var document = new XmlDocument();
    document.Load(JsonReaderWriterFactory.CreateJsonReader(json, XmlDictionaryReaderQuotas.Max));
    XmlNodeList items = document.SelectNodes("/root/vectors/item");
    Check(items.Count > 0, "vectors read");
    foreach (XmlNode item in items) {
      var request = new HandoverRequest(Field(item, "launcher"), Field(item, "mutexName"),
                                        Field(item, "installPath"), Field(item, "parameters"));
      string expected = Field(item, "commandLine");
      try {
        string line = ReinstallHandover.BuildCommandLine(request);
        Check(expected != null && line == expected, "command line of " + request.Parameters);
      } catch (HandoverException e) {
        Check(expected == null && e.Field == Field(item, "refusedField") &&
              e.Message == Field(item, "refusal"), "refusal of " + request.Parameters);
      }
    }
  }

  static void GoldenRefusals(string root) {
    byte[] json = File.ReadAllBytes(Path.Combine(root, "tests", "vectors", "handover.json"));
    var document = new XmlDocument();
    document.Load(JsonReaderWriterFactory.CreateJsonReader(json, XmlDictionaryReaderQuotas.Max));
    int checkedCount = 0;
    foreach (XmlNode item in document.SelectNodes("/root/refusals/item")) {
      string kind = Field(item, "kind"), field = Field(item, "field"), value = Field(item, "value");
      if (kind != "nul" && kind != "surrogate") continue;
      var values = new Dictionary<string, string> {
        {"launcher", "/r"}, {"mutexName", "m"}, {"installPath", "/x"}, {"parameters", ""}
      };
      values[field] = value;
      var request = new HandoverRequest(values["launcher"], values["mutexName"],
                                        values["installPath"], values["parameters"]);
      bool reported = false;
      foreach (Problem p in ReinstallHandover.Preflight(request))
        reported |= p.Name == "invalid-value" && p.Field == field;
      Check(reported, "preflight refuses " + kind + " in " + field);
      try {
        ReinstallHandover.BuildCommandLine(request);
        Check(false, "command line refuses " + kind + " in " + field);
      } catch (HandoverException e) {
        Check(e.Field == field, "command line refuses " + kind + " in " + field);
      }
      HandoverResult result = ReinstallHandover.HandOver(request);
      Check(!result.Ok && result.Step == HandoverStep.CheckRequest && result.Problem.Field == field,
            "hand-over refuses " + kind + " in " + field);
      ++checkedCount;
    }
    Check(checkedCount == 5, "refusals read: " + checkedCount);
  }

  static Dictionary<string, string> WaitForRecord(string path, int ms) {
    for (int waited = 0; waited < ms && !File.Exists(path); waited += 20) Thread.Sleep(20);
    if (!File.Exists(path)) return null;
    var record = new Dictionary<string, string>();
    var args = new List<string>();
    foreach (string line in File.ReadAllLines(path, Encoding.UTF8)) {
      int eq = line.IndexOf('=');
      if (eq < 0) continue;
      string value = line.Substring(eq + 1).Replace("\\\\", "\u0001").Replace("\\n", "\n")
                         .Replace("\\r", "\r").Replace("\u0001", "\\");
      if (line.Substring(0, eq) == "arg") args.Add(value);
      else record[line.Substring(0, eq)] = value;
    }
    record["args"] = string.Join("|", args);
    return record;
  }

  static void RealHandOver(string build) {
    string folder = Path.Combine(Path.GetTempPath(), "reinstall-csharp-" + Process.GetCurrentProcess().Id);
    Directory.CreateDirectory(folder);
    try {
      Environment.SetEnvironmentVariable("XDG_RUNTIME_DIR", folder);
      string record = Path.Combine(folder, "installer.txt");
      Environment.SetEnvironmentVariable("STUB_INSTALLER_RECORD", record);
      string installer = Path.Combine(folder, "setup");
      File.Copy(Path.Combine(build, "tests", "integration", "stub_installer"), installer);
      var request = new HandoverRequest(Path.Combine(build, "reinstall"), "csharp-app", installer,
                                        "/S /D=x");
      using (var mutex = new ReinstallHandover.ApplicationMutex("csharp-app")) {
        try {
          new ReinstallHandover.ApplicationMutex("csharp-app").Dispose();
          Check(false, "a second holder is refused");
        } catch (MutexUnavailableException e) {
          Check(e.SystemError == 11, "a second holder is refused with EAGAIN: " + e.SystemError);
        }
        Check(ReinstallHandover.Preflight(request).Count == 0, "preflight finds nothing");
        Check(!ReinstallHandover.RemoveDownloadMark(installer), "natively nothing is marked");
        HandoverResult result = ReinstallHandover.HandOver(request);
        Check(result.Ok && result.LauncherId > 0, "hand-over: " + result.Problem.Message);
        Check(WaitForRecord(record, 500) == null, "the launcher waits for the application");
      }
      Dictionary<string, string> installed = WaitForRecord(record, 6000);
      Check(installed != null && installed["args"] == "/S|/D=x", "installer started");
      UnreferencedMutexStaysHeld();
    } finally {
      Directory.Delete(folder, true);
    }
  }

  static void Problems() {
    var problems = ReinstallHandover.Preflight(
        new HandoverRequest("/nonexistent/reinstall", "a\\b", "setup", ""));
    var names = new List<string>();
    foreach (Problem p in problems) names.Add(p.Name + ":" + p.Field);
    Check(string.Join(",", names) ==
              "mutex-name-invalid:mutexName,install-path-relative:installPath," +
              "launcher-missing:launcher", string.Join(",", names));
    // Codes only Windows gives come through by their names too.
    Check(ReinstallHandover.CodeName(14) == "path-too-long" &&
              ReinstallHandover.CodeName(16) == "install-file-marked", "Windows-only code names");
    HandoverResult result = ReinstallHandover.HandOver(
        new HandoverRequest("/nonexistent/reinstall", "m", "/bin/true", ""));
    Check(!result.Ok && result.Step == HandoverStep.StartProcess &&
              result.Problem.Code == ProblemCode.StartFailed,
          "start failure: " + result.Problem.Name);
    // The enum names the codes as the C interface does: MutexNotHeld is "mutex-not-held".
    foreach (ProblemCode code in Enum.GetValues(typeof(ProblemCode))) {
      string kebab = System.Text.RegularExpressions.Regex.Replace(
          code.ToString(), "(?<=[a-z])([A-Z])", "-$1").ToLowerInvariant();
      Check(ReinstallHandover.CodeName(code) == kebab, code + " is " + kebab);
    }
  }

  // What only this binding does: the runtime identifier it looks under, its own check of the
  // binaries it finds, and its refusal of a name the C interface would cut at the NUL.
  static void OwnLookupAndRefusals() {
    Check(ReinstallHandover.RuntimeIdentifierFor(true, Architecture.X86) == "win-x86" &&
              ReinstallHandover.RuntimeIdentifierFor(false, Architecture.X64) == "linux-x64",
          "runtime identifiers");
    try {
      ReinstallHandover.RuntimeIdentifierFor(true, Architecture.Arm64);
      Check(false, "an Arm64 process is refused");
    } catch (PlatformNotSupportedException e) {
      Check(e.Message.Contains("win-arm64") && e.Message.Contains("win-x64"), e.Message);
    }
    // An x86 ELF file where this x64 process looks for its binary.
    string other = Path.Combine(AppContext.BaseDirectory, "reinstall-of-another-machine");
    byte[] elf = new byte[64];
    elf[0] = 0x7F; elf[1] = (byte)'E'; elf[2] = (byte)'L'; elf[3] = (byte)'F'; elf[18] = 3;
    File.WriteAllBytes(other, elf);
    try {
      ReinstallHandover.PackagedFile(Path.GetFileName(other));
      Check(false, "a binary of another machine is refused");
    } catch (BadImageFormatException e) {
      Check(e.Message.Contains("built for x86, this process is x64"), e.Message);
    } finally {
      File.Delete(other);
    }
    try {
      ReinstallHandover.PackagedFile("reinstall-nowhere");
      Check(false, "a missing binary is reported");
    } catch (DllNotFoundException e) {
      Check(e.Message.Contains(Path.Combine("runtimes", "linux-x64", "native")), e.Message);
    }
    Environment.SetEnvironmentVariable("XDG_RUNTIME_DIR", Path.GetTempPath());
    try {
      new ReinstallHandover.ApplicationMutex("csharp-nul\0x").Dispose();
      Check(false, "a NUL in a mutex name is refused");
    } catch (HandoverException e) {
      Check(e.Field == "mutexName", "a NUL in a mutex name is refused on " + e.Field);
    }
    new ReinstallHandover.ApplicationMutex("csharp-nul").Dispose();
  }

  // A mutex nobody references any more stays held: the finalizer must not release it.
  static void UnreferencedMutexStaysHeld() {
    new ReinstallHandover.ApplicationMutex("csharp-gc");
    GC.Collect();
    GC.WaitForPendingFinalizers();
    try {
      new ReinstallHandover.ApplicationMutex("csharp-gc").Dispose();
      Check(false, "an unreferenced mutex is still held after a collection");
    } catch (MutexUnavailableException) {
      Check(true, "an unreferenced mutex is still held after a collection");
    }
  }

  static int Main(string[] args) {
    GoldenVectors(args[0]);
    GoldenRefusals(args[0]);
    RealHandOver(args[1]);
    Problems();
    OwnLookupAndRefusals();
    Console.WriteLine(passed + " passed, " + failed + " failed");
    return failed == 0 ? 0 : 1;
  }
}
