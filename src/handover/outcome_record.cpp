#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/reinstall.h"
#include "platform/platform.h"

#ifndef REINSTALL_VERSION
#define REINSTALL_VERSION "0.0.0.0"
#endif

namespace {

// Writes the record through a small buffer: no text of unbounded length is built in memory.
class RecordWriter {
 public:
  explicit RecordWriter(HANDLE file) : file_(file) {}

  void Put(const char* text) {
    while (*text != '\0') {
      PutChar(*text++);
    }
  }

  void PutChar(char c) {
    if (used_ == sizeof(buffer_)) {
      Flush();
    }
    buffer_[used_++] = c;
  }

  // `text` as a JSON string in UTF-8: quotes and backslashes escaped, control characters as
  // \u00XX; every other byte as it is where the launcher's code page is UTF-8, else the text
  // converted from its ANSI code page (Windows before 10 version 1903 gives it that one).
  void PutString(const std::string& text, bool ansi) {
    PutChar('"');
    if (!ansi || !PutConverted(text)) {
      for (char c : text) {
        PutByte(static_cast<unsigned char>(c));
      }
    }
    PutChar('"');
  }

  // `value` in decimal, at least `width` digits.
  void PutNumber(std::uint32_t value, int width) {
    char digits[11] = {};
    int n = 10;
    do {
      digits[--n] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0 || n > 10 - width);
    Put(digits + n);
  }

  // ISO 8601 in UTC with milliseconds, quoted: "2026-12-09T17:20:01.123Z".
  void PutTime(const SYSTEMTIME& t) {
    const std::uint32_t parts[] = {t.wYear,   t.wMonth,  t.wDay,         t.wHour,
                                   t.wMinute, t.wSecond, t.wMilliseconds};
    const char* const before = "\"--T::.";
    for (int i = 0; i < 7; ++i) {
      PutChar(before[i]);
      PutNumber(parts[i], i == 0 ? 4 : i == 6 ? 3 : 2);
    }
    Put("Z\"");
  }

  // `text` from the ANSI code page through UTF-16 to UTF-8; false, writing nothing, when the
  // system cannot convert it.
  bool PutConverted(const std::string& text) {
    const int size = static_cast<int>(text.size());
    const int units = reinstall::os::MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0);
    auto* wide = units > 0 ? static_cast<WCHAR*>(reinstall::os::GlobalAlloc(
                                 GMEM_FIXED, static_cast<SIZE_T>(units) * sizeof(WCHAR)))
                           : nullptr;
    const bool ok = wide != nullptr && reinstall::os::MultiByteToWideChar(
                                           CP_ACP, 0, text.data(), size, wide, units) == units;
    for (int i = 0; ok && i < units; ++i) {
      std::uint32_t c = wide[i];
      if (c >= 0xD800 && c < 0xDC00 && i + 1 < units && wide[i + 1] >= 0xDC00 &&
          wide[i + 1] < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10U) + (wide[++i] - 0xDC00U);
      }
      if (c < 0x80) {
        PutByte(static_cast<unsigned char>(c));
        continue;
      }
      // The lead byte marks the length (110xxxxx, 1110xxxx, 11110xxx), then 10xxxxxx each.
      const int more = c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
      PutChar(static_cast<char>((0xF00U >> (more + 1)) | (c >> (6 * more))));
      for (int shift = 6 * (more - 1); shift >= 0; shift -= 6) {
        PutChar(static_cast<char>(0x80U | ((c >> shift) & 0x3FU)));
      }
    }
    if (wide != nullptr) {
      reinstall::os::LocalFree(wide);
    }
    return ok;
  }

  // One byte of a JSON string: quotes and backslashes escaped, control characters as \u00XX.
  void PutByte(unsigned char byte) {
    char c = static_cast<char>(byte);
    if (c == '"' || c == '\\') {
      PutChar('\\');
    } else if (byte < 0x20) {
      Put("\\u00");
      PutChar(static_cast<char>('0' + (byte >> 4U)));
      c = "0123456789abcdef"[byte & 0x0FU];
    }
    PutChar(c);
  }

  // True when everything written so far reached the file.
  bool Flush() {
    DWORD written = 0;
    ok_ = ok_ && (used_ == 0 ||
                  (reinstall::os::WriteFile(file_, buffer_, used_, &written, nullptr) != FALSE &&
                   written == used_));
    used_ = 0;
    return ok_;
  }

 private:
  HANDLE file_;
  char buffer_[256] = {};
  DWORD used_ = 0;
  bool ok_ = true;
};

}  // namespace

void TReinstall::RecordOutcome(const char* failure) noexcept {
  if (fOutcomePath.empty()) {
    return;
  }
  // Each failure by the text of its box, which never changes; anything else (no memory) is the
  // launcher's own.
  enum SystemError { kNone, kInText, kShell };
  struct Named {
    const char* text;
    const char* outcome;
    SystemError error;
  };
  static const Named kFailures[] = {
      {"Install file doesn't exists.", "install-file-missing", kNone},
      {"Missing some required parameters.", "missing-parameters", kNone},
      {"Error parsing command line.", "command-line-error", kNone},
      {"Install file has been changed.", "install-file-changed", kNone},
      {"Waiting for closing application timed out.", "timed-out", kNone},
      {"Can't execute install file.", "cant-execute", kShell},
      {"Error opening mutex. Number: ", "mutex-error", kInText},
  };
  const char* outcome = failure == nullptr ? "installer-started" : "launcher-error";
  std::uint32_t systemError = 0;
  for (const Named& named : kFailures) {
    const std::size_t length = std::strlen(named.text);
    if (failure != nullptr && std::strncmp(failure, named.text, length) == 0) {
      outcome = named.outcome;
      if (named.error == kInText) {  // the number the text ends with
        systemError = static_cast<std::uint32_t>(std::strtoul(failure + length, nullptr, 10));
      } else if (named.error == kShell) {
        systemError = fShellError;
      }
    }
  }
  SYSTEMTIME ended{};
  reinstall::os::GetSystemTime(&ended);
  if (fStarted.wYear == 0) {  // the command line failed before the start was noted
    fStarted = ended;
  }
  try {
    // Written beside its name, flushed and moved over it, so that a reader finds the old record
    // or the new one, never part of one; what was written is removed when a step fails.
    const std::string partial = fOutcomePath + ".partial";
    HANDLE file = reinstall::os::CreateFileA(partial.c_str(), GENERIC_WRITE, 0, nullptr,
                                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      return;
    }
    RecordWriter record(file);
    record.Put(R"({"outcome": ")");
    record.Put(outcome);
    record.Put(R"(", "systemError": )");
    record.PutNumber(systemError, 1);
    record.Put(", \"launcherVersion\": \"" REINSTALL_VERSION "\", \"started\": ");
    record.PutTime(fStarted);
    record.Put(", \"ended\": ");
    record.PutTime(ended);
    const bool ansi = reinstall::os::GetACP() != CP_UTF8;
    record.Put(", \"mutexName\": ");
    record.PutString(fAppMutex, ansi);
    record.Put(", \"installPath\": ");
    record.PutString(fInstallApp, ansi);
    record.Put("}\n");
    const bool complete = record.Flush() && reinstall::os::FlushFileBuffers(file) != FALSE;
    reinstall::os::CloseHandle(file);
    if (!complete ||
        reinstall::os::MoveFileExA(partial.c_str(), fOutcomePath.c_str(),
                                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == FALSE) {
      reinstall::os::DeleteFileA(partial.c_str());
    }
  } catch (...) {
    // No memory for the file's name: the run ends as it would without a record.
  }
}
