// The Windows application that hands over to reinstall.exe, as a real one would: it holds a named
// mutex for as long as it runs, starts the launcher with that mutex's name, the installer and its
// parameters, finishes its work and quits. The mutex goes with it; the launcher notices, pauses
// and starts the installer.
//
// Usage: handover_app.exe LAUNCHER INSTALLER [PARAMETERS [LINGER_MS]]
#include <windows.h>

#include <shellapi.h>

#include <cstdlib>
#include <string>

#include "timeline.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr || argc < 3) {
    return 2;
  }
  const std::wstring launcher = argv[1];
  const std::wstring installer = argv[2];
  const std::wstring parameters = argc > 3 ? argv[3] : L"";
  const int lingerMs = argc > 4 ? _wtoi(argv[4]) : 1000;
  LocalFree(argv);

  // 1. Hold the mutex for the life of the process.
  const std::wstring name = L"ReinstallDemo-" + std::to_wstring(GetCurrentProcessId());
  HANDLE mutex = CreateMutexW(nullptr, TRUE, name.c_str());
  if (mutex == nullptr) {
    return 1;
  }
  demo::Say("application", "running, holding its named mutex");

  // 2. Start the launcher. Values with blanks go in double quotes; a value can never hold one.
  // No handle is inherited: a launcher holding the mutex would wait for itself.
  std::wstring commandLine = L"\"" + launcher + L"\" -saferun=kqz -appmutex=" + name +
                             L" \"-appinstall=" + installer + L"\" \"-installparam=" + parameters +
                             L"\"";
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(launcher.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &si, &pi)) {
    return 1;
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  demo::Say("application", "started reinstall.exe; finishing its work");

  // 3. Quit promptly: the launcher gives up if the mutex still exists after ten seconds.
  Sleep(static_cast<DWORD>(lingerMs));
  demo::Say("application", "quit (mutex released)");
  ReleaseMutex(mutex);
  CloseHandle(mutex);
  return 0;
}
