// The installer of the demo: tells that it was started, when, and with which parameters: on
// standard output, or, when DEMO_INSTALLER_DONE names a file, in that file, which a script waits
// for and shows (a program started by the Windows shell has no terminal to print to).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "timeline.h"

int main(int argc, char** argv) {
  std::string line = "started with " + std::to_string(argc - 1) + " parameter(s):";
  for (int i = 1; i < argc; ++i) {
    line += std::string(" [") + argv[i] + "]";
  }
  std::FILE* out = stdout;
  const char* done = std::getenv("DEMO_INSTALLER_DONE");
  if (done != nullptr && (out = std::fopen(done, "w")) == nullptr) {
    return 1;
  }
  demo::Say("installer", line.c_str(), out);
  if (out != stdout) {
    std::fclose(out);
  }
  return 0;
}
