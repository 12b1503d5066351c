// The launcher's command-line grammar: which bytes part arguments, how a line is split (the
// splitter the launcher itself runs), when and how an argument is quoted so that it comes back as
// it was, how arguments are joined into a line, and where the native stand-in keeps the lock file
// of a mutex. Header-only C++17, standard library only.
//
// No argument can hold a double quote: quotes group and are always removed, and nothing escapes.
#ifndef REINSTALL_COMMAND_LINE_H_
#define REINSTALL_COMMAND_LINE_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
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

// The slots a line of `length` bytes needs for its arguments: one for every argument it can hold
// (at most (length + 1) / 2) and the null slot after the last.
constexpr std::size_t ArgvSlotCount(std::size_t length) {
  return (length + 2) / 2 + 1;
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

// The form of -installsha256='s value: exactly 64 hexadecimal digits, in either case.
inline bool IsSha256Hex(const std::string& text) {
  return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f');
         });
}

}  // namespace reinstall

#endif  // REINSTALL_COMMAND_LINE_H_
