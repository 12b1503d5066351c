#include <cstring>
#include <string>

#include "app/errors/errors.h"
#include "app/reinstall.h"
#include "platform/platform.h"

void TReinstall::RunInstallApp() {
  const std::string file = hInstallFile != INVALID_HANDLE_VALUE ? HeldInstallPath() : fInstallApp;
  SHELLEXECUTEINFOA info;
  std::memset(&info, 0, sizeof(info));
  info.cbSize = sizeof(info);
  // No flags: no process handle to wait on or leak, and the shell keeps its own error dialogs.
  info.fMask = SEE_MASK_DEFAULT;
  info.hwnd = nullptr;
  info.lpVerb = "open";
  info.lpFile = file.c_str();
  info.lpParameters = fExecParams.c_str();  // never null: "" when there are no parameters
  info.lpDirectory = nullptr;
  info.nShow = SW_SHOWNORMAL;
  if (reinstall::os::ShellExecuteExA(&info) == FALSE) {
    // The shell's reason, for the outcome record only: without one, no call is added.
    if (!fOutcomePath.empty()) {
      fShellError = reinstall::os::GetLastError();
    }
    throw exceptionCantRunInstallApp();
  }
}
