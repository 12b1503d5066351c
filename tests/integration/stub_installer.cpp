// Plays the installer: records when it started (time, wall-clock milliseconds), where (cwd) and
// with which arguments (one arg line each) into the file named by STUB_INSTALLER_RECORD, in the
// record format of tests/record.h. Then lingers STUB_INSTALLER_LINGER_MS, so tests can see that
// the launcher does not wait for it.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "record.h"

int main(int argc, char** argv) {
  const auto now =
      std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  const char* recordPath = std::getenv("STUB_INSTALLER_RECORD");
  if (recordPath == nullptr) {
    return 2;
  }
  std::string text = record::Line("time", std::to_string(now));
  char cwd[4096];
  text += record::Line("cwd", getcwd(cwd, sizeof(cwd)) != nullptr ? cwd : "?");
  for (int i = 1; i < argc; ++i) {
    text += record::Line("arg", argv[i]);
  }
  // Written whole under a temporary name, then renamed: a reader never sees half a record.
  const std::string partial = std::string(recordPath) + ".partial";
  std::FILE* out = std::fopen(partial.c_str(), "wb");
  if (out == nullptr) {
    return 3;
  }
  std::fwrite(text.data(), 1, text.size(), out);
  std::fclose(out);
  std::rename(partial.c_str(), recordPath);
  if (const char* linger = std::getenv("STUB_INSTALLER_LINGER_MS")) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(linger)));
  }
  return 0;
}
