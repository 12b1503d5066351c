// What the POSIX stand-in needs from its main(), and the pieces of it that tests reach directly.
#ifndef REINSTALL_PLATFORM_PLATFORM_POSIX_H_
#define REINSTALL_PLATFORM_PLATFORM_POSIX_H_

#include "platform/win32_types.h"

namespace reinstall::platform::posix {

// Records the process arguments for GetCommandLineA, joined as reinstall::JoinArguments joins
// them; main() calls it before WinMain.
void SetProcessArguments(int argc, const char* const* argv);

// The Win32 error code nearest to the errno value `error`.
DWORD Win32ErrorFromErrno(int error);

}  // namespace reinstall::platform::posix

#endif  // REINSTALL_PLATFORM_PLATFORM_POSIX_H_
