// The Windows application that hands over to reinstall.exe, as a real one would, through the
// hand-over helper: it holds a named mutex for as long as it runs, starts the launcher with that
// mutex's name, the installer and its parameters, finishes its work and quits. The mutex goes with
// it; the launcher notices, pauses and starts the installer.
//
// Usage: handover_app.exe LAUNCHER INSTALLER [PARAMETERS [LINGER_MS]]
#include <windows.h>

#include <shellapi.h>

#include <string>

#include "reinstall/handover.h"
#include "timeline.h"

namespace {

std::string Utf8(const wchar_t* wide) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(size > 0 ? size - 1 : 0), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, &utf8[0], size, nullptr, nullptr);
  return utf8;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr || argc < 3) {
    return 2;
  }
  const std::string launcher = Utf8(argv[1]);
  const std::string installer = Utf8(argv[2]);
  const std::string parameters = argc > 3 ? Utf8(argv[3]) : "";
  const int lingerMs = argc > 4 ? _wtoi(argv[4]) : 1000;
  LocalFree(argv);

  // 1. Hold the mutex for the life of the process.
  const std::string name = "ReinstallDemo-" + std::to_string(GetCurrentProcessId());
  HANDLE mutex = reinstall::CreateApplicationMutex(name);
  if (mutex == nullptr) {
    return 1;
  }
  demo::Say("application", "running, holding its named mutex");

  // 2. Start the launcher; it inherits no handle, the mutex included.
  try {
    if (reinstall::HandOver({launcher, name, installer, parameters}) != ERROR_SUCCESS) {
      return 1;
    }
  } catch (const reinstall::HandoverError&) {
    return 1;
  }
  demo::Say("application", "started reinstall.exe; finishing its work");

  // 3. Quit promptly: the launcher gives up if the mutex still exists after ten seconds.
  Sleep(static_cast<DWORD>(lingerMs));
  demo::Say("application", "quit (mutex released)");
  ReleaseMutex(mutex);
  CloseHandle(mutex);
  return 0;
}
