// The launcher's argument vector: one allocation sized from the line's length alone, split by
// the grammar of reinstall/command_line.h.
#include <cstdint>
#include <cstring>

#include "app/reinstall.h"
#include "cmdline/argument_block.h"
#include "platform/platform.h"

LPSTR* TReinstall::SplitCommandLine(LPCSTR commandLine, std::int32_t* argc) {
  const std::size_t length = std::strlen(commandLine);
  const std::size_t size = reinstall::ArgvBlockSize(length, sizeof(LPSTR));
  // A line so long that its count could not be told in 32 bits is refused like a failed
  // allocation; no real command line comes near it.
  if (size == 0 || length / 2 >= static_cast<std::size_t>(INT32_MAX)) {
    return nullptr;
  }
  auto* block = static_cast<LPSTR*>(reinstall::os::GlobalAlloc(GMEM_FIXED, size));
  if (block == nullptr) {
    return nullptr;
  }
  char* text = reinterpret_cast<char*>(block) + reinstall::ArgvTextOffset(length, sizeof(LPSTR));
  *argc = reinstall::SplitInto(commandLine, block, text);
  return block;
}
