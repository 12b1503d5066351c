// The outcome record: how the last hand-over ended, as the launcher (-outcome=PATH) or the helper
// (HandoverRequest::outcomePath, "handed-over") wrote it, read back at the application's next
// start. One JSON object on one line:
//   {"outcome": "installer-started", "systemError": 0, "launcherVersion": "1.0.0.23",
//    "started": "2026-12-09T17:20:01.123Z", "ended": "2026-12-09T17:20:04.456Z",
//    "mutexName": "MyCompany.MyApp", "installPath": "C:\\Temp\\setup.exe"}
// This header reads and words it and needs nothing of the system; reinstall/handover.h adds
// ReadOutcome(path) and DefaultOutcomePath(application).
#ifndef REINSTALL_OUTCOME_H_
#define REINSTALL_OUTCOME_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace reinstall {

// What ReadOutcome found.
enum class OutcomeState : int {
  kAbsent = 0,      // no record: nothing was handed over with this path
  kUnreadable = 1,  // a file, but not a record (cut short, another format, or it cannot be read)
  kRead = 2,        // the fields below
};

struct OutcomeRecord {
  OutcomeState state = OutcomeState::kAbsent;
  // "handed-over" (the helper's, before the launcher starts), "installer-started", "timed-out",
  // "install-file-missing", "install-file-changed", "missing-parameters", "mutex-error",
  // "cant-execute", "command-line-error" or "launcher-error" (the launcher's).
  std::string outcome;
  std::uint32_t systemError = 0;  // the shell's for cant-execute, the probe's for mutex-error
  std::string launcherVersion;    // "" in the helper's record
  std::string started, ended;     // UTC, ISO 8601; ended is "" in the helper's record
  std::string mutexName, installPath;
  std::string sentence;  // for the user: what happened and its likely cause
};

namespace detail {

// Reads one JSON string at text[*at] (its opening quote), with every escape, into `out` as UTF-8.
inline bool JsonString(const std::string& text, std::size_t* at, std::string* out) {
  std::size_t i = *at;
  if (i >= text.size() || text[i] != '"') {
    return false;
  }
  out->clear();
  const auto hex4 = [&](std::size_t from, std::uint32_t* value) {
    *value = 0;
    for (std::size_t k = from; k < from + 4; ++k) {
      const char c = k < text.size() ? text[k] : '\0';
      const int digit = (c >= '0' && c <= '9')   ? c - '0'
                        : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                        : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                                 : -1;
      if (digit < 0) {
        return false;
      }
      *value = *value * 16 + static_cast<std::uint32_t>(digit);
    }
    return true;
  };
  for (++i; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') {
      *at = i + 1;
      return true;
    }
    if (static_cast<unsigned char>(c) < 0x20) {
      return false;
    }
    if (c != '\\') {
      *out += c;
      continue;
    }
    if (++i >= text.size()) {
      return false;
    }
    const char* const simple = "\"\\/bfnrt";
    const char* const meant = "\"\\/\b\f\n\r\t";
    const std::size_t which = std::string(simple).find(text[i]);
    if (which != std::string::npos) {
      *out += meant[which];
      continue;
    }
    std::uint32_t code = 0;
    if (text[i] != 'u' || !hex4(i + 1, &code)) {
      return false;
    }
    i += 4;
    if (code >= 0xD800 && code <= 0xDBFF) {  // a surrogate pair makes one character
      std::uint32_t low = 0;
      if (i + 6 >= text.size() || text[i + 1] != '\\' || text[i + 2] != 'u' || !hex4(i + 3, &low) ||
          low < 0xDC00 || low > 0xDFFF) {
        return false;
      }
      code = 0x10000 + ((code - 0xD800) << 10U) + (low - 0xDC00);
      i += 6;
    } else if (code >= 0xDC00 && code <= 0xDFFF) {
      return false;
    }
    if (code < 0x80) {
      *out += static_cast<char>(code);
    } else if (code < 0x800) {
      *out += static_cast<char>(0xC0 | (code >> 6U));
      *out += static_cast<char>(0x80 | (code & 0x3FU));
    } else if (code < 0x10000) {
      *out += static_cast<char>(0xE0 | (code >> 12U));
      *out += static_cast<char>(0x80 | ((code >> 6U) & 0x3FU));
      *out += static_cast<char>(0x80 | (code & 0x3FU));
    } else {
      *out += static_cast<char>(0xF0 | (code >> 18U));
      *out += static_cast<char>(0x80 | ((code >> 12U) & 0x3FU));
      *out += static_cast<char>(0x80 | ((code >> 6U) & 0x3FU));
      *out += static_cast<char>(0x80 | (code & 0x3FU));
    }
  }
  return false;
}

inline void SkipBlanks(const std::string& text, std::size_t* at) {
  while (*at < text.size() &&
         (text[*at] == ' ' || text[*at] == '\t' || text[*at] == '\n' || text[*at] == '\r')) {
    ++*at;
  }
}

// The record's fields from one JSON object of strings and whole numbers; false for anything
// else, or one without a text "outcome". Other keys are passed over.
inline bool ParseOutcome(const std::string& text, OutcomeRecord* record) {
  std::size_t at = 0;
  SkipBlanks(text, &at);
  if (at >= text.size() || text[at++] != '{') {
    return false;
  }
  bool haveOutcome = false;
  SkipBlanks(text, &at);
  if (at < text.size() && text[at] == '}') {
    ++at;
  } else {
    for (;;) {
      std::string key;
      SkipBlanks(text, &at);
      if (!JsonString(text, &at, &key)) {
        return false;
      }
      SkipBlanks(text, &at);
      if (at >= text.size() || text[at++] != ':') {
        return false;
      }
      SkipBlanks(text, &at);
      if (at < text.size() && text[at] == '"') {
        std::string value;
        if (!JsonString(text, &at, &value)) {
          return false;
        }
        const std::pair<const char*, std::string*> texts[] = {
            {"outcome", &record->outcome},     {"launcherVersion", &record->launcherVersion},
            {"started", &record->started},     {"ended", &record->ended},
            {"mutexName", &record->mutexName}, {"installPath", &record->installPath}};
        for (const auto& field : texts) {
          if (key == field.first) {
            *field.second = value;
          }
        }
        haveOutcome = haveOutcome || key == "outcome";
      } else {
        std::uint64_t number = 0;
        const std::size_t first = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && number <= 0xFFFFFFFFU) {
          number = number * 10 + static_cast<std::uint64_t>(text[at++] - '0');
        }
        if (at == first || number > 0xFFFFFFFFU) {
          return false;
        }
        if (key == "systemError") {
          record->systemError = static_cast<std::uint32_t>(number);
        }
      }
      SkipBlanks(text, &at);
      if (at < text.size() && text[at] == ',') {
        ++at;
        continue;
      }
      if (at < text.size() && text[at] == '}') {
        ++at;
        break;
      }
      return false;
    }
  }
  SkipBlanks(text, &at);
  return haveOutcome && at == text.size();
}

}  // namespace detail

// One sentence for the user: how the hand-over ended and, for a failure, its likely cause.
inline std::string OutcomeSentence(const OutcomeRecord& record) {
  const std::string error = " (error " + std::to_string(record.systemError) + ")";
  if (record.state == OutcomeState::kAbsent) {
    return "No update has been handed over: there is no record of one.";
  }
  if (record.state == OutcomeState::kUnreadable) {
    return "The record of the last update could not be read.";
  }
  const std::string& o = record.outcome;
  if (o == "handed-over") {
    return "The update was handed over, but the launcher left no record of how it ended: it was "
           "stopped before it finished (by the system, a security program, or the user signing "
           "out).";
  }
  if (o == "installer-started") {
    return "The installer was started.";
  }
  if (o == "timed-out") {
    return "The update did not start: the application was still running ten seconds after it "
           "handed over.";
  }
  if (o == "install-file-missing") {
    return "The update did not start: the installer was missing or could not be opened (deleted, "
           "or still open for writing).";
  }
  if (o == "install-file-changed") {
    return "The update did not start: the installer was not the file that was verified (changed, "
           "replaced, or unreadable).";
  }
  if (o == "missing-parameters") {
    return "The update did not start: the launcher was given no mutex name.";
  }
  if (o == "mutex-error") {
    return "The update did not start: the launcher could not tell whether the application had "
           "quit" +
           error + ".";
  }
  if (o == "command-line-error") {
    return "The update did not start: the launcher could not read its command line.";
  }
  if (o == "launcher-error") {
    return "The update did not start: the launcher failed (it ran out of memory).";
  }
  if (o != "cant-execute") {
    return "The update ended in a way this version does not know (\"" + o + "\").";
  }
  switch (record.systemError) {
    case 1223:
      return "The installer did not start: the request for administrator rights was declined, "
             "or something cancelled it" +
             error + ".";
    case 1260:
      return "The installer did not start: a group policy blocks it" + error + ".";
    case 4551:  // ERROR_SYSTEM_INTEGRITY_POLICY_VIOLATION
    case 4556:  // ..._REPUTATION_MALICIOUS
    case 4557:  // ..._REPUTATION_PUA
    case 4558:  // ..._REPUTATION_DANGEROUS_EXT
    case 4580:  // ..._REPUTATION_UNFRIENDLY_FILE
    case 4581:  // ..._REPUTATION_UNATTAINABLE
      return "The installer did not start: application control (Smart App Control or an App "
             "Control for Business policy) blocks programs that are not signed or not known to "
             "be safe" +
             error + ".";
    case 4559:  // ..._REPUTATION_OFFLINE
      return "The installer did not start: Smart App Control could not check it without an "
             "Internet connection" +
             error + ".";
    case 225:
      return "The installer did not start: an antivirus program found a virus or unwanted "
             "software in it" +
             error + ".";
    case 740:
      return "The installer did not start: it needs administrator rights, which it did not get" +
             error + ".";
    case 2:
    case 3:
      return "The installer did not start: it was not found" + error + ".";
    case 5:
      return "The installer did not start: access to it was denied" + error + ".";
    case 32:
      return "The installer did not start: another program had it open" + error + ".";
    case 1155:
      return "The installer did not start: no program is set up to open its type of file" + error +
             ".";
    default:
      return "The installer did not start" + error + ".";
  }
}

// The record in `text` (a file's whole content), with its sentence.
inline OutcomeRecord ParseOutcomeRecord(const std::string& text) {
  OutcomeRecord record;
  if (!detail::ParseOutcome(text, &record)) {
    record = OutcomeRecord();
    record.state = OutcomeState::kUnreadable;
  } else {
    record.state = OutcomeState::kRead;
  }
  record.sentence = OutcomeSentence(record);
  return record;
}

namespace detail {

// A moment in UTC as ISO 8601 with milliseconds: 2026-12-09T17:20:01.123Z.
inline std::string
IsoTime(int year, int month, int day, int hour, int minute, int second, int millisecond) {
  const int parts[] = {year, month, day, hour, minute, second, millisecond};
  const char* const before = "\0--T::.";
  std::string text;
  for (int i = 0; i < 7; ++i) {
    if (i > 0) {
      text += before[i];
    }
    const std::string digits = std::to_string(parts[i]);
    const std::size_t width = i == 0 ? 4 : i == 6 ? 3 : 2;
    text += std::string(digits.size() < width ? width - digits.size() : 0, '0') + digits;
  }
  return text + 'Z';
}

// The helper's own record, "handed-over", written before the launcher starts.
inline std::string HandedOverRecord(const std::string& started,
                                    const std::string& mutexName,
                                    const std::string& installPath) {
  const auto quoted = [](const std::string& value) {
    std::string out = "\"";
    for (const char c : value) {
      const auto byte = static_cast<unsigned char>(c);
      if (c == '"' || c == '\\') {
        out += '\\';
        out += c;
      } else if (byte < 0x20) {
        out += "\\u00";
        out += static_cast<char>('0' + (byte >> 4U));
        out += "0123456789abcdef"[byte & 0x0FU];
      } else {
        out += c;
      }
    }
    return out + '"';
  };
  return "{\"outcome\": \"handed-over\", \"systemError\": 0, \"launcherVersion\": \"\", "
         "\"started\": " +
         quoted(started) + ", \"ended\": \"\", \"mutexName\": " + quoted(mutexName) +
         ", \"installPath\": " + quoted(installPath) + "}\n";
}

}  // namespace detail
}  // namespace reinstall

#endif  // REINSTALL_OUTCOME_H_
