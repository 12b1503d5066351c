// The Windows application that hands over to reinstall.exe, as a real one would, through the
// hand-over helper: it holds a named mutex for as long as it runs, checks that the hand-over can
// succeed, starts the launcher with that mutex's name, the installer and its parameters, finishes
// its work and quits. The mutex goes with it; the launcher notices, pauses and starts the
// installer. On any problem it stays in charge: it says why and does not count on the update.
//
// Usage: handover_app.exe LAUNCHER INSTALLER [PARAMETERS [LINGER_MS]]
#include <windows.h>

#include <shellapi.h>

#include <string>
#include <vector>

#include "reinstall/handover.h"
#include "timeline.h"

namespace {

// As UTF-8, and for paths made absolute: the launcher resolves nothing against the application's
// working directory.
std::string Utf8(const wchar_t* wide, bool path = false) {
  std::wstring text = wide;
  if (path) {
    wchar_t full[MAX_PATH * 4];
    const DWORD n = GetFullPathNameW(wide, MAX_PATH * 4, full, nullptr);
    if (n > 0 && n < MAX_PATH * 4) {
      text = full;
    }
  }
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(size > 0 ? size - 1 : 0), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &utf8[0], size, nullptr, nullptr);
  return utf8;
}

void Report(const reinstall::Problem& problem) {
  demo::Say(
      "application",
      (std::string(reinstall::ProblemCodeName(problem.code)) + ": " + problem.message).c_str(),
      stderr);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr || argc < 3) {
    return 2;
  }
  const reinstall::HandoverRequest request{Utf8(argv[1], true),
                                           "ReinstallDemo-" + std::to_string(GetCurrentProcessId()),
                                           Utf8(argv[2], true), argc > 3 ? Utf8(argv[3]) : ""};
  const int lingerMs = argc > 4 ? _wtoi(argv[4]) : 1000;
  LocalFree(argv);

  // 1. Hold the mutex for the life of the process.
  const reinstall::ApplicationMutex mutex(request.mutexName);
  if (!mutex.held()) {
    return 1;
  }
  demo::Say("application", "running, holding its named mutex");

  // 2. Check, while the application can still tell the user.
  const std::vector<reinstall::Problem> problems = reinstall::Preflight(request);
  for (const reinstall::Problem& problem : problems) {
    Report(problem);
  }
  if (!problems.empty()) {
    return 1;
  }

  // 3. Hand over, and confirm that the launcher is running outside the application's job.
  const reinstall::HandoverResult result = reinstall::HandOver(request);
  if (!result.ok()) {
    Report(result.problem);
    return 1;
  }
  demo::Say("application", "started reinstall.exe; finishing its work");

  // 4. Quit promptly: the launcher gives up if the mutex still exists after ten seconds.
  Sleep(static_cast<DWORD>(lingerMs));
  demo::Say("application", "quit (mutex released)");
  return 0;
}
