// The hand-over helper on Windows: the application's named mutex, the started launcher's process
// and the checks Preflight makes, each as the launcher's own calls would see it. Included by
// reinstall/handover.h only, after the shared declarations; the native counterpart is
// handover_posix.h.
#ifndef REINSTALL_DETAIL_HANDOVER_WIN32_H_
#define REINSTALL_DETAIL_HANDOVER_WIN32_H_

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <wintrust.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "reinstall/detail/cng_win32.h"
#include "reinstall/detail/zone_identifier.h"

namespace reinstall {
namespace detail {

// `utf8` as UTF-16, or false when it is not valid UTF-8.
inline bool ToWide(const std::string& utf8, std::wstring& wide) {
  wide.clear();
  if (utf8.empty()) {
    return true;
  }
  const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                       static_cast<int>(utf8.size()), nullptr, 0);
  if (size <= 0) {
    return false;
  }
  wide.assign(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()),
                      &wide[0], size);
  return true;
}

inline std::wstring Wide(const std::string& utf8) {
  std::wstring wide;
  ToWide(utf8, wide);
  return wide;
}

// A Win32 handle owned alone: closed on destruction, moved, never copied.
class OwnedHandle {
 public:
  OwnedHandle() = default;
  explicit OwnedHandle(HANDLE handle) : handle_(handle) {}
  ~OwnedHandle() { reset(); }
  OwnedHandle(OwnedHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  OwnedHandle& operator=(OwnedHandle&& other) noexcept {
    if (this != &other) {
      reset(std::exchange(other.handle_, nullptr));
    }
    return *this;
  }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;

  [[nodiscard]] HANDLE get() const { return handle_; }
  void reset(HANDLE handle = nullptr) {
    if (handle_ != nullptr) {
      CloseHandle(handle_);
    }
    handle_ = handle;
  }

 private:
  HANDLE handle_ = nullptr;
};

}  // namespace detail

// The application's named mutex: created owned by the calling thread and not inheritable, so no
// child process, the launcher included, can keep it alive. Keep the object until the process
// ends, on the thread that created it. Refuses a name that already exists (another instance of
// the application is running).
class ApplicationMutex {
 public:
  explicit ApplicationMutex(const std::string& name) : name_(name) {
    std::wstring wide;
    if (name.empty() || !detail::ValueProblem(name, false).empty()) {
      error_ = ERROR_INVALID_NAME;
      return;
    }
    if (!detail::ToWide(name, wide)) {
      error_ = ERROR_NO_UNICODE_TRANSLATION;
      return;
    }
    handle_.reset(CreateMutexW(nullptr, TRUE, wide.c_str()));
    if (handle_.get() == nullptr) {
      error_ = GetLastError();
    } else if (GetLastError() == ERROR_ALREADY_EXISTS) {
      handle_.reset();
      error_ = ERROR_ALREADY_EXISTS;
    }
  }
  ~ApplicationMutex() { Release(); }
  ApplicationMutex(ApplicationMutex&& other) noexcept = default;
  ApplicationMutex& operator=(ApplicationMutex&& other) noexcept {
    if (this != &other) {
      Release();
      name_ = std::move(other.name_);
      handle_ = std::move(other.handle_);
      error_ = other.error_;
    }
    return *this;
  }
  ApplicationMutex(const ApplicationMutex&) = delete;
  ApplicationMutex& operator=(const ApplicationMutex&) = delete;

  [[nodiscard]] bool held() const { return handle_.get() != nullptr; }
  // The Win32 error of a failed creation (ERROR_ALREADY_EXISTS: the name is taken); 0 when held.
  [[nodiscard]] std::uint32_t error() const { return error_; }
  [[nodiscard]] const std::string& name() const { return name_; }
  // Where the mutex lives: its name, in the session's namespace unless it says Global\.
  [[nodiscard]] const std::string& path() const { return name_; }

 private:
  void Release() {
    if (handle_.get() != nullptr) {
      ReleaseMutex(handle_.get());
      handle_.reset();
    }
  }

  std::string name_;
  detail::OwnedHandle handle_;
  std::uint32_t error_ = 0;
};

// The started launcher's process; owns its handle. Destroying it closes the handle and leaves the
// launcher running.
class LauncherProcess {
 public:
  LauncherProcess() = default;
  LauncherProcess(HANDLE process, DWORD id) : handle_(process), id_(id) {}

  [[nodiscard]] bool started() const { return handle_.get() != nullptr; }
  [[nodiscard]] std::uint32_t id() const { return id_; }
  [[nodiscard]] HANDLE nativeHandle() const { return handle_.get(); }

  // Waits up to `timeout` for the launcher to end; true when it has ended.
  bool Wait(std::chrono::milliseconds timeout) {
    if (handle_.get() == nullptr) {
      return true;
    }
    const auto ms = timeout.count() < 0 ? 0 : timeout.count();
    return WaitForSingleObject(handle_.get(),
                               static_cast<DWORD>(ms > 0x7FFFFFFF ? 0x7FFFFFFF : ms)) ==
           WAIT_OBJECT_0;
  }
  // Whether exitCode() tells how the launcher ended: it has, and its code could be read.
  [[nodiscard]] bool exitCodeKnown() const {
    DWORD code = STILL_ACTIVE;
    return handle_.get() != nullptr && GetExitCodeProcess(handle_.get(), &code) &&
           code != STILL_ACTIVE;
  }
  // The exit code once Wait has seen the launcher end.
  [[nodiscard]] std::uint32_t exitCode() const {
    DWORD code = STILL_ACTIVE;
    if (handle_.get() != nullptr) {
      GetExitCodeProcess(handle_.get(), &code);
    }
    return code;
  }

 private:
  detail::OwnedHandle handle_;
  std::uint32_t id_ = 0;
};

// Removes the install file's mark of origin (its Zone.Identifier stream), once the application
// has verified the file. True when a mark was removed; false when there was none (`*systemError`
// 0) or it could not be removed (`*systemError` says why).
inline bool RemoveDownloadMark(const std::string& installPath,
                               std::uint32_t* systemError = nullptr) {
  std::wstring path;
  if (installPath.empty() || !detail::ToWide(installPath, path)) {
    // No file to name: never a stream of some other file.
    if (systemError != nullptr) {
      *systemError = ERROR_INVALID_NAME;
    }
    return false;
  }
  const bool removed = DeleteFileW((path + L":Zone.Identifier").c_str()) != FALSE;
  const DWORD error = removed ? 0 : GetLastError();
  if (systemError != nullptr) {
    *systemError = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : error;
  }
  return removed;
}

namespace detail {

struct JobState {
  bool inJob = false;
  bool killsOnClose = false;
  bool breakawayAllowed = false;
};

// The job this process runs in, as far as the system tells. (Wine 8 reports every process as in
// a job and answers the limit query with no limits.)
inline JobState CurrentJob() {
  JobState state;
  BOOL inJob = FALSE;
  if (!IsProcessInJob(GetCurrentProcess(), nullptr, &inJob) || !inJob) {
    return state;
  }
  state.inJob = true;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  if (QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &limits, sizeof(limits),
                                nullptr)) {
    const DWORD flags = limits.BasicLimitInformation.LimitFlags;
    state.killsOnClose = (flags & JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE) != 0;
    state.breakawayAllowed =
        (flags & (JOB_OBJECT_LIMIT_BREAKAWAY_OK | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK)) != 0;
  }
  return state;
}

constexpr const char* kLauncherFileName = "reinstall.exe";
constexpr const char* kPathSeparators = "\\/";

// The full path (UTF-8) of `module`, the running program for nullptr, or "" when the system
// cannot tell it.
inline std::string ModulePath(HMODULE module) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(module, &path[0], static_cast<DWORD>(path.size()));
    if (n == 0) {
      return {};
    }
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    if (path.size() >= 32768) {
      return {};
    }
    path.resize(path.size() * 2);
  }
  const int size = WideCharToMultiByte(CP_UTF8, 0, path.data(), static_cast<int>(path.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) {
    WideCharToMultiByte(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), &utf8[0], size,
                        nullptr, nullptr);
  }
  return utf8;
}

// The full path of the running program (UTF-8), or "" when the system cannot tell it.
inline std::string ProgramPath() {
  return ModulePath(nullptr);
}

inline std::string ErrorText(std::uint32_t error) {
  return "error " + std::to_string(error);
}

// The launcher receives its values through the ANSI calls, and opens the mutex by its ANSI name:
// the system converts each into a buffer of MAX_PATH UTF-16 units, its terminating zero
// included. Longer names fail with ERROR_FILENAME_EXCED_RANGE.
constexpr std::size_t kAnsiCallLimit = MAX_PATH - 1;
constexpr std::size_t kMutexNameLimit = kAnsiCallLimit;
constexpr const char* kMutexNameUnits = "UTF-16 units";

inline std::size_t MutexNameLength(const std::string& name) {
  return Wide(name).size();
}

// Whether the launcher gets its command line as UTF-8: Windows 10 version 1903 (build 18362)
// and later honour the UTF-8 code page its manifest asks for; earlier ones give it the system's
// ANSI code page, unless that is UTF-8 already.
inline bool LauncherGetsUtf8() {
  static const bool utf8 = [] {
    if (GetACP() == CP_UTF8) {
      return true;
    }
    using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): how GetProcAddress is used
    auto get = ntdll != nullptr ? reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void*>(
                                      GetProcAddress(ntdll, "RtlGetVersion")))
                                : nullptr;
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    if (get == nullptr || get(&version) != 0) {
      return true;  // nothing to go by: assume a current system
    }
    return version.dwMajorVersion > 10 ||
           (version.dwMajorVersion == 10 && version.dwBuildNumber >= 18362);
  }();
  return utf8;
}

// Why `value` would not reach the launcher intact, or an empty text: it must be UTF-8, and a
// value on the launcher's command line must also survive the ANSI code page where the launcher
// gets that one.
inline std::string EncodingProblem(const std::string& value, bool onCommandLine) {
  std::wstring wide;
  if (!ToWide(value, wide)) {
    return "is not valid UTF-8";
  }
  if (!onCommandLine || wide.empty() || LauncherGetsUtf8()) {
    return {};
  }
  BOOL lost = FALSE;
  const int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(),
                                       static_cast<int>(wide.size()), nullptr, 0, nullptr, &lost);
  if (size <= 0 || lost) {
    return "cannot be written in this system's ANSI code page (" + std::to_string(GetACP()) +
           "), which Windows before 10 version 1903 gives the launcher in place of UTF-8";
  }
  return {};
}

inline bool IsAbsolutePath(const std::string& path) {
  const auto separator = [](char c) { return c == '\\' || c == '/'; };
  const bool drive = path.size() >= 3 && ((path[0] | 0x20) >= 'a' && (path[0] | 0x20) <= 'z') &&
                     path[1] == ':' && separator(path[2]);
  const bool unc = path.size() >= 2 && separator(path[0]) && separator(path[1]);
  return drive || unc;
}

// A path longer than the launcher's ANSI calls can open (they take no \\?\ prefix and are not
// long-path aware) is reported with what the launcher would then say.
inline bool PathTooLong(const char* field,
                        const std::string& path,
                        const char* consequence,
                        std::vector<Problem>& problems) {
  const std::size_t length = Wide(path).size();
  if (length <= kAnsiCallLimit) {
    return false;
  }
  Add(problems, ProblemCode::kPathTooLong, field, ERROR_FILENAME_EXCED_RANGE,
      std::string(field) + " is " + std::to_string(length) + " UTF-16 units long; the launcher's " +
          "calls open at most " + std::to_string(kAnsiCallLimit) + ", " + consequence);
  return true;
}

inline void CheckLauncherFile(const std::string& path, std::vector<Problem>& problems) {
  if (PathTooLong("launcher", path, "so it could not find its own files", problems)) {
    return;
  }
  const std::wstring wide = Wide(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    Add(problems, ProblemCode::kLauncherMissing, "launcher", error,
        "launcher " + path + " does not exist (" + ErrorText(error) + ")");
    return;
  }
  bool program = false;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      char magic[2] = {0, 0};
      DWORD read = 0;
      program = ReadFile(file, magic, 2, &read, nullptr) && read == 2 && magic[0] == 'M' &&
                magic[1] == 'Z';
      CloseHandle(file);
    }
  }
  if (!program) {
    Add(problems, ProblemCode::kLauncherNotExecutable, "launcher", 0,
        "launcher " + path + " is not a program");
  }
}

// The whole of a file of at most 1 MiB, read whatever else has it open.
inline FileRead ReadWhole(const std::string& path, std::string* content) {
  HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? FileRead::kAbsent
                                                                          : FileRead::kFailed;
  }
  content->clear();
  char chunk[4096];
  DWORD read = 0;
  bool ok = true;
  while ((ok = ReadFile(file, chunk, sizeof(chunk), &read, nullptr) != FALSE) && read > 0 &&
         content->size() < (1U << 20)) {
    content->append(chunk, read);
  }
  CloseHandle(file);
  return ok ? FileRead::kRead : FileRead::kFailed;
}

// The file's mark of origin: the zone its Zone.Identifier stream names (ZoneOfStream), or -1 when
// it has none. The stream is read whole, up to 1 MiB: a long HostUrl may come before ZoneId.
inline int DownloadZone(const std::string& path) {
  std::string content;
  return ReadWhole(path + ":Zone.Identifier", &content) == FileRead::kAbsent
             ? -1
             : ZoneOfStream(content);
}

// An install file marked as coming from the Internet (zone 3) or an untrusted site (zone 4): the
// shell's zone check, which the launcher does not turn off, would stop a silent update at an
// "Open File - Security Warning" prompt, or block it, after the application has quit.
inline void CheckDownloadMark(const std::string& path, std::vector<Problem>& problems) {
  const int zone = DownloadZone(path);
  if (zone != 3 && zone != 4) {
    return;
  }
  Add(problems, ProblemCode::kInstallFileMarked, "installPath", 0,
      "installPath " + path + " is marked as downloaded from " +
          (zone == 3 ? "the Internet" : "an untrusted site") +
          " (Zone.Identifier, ZoneId=" + std::to_string(zone) +
          "): Windows would stop it at an \"Open File - Security Warning\" prompt, or block "
          "it, after the application has quit; verify the file, then remove the mark "
          "(RemoveDownloadMark)");
}

// The launcher's own check: the file opened for execution, sharing read access only.
inline void CheckInstallFile(const std::string& path, std::vector<Problem>& problems) {
  if (PathTooLong("installPath", path, "so it would stop with \"Install file doesn't exists.\"",
                  problems)) {
    return;
  }
  HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_EXECUTE, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    CloseHandle(file);
    CheckDownloadMark(path, problems);
    return;
  }
  const DWORD error = GetLastError();
  std::string why;
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      why = "does not exist";
      break;
    case ERROR_SHARING_VIOLATION:
      why = "is open for writing in another program";
      break;
    case ERROR_ACCESS_DENIED:
      why = "may not be opened for execution (or is a folder)";
      break;
    default:
      why = "cannot be opened for execution";
      break;
  }
  Add(problems, ProblemCode::kInstallFileRejected, "installPath", error,
      "installPath " + path + " " + why + " (" + ErrorText(error) +
          "); the launcher would stop "
          "with \"Install file doesn't exists.\"");
}

// Whether the shell has a program for "open" on the file's type. Programs (.exe, .com, .bat,
// .cmd) the shell starts itself; other types need an association.
inline void CheckOpenProgram(const std::string& path, std::vector<Problem>& problems) {
  const std::size_t slash = path.find_last_of("\\/");
  const std::size_t dot = path.find_last_of('.');
  std::string extension;
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
    extension = path.substr(dot);
  }
  const std::string lower = AsciiLower(extension);
  if (lower == ".exe" || lower == ".com" || lower == ".bat" || lower == ".cmd") {
    return;
  }
  using AssocQueryStringWFn = HRESULT(WINAPI*)(DWORD, int, LPCWSTR, LPCWSTR, LPWSTR, DWORD*);
  HMODULE shlwapi = LoadSystemLibrary("\\shlwapi.dll");
  if (shlwapi == nullptr) {
    return;  // nobody to ask
  }
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): how GetProcAddress is used
  auto query = reinterpret_cast<AssocQueryStringWFn>(
      reinterpret_cast<void*>(GetProcAddress(shlwapi, "AssocQueryStringW")));
  if (query != nullptr) {
    constexpr DWORD kIgnoreUnknown = 0x400;  // ASSOCF_INIT_IGNOREUNKNOWN
    constexpr int kCommand = 1;              // ASSOCSTR_COMMAND
    DWORD size = 0;
    const HRESULT found =
        extension.empty()
            ? E_FAIL
            : query(kIgnoreUnknown, kCommand, Wide(extension).c_str(), L"open", nullptr, &size);
    if (FAILED(found)) {
      // A Win32 error when the shell's answer carries one; its other failures have none.
      const DWORD error = HRESULT_FACILITY(found) == FACILITY_WIN32 ? HRESULT_CODE(found) : 0;
      Add(problems, ProblemCode::kNoOpenProgram, "installPath", error,
          "installPath has no program for \"open\" on its type (" +
              (extension.empty() ? std::string("no extension") : extension) +
              "); the launcher would stop with \"Can't execute install file.\"");
    }
  }
  FreeLibrary(shlwapi);
}

// Opens the mutex as the launcher does (READ_CONTROL, by name).
inline void CheckMutexHeld(const std::string& name, std::vector<Problem>& problems) {
  HANDLE mutex = OpenMutexW(READ_CONTROL, FALSE, Wide(name).c_str());
  if (mutex != nullptr) {
    CloseHandle(mutex);
    return;
  }
  const DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND) {
    Add(problems, ProblemCode::kMutexNotHeld, "mutexName", error,
        "mutexName " + name +
            " does not exist: the launcher would start the installer at once, "
            "while the application still runs");
  } else {
    Add(problems, ProblemCode::kMutexUnusable, "mutexName", error,
        "mutexName " + name + " cannot be opened as a mutex (" + ErrorText(error) +
            "); the launcher would stop with \"Error opening mutex. Number: " +
            std::to_string(error) + "\"");
  }
}

inline void CheckJob(std::vector<Problem>& problems) {
  const JobState job = CurrentJob();
  if (job.inJob && job.killsOnClose && !job.breakawayAllowed) {
    Add(problems, ProblemCode::kJobKillsLauncher, "", 0,
        "this process runs in a job that kills its processes when it closes and forbids "
        "breakaway: the launcher would die with the application");
  }
}

inline bool JobKillsOnClose() {
  return CurrentJob().killsOnClose;
}

// Lets the started launcher, and so the installer it starts, take the foreground: the
// application is still in front, and only the foreground process can pass that on, so the
// elevation prompt shows in front rather than as a flashing taskbar button. user32 is loaded
// from System32 when it is needed, so the library imports no more than it did. True when the
// system granted it.
inline bool AllowForeground(std::uint32_t processId) {
  HMODULE user32 = LoadSystemLibrary("\\user32.dll");
  using AllowFn = BOOL(WINAPI*)(DWORD);
  const auto allow =
      ResolveCall<std::remove_pointer_t<AllowFn>>(user32, "AllowSetForegroundWindow");
  const bool allowed = allow != nullptr && allow(processId) != FALSE;
  if (user32 != nullptr) {
    FreeLibrary(user32);
  }
  return allowed;
}

inline std::string Sha256Hex(const void* data, std::size_t size) {
  Sha256Hasher hash;
  unsigned char digest[32] = {};
  return hash.Update(data, size) && hash.Finish(digest) ? HexOf(digest) : std::string();
}

// What WinVerifyTrust's answer means, for a message.
inline std::string SignatureText(std::uint32_t status) {
  switch (status) {
    case 0x800B0100:  // TRUST_E_NOSIGNATURE
      return "it is not signed";
    case 0x80096010:  // TRUST_E_BAD_DIGEST
      return "it was changed after it was signed";
    case 0x800B0109:  // CERT_E_UNTRUSTEDROOT
      return "its certificate chain ends in a root this system does not trust";
    case 0x800B0101:  // CERT_E_EXPIRED
      return "its certificate has expired";
    case 0x800B010C:  // CERT_E_REVOKED
      return "its certificate was revoked";
    case 0x800B0111:  // TRUST_E_EXPLICIT_DISTRUST
      return "its certificate is explicitly distrusted";
    default:
      return "WinVerifyTrust answered 0x" + [&] {
        char text[9];
        const char* const digits = "0123456789ABCDEF";
        for (int i = 7; i >= 0; --i) {
          text[7 - i] = digits[(status >> (4 * i)) & 0xFU];
        }
        text[8] = '\0';
        return std::string(text);
      }();
  }
}

// What the system tells of the file at `path` (its volume and file index among it), when it can
// be opened whatever holds it; `flags` as CreateFileW takes them. False with GetLastError's
// reason.
inline bool FileIdentity(const std::wstring& path,
                         DWORD flags,
                         BY_HANDLE_FILE_INFORMATION* identity) {
  HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, flags, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  const bool known = GetFileInformationByHandle(file, identity) != FALSE;
  CloseHandle(file);
  return known;
}

// Whether two answers of the system name the same file: the same volume and file index.
inline bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

// A file opened as the launcher opens the install file it verifies: for reading, sharing reading
// only (nobody can write, rename, delete or replace it meanwhile), not through a reparse point.
// Closed on destruction.
class PinnedFile {
 public:
  PinnedFile() = default;

  bool Open(const std::string& path) {
    path_ = Wide(path);
    HANDLE file = CreateFileW(path_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      error_ = GetLastError();
      handle_.reset();
      return false;
    }
    handle_.reset(file);
    if (!GetFileInformationByHandle(handle_.get(), &identity_) ||
        (identity_.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) !=
            0) {
      error_ = ERROR_CANT_ACCESS_FILE;
      handle_.reset();
      return false;
    }
    return true;
  }

  [[nodiscard]] bool open() const { return handle_.get() != nullptr; }
  // The Win32 error of what failed last.
  [[nodiscard]] std::uint32_t error() const { return error_; }

  // The SHA-256 of the whole file, "" when it cannot be read or hashed.
  std::string Sha256() {
    Sha256Hasher hash;
    unsigned char digest[32] = {};
    return hash.ok() && ReadAll([&](const unsigned char* data, DWORD size) {
             return hash.Update(data, size);
           }) && hash.Finish(digest)
               ? HexOf(digest)
               : std::string();
  }

  // The SHA-256 of the program's signed image (SignedImageParts): what stays the same when its
  // publisher signs it, or signs it again. "" when it cannot be read or hashed, or is no program.
  std::string ImageSha256() {
    std::string image;
    Sha256Hasher hash;
    unsigned char digest[32] = {};
    if (!hash.ok() || !ReadAll([&](const unsigned char* data, DWORD size) {
          image.append(reinterpret_cast<const char*>(data), size);
          return image.size() <= kLargestImage;
        })) {
      return {};
    }
    const auto parts = SignedImageParts(image);
    if (parts.empty()) {
      error_ = ERROR_BAD_EXE_FORMAT;
      return {};
    }
    for (const auto& part : parts) {
      hash.Update(image.data() + part.first, part.second);
    }
    return hash.Finish(digest) ? HexOf(digest) : std::string();
  }

  // The path to start the held file by: the one it has now, resolved through the handle (no link
  // or junction left on the way that could lead elsewhere since the check), confirmed right
  // before the start to name the held file (the same volume and file index). False, with
  // error(), when it names another file or none.
  bool StartPath(std::wstring* path) {
    std::wstring final(MAX_PATH, L'\0');
    DWORD length =
        GetFinalPathNameByHandleW(handle_.get(), &final[0], static_cast<DWORD>(final.size()), 0);
    if (length >= final.size()) {
      final.resize(length);
      length =
          GetFinalPathNameByHandleW(handle_.get(), &final[0], static_cast<DWORD>(final.size()), 0);
    }
    if (length == 0 || length >= final.size()) {
      error_ = GetLastError();
      return false;
    }
    final.resize(length);
    // "\\?\C:\..." and "\\?\UNC\server\share\...", in the form programs are started by where
    // that form can name it.
    const bool unc = final.compare(0, 8, L"\\\\?\\UNC\\") == 0;
    if ((unc || final.compare(0, 4, L"\\\\?\\") == 0) && final.size() - (unc ? 6 : 4) < MAX_PATH) {
      final.erase(unc ? 2 : 0, unc ? 6 : 4);
    }
    BY_HANDLE_FILE_INFORMATION found{};
    if (!FileIdentity(final, FILE_FLAG_OPEN_REPARSE_POINT, &found)) {
      error_ = GetLastError();
      return false;
    }
    if (!SameFile(found, identity_)) {
      error_ = ERROR_FILE_INVALID;
      return false;
    }
    *path = final;
    return true;
  }

  // The SHA-256 thumbprint of the certificate that signed the file, when its Authenticode
  // signature is valid (checked through this handle, with no network retrieval); else "" and
  // *status tells why.
  std::string Signer(std::uint32_t* status) {
    *status = 0x800B0001;  // TRUST_E_PROVIDER_UNKNOWN: no WinVerifyTrust to ask
    HMODULE wintrust = LoadSystemLibrary("\\wintrust.dll");
    if (wintrust == nullptr) {
      return {};
    }
    using VerifyFn = LONG(WINAPI*)(HWND, GUID*, LPVOID);
    using StateFn = CRYPT_PROVIDER_DATA*(WINAPI*)(HANDLE);
    using SignerFn = CRYPT_PROVIDER_SGNR*(WINAPI*)(CRYPT_PROVIDER_DATA*, DWORD, BOOL, DWORD);
    auto verify = ResolveCall<std::remove_pointer_t<VerifyFn>>(wintrust, "WinVerifyTrust");
    auto state =
        ResolveCall<std::remove_pointer_t<StateFn>>(wintrust, "WTHelperProvDataFromStateData");
    auto signerOf =
        ResolveCall<std::remove_pointer_t<SignerFn>>(wintrust, "WTHelperGetProvSignerFromChain");
    std::string thumbprint;
    if (verify != nullptr && state != nullptr && signerOf != nullptr) {
      GUID action = {0xaac56b, 0xcd44, 0x11d0, {0x8c, 0xc2, 0x00, 0xc0, 0x4f, 0xc2, 0x95, 0xee}};
      WINTRUST_FILE_INFO file{};
      file.cbStruct = sizeof(file);
      file.pcwszFilePath = path_.c_str();
      file.hFile = handle_.get();
      WINTRUST_DATA data{};
      data.cbStruct = sizeof(data);
      data.dwUIChoice = WTD_UI_NONE;
      data.fdwRevocationChecks = WTD_REVOKE_NONE;
      data.dwUnionChoice = WTD_CHOICE_FILE;
      data.pFile = &file;
      data.dwStateAction = WTD_STATEACTION_VERIFY;
      data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL | WTD_REVOCATION_CHECK_NONE;
      const LONG verdict = verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
      *status = static_cast<std::uint32_t>(verdict);
      CRYPT_PROVIDER_DATA* provider = verdict == 0 ? state(data.hWVTStateData) : nullptr;
      CRYPT_PROVIDER_SGNR* signer = provider != nullptr ? signerOf(provider, 0, FALSE, 0) : nullptr;
      if (signer != nullptr && signer->csCertChain > 0 && signer->pasCertChain != nullptr &&
          signer->pasCertChain[0].pCert != nullptr) {
        const CERT_CONTEXT* certificate = signer->pasCertChain[0].pCert;
        thumbprint = Sha256Hex(certificate->pbCertEncoded, certificate->cbCertEncoded);
      }
      data.dwStateAction = WTD_STATEACTION_CLOSE;
      verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    }
    FreeLibrary(wintrust);
    return thumbprint;
  }

 private:
  // A program larger than this is no launcher.
  static constexpr std::size_t kLargestImage = 64U << 20U;

  // Reads the whole file from its start through `use`, a chunk at a time; false when a read
  // fails (error() says why) or `use` says to stop.
  template <typename Use>
  bool ReadAll(Use&& use) {
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(handle_.get(), start, nullptr, FILE_BEGIN)) {
      error_ = GetLastError();
      return false;
    }
    std::vector<unsigned char> buffer(64 * 1024);
    DWORD read = 0;
    while (
        ReadFile(handle_.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) {
      if (read == 0) {
        return true;
      }
      if (!use(buffer.data(), read)) {
        return false;
      }
    }
    error_ = GetLastError();
    return false;
  }

  std::wstring path_;
  OwnedHandle handle_;
  BY_HANDLE_FILE_INFORMATION identity_{};
  std::uint32_t error_ = 0;
};

// The folder of the install file at `path`, to start the launcher in: "C:\\" for a file at a
// drive's root; "" when the path names no folder.
inline std::string InstallFolder(const std::string& path) {
  const std::size_t cut = path.find_last_of(kPathSeparators);
  if (cut == std::string::npos) {
    return {};
  }
  return path.substr(0, cut == 2 && path[1] == ':' ? 3 : cut);
}

// What starting the launcher gave: the process, and the Win32 error of the failed start (or,
// when the launcher remains in the job, of the refused breakaway); `changed` when the held
// launcher's path no longer named it, and nothing was started.
struct Started {
  LauncherProcess process;
  std::uint32_t error = 0;
  bool brokeAway = false;
  bool remainsInJob = false;
  bool changed = false;
};

// Starts the launcher with CREATE_BREAKAWAY_FROM_JOB (outside a job the flag changes nothing),
// and again without it when the job forbids breakaway; inheriting no handle. A held launcher
// (`file` open) is started by the path it has now (PinnedFile::StartPath).
inline Started StartLauncher(const HandoverRequest& request, PinnedFile& file) {
  Started started;
  std::wstring application = Wide(request.launcher);
  if (file.open() && !file.StartPath(&application)) {
    started.changed = true;
    started.error = file.error();
    return started;
  }
  const std::wstring commandLine = Wide(BuildCommandLine(request));
  // The install file's folder as the working directory, which the installer inherits: never the
  // application's, which a process working in it would keep the installer from replacing.
  const std::wstring folder = Wide(InstallFolder(request.installPath));
  const auto start = [&](DWORD flags, PROCESS_INFORMATION& process) {
    std::wstring line = commandLine;  // CreateProcessW may write to it
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    return CreateProcessW(application.c_str(), &line[0], nullptr, nullptr,
                          /*bInheritHandles=*/FALSE, flags, nullptr,
                          folder.empty() ? nullptr : folder.c_str(), &startup, &process) != FALSE;
  };
  PROCESS_INFORMATION process{};
  bool ok = start(CREATE_BREAKAWAY_FROM_JOB, process);
  DWORD error = ok ? ERROR_SUCCESS : GetLastError();
  started.brokeAway = ok;
  if (!ok && error == ERROR_ACCESS_DENIED) {
    ok = start(0, process);
    error = ok ? ERROR_ACCESS_DENIED : GetLastError();
    started.remainsInJob = ok;
  }
  started.error = error;
  if (!ok) {
    return started;
  }
  CloseHandle(process.hThread);
  started.process = LauncherProcess(process.hProcess, process.dwProcessId);
  return started;
}

// Writes `text` beside `path`, flushes it and moves it over `path`: a reader finds the old file
// or the new one, never part of one. On failure removes what it wrote; *error says why.
inline bool ReplaceWhole(const std::string& path, const std::string& text, std::uint32_t* error) {
  const std::wstring target = Wide(path);
  const std::wstring partial = Wide(path + ".partial");
  HANDLE file = CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return false;
  }
  DWORD written = 0;
  bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
            written == text.size() && FlushFileBuffers(file);
  *error = ok ? 0 : GetLastError();
  CloseHandle(file);
  if (ok && !MoveFileExW(partial.c_str(), target.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ok = false;
    *error = GetLastError();
  }
  if (!ok) {
    DeleteFileW(partial.c_str());
  }
  return ok;
}

// Removes the file at `path`, if there is one.
inline void RemoveFile(const std::string& path) {
  DeleteFileW(Wide(path).c_str());
}

// The files an outcome record must never be written over: the install file and the launcher.
inline std::vector<std::pair<const char*, std::string>> FilesTheRecordSpares(
    const HandoverRequest& request) {
  return {{"the install file", request.installPath}, {"the launcher", request.launcher}};
}

// Whether `a` and `b` name the same file as the system compares names (the full path, without
// regard to letter case, either slash) or, where both exist, lead to the same file (a short
// name, a hard link, a link on the way).
inline bool SamePath(const std::string& a, const std::string& b) {
  const auto full = [](const std::string& path) {
    const std::wstring wide = Wide(path);
    std::wstring result(MAX_PATH, L'\0');
    DWORD length =
        GetFullPathNameW(wide.c_str(), static_cast<DWORD>(result.size()), &result[0], nullptr);
    if (length >= result.size()) {
      result.resize(length);
      length =
          GetFullPathNameW(wide.c_str(), static_cast<DWORD>(result.size()), &result[0], nullptr);
    }
    result.resize(length < result.size() ? length : 0);
    return result;
  };
  const std::wstring x = full(a);
  const std::wstring y = full(b);
  if (!x.empty() && CompareStringOrdinal(x.data(), static_cast<int>(x.size()), y.data(),
                                         static_cast<int>(y.size()), TRUE) == CSTR_EQUAL) {
    return true;
  }
  BY_HANDLE_FILE_INFORMATION first{};
  BY_HANDLE_FILE_INFORMATION second{};
  return FileIdentity(x, FILE_FLAG_BACKUP_SEMANTICS, &first) &&
         FileIdentity(y, FILE_FLAG_BACKUP_SEMANTICS, &second) && SameFile(first, second);
}

// Whether a file can be created at `path` (it is removed again); *error says why not.
inline bool CanCreate(const std::string& path, std::uint32_t* error) {
  HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return false;
  }
  CloseHandle(file);
  *error = 0;
  return true;
}

inline std::string UtcNow() {
  SYSTEMTIME now{};
  GetSystemTime(&now);
  return IsoTime(now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                 now.wMilliseconds);
}

// %LOCALAPPDATA%, or "".
inline std::string LocalDataFolder() {
  std::wstring folder(32768, L'\0');
  const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", &folder[0], 32768);
  if (length == 0 || length >= 32768) {
    return {};
  }
  const int size = WideCharToMultiByte(CP_UTF8, 0, folder.data(), static_cast<int>(length), nullptr,
                                       0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) {
    WideCharToMultiByte(CP_UTF8, 0, folder.data(), static_cast<int>(length), &utf8[0], size,
                        nullptr, nullptr);
  }
  return utf8;
}

inline bool MakeFolder(const std::string& folder) {
  const std::wstring wide = Wide(folder);
  if (CreateDirectoryW(wide.c_str(), nullptr)) {
    return true;
  }
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace detail
}  // namespace reinstall

#endif  // REINSTALL_DETAIL_HANDOVER_WIN32_H_
