// Plays the installer under Wine: records its start time, working directory and raw command line
// (UTF-8, one key=value per line) into the file named by the environment variable
// STUB_INSTALLER_RECORD.
#include <windows.h>

#include <string>

#include "win_util.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  const double started = e2e::UnixMs();
  wchar_t recordPath[1024];
  if (GetEnvironmentVariableW(L"STUB_INSTALLER_RECORD", recordPath, 1024) == 0) {
    return 2;
  }
  wchar_t cwd[1024];
  GetCurrentDirectoryW(1024, cwd);
  std::string record = "time=" + std::to_string(started) + "\n";
  record += "cwd=" + e2e::Utf8(cwd) + "\n";
  record += "cmdline=" + e2e::Utf8(GetCommandLineW()) + "\n";
  return e2e::WriteWhole(e2e::Utf8(recordPath), record) ? 0 : 3;
}
