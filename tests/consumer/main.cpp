// Prints the launcher's command line for a request, through the installed C++ helper.
#include <cstdio>

#include "reinstall/handover.h"

int main() {
  const std::string line = reinstall::BuildCommandLine(
      {"C:\\Apps\\reinstall.exe", "Consumer.Mutex", "C:\\Temp\\setup 2.exe", "/S"});
  std::puts(line.c_str());
  return 0;
}
