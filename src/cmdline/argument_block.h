// How the launcher splits its command line: the layout of its argument block (one allocation
// sized from the line's length alone) and the splitter that fills it, by the grammar of
// reinstall/command_line.h. The launcher's own; applications never need it.
#ifndef REINSTALL_CMDLINE_ARGUMENT_BLOCK_H_
#define REINSTALL_CMDLINE_ARGUMENT_BLOCK_H_

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "reinstall/command_line.h"

namespace reinstall {

// The launcher's argument block for a line of `length` bytes (its terminating zero not counted):
// a pointer area of ArgvSlotCount(length) slots, room for every argument the line can hold (at
// most (length + 1) / 2) and the null slot after the last, then length + 2 bytes of argument text
// starting at ArgvTextOffset. ArgvBlockSize is 0 when the size cannot be represented, which the
// launcher treats like a failed allocation; the other two assume it could.
constexpr std::size_t ArgvSlotCount(std::size_t length) {
  return (length + 2) / 2 + 1;
}

constexpr std::size_t ArgvTextOffset(std::size_t length, std::size_t pointerSize) {
  return ArgvSlotCount(length) * pointerSize;
}

constexpr std::size_t ArgvBlockSize(std::size_t length, std::size_t pointerSize) {
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  if (pointerSize == 0 || length > kMax - 2 || ArgvSlotCount(length) > kMax / pointerSize ||
      ArgvTextOffset(length, pointerSize) > kMax - (length + 2)) {
    return 0;
  }
  return ArgvTextOffset(length, pointerSize) + length + 2;
}

// Splits the zero-terminated `line` into `slots` (ArgvSlotCount(L) entries) and `text` (L + 2
// bytes), where L is the line's length, without allocating: every argument is written to `text`
// with a zero byte after it, its start stored in the next slot; slots[count] becomes null, and one
// more zero byte follows when the line ends between arguments. Returns the count.
inline std::int32_t SplitInto(const char* line, char** slots, char* text) {
  enum class State { kBetween, kInWord, kInQuotes };
  State state = State::kBetween;
  std::int32_t count = 0;
  char* out = text;
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

// The arguments of `line` (up to its first zero byte) by the launcher's rules.
inline std::vector<std::string> SplitArguments(const std::string& line) {
  const std::string text = line.substr(0, line.find('\0'));
  std::vector<char*> slots(ArgvSlotCount(text.size()));
  std::vector<char> chars(text.size() + 2);
  const std::int32_t count = SplitInto(text.c_str(), slots.data(), chars.data());
  std::vector<std::string> arguments(slots.begin(), slots.begin() + count);
  return arguments;
}

}  // namespace reinstall

#endif  // REINSTALL_CMDLINE_ARGUMENT_BLOCK_H_
