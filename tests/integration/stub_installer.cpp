// Plays the installer: records when it started, where, and with which arguments, into the file
// named by STUB_INSTALLER_RECORD (fields separated by NUL bytes: wall-clock milliseconds, working
// directory, arguments). Then lingers STUB_INSTALLER_LINGER_MS, so tests can see that the
// launcher does not wait for it.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

int main(int argc, char** argv) {
  const auto now =
      std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  const char* recordPath = std::getenv("STUB_INSTALLER_RECORD");
  if (recordPath == nullptr) {
    return 2;
  }
  std::string record = std::to_string(now);
  record += '\0';
  char cwd[4096];
  record += getcwd(cwd, sizeof(cwd)) != nullptr ? cwd : "?";
  for (int i = 1; i < argc; ++i) {
    record += '\0';
    record += argv[i];
  }
  // Written whole under a temporary name, then renamed: a reader never sees half a record.
  const std::string partial = std::string(recordPath) + ".partial";
  std::FILE* out = std::fopen(partial.c_str(), "wb");
  if (out == nullptr) {
    return 3;
  }
  std::fwrite(record.data(), 1, record.size(), out);
  std::fclose(out);
  std::rename(partial.c_str(), recordPath);
  if (const char* linger = std::getenv("STUB_INSTALLER_LINGER_MS")) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(linger)));
  }
  return 0;
}
