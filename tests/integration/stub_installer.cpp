// Plays the installer: records when it started (time, wall-clock milliseconds), where (cwd), with
// which arguments (one arg line each), which descriptors above standard error it was given (fds)
// and its blocked and ignored signals (sigblk, sigign: the kernel's hex masks) into the file
// named by STUB_INSTALLER_RECORD, in the record format of tests/record.h. Then lingers
// STUB_INSTALLER_LINGER_MS, so tests can see that the launcher does not wait for it.
#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "record.h"

namespace {

// The descriptors above 2 this process was started with, blank-separated.
std::string InheritedDescriptors() {
  std::string fds;
  if (DIR* folder = opendir("/proc/self/fd")) {
    const int own = dirfd(folder);
    while (const dirent* entry = readdir(folder)) {
      const int fd = std::atoi(entry->d_name);
      if (entry->d_name[0] != '.' && fd > 2 && fd != own) {
        fds += (fds.empty() ? "" : " ") + std::string(entry->d_name);
      }
    }
    closedir(folder);
  }
  return fds;
}

// A line of /proc/self/status ("SigBlk", "SigIgn"), its value alone.
std::string Status(const std::string& key) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, key.size() + 1, key + ":") == 0) {
      return line.substr(line.find_first_not_of(" \t", key.size() + 1));
    }
  }
  return "?";
}

}  // namespace

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
  text += record::Line("fds", InheritedDescriptors());
  text += record::Line("sigblk", Status("SigBlk"));
  text += record::Line("sigign", Status("SigIgn"));
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
