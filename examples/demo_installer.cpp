// The installer of the demo: shows that it was started, when, and with which parameters.
// Touches the file named by DEMO_INSTALLER_DONE, if set, so a script can wait for it.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "timeline.h"

int main(int argc, char** argv) {
  std::string line = "started with " + std::to_string(argc - 1) + " parameter(s):";
  for (int i = 1; i < argc; ++i) {
    line += std::string(" [") + argv[i] + "]";
  }
  demo::Say("installer", line.c_str());
  if (const char* done = std::getenv("DEMO_INSTALLER_DONE")) {
    if (std::FILE* marker = std::fopen(done, "w")) {
      std::fclose(marker);
    }
  }
  return 0;
}
