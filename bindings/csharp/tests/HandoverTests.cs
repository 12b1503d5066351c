// The C# binding against the native C interface library: the golden vectors and refusals every
// binding shares, a real hand-over, and what only this binding does (its lookup of the
// package's binaries, its refusals before the C interface is called).
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Runtime.InteropServices;
using System.Text;
using System.Text.Json;
using System.Threading;
using Reinstall;
using Xunit;

public class HandoverTests : IDisposable {
  static readonly string Root = Environment.GetEnvironmentVariable("REINSTALL_SOURCE_DIR") ?? "";
  static readonly string Build = Environment.GetEnvironmentVariable("REINSTALL_BUILD_DIR") ?? "";
  readonly string folder = Directory.CreateTempSubdirectory("reinstall-csharp-").FullName;

  public HandoverTests() {
    // Every mutex of these tests is a lock file in a folder of its own.
    SetNativeEnvironment("XDG_RUNTIME_DIR", folder);
  }

  // .NET keeps its own copy of the environment: the C library, and what it starts, read this one.
  [DllImport("libc", EntryPoint = "setenv")]
  static extern int SetEnv(string name, string value, int overwrite);

  static void SetNativeEnvironment(string name, string value) => Assert.Equal(0, SetEnv(name, value, 1));

  public void Dispose() => Directory.Delete(folder, true);

  static JsonElement Vectors(string part, string file = "handover.json") {
    var json = File.ReadAllBytes(Path.Combine(Root, "tests", "vectors", file));
    return JsonDocument.Parse(json).RootElement.GetProperty(part);
  }

  // The string `name` of `item`, unpaired surrogates and all (which GetString refuses).
  static string? Text(JsonElement item, string name) {
    if (!item.TryGetProperty(name, out JsonElement value) || value.ValueKind == JsonValueKind.Null)
      return null;
    string raw = value.GetRawText();
    var text = new StringBuilder();
    for (int i = 1; i < raw.Length - 1; ++i) {
      if (raw[i] != '\\') {
        text.Append(raw[i]);
      } else if (raw[++i] == 'u') {
        text.Append((char)Convert.ToInt32(raw.Substring(i + 1, 4), 16));
        i += 4;
      } else {
        text.Append(raw[i] switch { 'n' => '\n', 'r' => '\r', 't' => '\t', 'b' => '\b', 'f' => '\f',
                                    _ => raw[i] });
      }
    }
    return text.ToString();
  }

  [Fact]
  public void GoldenVectors() {
    var items = Vectors("vectors").EnumerateArray().ToList();
    Assert.NotEmpty(items);
    foreach (JsonElement item in items) {
      var request = new HandoverRequest(Text(item, "launcher"), Text(item, "mutexName")!,
                                        Text(item, "installPath")!, Text(item, "parameters")!) {
        InstallSha256 = Text(item, "installSha256") ?? "",
        InstallSigner = item.TryGetProperty("installSigner", out JsonElement signers)
                            ? signers.EnumerateArray().Select(s => s.GetString()!).ToList()
                            : new List<string>(),
        LauncherSha256 = Text(item, "launcherSha256") ?? ""
      };
      string? expected = Text(item, "commandLine");
      if (expected != null) {
        Assert.Equal(expected, ReinstallHandover.BuildCommandLine(request));
      } else {
        var e = Assert.Throws<HandoverException>(() => ReinstallHandover.BuildCommandLine(request));
        Assert.Equal((Text(item, "refusedField"), Text(item, "refusal")), (e.Field, e.Message));
      }
    }
  }

  [Fact]
  public void GoldenOutcomeRecords() {
    int i = 0;
    foreach (JsonElement item in Vectors("records", "outcomes.json").EnumerateArray()) {
      string at = Path.Combine(folder, "outcome" + i++ + ".json");
      string? text = Text(item, "text");
      if (text != null) File.WriteAllBytes(at, Encoding.UTF8.GetBytes(text));
      OutcomeRecord read = ReinstallHandover.ReadOutcome(at);
      Assert.Equal((Text(item, "about"), Text(item, "state"), Text(item, "outcome"),
                    item.GetProperty("systemError").GetUInt32(), Text(item, "launcherVersion"),
                    Text(item, "started"), Text(item, "ended"), Text(item, "mutexName"),
                    Text(item, "installPath"), Text(item, "sentence")),
                   (Text(item, "about"), read.State, read.Outcome, read.SystemError,
                    read.LauncherVersion, read.Started, read.Ended, read.MutexName,
                    read.InstallPath, read.Sentence));
    }
  }

  [Fact]
  public void GoldenRefusals() {
    int checkedCount = 0;
    foreach (JsonElement item in Vectors("refusals").EnumerateArray()) {
      string kind = Text(item, "kind")!, field = Text(item, "field")!;
      if (kind != "nul" && kind != "surrogate") continue;
      var values = new Dictionary<string, string> {
        {"launcher", "/r"}, {"mutexName", "m"}, {"installPath", "/x"}, {"parameters", ""}
      };
      values[field] = Text(item, "value")!;
      var request = new HandoverRequest(values["launcher"], values["mutexName"],
                                        values["installPath"], values["parameters"]);
      Assert.Contains(ReinstallHandover.Preflight(request),
                      p => p.Name == "invalid-value" && p.Field == field);
      Assert.Equal(field, Assert.Throws<HandoverException>(
                              () => ReinstallHandover.BuildCommandLine(request)).Field);
      HandoverResult result = ReinstallHandover.HandOver(request);
      Assert.Equal((false, HandoverStep.CheckRequest, field),
                   (result.Ok, result.Step, result.Problem.Field));
      ++checkedCount;
    }
    Assert.Equal(5, checkedCount);
  }

  static Dictionary<string, string>? WaitForRecord(string path, int ms) {
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

  [Fact]
  public void ARealHandOver() {
    string record = Path.Combine(folder, "installer.txt");
    SetNativeEnvironment("STUB_INSTALLER_RECORD", record);
    string installer = Path.Combine(folder, "setup");
    File.Copy(Path.Combine(Build, "tests", "integration", "stub_installer"), installer);
    // Verified: the digest reaches the launcher, which checks it again before it waits.
    string digest;
    using (var sha = System.Security.Cryptography.SHA256.Create())
      digest = BitConverter.ToString(sha.ComputeHash(File.ReadAllBytes(installer))).Replace("-", "");
    string outcome = Path.Combine(folder, "outcome.json");
    var request = new HandoverRequest(Path.Combine(Build, "reinstall"), "csharp-app", installer,
                                      "/S /D=x") { InstallSha256 = digest, OutcomePath = outcome };
    using (var mutex = new ReinstallHandover.ApplicationMutex("csharp-app")) {
      var taken = Assert.Throws<MutexUnavailableException>(
          () => new ReinstallHandover.ApplicationMutex("csharp-app"));
      Assert.Equal(11u, taken.SystemError);  // EAGAIN: another holder
      Assert.Empty(ReinstallHandover.Preflight(request));
      Assert.Equal("", ReinstallHandover.SignerOfThisProgram());
      Assert.False(ReinstallHandover.RemoveDownloadMark(installer), "natively nothing is marked");
      HandoverResult result = ReinstallHandover.HandOver(request);
      Assert.True(result.Ok && result.LauncherId > 0, result.Problem.Message);
      Assert.Null(WaitForRecord(record, 500));  // the launcher waits for the application
    }
    Assert.Equal("/S|/D=x", WaitForRecord(record, 6000)?["args"]);
    OutcomeRecord ended = ReinstallHandover.ReadOutcome(outcome);
    for (int i = 0; i < 50 && ended.Outcome == "handed-over"; ++i) {
      Thread.Sleep(100);
      ended = ReinstallHandover.ReadOutcome(outcome);
    }
    Assert.Equal(("installer-started", "csharp-app", installer),
                 (ended.Outcome, ended.MutexName, ended.InstallPath));
  }

  [Fact]
  public void ProblemsCarryCodeFieldAndMessage() {
    var problems = ReinstallHandover.Preflight(
        new HandoverRequest("/nonexistent/reinstall", "a\\b", "setup", ""));
    Assert.Equal(new[] {"mutex-name-invalid:mutexName", "install-path-relative:installPath",
                        "launcher-missing:launcher"},
                 problems.Select(p => p.Name + ":" + p.Field));
    // Codes only Windows gives come through by their names too.
    Assert.Equal(("path-too-long", "install-file-marked"),
                 (ReinstallHandover.CodeName(14), ReinstallHandover.CodeName(16)));
    HandoverResult result = ReinstallHandover.HandOver(
        new HandoverRequest("/nonexistent/reinstall", "m", "/bin/true", ""));
    Assert.Equal((false, HandoverStep.StartProcess, ProblemCode.StartFailed),
                 (result.Ok, result.Step, result.Problem.Code));
    // The enum names the codes as the C interface does: MutexNotHeld is "mutex-not-held".
    foreach (ProblemCode code in Enum.GetValues<ProblemCode>()) {
      string kebab = System.Text.RegularExpressions.Regex.Replace(
          code.ToString(), "(?<=[a-z])([A-Z])", "-$1").ToLowerInvariant();
      Assert.Equal(kebab, ReinstallHandover.CodeName(code));
    }
  }

  // The runtime identifier the binaries are looked for under is the process's architecture's,
  // and only x86 and x64 are shipped.
  [Theory]
  [InlineData(true, Architecture.X86, "win-x86")]
  [InlineData(true, Architecture.X64, "win-x64")]
  [InlineData(false, Architecture.X64, "linux-x64")]
  [InlineData(true, Architecture.Arm64, null)]
  public void RuntimeIdentifiers(bool windows, Architecture architecture, string? expected) {
    if (expected != null) {
      Assert.Equal(expected, ReinstallHandover.RuntimeIdentifierFor(windows, architecture));
    } else {
      var e = Assert.Throws<PlatformNotSupportedException>(
          () => ReinstallHandover.RuntimeIdentifierFor(windows, architecture));
      Assert.Contains("win-arm64", e.Message);
      Assert.Contains("win-x64", e.Message);
    }
  }

  [Fact]
  public void ABinaryOfAnotherMachineOrNoneIsReported() {
    // An x86 ELF file where this x64 process looks for its binary: the application's own folder.
    string other = Path.Combine(AppContext.BaseDirectory, "reinstall-of-another-machine");
    byte[] elf = new byte[64];
    elf[0] = 0x7F; elf[1] = (byte)'E'; elf[2] = (byte)'L'; elf[3] = (byte)'F'; elf[18] = 3;
    File.WriteAllBytes(other, elf);
    try {
      var e = Assert.Throws<BadImageFormatException>(
          () => ReinstallHandover.PackagedFile(Path.GetFileName(other)));
      Assert.Contains("built for x86, this process is x64", e.Message);
    } finally {
      File.Delete(other);
    }
    var missing = Assert.Throws<DllNotFoundException>(
        () => ReinstallHandover.PackagedFile("reinstall-nowhere"));
    Assert.Contains(Path.Combine("runtimes", "linux-x64", "native"), missing.Message);
  }

  [Fact]
  public void ANulInAMutexNameIsRefusedAndCreatesNothing() {
    var e = Assert.Throws<HandoverException>(
        () => new ReinstallHandover.ApplicationMutex("csharp-nul\0x"));
    Assert.Equal("mutexName", e.Field);
    Assert.Empty(Directory.GetFiles(folder));
    new ReinstallHandover.ApplicationMutex("csharp-nul").Dispose();  // "csharp-nul" is free
  }

  // A mutex nobody references any more stays held: the finalizer must not release it.
  [Fact]
  public void AnUnreferencedMutexStaysHeld() {
    Hold("csharp-gc");
    GC.Collect();
    GC.WaitForPendingFinalizers();
    Assert.Throws<MutexUnavailableException>(
        () => new ReinstallHandover.ApplicationMutex("csharp-gc"));
  }

  static void Hold(string name) => new ReinstallHandover.ApplicationMutex(name);
}
