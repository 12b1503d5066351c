// Reading a file's mark of origin: the zone that its Zone.Identifier stream names, read as Windows
// reads an INI file. Platform-neutral, so that every form of the stream is tested on any host;
// included by handover_win32.h, which reads the stream.
#ifndef REINSTALL_DETAIL_ZONE_IDENTIFIER_H_
#define REINSTALL_DETAIL_ZONE_IDENTIFIER_H_

#include <cstddef>
#include <string>

namespace reinstall {
namespace detail {

// The stream's text as single bytes: UTF-16LE (with its byte-order mark, or without one, as
// told by a zero high byte in the first unit) has every unit above 0x7F replaced by '?'; a UTF-8
// byte-order mark is dropped. Only ASCII matters to the keys and numbers looked for.
inline std::string ZoneStreamText(const std::string& bytes) {
  const bool bom16 = bytes.compare(0, 2, "\xFF\xFE") == 0;
  if (bom16 || (bytes.size() >= 2 && bytes[0] != '\0' && bytes[1] == '\0')) {
    std::string text;
    for (std::size_t i = bom16 ? 2 : 0; i + 1 < bytes.size(); i += 2) {
      const bool ascii = bytes[i + 1] == '\0' && static_cast<unsigned char>(bytes[i]) < 0x80;
      text += ascii ? bytes[i] : '?';
    }
    return text;
  }
  return bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? bytes.substr(3) : bytes;
}

inline std::string TrimBlanks(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) {
    return {};
  }
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// Whether `text` is `name`, ignoring the case of ASCII letters.
inline bool SameAsciiText(const std::string& text, const char* name) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  std::size_t i = 0;
  for (; i < text.size() && name[i] != '\0'; ++i) {
    if (lower(text[i]) != lower(name[i])) {
      return false;
    }
  }
  return i == text.size() && name[i] == '\0';
}

// The zone that the stream's bytes name: the first ZoneId under [ZoneTransfer] (section and key
// in any case, blanks around either side of '=', CR LF or LF lines), its value read as a whole
// number from its leading digits; -1 when there is none.
inline int ZoneOfStream(const std::string& bytes) {
  const std::string text = ZoneStreamText(bytes);
  bool inSection = false;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end;
    const std::string line = TrimBlanks(text.substr(start, end - start));
    start = end + 1;
    if (!line.empty() && line[0] == '[') {
      const std::size_t close = line.find(']');
      inSection = close != std::string::npos &&
                  SameAsciiText(TrimBlanks(line.substr(1, close - 1)), "ZoneTransfer");
      continue;
    }
    const std::size_t equals = line.find('=');
    if (!inSection || equals == std::string::npos ||
        !SameAsciiText(TrimBlanks(line.substr(0, equals)), "ZoneId")) {
      continue;
    }
    const std::string value = TrimBlanks(line.substr(equals + 1));
    if (value.empty() || value[0] < '0' || value[0] > '9') {
      return -1;
    }
    int zone = 0;
    for (std::size_t i = 0; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
      zone = zone > 100000 ? zone : zone * 10 + (value[i] - '0');
    }
    return zone;
  }
  return -1;
}

}  // namespace detail
}  // namespace reinstall

#endif  // REINSTALL_DETAIL_ZONE_IDENTIFIER_H_
