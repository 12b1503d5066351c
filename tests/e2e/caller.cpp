// Plays the calling application under Wine. Reads a UTF-8 scenario file of key=value lines:
//   object   mutex | event | none   the named object the application holds while it runs
//   name     its name
//   inherit  1 to create it inheritable (the launcher still inherits no handle)
//   hold_ms  how long to hold it after starting the launcher; -1 holds it until the launcher ends
//   launcher the launcher's path (application name for CreateProcessW)
//   cmdline  the launcher's exact raw command line
//   inherit_handles  1 to let the launcher inherit the application's inheritable handles
//   cwd      the launcher's working directory
//   via      raw (the default): CreateProcessW with cmdline; helper: the applications' hand-over
//            helper with the request install and params and the object's name (confirm_ms, when
//            given, is its confirmation wait); preflight: only the helper's Preflight
//   job      none (the default) | kill | kill_breakaway: first put this process in a job that
//            kills its processes when it closes (at this process's exit), allowing breakaway or not
//   wait     0 to quit after hold_ms without waiting for the launcher, as a real application does
// Starts the launcher through the Unicode API, releases the object on cue, waits for the
// launcher, and writes times (Unix ms), its exit code and what the helper said to the record file.
// Usage: caller.exe SCENARIO RECORD
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "record.h"
#include "reinstall/handover.h"
#include "win_util.h"

namespace {

std::map<std::string, std::string> ReadScenario(const std::wstring& path) {
  std::map<std::string, std::string> values;
  FILE* in = _wfopen(path.c_str(), L"rb");
  if (in == nullptr) {
    return values;
  }
  std::string text;
  char buffer[4096];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof(buffer), in)) > 0) {
    text.append(buffer, n);
  }
  std::fclose(in);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      end = text.size();
    }
    const std::string line = text.substr(start, end - start);
    const size_t eq = line.find('=');
    if (eq != std::string::npos) {
      values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    start = end + 1;
  }
  return values;
}

// caller.exe's exit codes.
enum CallerExit : int {
  kRecorded = 0,      // the record file was written
  kUsage = 2,         // no scenario or record path
  kNoObject = 3,      // the named object could not be created
  kNotStarted = 4,    // the raw CreateProcessW failed
  kRecordFailed = 5,  // the record file could not be written
  kNoJob = 7,         // the job could not be set up
};

// Puts this process in a job that kills its processes when its last handle closes: when this
// process exits, as for an application started by a browser, an IDE or a service host.
bool EnterJob(const std::string& kind) {
  if (kind.empty() || kind == "none") {
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

reinstall::HandoverRequest Request(std::map<std::string, std::string>& scenario) {
  return {scenario["launcher"], scenario["name"], scenario["install"], scenario["params"]};
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr || argc < 3) {
    return kUsage;
  }
  auto scenario = ReadScenario(argv[1]);
  const std::string recordPath = e2e::Utf8(argv[2]);
  LocalFree(argv);
  if (!EnterJob(scenario["job"])) {
    return kNoJob;
  }
  const std::wstring name = e2e::Wide(scenario["name"]);
  const std::string object = scenario["object"];

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
  if (scenario["via"] == "preflight") {
    std::string codes;
    for (const reinstall::Problem& problem : reinstall::Preflight(Request(scenario))) {
      codes += (codes.empty() ? "" : ",") + std::string(reinstall::ProblemCodeName(problem.code)) +
               ":" + problem.field;
    }
    text = record::Line("problems", codes);
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
    const std::string confirm = scenario["confirm_ms"];
    handover = reinstall::HandOver(
        Request(scenario), confirm.empty() ? reinstall::kDefaultConfirmation
                                           : std::chrono::milliseconds(std::atoi(confirm.c_str())));
    text += record::Line("step", std::to_string(static_cast<int>(handover.failedStep)));
    text += record::Line("code", std::string(reinstall::ProblemCodeName(handover.problem.code)));
    text += record::Line("system_error", std::to_string(handover.problem.systemError));
    text += record::Line("message", handover.problem.message);
    text += record::Line("broke_away", std::to_string(handover.brokeAway ? 1 : 0));
    text += record::Line("remains_in_job", std::to_string(handover.remainsInJob ? 1 : 0));
    pi.hProcess = handover.launcher.handle();
  } else if (!CreateProcessW(launcher.c_str(), cmdline.data(), nullptr, nullptr,
                             scenario["inherit_handles"] == "1", 0, nullptr,
                             cwd.empty() ? nullptr : cwd.c_str(), &si, &pi)) {
    return kNotStarted;
  }
  text += record::Line("started", std::to_string(started));
  text += record::Line("started_tick", std::to_string(startedTick));
  const int holdMs = std::atoi(scenario["hold_ms"].c_str());
  double released = 0;
  if (holdMs >= 0) {
    Sleep(static_cast<DWORD>(holdMs));
    if (object == "mutex") {
      ReleaseMutex(held);
    }
    if (held != nullptr) {
      CloseHandle(held);
      held = nullptr;
    }
    released = e2e::UnixMs();
  }
  text += record::Line("released", std::to_string(released));
  if (pi.hProcess != nullptr && scenario["wait"] != "0") {
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
  if (pi.hProcess != nullptr && pi.hProcess != handover.launcher.handle()) {
    CloseHandle(pi.hProcess);
  }
  if (held != nullptr) {
    CloseHandle(held);
  }
  return e2e::WriteWhole(recordPath, text) ? kRecorded : kRecordFailed;
}
