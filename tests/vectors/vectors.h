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

}  // namespace vectors

#endif  // REINSTALL_TESTS_VECTORS_VECTORS_H_
