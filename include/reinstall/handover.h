// Handing over to the reinstall launcher from an application: the supported way to call it.
//
// The pattern:
//   1. Hold an ApplicationMutex for the whole life of the process: create it early, keep it, and
//      let the process's exit release it. No child process can inherit it.
//   2. Before quitting, call Preflight(request). Every problem it lists would make the hand-over
//      fail after the application is gone; on any problem, stay open and tell the user.
//   3. HandOver(request): it starts the launcher outside the application's job where it can,
//      inheriting no handle, and confirms that the launcher is still running a moment later.
//      On !result.ok(), stay open: result.problem says what went wrong.
//   4. Quit within a few seconds. The launcher gives up with "Waiting for closing application
//      timed out." if the mutex still exists ten seconds after it started; it then starts nothing.
//
// Header-only, C++17, kernel32 only on Windows (shlwapi is loaded on demand), POSIX natively.
// Strings are bytes; on Windows they are UTF-8 and reach a launcher that runs with the UTF-8 code
// page (Windows 10 1903 and later) unchanged.
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

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

// Declared by <unistd.h> only with _GNU_SOURCE; repeated for applications built without it.
extern char** environ;  // NOLINT(readability-redundant-declaration)
#endif

namespace reinstall {

// What the application hands over. `parameters` may be empty; the other three may not.
struct HandoverRequest {
  std::string launcher;     // path of reinstall.exe (or of the native reinstall)
  std::string mutexName;    // the mutex (lock) the application holds while it runs
  std::string installPath;  // the install file, an absolute path
  std::string parameters;   // its parameter string, passed on unchanged
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
  kInvalidValue = 1,           // a value the launcher cannot receive (empty, '"', NUL, not UTF-8)
  kMutexNameInvalid = 2,       // a name the system cannot use for a mutex
  kInstallPathRelative = 3,    // the launcher would resolve it against its working directory
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
  }
  return "unknown";
}

// One problem: a code, the request field it concerns (empty when none), the system's error
// (Win32 error on Windows, errno natively; 0 when none) and one sentence for a log or the user.
struct Problem {
  ProblemCode code = ProblemCode::kNone;
  std::string field;
  std::uint32_t systemError = 0;
  std::string message;
};

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

inline void Check(const std::string& field, const std::string& value, bool mayBeEmpty) {
  const std::string problem = ValueProblem(value, mayBeEmpty);
  if (!problem.empty()) {
    throw HandoverError(field, problem);
  }
}

}  // namespace detail

// The launcher's arguments after its own path, each value checked. Throws HandoverError.
inline std::vector<std::string> BuildArguments(const HandoverRequest& request) {
  detail::Check("launcher", request.launcher, false);
  detail::Check("mutexName", request.mutexName, false);
  detail::Check("installPath", request.installPath, false);
  detail::Check("parameters", request.parameters, true);
  return {"-saferun=kqz", "-appmutex=" + request.mutexName, "-appinstall=" + request.installPath,
          "-installparam=" + request.parameters};
}

// The launcher's exact command line, program path first, each argument quoted where it must be.
// For every request it accepts, the launcher's splitting and parsing give back exactly the
// request's mutex name, install path and parameters. Throws HandoverError.
inline std::string BuildCommandLine(const HandoverRequest& request) {
  const std::vector<std::string> arguments = BuildArguments(request);
  // The program path is always quoted, so that a path with blanks is never split.
  return Quote(request.launcher) + ' ' + JoinArguments(arguments);
}

namespace detail {

inline void Add(std::vector<Problem>& problems,
                ProblemCode code,
                const std::string& field,
                std::uint32_t systemError,
                const std::string& message) {
  problems.push_back(Problem{code, field, systemError, message});
}

inline bool HasProblemWith(const std::vector<Problem>& problems, const std::string& field) {
  return std::any_of(problems.begin(), problems.end(),
                     [&](const Problem& problem) { return problem.field == field; });
}

// The kernel's rule for object names: at most MAX_PATH (260) characters, and a backslash only
// as the end of a "Global\", "Local\" or "Session\N\" namespace prefix.
inline std::string MutexNameProblem(const std::string& name) {
  std::size_t characters = 0;
  for (const char byte : name) {
    characters += (static_cast<unsigned char>(byte) & 0xC0) != 0x80 ? 1 : 0;
  }
  if (characters > 260) {
    return "is longer than 260 characters";
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

inline bool IsAbsolutePath(const std::string& path) {
#if defined(_WIN32)
  const auto separator = [](char c) { return c == '\\' || c == '/'; };
  const bool drive = path.size() >= 3 && ((path[0] | 0x20) >= 'a' && (path[0] | 0x20) <= 'z') &&
                     path[1] == ':' && separator(path[2]);
  const bool unc = path.size() >= 2 && separator(path[0]) && separator(path[1]);
  return drive || unc;
#else
  return !path.empty() && path[0] == '/';
#endif
}

#if defined(_WIN32)

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

#endif

// The checks that need nothing but the request: values, the mutex name's form, an absolute
// install path. HandOver refuses on any of them.
inline std::vector<Problem> RequestProblems(const HandoverRequest& request) {
  std::vector<Problem> problems;
  const std::pair<const char*, const std::string*> fields[] = {
      {"launcher", &request.launcher},
      {"mutexName", &request.mutexName},
      {"installPath", &request.installPath},
      {"parameters", &request.parameters}};
  for (const auto& field : fields) {
    std::string why = ValueProblem(*field.second, field.second == &request.parameters);
#if defined(_WIN32)
    std::wstring wide;
    if (why.empty() && !ToWide(*field.second, wide)) {
      why = "is not valid UTF-8";
    }
#endif
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
  return problems;
}

}  // namespace detail

#if defined(_WIN32)

namespace detail {

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
  [[nodiscard]] HANDLE handle() const { return handle_.get(); }

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
  [[nodiscard]] HANDLE handle() const { return handle_.get(); }

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

inline std::string ErrorText(DWORD error) {
  return "error " + std::to_string(error);
}

inline void CheckLauncherFile(const std::string& path, std::vector<Problem>& problems) {
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

// The launcher's own check: the file opened for execution, sharing read access only.
inline void CheckInstallFile(const std::string& path, std::vector<Problem>& problems) {
  HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_EXECUTE, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    CloseHandle(file);
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
  std::string lower = extension;
  for (char& c : lower) {
    c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
  }
  if (lower == ".exe" || lower == ".com" || lower == ".bat" || lower == ".cmd") {
    return;
  }
  using AssocQueryStringWFn = HRESULT(WINAPI*)(DWORD, int, LPCWSTR, LPCWSTR, LPWSTR, DWORD*);
  HMODULE shlwapi = LoadLibraryExW(L"shlwapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (shlwapi == nullptr) {
    shlwapi = LoadLibraryW(L"shlwapi.dll");  // systems without the search flag
  }
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
      Add(problems, ProblemCode::kNoOpenProgram, "installPath", static_cast<DWORD>(found) & 0xFFFF,
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

}  // namespace detail

#else

// The native stand-in for the application's mutex: an open-file-description lock on
// LockPath(name), on a descriptor that no child inherits. Held until the object is destroyed or
// the process ends. It never follows a symbolic link, takes only a regular file owned by this
// user, and removes the file at the end only when it created it.
class ApplicationMutex {
 public:
  explicit ApplicationMutex(const std::string& name) : name_(name), path_(LockPath(name)) {
    if (!detail::ValueProblem(name, false).empty()) {
      error_ = EINVAL;
      return;
    }
    // A holder that removes its file as we open it leaves us a lock on a file nobody can find:
    // try again on the new one.
    for (int attempt = 0; attempt < 8; ++attempt) {
      error_ = Acquire();
      if (error_ != ESTALE) {
        break;
      }
    }
  }
  ~ApplicationMutex() { Close(); }
  ApplicationMutex(ApplicationMutex&& other) noexcept
      : name_(std::move(other.name_)),
        path_(std::move(other.path_)),
        fd_(std::exchange(other.fd_, -1)),
        created_(other.created_),
        error_(other.error_) {}
  ApplicationMutex& operator=(ApplicationMutex&& other) noexcept {
    if (this != &other) {
      Close();
      name_ = std::move(other.name_);
      path_ = std::move(other.path_);
      fd_ = std::exchange(other.fd_, -1);
      created_ = other.created_;
      error_ = other.error_;
    }
    return *this;
  }
  ApplicationMutex(const ApplicationMutex&) = delete;
  ApplicationMutex& operator=(const ApplicationMutex&) = delete;

  [[nodiscard]] bool held() const { return fd_ >= 0; }
  // errno of a failed attempt (EAGAIN: another process holds it; ELOOP: a symbolic link;
  // EISDIR: a folder; EINVAL: not a regular file or an unusable name; EPERM: another user's
  // file); 0 when held.
  [[nodiscard]] std::uint32_t error() const { return static_cast<std::uint32_t>(error_); }
  [[nodiscard]] const std::string& name() const { return name_; }
  [[nodiscard]] const std::string& path() const { return path_; }

 private:
  // 0 when held; ESTALE when the file went away under the lock; otherwise errno.
  int Acquire() {
    constexpr int kFlags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK;
    bool created = true;
    int fd = ::open(path_.c_str(), kFlags | O_CREAT | O_EXCL, 0600);
    if (fd < 0 && errno == EEXIST) {
      created = false;
      fd = ::open(path_.c_str(), kFlags);
    }
    if (fd < 0) {
      return !created && errno == ENOENT ? ESTALE : errno;  // gone between the two opens
    }
    struct stat own {};
    int refusal = 0;
    if (::fstat(fd, &own) != 0) {
      refusal = errno;
    } else if (!S_ISREG(own.st_mode)) {
      refusal = EINVAL;
    } else if (own.st_uid != ::geteuid()) {
      refusal = EPERM;
    }
    if (refusal != 0) {
      ::close(fd);
      return refusal;
    }
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (::fcntl(fd, F_OFD_SETLK, &lock) != 0) {
      const int error = errno == EACCES ? EAGAIN : errno;
      ::close(fd);
      return error;
    }
    if (!SameFile(fd)) {
      ::close(fd);
      return ESTALE;
    }
    fd_ = fd;
    created_ = created;
    return 0;
  }

  // Whether the path still names the file open on `fd`.
  [[nodiscard]] bool SameFile(int fd) const {
    struct stat open {};
    struct stat named {};
    return ::fstat(fd, &open) == 0 && ::lstat(path_.c_str(), &named) == 0 &&
           open.st_dev == named.st_dev && open.st_ino == named.st_ino;
  }

  void Close() {
    if (fd_ >= 0) {
      // Removed while still held, so nobody mistakes a stale file for a holder; and only the
      // file this object created, still under its name.
      if (created_ && SameFile(fd_)) {
        ::unlink(path_.c_str());
      }
      ::close(fd_);
      fd_ = -1;
    }
  }

  std::string name_;
  std::string path_;
  int fd_ = -1;
  bool created_ = false;
  int error_ = 0;
};

// The started launcher's process, by its pid. Destroying it leaves the launcher running; the
// system reaps it once the application has quit.
class LauncherProcess {
 public:
  LauncherProcess() = default;
  explicit LauncherProcess(pid_t pid) : pid_(pid) {}
  LauncherProcess(LauncherProcess&& other) noexcept
      : pid_(std::exchange(other.pid_, -1)), ended_(other.ended_), status_(other.status_) {}
  LauncherProcess& operator=(LauncherProcess&& other) noexcept {
    pid_ = std::exchange(other.pid_, -1);
    ended_ = other.ended_;
    status_ = other.status_;
    return *this;
  }
  LauncherProcess(const LauncherProcess&) = delete;
  LauncherProcess& operator=(const LauncherProcess&) = delete;
  ~LauncherProcess() = default;

  [[nodiscard]] bool started() const { return pid_ > 0; }
  [[nodiscard]] pid_t id() const { return pid_; }

  // Waits up to `timeout` for the launcher to end; true when it has ended.
  bool Wait(std::chrono::milliseconds timeout) {
    if (pid_ <= 0 || ended_) {
      return true;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const pid_t reaped = ::waitpid(pid_, &status_, WNOHANG);
      if (reaped == pid_ || (reaped < 0 && errno != EINTR)) {
        ended_ = true;
        return true;
      }
      if (std::chrono::steady_clock::now() >= deadline) {
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  // The exit status once Wait has seen the launcher end: its exit code, or 128 + the signal that
  // ended it.
  [[nodiscard]] std::uint32_t exitCode() const {
    if (WIFSIGNALED(status_)) {
      return 128U + static_cast<std::uint32_t>(WTERMSIG(status_));
    }
    return static_cast<std::uint32_t>(WEXITSTATUS(status_));
  }

 private:
  pid_t pid_ = -1;
  bool ended_ = false;
  int status_ = 0;
};

namespace detail {

inline bool IsRunnableFile(const std::string& path, int* error) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) {
    *error = errno;
    return false;
  }
  *error = 0;
  return S_ISREG(status.st_mode) && ::faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) == 0;
}

inline void CheckLauncherFile(const std::string& path, std::vector<Problem>& problems) {
  int error = 0;
  if (IsRunnableFile(path, &error)) {
    return;
  }
  if (error != 0) {
    Add(problems, ProblemCode::kLauncherMissing, "launcher", static_cast<std::uint32_t>(error),
        "launcher " + path + " does not exist");
  } else {
    Add(problems, ProblemCode::kLauncherNotExecutable, "launcher", 0,
        "launcher " + path + " is not an executable file");
  }
}

// The stand-in's own check: an existing regular file this user may read and execute.
inline void CheckInstallFile(const std::string& path, std::vector<Problem>& problems) {
  int error = 0;
  if (IsRunnableFile(path, &error) && ::access(path.c_str(), R_OK) == 0) {
    return;
  }
  Add(problems, ProblemCode::kInstallFileRejected, "installPath", static_cast<std::uint32_t>(error),
      "installPath " + path +
          (error != 0 ? " does not exist" : " is not a file this user may read and execute") +
          "; the launcher would stop with \"Install file doesn't exists.\"");
}

// Natively every file the launcher accepts is a program it starts itself.
inline void CheckOpenProgram(const std::string& /*path*/, std::vector<Problem>& /*problems*/) {}

// Asks, as the launcher's probe does, whether anyone holds a lock on the lock file.
inline void CheckMutexHeld(const std::string& name, std::vector<Problem>& problems) {
  const std::string path = LockPath(name);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  int error = fd < 0 ? errno : 0;
  bool held = false;
  if (fd >= 0) {
    struct stat status {};
    struct flock query {};
    query.l_type = F_WRLCK;
    query.l_whence = SEEK_SET;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
      error = EINVAL;
    } else if (::fcntl(fd, F_OFD_GETLK, &query) != 0) {
      error = errno;
    } else {
      held = query.l_type != F_UNLCK;
    }
    ::close(fd);
  }
  if (held) {
    return;
  }
  if (error == 0 || error == ENOENT) {
    Add(problems, ProblemCode::kMutexNotHeld, "mutexName", static_cast<std::uint32_t>(error),
        "mutexName " + name + " is not held (" + path +
            "): the launcher would start the installer at once, while the application still runs");
  } else {
    Add(problems, ProblemCode::kMutexUnusable, "mutexName", static_cast<std::uint32_t>(error),
        "mutexName " + name + " cannot be probed at " + path);
  }
}

inline void CheckJob(std::vector<Problem>& /*problems*/) {}

}  // namespace detail

#endif

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
  if (!detail::HasProblemWith(problems, "mutexName")) {
    detail::CheckMutexHeld(request.mutexName, problems);
  }
  detail::CheckJob(problems);
  return problems;
}

// The step of HandOver that failed.
enum class HandoverStep : int {
  kNone = 0,          // nothing failed
  kCheckRequest = 1,  // the request itself (the checks of Preflight that need no system call)
  kStartProcess = 2,  // the launcher could not be started
  kBreakaway = 3,     // started, but inside this process's job, which forbids breakaway
  kConfirm = 4,       // started, but it ended before the confirmation wait was over
};

// What HandOver did. On ok() the launcher runs outside this process's job (or there is none) and
// was still running after the confirmation wait.
struct HandoverResult {
  HandoverStep failedStep = HandoverStep::kNone;
  Problem problem;               // code kNone when nothing failed
  bool brokeAway = false;        // started with CREATE_BREAKAWAY_FROM_JOB (Windows)
  bool remainsInJob = false;     // the job forbade breakaway: the launcher shares its fate
  bool jobKillsOnClose = false;  // ...and that job kills its processes when it closes
  LauncherProcess launcher;      // the started launcher; not started() when the start failed

  [[nodiscard]] bool ok() const { return failedStep == HandoverStep::kNone; }
};

// How long HandOver watches the launcher by default: long enough for a launcher that refuses its
// request, or is stopped by the system, to be seen gone.
constexpr std::chrono::milliseconds kDefaultConfirmation{250};

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
    const std::uint32_t code = result.launcher.exitCode();
    return Fail(std::move(result), HandoverStep::kConfirm, ProblemCode::kLauncherEndedEarly, 0,
                "the launcher ended within " + std::to_string(confirm.count()) + " ms (exit code " +
                    std::to_string(code) + "): it refused the request, or the system stopped it");
  }
  return result;
}

}  // namespace detail

#if defined(_WIN32)

// Starts the launcher for `request`: with CREATE_BREAKAWAY_FROM_JOB, so that it outlives a job
// that kills its processes when the application quits (again without it when the job forbids
// breakaway, and then reported), inheriting no handle of the application, even ones created
// inheritable. Then watches it for `confirm` (0: not at all). Never throws but for lack of memory.
inline HandoverResult HandOver(const HandoverRequest& request,
                               std::chrono::milliseconds confirm = kDefaultConfirmation) {
  HandoverResult result;
  const std::vector<Problem> problems = detail::RequestProblems(request);
  if (!problems.empty()) {
    result.failedStep = HandoverStep::kCheckRequest;
    result.problem = problems.front();
    return result;
  }
  const std::wstring application = detail::Wide(request.launcher);
  const std::wstring commandLine = detail::Wide(BuildCommandLine(request));
  const auto start = [&](DWORD flags, PROCESS_INFORMATION& process) {
    std::wstring line = commandLine;  // CreateProcessW may write to it
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    return CreateProcessW(application.c_str(), &line[0], nullptr, nullptr,
                          /*bInheritHandles=*/FALSE, flags, nullptr, nullptr, &startup,
                          &process) != FALSE;
  };
  PROCESS_INFORMATION process{};
  // Outside a job the flag changes nothing.
  bool started = start(CREATE_BREAKAWAY_FROM_JOB, process);
  DWORD error = started ? ERROR_SUCCESS : GetLastError();
  result.brokeAway = started;
  if (!started && error == ERROR_ACCESS_DENIED) {
    started = start(0, process);
    error = started ? ERROR_SUCCESS : GetLastError();
    result.remainsInJob = started;
  }
  if (!started) {
    return detail::Fail(std::move(result), HandoverStep::kStartProcess, ProblemCode::kStartFailed,
                        error,
                        "the launcher " + request.launcher + " could not be started (error " +
                            std::to_string(error) + ")");
  }
  CloseHandle(process.hThread);
  result.launcher = LauncherProcess(process.hProcess, process.dwProcessId);
  result = detail::Confirm(std::move(result), confirm);
  if (result.ok() && result.remainsInJob) {
    result.jobKillsOnClose = detail::CurrentJob().killsOnClose;
    const std::string message =
        std::string("the launcher runs inside this process's job, which forbids breakaway; ") +
        (result.jobKillsOnClose ? "the job kills its processes when it closes, so the launcher "
                                  "would die with the application"
                                : "it survives the application only while the job lives");
    return detail::Fail(std::move(result), HandoverStep::kBreakaway, ProblemCode::kBreakawayRefused,
                        ERROR_ACCESS_DENIED, message);
  }
  return result;
}

#else

// Starts the native launcher for `request` in a session of its own (it outlives the
// application's process group and terminal), inheriting no descriptor marked close-on-exec, then
// watches it for `confirm` (0: not at all). Never throws but for lack of memory.
inline HandoverResult HandOver(const HandoverRequest& request,
                               std::chrono::milliseconds confirm = kDefaultConfirmation) {
  HandoverResult result;
  const std::vector<Problem> problems = detail::RequestProblems(request);
  if (!problems.empty()) {
    result.failedStep = HandoverStep::kCheckRequest;
    result.problem = problems.front();
    return result;
  }
  std::vector<std::string> arguments = BuildArguments(request);
  arguments.insert(arguments.begin(), request.launcher);
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (std::string& argument : arguments) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);
  posix_spawnattr_t attributes;
  int error = posix_spawnattr_init(&attributes);
  pid_t pid = -1;
  if (error == 0) {
    error = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    if (error == 0) {
      error =
          posix_spawn(&pid, request.launcher.c_str(), nullptr, &attributes, argv.data(), environ);
    }
    posix_spawnattr_destroy(&attributes);
  }
  if (error != 0) {
    return detail::Fail(std::move(result), HandoverStep::kStartProcess, ProblemCode::kStartFailed,
                        static_cast<std::uint32_t>(error),
                        "the launcher " + request.launcher + " could not be started (errno " +
                            std::to_string(error) + ")");
  }
  result.launcher = LauncherProcess(pid);
  return detail::Confirm(std::move(result), confirm);
}

#endif

}  // namespace reinstall

#endif  // REINSTALL_HANDOVER_H_
