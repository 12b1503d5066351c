#include <string>

#include "app/errors/errors.h"
#include "app/reinstall.h"
#include "platform/platform.h"

namespace {

constexpr DWORD kProbeIntervalMs = 100;
constexpr DWORD kTimeLimitMs = 10000;
constexpr DWORD kGracePauseMs = 2000;

}  // namespace

void TReinstall::WaitForApplicationExit() {
  const DWORD start = reinstall::os::GetTickCount();
  for (;;) {
    // Only ever opened and closed again: the launcher never owns, waits on or keeps the mutex
    // alive, so the application is never held up by a probe.
    hAppMutex = reinstall::os::OpenMutexA(READ_CONTROL, FALSE, fAppMutex.c_str());
    if (hAppMutex == nullptr) {
      hAppMutex = INVALID_HANDLE_VALUE;
      const DWORD error = reinstall::os::GetLastError();
      if (error == ERROR_FILE_NOT_FOUND) {
        break;
      }
      // DWORD is unsigned: every 32-bit code prints as its unsigned decimal value.
      throw exceptionMsg("Error opening mutex. Number: " + std::to_string(error));
    }
    reinstall::os::CloseHandle(hAppMutex);
    hAppMutex = INVALID_HANDLE_VALUE;
    // Unsigned 32-bit difference: correct across the tick count's wrap every 49.7 days.
    const auto elapsed = static_cast<DWORD>(reinstall::os::GetTickCount() - start);
    if (elapsed >= kTimeLimitMs) {
      throw exceptionMsg("Waiting for closing application timed out.");
    }
    reinstall::os::Sleep(kProbeIntervalMs);
  }
  reinstall::os::Sleep(kGracePauseMs);
}
