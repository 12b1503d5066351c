// The layout of the launcher's argument block: one allocation sized from the line's length alone,
// filled by the splitter of reinstall/command_line.h (SplitInto). The launcher's own; applications
// never need it.
#ifndef REINSTALL_CMDLINE_ARGUMENT_BLOCK_H_
#define REINSTALL_CMDLINE_ARGUMENT_BLOCK_H_

#include <cstddef>
#include <cstdint>
#include <limits>

#include "reinstall/command_line.h"

namespace reinstall {

// The launcher's argument block for a line of `length` bytes (its terminating zero not counted):
// a pointer area of ArgvSlotCount(length) slots, then length + 2 bytes of argument text starting
// at ArgvTextOffset. ArgvBlockSize is 0 when the size cannot be represented, which the
// launcher treats like a failed allocation; ArgvTextOffset assumes it could.
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

}  // namespace reinstall

#endif  // REINSTALL_CMDLINE_ARGUMENT_BLOCK_H_
