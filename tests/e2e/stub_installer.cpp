// Plays the installer under Wine: records its start time, working directory, raw command line and
// its arguments as the C runtime splits them (UTF-8, the record format of tests/record.h) into
// the file named by the environment variable STUB_INSTALLER_RECORD.
#include <windows.h>

#include <shellapi.h>

#include <string>

#include "record.h"
#include "win_util.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  const double started = e2e::UnixMs();
  wchar_t recordPath[1024];
  if (GetEnvironmentVariableW(L"STUB_INSTALLER_RECORD", recordPath, 1024) == 0) {
    return 2;
  }
  wchar_t cwd[1024];
  GetCurrentDirectoryW(1024, cwd);
  std::string text = record::Line("time", std::to_string(started));
  text += record::Line("cwd", e2e::Utf8(cwd));
  text += record::Line("cmdline", e2e::Utf8(GetCommandLineW()));
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  for (int i = 1; argv != nullptr && i < argc; ++i) {
    text += record::Line("arg", e2e::Utf8(argv[i]));
  }
  LocalFree(argv);
  return e2e::WriteWhole(e2e::Utf8(recordPath), text) ? 0 : 3;
}
