// Plays the calling application under Wine. Reads a UTF-8 scenario file of key=value lines:
//   object   mutex | event | none   the named object the application holds while it runs
//   name     its name
//   inherit  1 to create it inheritable (the launcher still inherits no handle)
//   hold_ms  how long to hold it after starting the launcher; -1 holds it until the launcher ends
//   launcher the launcher's path (application name for CreateProcessW)
//   cmdline  the launcher's exact raw command line
//   inherit_handles  1 to let the launcher inherit the application's inheritable handles
//   cwd      the launcher's working directory
//   via      raw (the default) or helper: start it through the applications' hand-over helper
//            with the request install and params, and the object's name, instead of cmdline
// Starts the launcher through the Unicode API, releases the object on cue, waits for the
// launcher, and writes times (Unix ms) and its exit code to the record file.
// Usage: caller.exe SCENARIO RECORD
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

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

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr || argc < 3) {
    return 2;
  }
  auto scenario = ReadScenario(argv[1]);
  const std::string recordPath = e2e::Utf8(argv[2]);
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
    return 3;
  }

  std::wstring cmdline = e2e::Wide(scenario["cmdline"]);
  const std::wstring launcher = e2e::Wide(scenario["launcher"]);
  const std::wstring cwd = e2e::Wide(scenario["cwd"]);
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  const double started = e2e::UnixMs();
  if (scenario["via"] == "helper") {
    SetCurrentDirectoryW(cwd.c_str());
    try {
      if (reinstall::HandOver(
              {scenario["launcher"], scenario["name"], scenario["install"], scenario["params"]},
              &pi.hProcess) != ERROR_SUCCESS) {
        return 4;
      }
    } catch (const reinstall::HandoverError&) {
      return 6;
    }
  } else if (!CreateProcessW(launcher.c_str(), cmdline.data(), nullptr, nullptr,
                             scenario["inherit_handles"] == "1", 0, nullptr,
                             cwd.empty() ? nullptr : cwd.c_str(), &si, &pi)) {
    return 4;
  }
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
  const DWORD waited = WaitForSingleObject(pi.hProcess, 60000);
  const double exited = e2e::UnixMs();
  DWORD exitCode = 0xFFFFFFFF;
  GetExitCodeProcess(pi.hProcess, &exitCode);
  if (pi.hThread != nullptr) {
    CloseHandle(pi.hThread);
  }
  CloseHandle(pi.hProcess);
  if (held != nullptr) {
    CloseHandle(held);
  }
  std::string record = "started=" + std::to_string(started) + "\n";
  record += "released=" + std::to_string(released) + "\n";
  record += "exited=" + std::to_string(exited) + "\n";
  record += "exit_code=" + std::to_string(exitCode) + "\n";
  record += "timed_out=" + std::string(waited == WAIT_TIMEOUT ? "1" : "0") + "\n";
  LocalFree(argv);
  return e2e::WriteWhole(recordPath, record) ? 0 : 5;
}
