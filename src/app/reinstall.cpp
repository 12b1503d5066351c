#include "app/reinstall.h"

#include <exception>

#include "platform/platform.h"

TReinstall gReinstall;

TReinstall::TReinstall() noexcept
    : fStarted(),
      fShellError(0),
      hAppMutex(INVALID_HANDLE_VALUE),
      hInstallFile(INVALID_HANDLE_VALUE),
      fInstallFileId(),
      bExecuteAllowed(false),
      bTestExecuting(false) {}

TReinstall::~TReinstall() {
  // After a normal run the slot is already empty; this only matters if a handle was left behind.
  if (hAppMutex != INVALID_HANDLE_VALUE) {
    reinstall::os::CloseHandle(hAppMutex);
    hAppMutex = INVALID_HANDLE_VALUE;
  }
  ReleaseInstallFile();
}

void TReinstall::ReleaseInstallFile() {
  if (hInstallFile != INVALID_HANDLE_VALUE) {
    reinstall::os::CloseHandle(hInstallFile);
    hInstallFile = INVALID_HANDLE_VALUE;
  }
}

namespace reinstall {

namespace {

void ShowError(const char* text) {
  // No owner and no caption: the system's default title, above every other window. MB_OK is
  // zero; it stays to name the button.
  // cppcheck-suppress badBitmaskCheck
  os::MessageBoxA(nullptr, text, nullptr, MB_OK | MB_ICONHAND | MB_SYSTEMMODAL);
}

}  // namespace

int RunLauncher(TReinstall& launcher) {
  bool launched = false;
  // A failure is recorded before its box: a box can stay open until the user signs out.
  try {
    launcher.ParseCommandLine();
    if (!launcher.bExecuteAllowed) {
      return 0;
    }
    launcher.WaitForApplicationExit();
    launcher.RunInstallApp();
    launched = true;
  } catch (const std::exception& error) {
    // Nothing will be started: the file is let go before the box, which may stay open for hours
    // while the application wants to download it again.
    launcher.ReleaseInstallFile();
    launcher.RecordOutcome(error.what());
    ShowError(error.what());
  }
  // Only now: the installer's process exists.
  launcher.ReleaseInstallFile();
  if (launched) {
    launcher.RecordOutcome(nullptr);
  }
  return 0;
}

}  // namespace reinstall
