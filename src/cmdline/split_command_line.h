// The launcher's command-line splitting rules, without allocation: blanks, tabs, line feeds and
// carriage returns separate arguments; double quotes group and are dropped; nothing escapes.
#ifndef REINSTALL_CMDLINE_SPLIT_COMMAND_LINE_H_
#define REINSTALL_CMDLINE_SPLIT_COMMAND_LINE_H_

#include <cstddef>
#include <cstdint>
#include <limits>

namespace reinstall::cmdline {

// Pointer slots needed for a line of `length` bytes: room for every possible argument, at most
// (length + 1) / 2 of them, plus the null slot after the last.
constexpr std::size_t ArgvSlotCount(std::size_t length) {
  return length / 2 + 2;
}

// Size in bytes of the argument-vector block for a line of `length` bytes and pointers of
// `pointerSize` bytes: the pointer area, then length + 2 bytes of argument text. Returns 0 when
// the size cannot be represented, which the caller treats like a failed allocation.
constexpr std::size_t ArgvBlockSize(std::size_t length, std::size_t pointerSize) {
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  if (pointerSize == 0 || length > kMax - 2) {
    return 0;
  }
  const std::size_t slots = (length + 2) / 2 + 1;
  if (slots > kMax / pointerSize) {
    return 0;
  }
  const std::size_t pointerBytes = slots * pointerSize;
  if (pointerBytes > kMax - (length + 2)) {
    return 0;
  }
  return pointerBytes + length + 2;
}

// Splits the zero-terminated `line` into `slots` (ArgvSlotCount(L) entries) and `chars` (L + 2
// bytes), where L is the line's length. slots[count] becomes null; returns the count.
std::int32_t SplitInto(const char* line, char** slots, char* chars);

}  // namespace reinstall::cmdline

#endif  // REINSTALL_CMDLINE_SPLIT_COMMAND_LINE_H_
