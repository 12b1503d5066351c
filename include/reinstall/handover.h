// Handing over to the reinstall launcher from an application: the supported way to call it.
//
// The three steps:
//   1. Hold the mutex (on Windows) or lock (on the POSIX build) for the whole life of the process:
//      create it early, never hand it to another process, and let the process's exit release it.
//      CreateApplicationMutex / ApplicationLock make one that no child process can inherit.
//   2. Start the launcher with HandOver (or BuildCommandLine + StartLauncher). It refuses values
//   the
//      launcher could not receive intact, and the launcher it starts inherits none of the
//      application's handles, so the mutex disappears when the application quits.
//   3. Quit within a few seconds. The launcher gives up with "Waiting for closing application
//      timed out." if the mutex still exists ten seconds after it started; it then starts nothing.
//
// Header-only, C++17. Strings are bytes; on Windows they are UTF-8 and reach a launcher that runs
// with the UTF-8 code page (Windows 10 1903 and later) unchanged.
#ifndef REINSTALL_HANDOVER_H_
#define REINSTALL_HANDOVER_H_

#include <stdexcept>
#include <string>
#include <vector>

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
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

// Declared by <unistd.h> only with _GNU_SOURCE; repeated for applications built without it.
extern char** environ;  // NOLINT(readability-redundant-declaration)
#endif

namespace reinstall {

// What the application hands over. `parameters` may be empty; the other three may not.
struct HandoverRequest {
  std::string launcher;     // path of reinstall.exe (or of the native reinstall)
  std::string mutexName;    // the mutex (lock) the application holds while it runs
  std::string installPath;  // the install file
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

namespace detail {

// The launcher drops every double quote and ends its command line at a NUL; an empty mutex name
// or install path fails its validation.
inline void Check(const std::string& field, const std::string& value, bool mayBeEmpty) {
  if (!mayBeEmpty && value.empty()) {
    throw HandoverError(field, "is empty");
  }
  if (value.find('"') != std::string::npos) {
    throw HandoverError(field, "holds a double quote, which the launcher can never receive");
  }
  if (value.find('\0') != std::string::npos) {
    throw HandoverError(field, "holds a NUL byte, which would end the command line");
  }
}

// Blanks, tabs, line feeds and carriage returns separate the launcher's arguments; inside double
// quotes they are kept, and nothing else needs quoting.
inline std::string Quoted(const std::string& argument) {
  if (argument.find_first_of(" \t\n\r") == std::string::npos) {
    return argument;
  }
  return '"' + argument + '"';
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
  std::string line = '"' + request.launcher + '"';
  for (const std::string& argument : arguments) {
    line += ' ' + detail::Quoted(argument);
  }
  return line;
}

#if defined(_WIN32)

namespace detail {

inline std::wstring Wide(const std::string& field, const std::string& utf8) {
  if (utf8.empty()) {
    return std::wstring();
  }
  const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                       static_cast<int>(utf8.size()), nullptr, 0);
  if (size <= 0) {
    throw HandoverError(field, "is not valid UTF-8");
  }
  std::wstring wide(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()),
                      &wide[0], size);
  return wide;
}

}  // namespace detail

// Creates the application's named mutex, owned by the calling thread and not inheritable. Keep the
// handle until the process ends. Returns null with GetLastError() set on failure, including when
// the name is already taken (ERROR_ALREADY_EXISTS): another instance is running.
inline HANDLE CreateApplicationMutex(const std::string& name) {
  const std::wstring wide = detail::Wide("mutexName", name);
  HANDLE mutex = CreateMutexW(nullptr, TRUE, wide.c_str());
  if (mutex != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(mutex);
    SetLastError(ERROR_ALREADY_EXISTS);
    return nullptr;
  }
  return mutex;
}

// Starts the launcher for `request` without letting it inherit any handle of the application,
// even ones created inheritable, and without waiting for it. Returns ERROR_SUCCESS or the Win32
// error of the start; with `launcherProcess`, also hands over the launcher's process handle, which
// the caller then closes. Throws HandoverError for a value the launcher could not receive.
inline DWORD HandOver(const HandoverRequest& request, HANDLE* launcherProcess = nullptr) {
  std::wstring commandLine = detail::Wide("command line", BuildCommandLine(request));
  const std::wstring application = detail::Wide("launcher", request.launcher);
  detail::Wide("mutexName", request.mutexName);
  detail::Wide("installPath", request.installPath);
  detail::Wide("parameters", request.parameters);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(application.c_str(), &commandLine[0], nullptr, nullptr,
                      /*bInheritHandles=*/FALSE, 0, nullptr, nullptr, &startup, &process)) {
    return GetLastError();
  }
  CloseHandle(process.hThread);
  if (launcherProcess != nullptr) {
    *launcherProcess = process.hProcess;
  } else {
    CloseHandle(process.hProcess);
  }
  return ERROR_SUCCESS;
}

#else

// The native stand-in for the application's mutex: an open-file-description lock on
// $XDG_RUNTIME_DIR/NAME.lock (/tmp when unset), on a descriptor that no child inherits. Held
// until the object is destroyed or the process ends.
class ApplicationLock {
 public:
  explicit ApplicationLock(const std::string& name) : path_(LockPath(name)) {
    detail::Check("mutexName", name, false);
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) {
      error_ = errno;
      return;
    }
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (::fcntl(fd_, F_OFD_SETLK, &lock) != 0) {
      error_ = errno;  // EAGAIN: another process holds it
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~ApplicationLock() {
    if (fd_ >= 0) {
      ::unlink(path_.c_str());  // while still held: nobody can mistake a stale file for a holder
      ::close(fd_);
    }
  }
  ApplicationLock(const ApplicationLock&) = delete;
  ApplicationLock& operator=(const ApplicationLock&) = delete;

  [[nodiscard]] bool held() const { return fd_ >= 0; }
  [[nodiscard]] int error() const { return error_; }  // errno of a failed attempt, 0 when held
  [[nodiscard]] const std::string& path() const { return path_; }

  static std::string LockPath(const std::string& name) {
    if (name.find('/') != std::string::npos) {
      return name;
    }
    const char* dir = std::getenv("XDG_RUNTIME_DIR");
    return std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/" + name + ".lock";
  }

 private:
  std::string path_;
  int fd_ = -1;
  int error_ = 0;
};

// Starts the native launcher for `request` without waiting for it. Returns 0 or the errno value
// of the start. Throws HandoverError for a value the launcher could not receive.
inline int HandOver(const HandoverRequest& request) {
  std::vector<std::string> arguments = BuildArguments(request);
  arguments.insert(arguments.begin(), request.launcher);
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (std::string& argument : arguments) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);
  pid_t pid = 0;
  return posix_spawn(&pid, request.launcher.c_str(), nullptr, nullptr, argv.data(), environ);
}

#endif

}  // namespace reinstall

#endif  // REINSTALL_HANDOVER_H_
