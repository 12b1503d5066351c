// Plays the calling application under Wine. Reads a UTF-8 scenario file of key=value lines, every
// key below exactly once (tests/e2e/wineharness.py's scenario() writes them all):
//   object   mutex | event | none   the named object the application holds while it runs
//   name     its name
//   inherit  1 to create it inheritable (the launcher still inherits no handle), else 0
//   hold_ms  how long to hold it after starting the launcher; -1 holds it until the launcher ends
//   launcher the launcher's path (application name for CreateProcessW)
//   cmdline  the launcher's exact raw command line
//   inherit_handles  1 to let the launcher inherit the application's inheritable handles, else 0
//   cwd      the launcher's working directory (empty: caller.exe's own)
//   via      raw: CreateProcessW with cmdline; helper: the applications' hand-over helper with
//            the request install and params and the object's name; preflight: only the helper's
//            Preflight; read_outcome: only ReadOutcome(outcome)
//   install, params  the helper's request
//   confirm_ms  the helper's confirmation wait in ms, or "default"
//   job      none | kill | kill_breakaway: first put this process in a job that kills its
//            processes when it closes (at this process's exit), allowing breakaway or not
//   wait     1 to wait for the launcher before quitting, 0 to quit after hold_ms as a real
//            application does
//   zone     none, or N to mark the install file as downloaded from zone N (its Zone.Identifier
//            stream) before anything else
//   unmark   1 to remove that mark with the helper before the preflight (recorded as unmarked=1
//            when one was removed), else 0
//   hold_install  1 to keep the install file open for writing (as a download still in progress
//            would) while the helper runs, else 0
//   sha256   the helper's installSha256 ("" for none)
//   launcher_sha256  the helper's launcherSha256 ("" for none)
//   signer   the helper's installSigner, thumbprints between commas; "self" stands for
//            SignerOfThisProgram() (recorded as self_signer)
//   outcome  the helper's outcomePath ("" for none); with via=read_outcome, the record to read
//   tamper   1 to try, halfway through hold_ms, what another program of the user could do to the
//            install file while the launcher waits: open it for writing, rename it, delete it,
//            replace it with install + ".decoy", rename its folder (put back at once); each
//            recorded as its Win32 error, 0 when it worked; cue to let go only once a file
//            RECORD.go exists (the test makes it when it has changed what it wanted to change
//            while the launcher waits), or after 60 s
// A missing, unknown, repeated or malformed key ends the run with kBadScenario, before anything
// is created or started, so that a misspelt key cannot make a test pass without testing.
// Starts the launcher through the Unicode API, releases the object on cue, waits for the
// launcher, and writes times (Unix ms), its exit code and what the helper said to the record file.
// Usage: caller.exe SCENARIO RECORD
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <map>
#include <string>

#include "record.h"
#include "reinstall/handover.h"
#include "win_util.h"

namespace {

const char* const kKeys[] = {"object",
                             "name",
                             "inherit",
                             "hold_ms",
                             "launcher",
                             "cmdline",
                             "inherit_handles",
                             "cwd",
                             "via",
                             "install",
                             "params",
                             "confirm_ms",
                             "job",
                             "wait",
                             "zone",
                             "unmark",
                             "hold_install",
                             "sha256",
                             "signer",
                             "tamper",
                             "outcome",
                             "launcher_sha256"};

bool IsKey(const std::string& key) {
  for (const char* known : kKeys) {
    if (key == known) {
      return true;
    }
  }
  return false;
}

bool OneOf(const std::string& value, std::initializer_list<const char*> allowed) {
  for (const char* a : allowed) {
    if (value == a) {
      return true;
    }
  }
  return false;
}

// A whole decimal number of int range, optionally negative; nothing else.
bool ParseInt(const std::string& text, int* out) {
  if (text.empty() || text.size() > 10) {
    return false;
  }
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || !(text[0] == '-' || (text[0] >= '0' && text[0] <= '9'))) {
    return false;
  }
  *out = static_cast<int>(value);
  return true;
}

struct Scenario {
  std::map<std::string, std::string> values;
  int holdMs = 0;
  int confirmMs = -1;  // the helper's default

  const std::string& operator[](const char* key) const { return values.at(key); }
};

// Reads and checks the scenario file; false when it cannot be read or is not exactly the keys
// above with well-formed values.
bool ReadScenario(const std::wstring& path, Scenario* scenario) {
  FILE* in = _wfopen(path.c_str(), L"rb");
  if (in == nullptr) {
    return false;
  }
  std::string text;
  char buffer[4096];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof(buffer), in)) > 0) {
    text.append(buffer, n);
  }
  std::fclose(in);
  auto& values = scenario->values;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      end = text.size();
    }
    const std::string line = text.substr(start, end - start);
    const size_t eq = line.find('=');
    if (eq == std::string::npos || !IsKey(line.substr(0, eq)) ||
        !values.emplace(line.substr(0, eq), line.substr(eq + 1)).second) {
      return false;
    }
    start = end + 1;
  }
  if (values.size() != sizeof(kKeys) / sizeof(kKeys[0])) {
    return false;
  }
  const Scenario& s = *scenario;
  return OneOf(s["object"], {"mutex", "event", "none"}) &&
         OneOf(s["via"], {"raw", "helper", "preflight", "read_outcome"}) &&
         OneOf(s["job"], {"none", "kill", "kill_breakaway"}) && OneOf(s["inherit"], {"0", "1"}) &&
         OneOf(s["inherit_handles"], {"0", "1"}) && OneOf(s["wait"], {"0", "1"}) &&
         OneOf(s["zone"], {"none", "0", "1", "2", "3", "4"}) && OneOf(s["unmark"], {"0", "1"}) &&
         OneOf(s["hold_install"], {"0", "1"}) && OneOf(s["tamper"], {"0", "1", "cue"}) &&
         ParseInt(s["hold_ms"], &scenario->holdMs) && scenario->holdMs >= -1 &&
         (s["confirm_ms"] == "default" ||
          (ParseInt(s["confirm_ms"], &scenario->confirmMs) && scenario->confirmMs >= 0));
}

// caller.exe's exit codes.
enum CallerExit : int {
  kRecorded = 0,      // the record file was written
  kUsage = 2,         // no scenario or record path
  kNoObject = 3,      // the named object could not be created
  kNotStarted = 4,    // the raw CreateProcessW failed
  kRecordFailed = 5,  // the record file could not be written
  kNoJob = 7,         // the job could not be set up
  kBadScenario = 8,   // the scenario has a missing, unknown, repeated or malformed key
  kNoMark = 9,        // the install file could not be marked or held open
};

// Marks `path` as a browser marks a download from `zone`.
bool Mark(const std::string& path, const std::string& zone) {
  HANDLE stream = CreateFileW((e2e::Wide(path) + L":Zone.Identifier").c_str(), GENERIC_WRITE, 0,
                              nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (stream == INVALID_HANDLE_VALUE) {
    return false;
  }
  const std::string text = "[ZoneTransfer]\r\nZoneId=" + zone + "\r\n";
  DWORD written = 0;
  const bool ok =
      WriteFile(stream, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) != FALSE &&
      written == text.size();
  CloseHandle(stream);
  return ok;
}

// Puts this process in a job that kills its processes when its last handle closes: when this
// process exits, as for an application started by a browser, an IDE or a service host.
bool EnterJob(const std::string& kind) {
  if (kind == "none") {
    return true;
  }
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags =
      JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE |
      (kind == "kill_breakaway" ? JOB_OBJECT_LIMIT_BREAKAWAY_OK : 0);
  return job != nullptr &&
         SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits)) &&
         AssignProcessToJobObject(job, GetCurrentProcess());
  // The handle stays open until the process exits.
}

reinstall::HandoverRequest Request(const Scenario& scenario) {
  reinstall::HandoverRequest request{scenario["launcher"], scenario["name"], scenario["install"],
                                     scenario["params"]};
  request.installSha256 = scenario["sha256"];
  request.launcherSha256 = scenario["launcher_sha256"];
  request.outcomePath = scenario["outcome"];
  const std::string& signers = scenario["signer"];
  for (size_t start = 0; start < signers.size();) {
    const size_t end = std::min(signers.find(',', start), signers.size());
    const std::string signer = signers.substr(start, end - start);
    request.installSigner.push_back(signer == "self" ? reinstall::SignerOfThisProgram() : signer);
    start = end + 1;
  }
  return request;
}

// Does to the install file what another program of the same user could do while the launcher
// waits; each attempt's Win32 error (0: it worked) as "write:E,rename:E,delete:E,replace:E,
// folder:E".
std::string Tamper(const std::string& install) {
  const std::wstring path = e2e::Wide(install);
  const auto result = [](bool worked) { return std::to_string(worked ? 0 : GetLastError()); };
  HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  std::string text = "write:" + result(writer != INVALID_HANDLE_VALUE);
  if (writer != INVALID_HANDLE_VALUE) {
    CloseHandle(writer);
  }
  const bool renamed = MoveFileExW(path.c_str(), (path + L".moved").c_str(), 0) != FALSE;
  text += ",rename:" + result(renamed);
  text += ",delete:" + result(DeleteFileW(path.c_str()) != FALSE);
  text += ",replace:" + result(MoveFileExW((path + L".decoy").c_str(), path.c_str(),
                                           MOVEFILE_REPLACE_EXISTING) != FALSE);
  const std::wstring folder = path.substr(0, path.find_last_of(L"\\/"));
  const bool moved = MoveFileExW(folder.c_str(), (folder + L".moved").c_str(), 0) != FALSE;
  text += ",folder:" + result(moved);
  if (moved) {
    MoveFileExW((folder + L".moved").c_str(), folder.c_str(), 0);
  }
  return text;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr || argc < 3) {
    return kUsage;
  }
  Scenario scenario;
  const bool wellFormed = ReadScenario(argv[1], &scenario);
  const std::string recordPath = e2e::Utf8(argv[2]);
  LocalFree(argv);
  if (!wellFormed) {
    return kBadScenario;
  }
  if (!EnterJob(scenario["job"])) {
    return kNoJob;
  }
  if (scenario["zone"] != "none" && !Mark(scenario["install"], scenario["zone"])) {
    return kNoMark;
  }
  // Closed by the process's exit.
  if (scenario["hold_install"] == "1" &&
      CreateFileW(e2e::Wide(scenario["install"]).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr) == INVALID_HANDLE_VALUE) {
    return kNoMark;
  }
  const std::wstring name = e2e::Wide(scenario["name"]);
  const std::string& object = scenario["object"];

  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  LPSECURITY_ATTRIBUTES sa = scenario["inherit"] == "1" ? &inheritable : nullptr;
  HANDLE held = nullptr;
  if (object == "mutex") {
    held = CreateMutexW(sa, TRUE, name.c_str());
  } else if (object == "event") {
    held = CreateEventW(sa, TRUE, FALSE, name.c_str());
  }
  if (object != "none" && held == nullptr) {
    return kNoObject;
  }

  std::string text;
  if (scenario["via"] == "read_outcome") {
    const reinstall::OutcomeRecord record = reinstall::ReadOutcome(scenario["outcome"]);
    text = record::Line("state", std::to_string(static_cast<int>(record.state))) +
           record::Line("outcome", record.outcome) +
           record::Line("system_error", std::to_string(record.systemError)) +
           record::Line("sentence", record.sentence);
    return e2e::WriteWhole(recordPath, text) ? kRecorded : kRecordFailed;
  }
  if (scenario["via"] == "preflight") {
    if (scenario["unmark"] == "1") {
      std::uint32_t error = 0;
      const bool removed = reinstall::RemoveDownloadMark(scenario["install"], &error);
      text = record::Line("unmarked", removed ? "1" : "0") +
             record::Line("unmark_error", std::to_string(error));
    }
    std::string codes;
    for (const reinstall::Problem& problem : reinstall::Preflight(Request(scenario))) {
      codes += (codes.empty() ? "" : ",") + std::string(reinstall::ProblemCodeName(problem.code)) +
               ":" + problem.field;
    }
    text += record::Line("problems", codes);
    text += record::Line("self_signer", reinstall::SignerOfThisProgram());
    if (held != nullptr) {
      CloseHandle(held);
    }
    return e2e::WriteWhole(recordPath, text) ? kRecorded : kRecordFailed;
  }

  std::wstring cmdline = e2e::Wide(scenario["cmdline"]);
  const std::wstring launcher = e2e::Wide(scenario["launcher"]);
  const std::wstring cwd = e2e::Wide(scenario["cwd"]);
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  reinstall::HandoverResult handover;
  const double started = e2e::UnixMs();
  const DWORD startedTick = GetTickCount();  // the clock of Wine's debug timestamps
  if (scenario["via"] == "helper") {
    SetCurrentDirectoryW(cwd.c_str());
    handover = reinstall::HandOver(
        Request(scenario), scenario.confirmMs < 0 ? reinstall::kDefaultConfirmation
                                                  : std::chrono::milliseconds(scenario.confirmMs));
    text += record::Line("step", std::to_string(static_cast<int>(handover.failedStep)));
    text += record::Line("code", std::string(reinstall::ProblemCodeName(handover.problem.code)));
    text += record::Line("system_error", std::to_string(handover.problem.systemError));
    text += record::Line("message", handover.problem.message);
    text += record::Line("broke_away", std::to_string(handover.brokeAway ? 1 : 0));
    text += record::Line("remains_in_job", std::to_string(handover.remainsInJob ? 1 : 0));
    text += record::Line("foreground", std::to_string(handover.foregroundAllowed ? 1 : 0));
    text += record::Line("launcher_id", std::to_string(handover.launcher.id()));
    pi.hProcess = handover.launcher.nativeHandle();
  } else if (!CreateProcessW(launcher.c_str(), cmdline.data(), nullptr, nullptr,
                             scenario["inherit_handles"] == "1", 0, nullptr,
                             cwd.empty() ? nullptr : cwd.c_str(), &si, &pi)) {
    return kNotStarted;
  }
  text += record::Line("started", std::to_string(started));
  text += record::Line("started_tick", std::to_string(startedTick));
  double released = 0;
  if (scenario["tamper"] == "1") {
    Sleep(static_cast<DWORD>(scenario.holdMs / 2));
    text += record::Line("tamper", Tamper(scenario["install"]));
    scenario.holdMs -= scenario.holdMs / 2;
  }
  if (scenario.holdMs >= 0) {
    Sleep(static_cast<DWORD>(scenario.holdMs));
    const std::wstring cue = e2e::Wide(recordPath + ".go");
    for (int waited = 0; scenario["tamper"] == "cue" && waited < 60000 &&
                         GetFileAttributesW(cue.c_str()) == INVALID_FILE_ATTRIBUTES;
         waited += 10) {
      Sleep(10);
    }
    // Noted just before letting go, so that no probe can fall between the release and its time.
    released = e2e::UnixMs();
    if (object == "mutex") {
      ReleaseMutex(held);
    }
    if (held != nullptr) {
      CloseHandle(held);
      held = nullptr;
    }
  }
  text += record::Line("released", std::to_string(released));
  if (pi.hProcess != nullptr && scenario["wait"] == "1") {
    const DWORD waited = WaitForSingleObject(pi.hProcess, 60000);
    DWORD exitCode = 0xFFFFFFFF;
    GetExitCodeProcess(pi.hProcess, &exitCode);
    text += record::Line("exited", std::to_string(e2e::UnixMs()));
    text += record::Line("exit_code", std::to_string(exitCode));
    text += record::Line("timed_out", std::string(waited == WAIT_TIMEOUT ? "1" : "0"));
  }
  if (pi.hThread != nullptr) {
    CloseHandle(pi.hThread);
  }
  if (pi.hProcess != nullptr && pi.hProcess != handover.launcher.nativeHandle()) {
    CloseHandle(pi.hProcess);
  }
  if (held != nullptr) {
    CloseHandle(held);
  }
  return e2e::WriteWhole(recordPath, text) ? kRecorded : kRecordFailed;
}
