// What the POSIX stand-in needs from its main(), and the pieces of it that tests reach directly.
#ifndef REINSTALL_PLATFORM_PLATFORM_POSIX_H_
#define REINSTALL_PLATFORM_PLATFORM_POSIX_H_

#include <string>
#include <vector>

#include "platform/win32_types.h"

namespace reinstall::platform::posix {

// The command line that GetCommandLineA returns for these arguments: joined by single blanks, an
// argument that is empty or holds a blank, tab, line feed or carriage return in double quotes.
std::string JoinCommandLine(const std::vector<std::string>& arguments);

// Records the process arguments for GetCommandLineA; main() calls it before WinMain.
void SetProcessArguments(int argc, const char* const* argv);

// The lock file that stands for the mutex `name`: $XDG_RUNTIME_DIR/NAME.lock (/tmp when unset);
// a name holding '/' is a path used as it stands.
std::string MutexLockPath(const std::string& name);

// The Win32 error code nearest to the errno value `error`.
DWORD Win32ErrorFromErrno(int error);

}  // namespace reinstall::platform::posix

#endif  // REINSTALL_PLATFORM_PLATFORM_POSIX_H_
