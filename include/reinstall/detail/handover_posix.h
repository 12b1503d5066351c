// The hand-over helper natively: the application's lock file, the started launcher's process and
// the checks Preflight makes, as the native launcher makes them. Included by reinstall/handover.h
// only, after the shared declarations; the Windows counterpart is handover_win32.h.
#ifndef REINSTALL_DETAIL_HANDOVER_POSIX_H_
#define REINSTALL_DETAIL_HANDOVER_POSIX_H_

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "reinstall/detail/libcrypto_posix.h"
#include "reinstall/detail/spawn_posix.h"

namespace reinstall {

// The native stand-in for the application's mutex: an open-file-description lock on
// LockPath(name), on a close-on-exec descriptor: no program the application starts keeps it, but
// a child forked without exec shares it until it ends. Held until the object is destroyed or the
// process ends. It never follows a symbolic link, takes only a regular file owned by this
// user, and removes the file at the end only when it created it, and only in the process that
// created it: a forked child that ends leaves the lock and its file to the parent. (A creator
// that loses the race for the lock to another process leaves its file to that holder, which
// does not remove it; a file that nobody holds counts as not held.)
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
        creator_(other.creator_),
        error_(other.error_) {}
  ApplicationMutex& operator=(ApplicationMutex&& other) noexcept {
    if (this != &other) {
      Close();
      name_ = std::move(other.name_);
      path_ = std::move(other.path_);
      fd_ = std::exchange(other.fd_, -1);
      creator_ = other.creator_;
      error_ = other.error_;
    }
    return *this;
  }
  ApplicationMutex(const ApplicationMutex&) = delete;
  ApplicationMutex& operator=(const ApplicationMutex&) = delete;

  [[nodiscard]] bool held() const { return fd_ >= 0; }
  // errno of a failed attempt (EAGAIN: another process holds it; ELOOP: a symbolic link;
  // EISDIR: a folder; EINVAL: not a regular file or an unusable name; EACCES or EPERM: another
  // user's file); 0 when held.
  [[nodiscard]] std::uint32_t error() const { return static_cast<std::uint32_t>(error_); }
  [[nodiscard]] const std::string& name() const { return name_; }
  // Where the mutex lives: its lock file.
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
    creator_ = created ? ::getpid() : 0;
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
      // file this object created, still under its name, by the process that created it (the
      // lock belongs to the open file, which a forked child shares).
      if (creator_ == ::getpid() && SameFile(fd_)) {
        ::unlink(path_.c_str());
      }
      ::close(fd_);
      fd_ = -1;
    }
  }

  std::string name_;
  std::string path_;
  int fd_ = -1;
  pid_t creator_ = 0;  // the process that created the file; 0 when it existed before
  int error_ = 0;
};

// The started launcher's process, by its pid. Destroying it leaves the launcher running; the
// system reaps it once the application has quit.
class LauncherProcess {
 public:
  LauncherProcess() = default;
  explicit LauncherProcess(pid_t pid) : pid_(pid) {}
  LauncherProcess(LauncherProcess&& other) noexcept
      : pid_(std::exchange(other.pid_, -1)),
        ended_(other.ended_),
        known_(other.known_),
        status_(other.status_) {}
  LauncherProcess& operator=(LauncherProcess&& other) noexcept {
    pid_ = std::exchange(other.pid_, -1);
    ended_ = other.ended_;
    known_ = other.known_;
    status_ = other.status_;
    return *this;
  }
  LauncherProcess(const LauncherProcess&) = delete;
  LauncherProcess& operator=(const LauncherProcess&) = delete;
  ~LauncherProcess() = default;

  [[nodiscard]] bool started() const { return pid_ > 0; }
  [[nodiscard]] std::uint32_t id() const { return pid_ > 0 ? static_cast<std::uint32_t>(pid_) : 0; }
  [[nodiscard]] pid_t nativeHandle() const { return pid_; }

  // Waits up to `timeout` for the launcher to end; true when it has ended.
  bool Wait(std::chrono::milliseconds timeout) {
    if (pid_ <= 0 || ended_) {
      return true;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const pid_t reaped = ::waitpid(pid_, &status_, WNOHANG);
      if (reaped == pid_ || (reaped < 0 && errno != EINTR)) {
        // A process that ignores SIGCHLD has its children reaped by the system, and their
        // exit status with them.
        ended_ = true;
        known_ = reaped == pid_;
        return true;
      }
      if (std::chrono::steady_clock::now() >= deadline) {
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  // Whether exitCode() tells how the launcher ended: it has, and its status could be read.
  [[nodiscard]] bool exitCodeKnown() const { return ended_ && known_; }
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
  bool known_ = false;
  int status_ = 0;
};

// Natively no file carries a mark of origin that the launcher would stop at: there is nothing
// to remove.
inline bool RemoveDownloadMark(const std::string& /*installPath*/,
                               std::uint32_t* systemError = nullptr) {
  if (systemError != nullptr) {
    *systemError = 0;
  }
  return false;
}

namespace detail {

// Natively a mutex name becomes the name of its lock file (NAME.lock; the last part of a name
// that is a path), which the file system takes up to 255 bytes long (NAME_MAX).
constexpr std::size_t kMutexNameLimit = 255;
constexpr const char* kMutexNameUnits = "bytes as a lock file name (NAME.lock)";

inline std::size_t MutexNameLength(const std::string& name) {
  const std::string path = LockPath(name);
  return path.size() - (path.find_last_of('/') + 1);
}

// Natively strings are bytes, passed on as they are.
inline std::string EncodingProblem(const std::string& /*value*/, bool /*onCommandLine*/) {
  return {};
}

inline bool IsAbsolutePath(const std::string& path) {
  return !path.empty() && path[0] == '/';
}

constexpr const char* kLauncherFileName = "reinstall";
constexpr const char* kPathSeparators = "/";

// The full path of the running program, or "" when the system cannot tell it.
inline std::string ProgramPath() {
  std::string path(4096, '\0');
  const ssize_t n = readlink("/proc/self/exe", &path[0], path.size());
  if (n <= 0 || static_cast<size_t>(n) >= path.size()) {
    return {};
  }
  path.resize(static_cast<size_t>(n));
  return path;
}

inline std::string ErrorText(std::uint32_t error) {
  return "errno " + std::to_string(error);
}

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

inline bool JobKillsOnClose() {
  return false;
}

inline std::string SignatureText(std::uint32_t /*status*/) {
  return "this system has no code signatures to check";
}

// A file opened as the native launcher opens the install file it verifies: for reading, not
// through a symbolic link. (Linux has no share modes: others can still write to it.) Closed on
// destruction.
class PinnedFile {
 public:
  PinnedFile() = default;
  ~PinnedFile() { Close(); }
  PinnedFile(const PinnedFile&) = delete;
  PinnedFile& operator=(const PinnedFile&) = delete;

  bool Open(const std::string& path) {
    Close();
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
    struct stat status {};
    if (fd_ < 0 || ::fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode)) {
      error_ = fd_ < 0 ? errno : EINVAL;
      Close();
      return false;
    }
    return true;
  }

  [[nodiscard]] bool open() const { return fd_ >= 0; }
  // errno of what failed last.
  [[nodiscard]] std::uint32_t error() const { return static_cast<std::uint32_t>(error_); }

  // The SHA-256 of the whole file, "" when it cannot be read or hashed (libcrypto missing).
  std::string Sha256() {
    Sha256Hasher hash;
    if (!hash.ok()) {
      error_ = ENOSYS;
      return {};
    }
    std::vector<unsigned char> buffer(64 * 1024);
    for (off_t offset = 0;;) {
      const ssize_t n = ::pread(fd_, buffer.data(), buffer.size(), offset);
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n < 0) {
        error_ = errno;
        return {};
      }
      if (n == 0) {
        unsigned char digest[32] = {};
        return hash.Finish(digest) ? HexOf(digest) : std::string();
      }
      if (!hash.Update(buffer.data(), static_cast<std::size_t>(n))) {
        return {};
      }
      offset += n;
    }
  }

  // Natively there are no signatures: always "", with ENOSYS.
  std::string Signer(std::uint32_t* status) {
    *status = ENOSYS;
    return {};
  }

  // Natively a program carries no signature: the digest that names it is the whole file's.
  std::string ImageSha256() { return Sha256(); }

  // The path to start the held file by: the one the system has for it now (links resolved),
  // confirmed right before the start to name the held file (the same device and inode). False,
  // with error(), when it names another file or none.
  bool StartPath(std::string* path) {
    std::string final(4096, '\0');
    const ssize_t n =
        ::readlink(("/proc/self/fd/" + std::to_string(fd_)).c_str(), &final[0], final.size());
    struct stat held {};
    struct stat named {};
    if (n <= 0 || static_cast<std::size_t>(n) >= final.size() || ::fstat(fd_, &held) != 0) {
      error_ = n < 0 ? errno : ENAMETOOLONG;
      return false;
    }
    final.resize(static_cast<std::size_t>(n));
    if (::stat(final.c_str(), &named) != 0 || named.st_dev != held.st_dev ||
        named.st_ino != held.st_ino) {
      error_ = ESTALE;
      return false;
    }
    *path = final;
    return true;
  }

 private:
  void Close() {
    if (fd_ >= 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }

  int fd_ = -1;
  int error_ = 0;
};

// The folder of the install file at `path`, to start the launcher in; "" for none.
inline std::string InstallFolder(const std::string& path) {
  const std::size_t cut = path.find_last_of('/');
  return cut == std::string::npos ? std::string() : path.substr(0, cut == 0 ? 1 : cut);
}

// Natively no process is kept out of the foreground.
inline bool AllowForeground(std::uint32_t /*processId*/) {
  return false;
}

// What starting the launcher gave: the process, or the errno value of the failure; `changed`
// when the held launcher's path no longer named it, and nothing was started. (Nothing natively
// breaks away from a job or remains in one.)
struct Started {
  LauncherProcess process;
  std::uint32_t error = 0;
  bool brokeAway = false;
  bool remainsInJob = false;
  bool changed = false;
};

// Starts the launcher; a held one (`file` open) by the path it has now (PinnedFile::StartPath).
inline Started StartLauncher(const HandoverRequest& request, PinnedFile& file) {
  Started started;
  std::string program = request.launcher;
  if (file.open() && !file.StartPath(&program)) {
    started.changed = true;
    started.error = file.error();
    return started;
  }
  std::vector<std::string> arguments = BuildArguments(request);
  arguments.insert(arguments.begin(), request.launcher);
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (std::string& argument : arguments) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);
  pid_t pid = -1;
  // In the install file's folder, which the installer inherits: never the application's.
  const std::string folder = InstallFolder(request.installPath);
  const int error = SpawnDetached(program.c_str(), argv.data(), false, &pid,
                                  folder.empty() ? nullptr : folder.c_str());
  if (error != 0) {
    started.error = static_cast<std::uint32_t>(error);
  } else {
    started.process = LauncherProcess(pid);
  }
  return started;
}

// Writes `text` beside `path` (a file of this user alone), flushes it and renames it over
// `path`: a reader finds the old file or the new one, never part of one. On failure removes what
// it wrote; *error is errno.
inline bool ReplaceWhole(const std::string& path, const std::string& text, std::uint32_t* error) {
  const std::string partial = path + ".partial";
  const int fd =
      ::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    *error = static_cast<std::uint32_t>(errno);
    return false;
  }
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  bool ok = done == text.size() && ::fsync(fd) == 0;
  *error = ok ? 0 : static_cast<std::uint32_t>(errno);
  ::close(fd);
  if (ok && ::rename(partial.c_str(), path.c_str()) != 0) {
    ok = false;
    *error = static_cast<std::uint32_t>(errno);
  }
  if (!ok) {
    ::unlink(partial.c_str());
  }
  return ok;
}

// Removes the file at `path`, if there is one.
inline void RemoveFile(const std::string& path) {
  ::unlink(path.c_str());
}

// The files an outcome record must never be written over: the install file, the launcher and
// the application's lock file, whose replacement would let the launcher start at once.
inline std::vector<std::pair<const char*, std::string>> FilesTheRecordSpares(
    const HandoverRequest& request) {
  return {{"the install file", request.installPath},
          {"the launcher", request.launcher},
          {"the application's lock file", LockPath(request.mutexName)}};
}

// Whether `a` and `b` are the same name or, where both exist, lead to the same file.
inline bool SamePath(const std::string& a, const std::string& b) {
  struct stat first {};
  struct stat second {};
  return a == b || (::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 &&
                    first.st_dev == second.st_dev && first.st_ino == second.st_ino);
}

// Natively a path is as long as the file system takes it; the launcher's calls add no limit.
inline bool PathTooLong(const char* /*field*/,
                        const std::string& /*path*/,
                        const char* /*consequence*/,
                        std::vector<Problem>& /*problems*/) {
  return false;
}

// Whether a file can be created at `path`; *error is errno. Asked with a file that has no name
// (O_TMPFILE) in its folder where the file system makes one, so that nothing is left behind
// whatever fails; elsewhere the file is created and removed again.
inline bool CanCreate(const std::string& path, std::uint32_t* error) {
  const std::size_t cut = path.find_last_of('/');
  const std::string folder = cut == 0 ? "/" : path.substr(0, cut);
  int fd = cut == std::string::npos
               ? -1
               : ::open(folder.c_str(), O_WRONLY | O_TMPFILE | O_CLOEXEC, 0600);
  const bool named = fd < 0 && (cut == std::string::npos || errno == EOPNOTSUPP ||
                                errno == EISDIR || errno == EINVAL);
  if (named) {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  }
  if (fd < 0) {
    *error = static_cast<std::uint32_t>(errno);
    return false;
  }
  ::close(fd);
  if (named) {
    ::unlink(path.c_str());
  }
  *error = 0;
  return true;
}

// The whole of a file of at most 1 MiB.
inline FileRead ReadWhole(const std::string& path, std::string* content) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    return errno == ENOENT || errno == ENOTDIR ? FileRead::kAbsent : FileRead::kFailed;
  }
  content->clear();
  char chunk[4096];
  ssize_t n = 0;
  while (content->size() < (1U << 20) &&
         ((n = ::read(fd, chunk, sizeof(chunk))) > 0 || (n < 0 && errno == EINTR))) {
    if (n > 0) {
      content->append(chunk, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  return n < 0 ? FileRead::kFailed : FileRead::kRead;
}

inline std::string UtcNow() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  struct tm utc {};
  ::gmtime_r(&now.tv_sec, &utc);
  return IsoTime(utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
                 utc.tm_sec, static_cast<int>(now.tv_nsec / 1000000));
}

// $XDG_STATE_HOME when it is absolute, else ~/.local/state; "" without a home.
inline std::string LocalDataFolder() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') {
    return state;
  }
  const char* home = std::getenv("HOME");
  return home != nullptr && home[0] == '/' ? std::string(home) + "/.local/state" : std::string();
}

// Creates `folder` and the folders above it that are missing, for this user alone.
inline bool MakeFolder(const std::string& folder) {
  for (std::size_t cut = folder.find('/', 1);; cut = folder.find('/', cut + 1)) {
    const std::string part = folder.substr(0, cut);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      return false;
    }
    if (cut == std::string::npos) {
      break;
    }
  }
  struct stat status {};
  return ::stat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace detail
}  // namespace reinstall

#endif  // REINSTALL_DETAIL_HANDOVER_POSIX_H_
