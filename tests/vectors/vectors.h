// The golden vectors of the hand-over command line: requests and the exact launcher command line
// that reinstall::BuildCommandLine makes of each, or its exact refusal, as one JSON document.
// tests/vectors/handover.json holds the committed copy that every binding checks; the unit tests
// check that the helper still produces it, byte for byte.
#ifndef REINSTALL_TESTS_VECTORS_VECTORS_H_
#define REINSTALL_TESTS_VECTORS_VECTORS_H_

#include <cstdio>
#include <string>
#include <vector>

#include "reinstall/handover.h"

namespace vectors {

inline std::string Json(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\u%04x", static_cast<unsigned char>(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + '"';
}

inline std::vector<reinstall::HandoverRequest> Requests() {
  const std::string kDigest = "9F86D081884C7D659A2FEAA0C55AD015A3BF4F1B2B0B822CD15D6C15B0F00A08";
  const std::string kThumbprint =
      "3a6eb0790f39ac87c94f3856b2dd2c5d110e6811602261a9a923d3bb23adc8b7";
  const std::string launcher = "C:\\Program Files\\App\\reinstall.exe";
  return {
      {launcher, "App.Mutex", "C:\\Temp\\setup.exe", "/S"},
      {launcher, "App.Mutex", "C:\\Temp\\setup 1.exe", "/S /D=C:\\Program Files\\App"},
      {launcher, "Global\\App", "C:\\Temp\\App.msi", ""},
      {"C:\\r.exe", "m", "C:\\x.exe", "a\tb"},
      {"C:\\r.exe", "m", "C:\\x.exe", "line\nbreak\rreturn"},
      {"C:\\r.exe", "m", "C:\\x.exe", "vertical\vtab and\fform feed"},
      {"C:\\r.exe", "m", "C:\\x.exe", " leading and trailing "},
      {"C:\\r.exe", "m", "C:\\folder\\", "ends\\"},
      {"C:\\r.exe", "m", "C:\\x.exe", "-test -saferun=kqz -appmutex=other"},
      {"C:\\r.exe", "it's", "C:\\x.exe", "%PATH% $HOME 'single'"},
      {"C:\\Zürich\\r.exe", "Ελλάδα", "C:\\日本\\setup ü.exe", "/D=Ünïcødé 名前 ∑"},
      {"/opt/app/reinstall", "app-lock", "/tmp/demo installer", "--lang=en"},
      {"", "m", "C:\\x.exe", ""},
      {"C:\\r.exe", "", "C:\\x.exe", ""},
      {"C:\\r.exe", "m", "", ""},
      {"C:\\\"r\".exe", "m", "C:\\x.exe", ""},
      {"C:\\r.exe", "say \"hi\"", "C:\\x.exe", ""},
      {"C:\\r.exe", "m", "\"C:\\x.exe\"", ""},
      {"C:\\r.exe", "m", "C:\\x.exe", "/qn DIR=\"C:\\Program Files\\App\""},
      {"C:\\r.exe", "m", "C:\\x.exe", "/S", kDigest, {}, ""},
      {"C:\\r.exe", "m", "C:\\x.exe", "/S", kDigest, {kThumbprint, kDigest}, kThumbprint},
      {"C:\\r.exe", "m", "C:\\x.exe", "/S", "", {kThumbprint}, ""},
      {"C:\\r.exe", "m", "C:\\x.exe", "/S", kDigest.substr(1), {}, ""},
      {"C:\\r.exe", "m", "C:\\x.exe", "/S", kDigest + "0", {}, ""},
      {"C:\\r.exe", "m", "C:\\x.exe", "/S", "", {kThumbprint, "0x3a6e"}, ""},
      {"C:\\r.exe", "m", "C:\\x.exe", "/S", "", {""}, ""},
      {"C:\\r.exe", "m", "C:\\x.exe", "/S", "", {" "}, ""},
      {"C:\\r.exe", "m", "C:\\x.exe", "/S", "", {}, kThumbprint.substr(0, 63) + "g"},
  };
}

// Values every binding must refuse, in a request that is otherwise plain, as invalid-value on the
// field named: as JSON text, since C++ strings cannot hold an unpaired surrogate; "valueHex" for
// bytes that are not UTF-8, which only a binding that holds bytes can pass (and only Windows
// refuses). "kind" says which bindings can hold the value: nul (all), surrogate (UTF-16
// strings: Python, Node.js, C#), utf8 (bytes: Go).
struct Refusal {
  const char* field;
  const char* key;
  const char* valueJson;
  const char* kind;
};

inline std::vector<Refusal> Refusals() {
  return {
      {"parameters", "value", R"("/S\u0000 /D=/evil")", "nul"},
      {"installPath", "value", R"("C:\\Temp\\setup.exe\u0000.txt")", "nul"},
      {"mutexName", "value", R"("App\ud800")", "surrogate"},
      {"installPath", "value", R"("C:\\Temp\\\udc00setup.exe")", "surrogate"},
      {"parameters", "value", R"("/D=\udfff")", "surrogate"},
      {"parameters", "valueHex", R"("2f443dff")", "utf8"},
      {"mutexName", "valueHex", R"("417070c3")", "utf8"},
  };
}

// The document, one vector a line.
inline std::string Document() {
  std::string out =
      "{\n  \"about\": \"Hand-over requests and the launcher command line that the helper builds "
      "of each, or its refusal (the field and the message). Written by the C++ helper; checked "
      "by every binding.\",\n  \"vectors\": [\n";
  const std::vector<reinstall::HandoverRequest> requests = Requests();
  for (const reinstall::HandoverRequest& request : requests) {
    out += "    {\"launcher\": " + Json(request.launcher) +
           ", \"mutexName\": " + Json(request.mutexName) +
           ", \"installPath\": " + Json(request.installPath) +
           ", \"parameters\": " + Json(request.parameters) + ", ";
    // The checks only where a vector has them, so that a binding without them reads the rest.
    if (!request.installSha256.empty()) {
      out += "\"installSha256\": " + Json(request.installSha256) + ", ";
    }
    if (!request.installSigner.empty()) {
      out += "\"installSigner\": [";
      for (const std::string& signer : request.installSigner) {
        out += (&signer == &request.installSigner.front() ? "" : ", ") + Json(signer);
      }
      out += "], ";
    }
    if (!request.launcherSha256.empty()) {
      out += "\"launcherSha256\": " + Json(request.launcherSha256) + ", ";
    }
    try {
      out += "\"commandLine\": " + Json(reinstall::BuildCommandLine(request));
    } catch (const reinstall::HandoverError& error) {
      out += "\"refusedField\": " + Json(error.field()) + ", \"refusal\": " + Json(error.what());
    }
    out += &request == &requests.back() ? "}\n" : "},\n";
  }
  out += "  ],\n  \"refusals\": [\n";
  const std::vector<Refusal> refusals = Refusals();
  for (const Refusal& refusal : refusals) {
    out += std::string("    {\"field\": ") + Json(refusal.field) + ", \"" + refusal.key +
           "\": " + refusal.valueJson + ", \"kind\": " + Json(refusal.kind) +
           (&refusal == &refusals.back() ? "}\n" : "},\n");
  }
  return out + "  ]\n}\n";
}

// Outcome records and what ReadOutcome makes of each: every binding reads the same texts and must
// give the same state, fields and sentence. A record without text is no file at all.
struct OutcomeCase {
  const char* about;
  const char* text;  // nullptr: no file
};

inline std::vector<OutcomeCase> OutcomeCases() {
  return {
      {"no file", nullptr},
      {"the launcher's record of a started installer",
       "{\"outcome\": \"installer-started\", \"systemError\": 0, \"launcherVersion\": "
       "\"1.0.0.23\", "
       "\"started\": \"2026-12-09T17:20:01.123Z\", \"ended\": \"2026-12-09T17:20:04.456Z\", "
       "\"mutexName\": \"MyCompany.MyApp\", \"installPath\": \"C:\\\\Temp\\\\setup.exe\"}\n"},
      {"the helper's record, left by a launcher that was stopped",
       "{\"outcome\": \"handed-over\", \"systemError\": 0, \"launcherVersion\": \"\", \"started\": "
       "\"2026-12-09T17:20:00.900Z\", \"ended\": \"\", \"mutexName\": \"App\", \"installPath\": "
       "\"/tmp/setup\"}\n"},
      {"elevation declined", "{\"outcome\": \"cant-execute\", \"systemError\": 1223}"},
      {"blocked by policy", "{\"outcome\": \"cant-execute\", \"systemError\": 1260}"},
      {"blocked by application control", "{\"outcome\": \"cant-execute\", \"systemError\": 4551}"},
      {"blocked by an antivirus", "{\"outcome\": \"cant-execute\", \"systemError\": 225}"},
      {"elevation required", "{\"outcome\": \"cant-execute\", \"systemError\": 740}"},
      {"not found", "{\"outcome\": \"cant-execute\", \"systemError\": 2}"},
      {"path not found", "{\"outcome\": \"cant-execute\", \"systemError\": 3}"},
      {"access denied", "{\"outcome\": \"cant-execute\", \"systemError\": 5}"},
      {"in use", "{\"outcome\": \"cant-execute\", \"systemError\": 32}"},
      {"no program for the type", "{\"outcome\": \"cant-execute\", \"systemError\": 1155}"},
      {"another shell error", "{\"outcome\": \"cant-execute\", \"systemError\": 4294967295}"},
      {"timed out", "{\"outcome\": \"timed-out\", \"systemError\": 0}"},
      {"install file missing", "{\"outcome\": \"install-file-missing\", \"systemError\": 0}"},
      {"install file changed", "{\"outcome\": \"install-file-changed\", \"systemError\": 0}"},
      {"missing parameters", "{\"outcome\": \"missing-parameters\", \"systemError\": 0}"},
      {"mutex error", "{\"outcome\": \"mutex-error\", \"systemError\": 6}"},
      {"command line error", "{\"outcome\": \"command-line-error\", \"systemError\": 0}"},
      {"launcher error", "{\"outcome\": \"launcher-error\", \"systemError\": 0}"},
      {"an outcome of a later version", "{\"outcome\": \"rebooted\", \"systemError\": 0}"},
      {"escapes, other keys, any order and blanks",
       " {\"installPath\" : \"C:\\\\Z\\u00fcrich\\\\\\ud83d\\ude00\\t\\\"x\\\".exe\", \"later\": "
       "\"x\",\n"
       "  \"count\": 3, \"outcome\": \"installer-started\", \"mutexName\": \"a\\/b\"}\r\n"},
      {"cut short", "{\"outcome\": \"installer-sta"},
      {"empty", ""},
      {"not an object", "[\"installer-started\"]"},
      {"no outcome", "{\"systemError\": 0}"},
      {"an outcome that is a number", "{\"outcome\": 1}"},
      {"a system error beyond 32 bits",
       "{\"outcome\": \"cant-execute\", \"systemError\": 4294967296}"},
      {"a negative system error", "{\"outcome\": \"cant-execute\", \"systemError\": -5}"},
      {"an unpaired surrogate", "{\"outcome\": \"x\", \"mutexName\": \"\\ud800\"}"},
      {"an escaped NUL inside a text",
       "{\"outcome\": \"timed-out\", \"mutexName\": \"a\\u0000b\"}"},
      {"a raw line break inside a text", "{\"outcome\": \"x\\n\", \"mutexName\": \"a\nb\"}"},
      {"something after the object", "{\"outcome\": \"timed-out\"} {}"},
  };
}

// The outcome document, one case a line.
inline std::string OutcomeDocument() {
  const char* const states[] = {"absent", "unreadable", "read"};
  std::string out =
      "{\n  \"about\": \"Outcome records (text null: no file) and what ReadOutcome makes of each. "
      "Written by the C++ helper; checked by every binding.\",\n  \"records\": [\n";
  const std::vector<OutcomeCase> cases = OutcomeCases();
  for (const OutcomeCase& c : cases) {
    const reinstall::OutcomeRecord r =
        c.text == nullptr ? [] {
          reinstall::OutcomeRecord absent;
          absent.sentence = reinstall::OutcomeSentence(absent);
          return absent;
        }()
                          : reinstall::ParseOutcomeRecord(c.text);
    out += "    {\"about\": " + Json(c.about) +
           ", \"text\": " + (c.text == nullptr ? std::string("null") : Json(c.text)) +
           ", \"state\": " + Json(states[static_cast<int>(r.state)]) +
           ", \"outcome\": " + Json(r.outcome) +
           ", \"systemError\": " + std::to_string(r.systemError) +
           ", \"launcherVersion\": " + Json(r.launcherVersion) +
           ", \"started\": " + Json(r.started) + ", \"ended\": " + Json(r.ended) +
           ", \"mutexName\": " + Json(r.mutexName) + ", \"installPath\": " + Json(r.installPath) +
           ", \"sentence\": " + Json(r.sentence) + (&c == &cases.back() ? "}\n" : "},\n");
  }
  return out + "  ]\n}\n";
}

}  // namespace vectors

#endif  // REINSTALL_TESTS_VECTORS_VECTORS_H_
