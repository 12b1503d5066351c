// Fuzzes the command-line splitter against its contract and against a small reference model:
// for any line, the count stays within (L + 1) / 2, at most L + 1 bytes of the character area are
// written, no argument holds a double quote, the slot after the last argument is null, and the
// arguments are the model's. The block comes from the fake platform at its exact size, so
// AddressSanitizer sees any write past it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/reinstall.h"
#include "fake_platform.h"

namespace {

// The rules, written as plainly as possible: separators outside quotes end an argument, a quote
// toggles quoting and starts an argument if none is open, everything else is text.
std::vector<std::string> Model(const std::string& line) {
  std::vector<std::string> arguments;
  bool open = false;
  bool quoted = false;
  for (char c : line) {
    const bool separator = c == ' ' || c == '\t' || c == '\n' || c == '\r';
    if (c == '"') {
      if (!open) {
        arguments.emplace_back();
        open = true;
      }
      quoted = !quoted;
    } else if (separator && !quoted) {
      open = false;
    } else {
      if (!open) {
        arguments.emplace_back();
        open = true;
      }
      arguments.back() += c;
    }
  }
  return arguments;
}

reinstall::testing::SplitBlock Run(const std::string& line, unsigned char fill) {
  reinstall::testing::SplitBlock result = reinstall::testing::SplitWithFake(line, fill);
  if (!result.allocated) {
    std::abort();
  }
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The command line ends at its first zero byte.
  std::string line(reinterpret_cast<const char*>(data), size);
  line = line.c_str();
  const std::size_t length = line.size();

  const auto first = Run(line, 0xAB);
  const auto second = Run(line, 0x54);
  if (first.arguments != second.arguments || !first.nullSlot) {
    std::abort();
  }
  if (first.arguments.size() > (length + 1) / 2) {
    std::abort();
  }
  // A byte the splitter did not write still holds the fill, which differs between the runs.
  std::size_t written = 0;
  for (std::size_t i = 0; i < first.characterArea.size(); ++i) {
    written += first.characterArea[i] == second.characterArea[i] ? 1 : 0;
  }
  if (written > length + 1) {
    std::abort();
  }
  for (const std::string& argument : first.arguments) {
    if (argument.find('"') != std::string::npos) {
      std::abort();
    }
  }
  if (first.arguments != Model(line)) {
    std::abort();
  }
  return 0;
}
