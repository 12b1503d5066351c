// Demo App, the application that the real test installers install and update.
//
//   demo_app.exe [ARGS...]
//       as started again by an installer: appends its version, its own path and its command line
//       to the record named by DEMO_APP_RECORD.
//   demo_app.exe --hand-over RECORD LAUNCHER INSTALLER PARAMETERS HOLD_MS
//       as the running application that hands over: holds the mutex "ReinstallDemoApp", checks
//       the hand-over with Preflight and, when it found nothing, hands over through the
//       applications' helper; writes the first problem (or none) to RECORD.running, holds the
//       mutex HOLD_MS longer (finishing its work), writes RECORD and quits, which releases it.
// Its version is built in (DEMO_APP_VERSION); the record format is tests/record.h's.
#include <windows.h>

#include <shellapi.h>

#include <string>
#include <vector>

#include "record.h"
#include "reinstall/handover.h"
#include "win_util.h"

namespace {

std::string Recorded() {
  wchar_t self[MAX_PATH * 4];
  const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
  std::string text = record::Line("version", std::to_string(DEMO_APP_VERSION));
  text += record::Line("path", e2e::Utf8(std::wstring(self, n)));
  text += record::Line("cmdline", e2e::Utf8(GetCommandLineW()));
  text += record::Line("time", std::to_string(e2e::UnixMs()));
  return text;
}

int HandOver(wchar_t** argv) {
  const std::string recordPath = e2e::Utf8(argv[2]);
  const reinstall::ApplicationMutex mutex("ReinstallDemoApp");
  if (!mutex.held()) {
    return 3;
  }
  const reinstall::HandoverRequest request{e2e::Utf8(argv[3]), mutex.name(), e2e::Utf8(argv[4]),
                                           e2e::Utf8(argv[5])};
  const std::vector<reinstall::Problem> problems = reinstall::Preflight(request);
  const reinstall::Problem problem =
      problems.empty() ? reinstall::HandOver(request).problem : problems.front();
  std::string text = Recorded();
  text += record::Line("code", reinstall::ProblemCodeName(problem.code));
  text += record::Line("field", problem.field);
  text += record::Line("message", problem.message);
  // Now it runs for sure: a test can act while it does.
  e2e::WriteWhole(recordPath + ".running", text);
  Sleep(static_cast<DWORD>(_wtoi(argv[6])));
  text += record::Line("released", std::to_string(e2e::UnixMs()));
  // The record is written just before the process ends and its mutex goes with it.
  return e2e::WriteWhole(recordPath, text) ? 0 : 5;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv != nullptr && argc == 7 && std::wstring(argv[1]) == L"--hand-over") {
    return HandOver(argv);
  }
  wchar_t recordPath[1024];
  if (GetEnvironmentVariableW(L"DEMO_APP_RECORD", recordPath, 1024) == 0) {
    return 2;
  }
  return e2e::WriteWhole(e2e::Utf8(recordPath), Recorded()) ? 0 : 5;
}
