#include "app/errors/errors.h"
#include "app/reinstall.h"
#include "platform/platform.h"

// The path is the probe's own copy, like every string argument of these operations.
// cppcheck-suppress passedByValue
bool TReinstall::FileExists(std::string path) {
  // Execute access with read sharing only: a file that cannot be run, a directory (no backup
  // semantics), or one held open for writing by someone else all count as missing.
  HANDLE file = reinstall::os::CreateFileA(path.c_str(), GENERIC_EXECUTE, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  reinstall::os::CloseHandle(file);
  return true;
}

void TReinstall::CheckParameters() const {
  // The file test comes first, so an empty install path reports the missing file.
  if (!FileExists(fInstallApp)) {
    throw errorInstallFileNotExists();
  }
  if (fAppMutex.empty() || fInstallApp.empty()) {
    throw errorMissingParamsCmdLine();
  }
}
