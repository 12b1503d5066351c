// The launcher's command-line grammar as an application needs it: which bytes part arguments,
// when and how an argument is quoted so that it comes back as it was, how arguments are joined
// into a line, and where the native stand-in keeps the lock file of a mutex. The launcher splits
// lines by the same rules (src/cmdline/argument_block.h). Header-only C++17, standard library
// only.
//
// No argument can hold a double quote: quotes group and are always removed, and nothing escapes.
#ifndef REINSTALL_COMMAND_LINE_H_
#define REINSTALL_COMMAND_LINE_H_

#include <cstddef>
#include <cstdlib>
#include <string>
#include <vector>

namespace reinstall {

// Blank, horizontal tab, line feed and carriage return part arguments; vertical tab and form feed
// are ordinary bytes.
constexpr char kSeparators[] = " \t\n\r";

constexpr bool IsSeparator(char c) {
  static_assert(sizeof(kSeparators) == 5, "four separators");
  return c == kSeparators[0] || c == kSeparators[1] || c == kSeparators[2] || c == kSeparators[3];
}

// `argument` in double quotes.
inline std::string Quote(const std::string& argument) {
  return '"' + argument + '"';
}

// `argument` as it must stand on a command line to come back unchanged: quoted when it holds a
// separator, and when it is empty (unquoted it would vanish); as it is otherwise.
inline std::string QuoteArgument(const std::string& argument) {
  return argument.empty() || argument.find_first_of(kSeparators) != std::string::npos
             ? Quote(argument)
             : argument;
}

// The arguments joined by single blanks, each quoted where it must be.
inline std::string JoinArguments(const std::vector<std::string>& arguments) {
  std::string line;
  for (const std::string& argument : arguments) {
    if (&argument != &arguments.front()) {
      line += ' ';
    }
    line += QuoteArgument(argument);
  }
  return line;
}

// The lock file that stands for the mutex `name` in the native build: $XDG_RUNTIME_DIR/NAME.lock
// (/tmp when unset); a name holding '/' is a path used as it stands.
inline std::string LockPath(const std::string& name) {
  if (name.find('/') != std::string::npos) {
    return name;
  }
  const char* dir = std::getenv("XDG_RUNTIME_DIR");
  return std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/" + name + ".lock";
}

}  // namespace reinstall

#endif  // REINSTALL_COMMAND_LINE_H_
