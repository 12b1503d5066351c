// Entry of the native build: records the arguments for GetCommandLineA and runs the same WinMain
// as the Windows executable.
#include "app/reinstall.h"
#include "platform/platform_posix.h"

int main(int argc, char** argv) {
  reinstall::platform::posix::SetProcessArguments(argc, argv);
  char empty[] = "";
  return WinMain(nullptr, nullptr, empty, 1);
}
