#include "app/reinstall.h"
#include "platform/platform.h"

int WINAPI WinMain(HINSTANCE /*hInstance*/,
                   HINSTANCE /*hPrevInstance*/,
                   LPSTR /*lpCmdLine*/,
                   int /*nShowCmd*/) {
  reinstall::platform::HardenProcess();
  return reinstall::RunLauncher(gReinstall);
}
