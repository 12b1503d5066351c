// The record files that the test programs (stub installers, caller.exe) write and
// tests/records.py reads: one key=value line each, with backslash, line feed and carriage return
// escaped as \\, \n and \r, so that any value fits on its line. A key may repeat ("arg").
#ifndef REINSTALL_TESTS_RECORD_H_
#define REINSTALL_TESTS_RECORD_H_

#include <string>

namespace record {

inline std::string Line(const std::string& key, const std::string& value) {
  std::string line = key + '=';
  for (const char c : value) {
    switch (c) {
      case '\\':
        line += "\\\\";
        break;
      case '\n':
        line += "\\n";
        break;
      case '\r':
        line += "\\r";
        break;
      default:
        line += c;
    }
  }
  return line + '\n';
}

}  // namespace record

#endif  // REINSTALL_TESTS_RECORD_H_
