// Handing over to the reinstall launcher from an application: the supported way to call it.
//
// The pattern:
//   1. Hold an ApplicationMutex for the whole life of the process: create it early, keep it, and
//      let the process's exit release it. No program it starts keeps it (natively, a child forked
//      without exec shares it until that child ends).
//   2. Verify the downloaded installer by naming what it must be: its SHA-256 from the update
//      manifest (installSha256) and/or the certificates that may sign it (installSigner;
//      SignerOfThisProgram() for "signed as we are"). Before quitting, call Preflight(request).
//      Every problem it lists would make the hand-over fail after the application is gone; on any
//      problem, stay open and tell the user.
//   3. HandOver(request): it starts the launcher outside the application's job where it can,
//      inheriting no handle, and confirms that the launcher is still running a moment later.
//      On !result.ok(), stay open: result.problem says what went wrong. With a digest or a signer
//      list it first verifies the file again through a handle that denies writing, and hands the
//      launcher the digest of exactly those bytes, which it checks again and holds until the
//      shell has started them.
//   4. Quit within a few seconds. The launcher gives up with "Waiting for closing application
//      timed out." if the mutex still exists ten seconds after it started; it then starts nothing.
//
// Header-only, C++17, kernel32 only on Windows (shlwapi is loaded on demand), POSIX natively.
// Strings are bytes; on Windows they are UTF-8 and reach a launcher that runs with the UTF-8 code
// page (Windows 10 1903 and later) unchanged.
//
// This file holds what both systems share and the one hand-over flow; each system's mutex,
// process and checks live in reinstall/detail/handover_win32.h and handover_posix.h, with the
// same public members on both.
#ifndef REINSTALL_HANDOVER_H_
#define REINSTALL_HANDOVER_H_

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "reinstall/command_line.h"
#include "reinstall/outcome.h"

namespace reinstall {

// What the application hands over. `parameters` may be empty; the other three may not. The
// checks after them are optional: empty means none.
struct HandoverRequest {
  std::string launcher;     // path of reinstall.exe (or of the native reinstall)
  std::string mutexName;    // the mutex (lock) the application holds while it runs
  std::string installPath;  // the install file, an absolute path
  std::string parameters;   // its parameter string, passed on unchanged
  // The install file's SHA-256, 64 hexadecimal digits in either case (from the update manifest).
  std::string installSha256{};
  // SHA-256 thumbprints (hexadecimal, either case) of the certificates that may have signed the
  // install file: its Authenticode signature must be valid and made by one of them. Windows only.
  std::vector<std::string> installSigner{};
  // The launcher's own SHA-256, where the caller knows it (the language packages do).
  std::string launcherSha256{};
  // Where the hand-over's outcome is recorded (an absolute path; DefaultOutcomePath gives one):
  // HandOver writes "handed-over" there before it starts the launcher, which replaces it with
  // how it ended. Read it with ReadOutcome at the application's next start.
  std::string outcomePath{};
};

// A value the launcher could not receive intact. field() names it: "launcher", "mutexName",
// "installPath" or "parameters".
class HandoverError : public std::invalid_argument {
 public:
  HandoverError(const std::string& field, const std::string& problem)
      : std::invalid_argument("reinstall hand-over: " + field + " " + problem), field_(field) {}
  [[nodiscard]] const std::string& field() const noexcept { return field_; }

 private:
  std::string field_;
};

// Why a hand-over would fail or did fail. The numbers are stable.
enum class ProblemCode : int {
  kNone = 0,
  kInvalidValue = 1,           // a value the launcher cannot receive (empty, '"', NUL, encoding)
  kMutexNameInvalid = 2,       // a name the system cannot use for a mutex
  kInstallPathRelative = 3,    // the install path or the launcher is relative: resolved against
                               // a working directory, it could name any file
  kLauncherMissing = 4,        // no file at the launcher's path
  kLauncherNotExecutable = 5,  // something there, but not a program
  kInstallFileRejected = 6,    // the launcher's own check of the install file would fail
  kNoOpenProgram = 7,          // the shell has no program for "open" on this file type
  kMutexNotHeld = 8,           // the mutex does not exist: the installer would start at once
  kMutexUnusable = 9,          // the launcher could not open the mutex (another kind of object)
  kJobKillsLauncher = 10,      // a job that kills on close and forbids breakaway
  kStartFailed = 11,           // the launcher process could not be started
  kBreakawayRefused = 12,      // started, but inside the application's job
  kLauncherEndedEarly = 13,    // started, but gone before the confirmation
  kPathTooLong = 14,           // a path longer than the launcher's calls can open
  kMutexUnavailable = 15,      // ApplicationMutex: the system would not create or lock it
  kInstallFileMarked = 16,     // marked as downloaded: Windows would stop it at a security prompt
  kInstallFileChanged = 17,    // not the bytes the application verified (installSha256), or it
                               // cannot be held so that nobody changes it
  kInstallFileSigner = 18,     // unsigned, badly signed, or signed by nobody in installSigner
  kLauncherChanged = 19,       // the launcher is not the one launcherSha256 names
  kOutcomePathUnusable = 20,   // the outcome record's folder is missing or cannot be written
};

// The stable name of a code, for logs: "mutex-not-held" and so on.
inline const char* ProblemCodeName(ProblemCode code) {
  switch (code) {
    case ProblemCode::kNone:
      return "none";
    case ProblemCode::kInvalidValue:
      return "invalid-value";
    case ProblemCode::kMutexNameInvalid:
      return "mutex-name-invalid";
    case ProblemCode::kInstallPathRelative:
      return "install-path-relative";
    case ProblemCode::kLauncherMissing:
      return "launcher-missing";
    case ProblemCode::kLauncherNotExecutable:
      return "launcher-not-executable";
    case ProblemCode::kInstallFileRejected:
      return "install-file-rejected";
    case ProblemCode::kNoOpenProgram:
      return "no-open-program";
    case ProblemCode::kMutexNotHeld:
      return "mutex-not-held";
    case ProblemCode::kMutexUnusable:
      return "mutex-unusable";
    case ProblemCode::kJobKillsLauncher:
      return "job-kills-launcher";
    case ProblemCode::kStartFailed:
      return "start-failed";
    case ProblemCode::kBreakawayRefused:
      return "breakaway-refused";
    case ProblemCode::kLauncherEndedEarly:
      return "launcher-ended-early";
    case ProblemCode::kPathTooLong:
      return "path-too-long";
    case ProblemCode::kMutexUnavailable:
      return "mutex-unavailable";
    case ProblemCode::kInstallFileMarked:
      return "install-file-marked";
    case ProblemCode::kInstallFileChanged:
      return "install-file-changed";
    case ProblemCode::kInstallFileSigner:
      return "install-file-signer";
    case ProblemCode::kLauncherChanged:
      return "launcher-changed";
    case ProblemCode::kOutcomePathUnusable:
      return "outcome-path-unusable";
  }
  return "unknown";
}

// One problem: a code, the request field it concerns (empty when none; "confirm" for the
// confirmation time), the system's error (Win32 error on Windows, errno natively; 0 when none)
// and one sentence for a log or the user.
struct Problem {
  ProblemCode code = ProblemCode::kNone;
  std::string field;
  std::uint32_t systemError = 0;
  std::string message;
};

// How long HandOver watches the launcher by default: long enough for a launcher that refuses its
// request, or is stopped by the system, to be seen gone.
constexpr std::chrono::milliseconds kDefaultConfirmation{250};
// The longest watch HandOver accepts: well inside the launcher's ten seconds, so that a launcher
// that gave up and waits in its error box is never taken for one that waits for the application.
constexpr std::chrono::milliseconds kLongestConfirmation{2000};

namespace detail {

// Why the launcher could not receive `value` intact, or an empty text. It drops every double
// quote and ends its command line at a NUL; an empty mutex name or install path fails its
// validation.
inline std::string ValueProblem(const std::string& value, bool mayBeEmpty) {
  if (!mayBeEmpty && value.empty()) {
    return "is empty";
  }
  if (value.find('"') != std::string::npos) {
    return "holds a double quote, which the launcher can never receive";
  }
  if (value.find('\0') != std::string::npos) {
    return "holds a NUL byte, which would end the command line";
  }
  return {};
}

// 32 bytes (a digest) as 64 lower-case hexadecimal digits.
inline std::string HexOf(const unsigned char (&bytes)[32]) {
  const char* const digits = "0123456789abcdef";
  std::string hex;
  for (const unsigned char byte : bytes) {
    hex += digits[byte >> 4U];
    hex += digits[byte & 0x0FU];
  }
  return hex;
}

// `text` with A-Z as a-z and every other byte as it is: digests are compared in lower case.
inline std::string AsciiLower(std::string text) {
  for (char& c : text) {
    c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
  }
  return text;
}

inline void Check(const std::string& field, const std::string& value, bool mayBeEmpty) {
  const std::string problem = ValueProblem(value, mayBeEmpty);
  if (!problem.empty()) {
    throw HandoverError(field, problem);
  }
}

inline void Add(std::vector<Problem>& problems,
                ProblemCode code,
                const std::string& field,
                std::uint32_t systemError,
                const std::string& message) {
  problems.push_back(Problem{code, field, systemError, message});
}

// What reading a whole file found.
enum class FileRead { kRead, kAbsent, kFailed };

// The parts of a Windows program (a PE file) that its Authenticode signature covers, as (offset,
// length) pairs in file order: every byte but the checksum field, the certificate table's entry
// among the data directories, and the certificate table itself, which signing writes. Their
// SHA-256 stays the same when a publisher signs the program or signs it again. None when `image`
// is not a PE file whose fields lie within it.
inline std::vector<std::pair<std::size_t, std::size_t>> SignedImageParts(const std::string& image) {
  const auto number = [&](std::size_t at, int bytes) {
    std::size_t value = 0;
    for (int i = bytes - 1; i >= 0 && at + bytes <= image.size(); --i) {
      value = value << 8U | static_cast<unsigned char>(image[at + static_cast<std::size_t>(i)]);
    }
    return value;
  };
  const std::size_t size = image.size();
  const std::size_t header = number(0x3C, 4);
  if (size < 0x40 || image.compare(0, 2, "MZ") != 0 || header > size - 24 ||
      image.compare(header, 4, std::string("PE\0\0", 4)) != 0) {
    return {};
  }
  const std::size_t optional = header + 24;
  const std::size_t magic = number(optional, 2);  // 0x10B: 32-bit, 0x20B: 64-bit
  const std::size_t checksum = optional + 64;
  const std::size_t directories = optional + (magic == 0x20B ? 112 : 96);
  const std::size_t entry = directories + 32;  // the fifth of 8 bytes each: the certificate table
  if ((magic != 0x10B && magic != 0x20B) || number(directories - 4, 4) <= 4 ||
      entry + 8 > optional + number(header + 20, 2) || entry + 8 > size) {
    return {};
  }
  const std::size_t table = number(entry, 4);
  const std::size_t length = number(entry + 4, 4);
  if (length != 0 && (table < entry + 8 || table > size || length > size - table)) {
    return {};
  }
  std::vector<std::pair<std::size_t, std::size_t>> parts = {{0, checksum},
                                                            {checksum + 4, entry - checksum - 4}};
  if (length == 0) {
    parts.emplace_back(entry + 8, size - entry - 8);
  } else {
    parts.emplace_back(entry + 8, table - entry - 8);
    parts.emplace_back(table + length, size - table - length);
  }
  return parts;
}

inline bool HasProblemWith(const std::vector<Problem>& problems, const std::string& field) {
  return std::any_of(problems.begin(), problems.end(),
                     [&](const Problem& problem) { return problem.field == field; });
}

}  // namespace detail

// The launcher's arguments after its own path, each value checked. Throws HandoverError.
inline std::vector<std::string> BuildArguments(const HandoverRequest& request) {
  detail::Check("launcher", request.launcher, false);
  detail::Check("mutexName", request.mutexName, false);
  detail::Check("installPath", request.installPath, false);
  detail::Check("parameters", request.parameters, true);
  detail::Check("outcomePath", request.outcomePath, true);
  std::vector<std::string> arguments = {"-saferun=kqz", "-appmutex=" + request.mutexName,
                                        "-appinstall=" + request.installPath,
                                        "-installparam=" + request.parameters};
  if (!request.installSha256.empty() && !IsSha256Hex(request.installSha256)) {
    throw HandoverError("installSha256", "is not 64 hexadecimal digits");
  }
  for (const std::string& signer : request.installSigner) {
    if (!IsSha256Hex(signer)) {
      throw HandoverError("installSigner", "holds a thumbprint that is not 64 hexadecimal digits");
    }
  }
  if (!request.launcherSha256.empty() && !IsSha256Hex(request.launcherSha256)) {
    throw HandoverError("launcherSha256", "is not 64 hexadecimal digits");
  }
  if (!request.installSha256.empty()) {
    arguments.push_back("-installsha256=" + detail::AsciiLower(request.installSha256));
  }
  if (!request.outcomePath.empty()) {
    arguments.push_back("-outcome=" + request.outcomePath);
  }
  return arguments;
}

// The launcher's exact command line, program path first, each argument quoted where it must be.
// For every request it accepts, the launcher's splitting and parsing give back exactly the
// request's mutex name, install path and parameters. Throws HandoverError.
inline std::string BuildCommandLine(const HandoverRequest& request) {
  const std::vector<std::string> arguments = BuildArguments(request);
  // The program path is always quoted, so that a path with blanks is never split.
  return Quote(request.launcher) + ' ' + JoinArguments(arguments);
}

}  // namespace reinstall

#if defined(_WIN32)
#include "reinstall/detail/handover_win32.h"  // IWYU pragma: export
#else
#include "reinstall/detail/handover_posix.h"  // IWYU pragma: export
#endif

namespace reinstall {
namespace detail {

// The launcher in the folder of `file`, or "" for no file.
inline std::string LauncherBeside(const std::string& file) {
  if (file.empty()) {
    return {};
  }
  const std::size_t cut = file.find_last_of(kPathSeparators);
  return (cut == std::string::npos ? std::string() : file.substr(0, cut + 1)) + kLauncherFileName;
}

// The system's rule for object names: at most kMutexNameLimit units (MutexNameLength), and a
// backslash only as the end of a "Global\", "Local\" or "Session\N\" namespace prefix.
inline std::string MutexNameProblem(const std::string& name) {
  if (MutexNameLength(name) > kMutexNameLimit) {
    return "is longer than " + std::to_string(kMutexNameLimit) + " " + kMutexNameUnits;
  }
  std::size_t rest = 0;
  if (name.compare(0, 7, "Global\\") == 0) {
    rest = 7;
  } else if (name.compare(0, 6, "Local\\") == 0) {
    rest = 6;
  } else if (name.compare(0, 8, "Session\\") == 0) {
    std::size_t end = 8;
    while (end < name.size() && name[end] >= '0' && name[end] <= '9') {
      ++end;
    }
    if (end > 8 && end < name.size() && name[end] == '\\') {
      rest = end + 1;
    }
  }
  if (name.find('\\', rest) != std::string::npos) {
    return R"(holds a backslash; only a Global\, Local\ or Session\N\ prefix may end in one)";
  }
  if (rest == name.size()) {
    return "names no object after its namespace prefix";
  }
  return {};
}

// Each thumbprint of installSigner has the form of one: an empty or blank one names no
// certificate, and is never read as "no check".
inline void CheckSigners(const HandoverRequest& request, std::vector<Problem>& problems) {
  for (const std::string& signer : request.installSigner) {
    if (!IsSha256Hex(signer)) {
      Add(problems, ProblemCode::kInvalidValue, "installSigner", 0,
          signer.find_first_not_of(" \t\r\n") == std::string::npos
              ? std::string("installSigner holds an empty thumbprint (SignerOfThisProgram() "
                            "of a program that is not signed)")
              : "installSigner holds a thumbprint that is not 64 hexadecimal digits: " + signer);
      return;
    }
  }
}

// The record is written beside its path and moved over it: neither name may be a file the
// hand-over needs.
inline void CheckOutcomeSpares(const HandoverRequest& request, std::vector<Problem>& problems) {
  for (const auto& spared : FilesTheRecordSpares(request)) {
    if (SamePath(request.outcomePath, spared.second) ||
        SamePath(request.outcomePath + ".partial", spared.second)) {
      Add(problems, ProblemCode::kInvalidValue, "outcomePath", 0,
          "outcomePath " + request.outcomePath + " names " + spared.first +
              " (or the record's .partial file does): the record would replace it");
      return;
    }
  }
}

// The checks that need nothing but the request (and what the system tells of itself): values,
// the mutex name's form, an absolute install path. HandOver refuses on any of them.
inline std::vector<Problem> RequestProblems(const HandoverRequest& request) {
  std::vector<Problem> problems;
  const std::pair<const char*, const std::string*> fields[] = {
      {"launcher", &request.launcher},
      {"mutexName", &request.mutexName},
      {"installPath", &request.installPath},
      {"parameters", &request.parameters},
      {"outcomePath", &request.outcomePath}};
  for (const auto& field : fields) {
    const bool isLauncher = field.second == &request.launcher;
    std::string why = ValueProblem(
        *field.second, field.second == &request.parameters || field.second == &request.outcomePath);
    if (why.empty()) {
      // The launcher's own path reaches it through the system, not through its command line.
      why = EncodingProblem(*field.second, !isLauncher);
    }
    if (!why.empty()) {
      Add(problems, ProblemCode::kInvalidValue, field.first, 0, field.first + (" " + why));
    }
  }
  if (!HasProblemWith(problems, "mutexName")) {
    const std::string why = MutexNameProblem(request.mutexName);
    if (!why.empty()) {
      Add(problems, ProblemCode::kMutexNameInvalid, "mutexName", 0, "mutexName " + why);
    }
  }
  if (!HasProblemWith(problems, "installPath") && !IsAbsolutePath(request.installPath)) {
    Add(problems, ProblemCode::kInstallPathRelative, "installPath", 0,
        "installPath is relative; the launcher would look for it in its own working directory");
  }
  if (!HasProblemWith(problems, "launcher") && !IsAbsolutePath(request.launcher)) {
    Add(problems, ProblemCode::kInstallPathRelative, "launcher", 0,
        "launcher is relative; the system would look for it in this program's working directory");
  }
  if (!request.outcomePath.empty() && !HasProblemWith(problems, "outcomePath") &&
      !IsAbsolutePath(request.outcomePath)) {
    Add(problems, ProblemCode::kInstallPathRelative, "outcomePath", 0,
        "outcomePath is relative; the launcher would write it in its own working directory");
  }
  if (!request.outcomePath.empty() && !HasProblemWith(problems, "outcomePath")) {
    CheckOutcomeSpares(request, problems);
  }
  const std::pair<const char*, const std::string*> digests[] = {
      {"installSha256", &request.installSha256}, {"launcherSha256", &request.launcherSha256}};
  for (const auto& digest : digests) {
    if (!digest.second->empty() && !IsSha256Hex(*digest.second)) {
      Add(problems, ProblemCode::kInvalidValue, digest.first, 0,
          digest.first + std::string(" is not 64 hexadecimal digits"));
    }
  }
  CheckSigners(request, problems);
  return problems;
}

// Whether the request asks for the install file to be verified, and its checks can be made.
inline bool VerifiesInstallFile(const HandoverRequest& request,
                                const std::vector<Problem>& problems) {
  return !(request.installSha256.empty() && request.installSigner.empty()) &&
         !HasProblemWith(problems, "installPath") && !HasProblemWith(problems, "installSha256") &&
         !HasProblemWith(problems, "installSigner");
}

inline bool VerifiesLauncher(const HandoverRequest& request, const std::vector<Problem>& problems) {
  return !request.launcherSha256.empty() && !HasProblemWith(problems, "launcher") &&
         !HasProblemWith(problems, "launcherSha256");
}

// Checks the held launcher against launcherSha256.
inline void CheckPinnedLauncher(const HandoverRequest& request,
                                PinnedFile& file,
                                std::vector<Problem>& problems) {
  const std::string digest = file.open() ? file.ImageSha256() : std::string();
  if (digest.empty()) {
    Add(problems, ProblemCode::kLauncherChanged, "launcher", file.error(),
        "launcher " + request.launcher + " cannot be held and read (" + ErrorText(file.error()) +
            ")");
  } else if (digest != AsciiLower(request.launcherSha256)) {
    Add(problems, ProblemCode::kLauncherChanged, "launcher", 0,
        "launcher " + request.launcher + " has the SHA-256 " + digest + ", not the " +
            AsciiLower(request.launcherSha256) + " of launcherSha256");
  }
}

// Checks the held install file against the request's digest and signer list. Returns the SHA-256
// of the held bytes, "" when they could not be had (and then a problem says why).
inline std::string CheckPinnedInstallFile(const HandoverRequest& request,
                                          PinnedFile& file,
                                          std::vector<Problem>& problems) {
  const std::string consequence =
      "; the launcher would stop with \"Install file has been changed.\"";
  if (!file.open()) {
    Add(problems, ProblemCode::kInstallFileChanged, "installPath", file.error(),
        "installPath " + request.installPath + " cannot be held so that nobody changes it (" +
            ErrorText(file.error()) + "): it is open for writing, or is a link" + consequence);
    return {};
  }
  std::string digest = file.Sha256();
  if (digest.empty()) {
    Add(problems, ProblemCode::kInstallFileChanged, "installPath", file.error(),
        "installPath " + request.installPath + " could not be read and hashed (" +
            ErrorText(file.error()) + ")" + consequence);
    return {};
  }
  if (!request.installSha256.empty() && digest != AsciiLower(request.installSha256)) {
    Add(problems, ProblemCode::kInstallFileChanged, "installPath", 0,
        "installPath " + request.installPath + " has the SHA-256 " + digest + ", not the " +
            AsciiLower(request.installSha256) + " of installSha256");
  }
  if (!request.installSigner.empty()) {
    std::uint32_t status = 0;
    const std::string signer = file.Signer(&status);
    const bool listed =
        !signer.empty() &&
        std::any_of(request.installSigner.begin(), request.installSigner.end(),
                    [&](const std::string& accepted) { return AsciiLower(accepted) == signer; });
    if (!listed) {
      Add(problems, ProblemCode::kInstallFileSigner, "installPath", status,
          "installPath " + request.installPath +
              (signer.empty() ? " has no valid signature (" + SignatureText(status) + ")"
                              : " is signed by the certificate " + signer +
                                    ", which is not in installSigner"));
    }
  }
  return digest;
}

}  // namespace detail

// The launcher in the running program's own folder, where an application ships it
// (reinstall.exe; natively reinstall); "" when the system cannot tell the program's path.
inline std::string LauncherBesideProgram() {
  return detail::LauncherBeside(detail::ProgramPath());
}

// The SHA-256 thumbprint (lower-case hexadecimal) of the certificate that signed the running
// program, when its Authenticode signature is valid; "" when it is unsigned, its signature does
// not hold, or (natively) the system has no code signatures. An installSigner of
// {SignerOfThisProgram()} accepts installers signed as the application is.
inline std::string SignerOfThisProgram() {
  detail::PinnedFile self;
  std::uint32_t status = 0;
  return self.Open(detail::ProgramPath()) ? self.Signer(&status) : std::string();
}

// Every problem that would make a hand-over of `request` fail, found while the application can
// still react; empty when none. Never throws but for lack of memory.
inline std::vector<Problem> Preflight(const HandoverRequest& request) {
  std::vector<Problem> problems = detail::RequestProblems(request);
  if (!detail::HasProblemWith(problems, "launcher")) {
    detail::CheckLauncherFile(request.launcher, problems);
  }
  if (!detail::HasProblemWith(problems, "installPath")) {
    detail::CheckInstallFile(request.installPath, problems);
    detail::CheckOpenProgram(request.installPath, problems);
  }
  if (detail::VerifiesInstallFile(request, problems)) {
    detail::PinnedFile file;
    file.Open(request.installPath);
    detail::CheckPinnedInstallFile(request, file, problems);
  }
  if (detail::VerifiesLauncher(request, problems)) {
    detail::PinnedFile launcher;
    launcher.Open(request.launcher);
    detail::CheckPinnedLauncher(request, launcher, problems);
  }
  if (!detail::HasProblemWith(problems, "mutexName")) {
    detail::CheckMutexHeld(request.mutexName, problems);
  }
  if (!request.outcomePath.empty() && !detail::HasProblemWith(problems, "outcomePath") &&
      !detail::PathTooLong("outcomePath", request.outcomePath + ".partial",
                           "with the .partial the record is first written to, so how the "
                           "hand-over ends would not be recorded",
                           problems)) {
    // Written and removed again, as the launcher writes its record beside the path.
    std::uint32_t error = 0;
    if (!detail::CanCreate(request.outcomePath + ".partial", &error)) {
      detail::Add(problems, ProblemCode::kOutcomePathUnusable, "outcomePath", error,
                  "outcomePath " + request.outcomePath + " cannot be written (" +
                      detail::ErrorText(error) +
                      "): its folder is missing or not writable, so how the hand-over ends "
                      "would not be recorded");
    }
  }
  detail::CheckJob(problems);
  return problems;
}

// How the last hand-over that recorded to `path` ended: absent (no file), unreadable, or the
// record with a sentence for the user. Compare the running version with the one the update was
// to install before telling the user it worked: "installer-started" says the installer ran, not
// what it did. Never throws but for lack of memory.
inline OutcomeRecord ReadOutcome(const std::string& path) {
  std::string content;
  switch (detail::ReadWhole(path, &content)) {
    case detail::FileRead::kRead:
      return ParseOutcomeRecord(content);
    case detail::FileRead::kAbsent: {
      OutcomeRecord absent;
      absent.sentence = OutcomeSentence(absent);
      return absent;
    }
    case detail::FileRead::kFailed:
      break;
  }
  return ParseOutcomeRecord("");  // unreadable
}

// A path for the outcome record of `application` (a folder name, e.g. "MyCompany.MyApp") in the
// user's local application data (%LOCALAPPDATA%\APPLICATION\reinstall-outcome.json on Windows,
// $XDG_STATE_HOME/APPLICATION/reinstall-outcome.json natively, ~/.local/state without it); the
// folders are created. "" when there is none to be had or the name is not a plain folder name.
inline std::string DefaultOutcomePath(const std::string& application) {
  if (application.empty() || application == "." || application == ".." ||
      application.find_first_of(std::string(detail::kPathSeparators) + ":") != std::string::npos ||
      !detail::ValueProblem(application, false).empty()) {
    return {};
  }
  const std::string base = detail::LocalDataFolder();
  if (base.empty()) {
    return {};
  }
  const std::string folder = base + detail::kPathSeparators[0] + application;
  if (!detail::MakeFolder(folder)) {
    return {};
  }
  return folder + detail::kPathSeparators[0] + "reinstall-outcome.json";
}

// The step of HandOver that failed.
enum class HandoverStep : int {
  kNone = 0,          // nothing failed
  kCheckRequest = 1,  // the request itself (the checks of Preflight that need no system call)
  kStartProcess = 2,  // the launcher could not be started
  kBreakaway = 3,     // started, but inside this process's job, which forbids breakaway
  kConfirm = 4,       // started, but it ended before the confirmation wait was over
  kVerify = 5,        // the install file or the launcher is not what the request names
};

// What HandOver did. On ok() the launcher runs outside this process's job (or there is none) and
// was still running after the confirmation wait.
struct HandoverResult {
  HandoverStep failedStep = HandoverStep::kNone;
  Problem problem;                 // code kNone when nothing failed
  bool brokeAway = false;          // started with CREATE_BREAKAWAY_FROM_JOB (Windows)
  bool remainsInJob = false;       // the job forbade breakaway: the launcher shares its fate
  bool jobKillsOnClose = false;    // ...and that job kills its processes when it closes
  bool foregroundAllowed = false;  // the launcher, and so the installer, may take the foreground
  LauncherProcess launcher;        // the started launcher; not started() when the start failed

  [[nodiscard]] bool ok() const { return failedStep == HandoverStep::kNone; }
};

namespace detail {

inline HandoverResult Fail(HandoverResult result,
                           HandoverStep step,
                           ProblemCode code,
                           std::uint32_t systemError,
                           const std::string& message) {
  result.failedStep = step;
  result.problem = Problem{code, "", systemError, message};
  return result;
}

// Watches the started launcher for `confirm`; a launcher that ends in that time is reported.
inline HandoverResult Confirm(HandoverResult result, std::chrono::milliseconds confirm) {
  if (confirm.count() > 0 && result.launcher.Wait(confirm)) {
    const std::string code = result.launcher.exitCodeKnown()
                                 ? "exit code " + std::to_string(result.launcher.exitCode())
                                 : "exit code unknown";
    return Fail(std::move(result), HandoverStep::kConfirm, ProblemCode::kLauncherEndedEarly, 0,
                "the launcher ended within " + std::to_string(confirm.count()) + " ms (" + code +
                    "): it refused the request, or the system stopped it");
  }
  return result;
}

}  // namespace detail

// Starts the launcher for `request` and watches it for `confirm` (0: not at all; at most
// kLongestConfirmation). On Windows it starts it with CREATE_BREAKAWAY_FROM_JOB, so that it
// outlives a job that kills its processes when the application quits (again without it when the
// job forbids breakaway, and then reported), inheriting no handle of the application, even ones
// created inheritable. Natively it starts it in a session of its own, with no descriptor above
// standard error, no blocked signal and every signal at its default. Never throws but for lack
// of memory.
inline HandoverResult HandOver(const HandoverRequest& request,
                               std::chrono::milliseconds confirm = kDefaultConfirmation) {
  HandoverResult result;
  std::vector<Problem> problems = detail::RequestProblems(request);
  if (confirm > kLongestConfirmation) {
    detail::Add(problems, ProblemCode::kInvalidValue, "confirm", 0,
                "confirm is " + std::to_string(confirm.count()) + " ms, longer than the " +
                    std::to_string(kLongestConfirmation.count()) +
                    " ms that tell a waiting launcher from one that gave up");
  }
  if (!problems.empty()) {
    result.failedStep = HandoverStep::kCheckRequest;
    result.problem = problems.front();
    return result;
  }
  // What is verified stays held, denying writes, until the launcher has been watched: the
  // launcher itself, and the install file, whose digest the launcher checks again and holds in
  // turn.
  detail::PinnedFile launcherFile;
  launcherFile.Open(request.launcher);
  if (detail::VerifiesLauncher(request, problems)) {
    detail::CheckPinnedLauncher(request, launcherFile, problems);
  }
  HandoverRequest pinned = request;
  detail::PinnedFile installFile;
  if (detail::VerifiesInstallFile(request, problems)) {
    installFile.Open(request.installPath);
    pinned.installSha256 = detail::CheckPinnedInstallFile(request, installFile, problems);
  }
  if (!problems.empty()) {
    result.failedStep = HandoverStep::kVerify;
    result.problem = problems.front();
    return result;
  }
  std::string previous;
  detail::FileRead before = detail::FileRead::kAbsent;
  if (!request.outcomePath.empty()) {
    // The launcher replaces it when it ends; one stopped before that leaves this one. A record
    // that cannot be written stops nothing (Preflight reports its path).
    before = detail::ReadWhole(request.outcomePath, &previous);
    std::uint32_t ignored = 0;
    detail::ReplaceWhole(
        request.outcomePath,
        detail::HandedOverRecord(detail::UtcNow(), request.mutexName, request.installPath),
        &ignored);
  }
  detail::Started started = detail::StartLauncher(pinned, launcherFile);
  result.brokeAway = started.brokeAway;
  result.remainsInJob = started.remainsInJob;
  if (!started.process.started()) {
    // Nothing was handed over: the record says what it said before, or is gone again.
    if (!request.outcomePath.empty()) {
      std::uint32_t ignored = 0;
      if (before != detail::FileRead::kRead ||
          !detail::ReplaceWhole(request.outcomePath, previous, &ignored)) {
        detail::RemoveFile(request.outcomePath);
      }
    }
    if (started.changed) {
      return detail::Fail(std::move(result), HandoverStep::kVerify, ProblemCode::kLauncherChanged,
                          started.error,
                          "the launcher " + request.launcher +
                              " no longer leads to the file that was checked (a folder on its "
                              "way was changed), so it was not started");
    }
    return detail::Fail(std::move(result), HandoverStep::kStartProcess, ProblemCode::kStartFailed,
                        started.error,
                        "the launcher " + request.launcher + " could not be started (" +
                            detail::ErrorText(started.error) + ")");
  }
  result.launcher = std::move(started.process);
  result.foregroundAllowed = detail::AllowForeground(result.launcher.id());
  result = detail::Confirm(std::move(result), confirm);
  if (result.ok() && result.remainsInJob) {
    result.jobKillsOnClose = detail::JobKillsOnClose();
    const std::string message =
        std::string("the launcher runs inside this process's job, which forbids breakaway; ") +
        (result.jobKillsOnClose ? "the job kills its processes when it closes, so the launcher "
                                  "would die with the application"
                                : "it survives the application only while the job lives");
    return detail::Fail(std::move(result), HandoverStep::kBreakaway, ProblemCode::kBreakawayRefused,
                        started.error, message);
  }
  return result;
}

}  // namespace reinstall

#endif  // REINSTALL_HANDOVER_H_
