// Fuzzes a whole run on the fake platform: whatever the command line, the run ends normally or in
// exactly one error box with one of the launcher's own messages; the argument block is released
// exactly once; no handle stays open. The first input byte scripts the platform (a failing
// allocation, an install file that exists, a mutex that lingers or fails to open).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/reinstall.h"
#include "fake_platform.h"

namespace {

bool KnownMessage(const std::string& text) {
  static const char* const kFixed[] = {
      "Error parsing command line.",       "Install file doesn't exists.",
      "Missing some required parameters.", "Waiting for closing application timed out.",
      "Can't execute install file.",
  };
  for (const char* fixed : kFixed) {
    if (text == fixed) {
      return true;
    }
  }
  const std::string prefix = "Error opening mutex. Number: ";
  return text.compare(0, prefix.size(), prefix) == 0 && text.size() > prefix.size() &&
         text.find_first_not_of("0123456789", prefix.size()) == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const std::uint8_t script = data[0];
  std::string line(reinterpret_cast<const char*>(data + 1), size - 1);
  line = line.c_str();

  reinstall::testing::FakePlatform fake;
  fake.commandLine = line;
  fake.failAllocation = (script & 0x01) != 0;
  if ((script & 0x02) != 0) {
    // Whatever path the line names exists.
    const std::size_t at = line.find("-appinstall=");
    if (at != std::string::npos) {
      fake.openableFiles.insert(line.substr(at + 12, line.find(' ', at) - at - 12));
    }
  }
  const int lingering = (script >> 2) & 0x0F;
  const DWORD openError = (script & 0x40) != 0 ? 5 : ERROR_FILE_NOT_FOUND;
  fake.mutexProbe = [lingering, openError](int probe) -> DWORD {
    return probe < lingering * 10 ? 0 : openError;
  };
  fake.shellResult = (script & 0x80) != 0 ? FALSE : TRUE;

  {
    TReinstall launcher;
    if (reinstall::RunLauncher(launcher) != 0) {
      std::abort();
    }
    if (launcher.hAppMutex != INVALID_HANDLE_VALUE) {
      std::abort();
    }
  }
  int errorBoxes = 0;
  for (const auto& box : fake.boxes) {
    if (box.uType == 0x1010) {
      ++errorBoxes;
      if (box.caption.has_value() || !KnownMessage(box.text)) {
        std::abort();
      }
    } else if (box.uType != 0) {
      std::abort();
    }
  }
  const int expectedFrees = fake.failAllocation ? 0 : 1;
  if (errorBoxes > 1 || fake.Count("LocalFree") != expectedFrees || fake.badFrees != 0 ||
      fake.LiveBlocks() != 0 || fake.OpenHandles() != 0 || fake.badCloses != 0) {
    std::abort();
  }
  return 0;
}
