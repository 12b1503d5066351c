#include "cmdline/split_command_line.h"

#include <cstring>

#include "app/reinstall.h"
#include "platform/platform.h"

namespace reinstall::cmdline {
namespace {

enum class State { kBetween, kInWord, kInQuotes };

bool IsSeparator(char c) {
  // Vertical tab and form feed are deliberately ordinary bytes.
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

}  // namespace

std::int32_t SplitInto(const char* line, char** slots, char* chars) {
  State state = State::kBetween;
  std::int32_t count = 0;
  char* out = chars;
  for (const char* in = line; *in != '\0'; ++in) {
    const char c = *in;
    const bool quote = c == '"';
    switch (state) {
      case State::kBetween:
        if (IsSeparator(c)) {
          break;
        }
        slots[count++] = out;
        if (quote) {
          state = State::kInQuotes;
        } else {
          *out++ = c;
          state = State::kInWord;
        }
        break;
      case State::kInWord:
        if (IsSeparator(c)) {
          *out++ = '\0';
          state = State::kBetween;
        } else if (quote) {
          state = State::kInQuotes;
        } else {
          *out++ = c;
        }
        break;
      case State::kInQuotes:
        if (quote) {
          state = State::kInWord;
        } else {
          *out++ = c;
        }
        break;
    }
  }
  // Ends the last argument, or stands as an extra zero after a separator (the only byte written
  // for a line without arguments).
  *out = '\0';
  slots[count] = nullptr;
  return count;
}

}  // namespace reinstall::cmdline

LPSTR* TReinstall::SplitCommandLine(LPCSTR commandLine, std::int32_t* argc) {
  const std::size_t length = std::strlen(commandLine);
  const std::size_t size = reinstall::cmdline::ArgvBlockSize(length, sizeof(LPSTR));
  // A line so long that its count could not be told in 32 bits is refused like a failed
  // allocation; no real command line comes near it.
  if (size == 0 || length / 2 >= static_cast<std::size_t>(INT32_MAX)) {
    return nullptr;
  }
  auto* block = static_cast<LPSTR*>(reinstall::os::GlobalAlloc(GMEM_FIXED, size));
  if (block == nullptr) {
    return nullptr;
  }
  char* chars = reinterpret_cast<char*>(block + reinstall::cmdline::ArgvSlotCount(length));
  *argc = reinstall::cmdline::SplitInto(commandLine, block, chars);
  return block;
}
