// Every system call of the native helper fails in turn. The calls are wrapped at link time
// (-Wl,--wrap=NAME, tests/CMakeLists.txt); each scenario runs in a child process, once to count
// its calls and then once per call with that call failing (transient) and once with every later
// call of its kind failing too (persistent), each as the system fails it. After every run: no
// crash; no descriptor or child left; the application's lock still held; a result that never
// claims what did not happen (a hand-over that is ok runs its launcher, a held mutex is held, a
// problem that exists is reported, a record read is the record); the outcome record whole or
// absent, no .partial left. The figures are docs/internals.md's table.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "reinstall/handover.h"
#include "sweep_table.h"

namespace {

long g_failAt = -1;
bool g_persistent = false;
bool g_active = false;
long g_calls = 0;
std::string g_injected;

// Whether this call of `operation` fails; the errno it fails with is chosen by the caller.
bool Fails(const char* operation) {
  if (!g_active) {
    return false;
  }
  const bool fail = g_calls++ == g_failAt || (g_persistent && g_injected == operation);
  if (fail && g_injected.empty()) {
    g_injected = operation;
  }
  return fail;
}

int Failed(int error) {
  errno = error;
  return -1;
}

}  // namespace

// The wrapped calls: each fails as the system fails it, else is the real one. WRAP(type, name,
// parameters, arguments, failure) declares __real_NAME and defines __wrap_NAME.
#define WRAP(type, name, parameters, arguments, failure)     \
  type __real_##name parameters;                             \
  type __wrap_##name parameters {                            \
    return Fails(#name) ? failure : __real_##name arguments; \
  }
extern "C" {
WRAP(ssize_t, read, (int fd, void* data, size_t size), (fd, data, size), Failed(EIO))
WRAP(ssize_t, pread, (int fd, void* data, size_t size, off_t at), (fd, data, size, at), Failed(EIO))
WRAP(int, fsync, (int fd), (fd), Failed(EIO))
WRAP(int, rename, (const char* from, const char* to), (from, to), Failed(EACCES))
WRAP(int, unlink, (const char* path), (path), Failed(EACCES))
WRAP(int, fstat, (int fd, struct stat* status), (fd, status), Failed(EIO))
WRAP(int, stat, (const char* path, struct stat* status), (path, status), Failed(EACCES))
WRAP(int, lstat, (const char* path, struct stat* status), (path, status), Failed(EACCES))
WRAP(ssize_t, readlink, (const char* path, char* to, size_t size), (path, to, size), Failed(EACCES))
WRAP(int,
     faccessat,
     (int at, const char* path, int mode, int flags),
     (at, path, mode, flags),
     Failed(EACCES))
WRAP(int, access, (const char* path, int mode), (path, mode), Failed(EACCES))
WRAP(int, mkdir, (const char* path, mode_t mode), (path, mode), Failed(EACCES))
WRAP(pid_t, waitpid, (pid_t pid, int* status, int options), (pid, status, options), Failed(EINTR))
WRAP(int,
     posix_spawn,
     (pid_t * pid,
      const char* path,
      const posix_spawn_file_actions_t* actions,
      const posix_spawnattr_t* attributes,
      char* const argv[],
      char* const envp[]),
     (pid, path, actions, attributes, argv, envp),
     EAGAIN)
WRAP(void*, dlopen, (const char* name, int flags), (name, flags), nullptr)

int __real_open(const char*, int, ...);
int __wrap_open(const char* path, int flags, ...) {
  va_list rest;
  va_start(rest, flags);
  const mode_t mode = (flags & O_CREAT) != 0 ? static_cast<mode_t>(va_arg(rest, int)) : 0;
  va_end(rest);
  return Fails("open") ? Failed(g_calls % 2 != 0 ? EACCES : EMFILE)
                       : __real_open(path, flags, mode);
}
int __real_close(int);
int __wrap_close(int fd) {  // Linux releases the descriptor even when close fails
  const int result = __real_close(fd);
  return Fails("close") ? Failed(EIO) : result;
}
ssize_t __real_write(int, const void*, size_t);
ssize_t __wrap_write(int fd, const void* data, size_t size) {  // a full disk: short, then ENOSPC
  return Fails("write")
             ? (size > 1 && !g_persistent ? __real_write(fd, data, size / 2) : Failed(ENOSPC))
             : __real_write(fd, data, size);
}
int __real_fcntl(int, int, ...);
int __wrap_fcntl(int fd, int command, ...) {  // only ever given a struct flock here
  va_list rest;
  va_start(rest, command);
  void* argument = va_arg(rest, void*);
  va_end(rest);
  return Fails("fcntl") ? Failed(ENOLCK) : __real_fcntl(fd, command, argument);
}
}

namespace {

using reinstall::HandoverRequest;

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::set<std::string> Descriptors() {
  std::set<std::string> open;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    open.insert(entry.path().filename().string());
  }
  return open;
}

// A folder that is $XDG_RUNTIME_DIR too, with a launcher that stays, an installer, and the
// application's lock, held.
struct Scene {
  std::string dir, launcher, installer, record, marker, installerSha256;
};

struct Scenario {
  const char* name;
  // Runs the helper; returns what it claimed that did not happen, or "".
  std::function<std::string(const Scene&)> run;
};

bool Has(const std::vector<reinstall::Problem>& problems, const char* field) {
  return reinstall::detail::HasProblemWith(problems, field);
}

HandoverRequest Good(const Scene& s) {
  HandoverRequest request{s.launcher, "app", s.installer, "/S"};
  request.installSha256 = s.installerSha256;
  request.outcomePath = s.record;
  return request;
}

const Scenario kScenarios[] = {
    {"Preflight, all well",
     [](const Scene& s) {
       reinstall::Preflight(Good(s));
       return std::string();
     }},
    {"Preflight, nothing well",
     [](const Scene& s) {
       HandoverRequest request{s.dir + "/none", "free", s.installer, ""};
       request.outcomePath = s.dir + "/none/o.json";
       const auto problems = reinstall::Preflight(request);
       return Has(problems, "launcher") && Has(problems, "mutexName") &&
                      Has(problems, "outcomePath")
                  ? std::string()
                  : std::string("a problem that exists was not reported");
     }},
    {"HandOver",
     [](const Scene& s) {
       // No watch after the start: its waitpid calls are as many as fit in the time, and a
       // count that changes from run to run would move every later call.
       reinstall::HandoverResult result =
           reinstall::HandOver(Good(s), std::chrono::milliseconds(0));
       g_active = false;
       const bool ran = [&] {  // a launcher that was never started has no time to wait for
         for (int i = 0;
              result.launcher.started() && i < 300 && access(s.marker.c_str(), F_OK) != 0; ++i) {
           usleep(10000);
         }
         return access(s.marker.c_str(), F_OK) == 0;
       }();
       if (result.launcher.started()) {
         kill(result.launcher.id(), SIGKILL);
         __real_waitpid(static_cast<pid_t>(result.launcher.id()), nullptr, 0);
       }
       if (result.ok() != ran) {
         return std::string(result.ok() ? "ok without a running launcher"
                                        : "a failure with the launcher running");
       }
       const std::string outcome = reinstall::ParseOutcomeRecord(Read(s.record)).outcome;
       return !std::filesystem::exists(s.record) || outcome == "timed-out" ||
                      outcome == "handed-over"
                  ? std::string()
                  : "the record is neither the old one nor a whole new one";
     }},
    {"ApplicationMutex",
     [](const Scene&) {
       const reinstall::ApplicationMutex mutex("second");
       g_active = false;
       std::vector<reinstall::Problem> probe;
       reinstall::detail::CheckMutexHeld("second", probe);
       return mutex.held() && !probe.empty()        ? std::string("held() but not held")
              : !mutex.held() && mutex.error() == 0 ? std::string("not held, and no error")
                                                    : std::string();
     }},
    {"ReadOutcome",
     [](const Scene& s) {
       const reinstall::OutcomeRecord read = reinstall::ReadOutcome(s.record);
       return read.state == reinstall::OutcomeState::kRead && read.outcome != "timed-out"
                  ? std::string("a record read as something it does not say")
                  : std::string();
     }},
};

// One run of `scenario` in a child: its count of wrapped calls, and the faults found, a line
// each ("crashed" when it did not end normally).
std::pair<long, std::string> RunInChild(const Scenario& scenario, long failAt, bool persistent) {
  int channel[2];
  EXPECT_EQ(pipe(channel), 0);
  const pid_t child = fork();
  if (child == 0) {
    __real_close(channel[0]);
    char pattern[] = "/tmp/reinstall-sweep-XXXXXX";
    Scene s;
    s.dir = mkdtemp(pattern);
    setenv("XDG_RUNTIME_DIR", s.dir.c_str(), 1);
    s.marker = s.dir + "/launcher-ran";
    s.launcher = s.dir + "/reinstall";
    s.installer = s.dir + "/setup";
    s.record = s.dir + "/o.json";
    std::ofstream(s.launcher) << "#!/bin/sh\ntouch '" << s.marker << "'\nexec sleep 5\n";
    std::ofstream(s.installer) << "#!/bin/sh\n";
    std::ofstream(s.dir + "/free.lock");  // left by an application that quit: nobody holds it
    std::ofstream(s.record) << R"({"outcome": "timed-out", "systemError": 0})"
                            << "\n";
    chmod(s.launcher.c_str(), 0755);
    chmod(s.installer.c_str(), 0755);
    const reinstall::ApplicationMutex application("app");
    reinstall::detail::PinnedFile installer;
    s.installerSha256 = installer.Open(s.installer) ? installer.Sha256() : "";
    const auto before = Descriptors();
    std::string faults;
    g_failAt = failAt;
    g_persistent = persistent;
    g_active = true;
    faults += scenario.run(s);
    g_active = false;
    if (!faults.empty()) {
      faults += " (" + g_injected + " failed)\n";
    }
    faults += Descriptors() == before ? "" : "a descriptor left open\n";
    faults += __real_waitpid(-1, nullptr, WNOHANG) > 0 ? "a child left\n" : "";
    std::vector<reinstall::Problem> held;
    reinstall::detail::CheckMutexHeld("app", held);
    faults += application.held() && held.empty() ? "" : "the application's lock was lost\n";
    faults += std::filesystem::exists(s.record + ".partial") ? "a .partial left\n" : "";
    std::filesystem::remove_all(s.dir);
    const std::string report = std::to_string(g_calls) + "\n" + faults;
    __real_write(channel[1], report.data(), report.size());
    _exit(0);
  }
  __real_close(channel[1]);
  std::string report;
  char buffer[512];
  for (ssize_t n; (n = __real_read(channel[0], buffer, sizeof(buffer))) > 0;) {
    report.append(buffer, static_cast<std::size_t>(n));
  }
  __real_close(channel[0]);
  int status = 0;
  __real_waitpid(child, &status, 0);
  const std::size_t line = report.find('\n');
  const bool ended = WIFEXITED(status) && WEXITSTATUS(status) == 0 && line != std::string::npos;
  return {ended ? std::atol(report.c_str()) : 0, ended ? report.substr(line + 1) : "crashed\n"};
}

TEST(HelperFailureSweep, EveryCallOfTheHelperFailsInTurnAndEveryGuaranteeHolds) {
  std::string table =
      "| scenario | calls | injected failures | runs | faults |\n|---|---|---|---|---|\n";
  long total = 0;
  for (const Scenario& scenario : kScenarios) {
    const auto [calls, clean] = RunInChild(scenario, -1, false);
    EXPECT_EQ(clean, "") << scenario.name << ", as it is";
    long faults = 0;
    for (long v = 0; v < calls * 2; ++v) {
      const std::string found = RunInChild(scenario, v / 2, v % 2 == 1).second;
      EXPECT_EQ(found, "") << scenario.name << ", call " << v / 2 << " failing"
                           << (v % 2 == 1 ? " for good" : "");
      faults += found.empty() ? 0 : 1;
    }
    total += calls * 2;
    table += "| " + std::string(scenario.name) + " | " + std::to_string(calls) + " | " +
             std::to_string(calls * 2) + " | " + std::to_string(calls * 2 + 1) + " | " +
             std::to_string(faults) + " |\n";
  }
  table += "| all " + std::to_string(std::size(kScenarios)) + " scenarios | | " +
           std::to_string(total) + " | " + std::to_string(total + std::size(kScenarios)) + " | |\n";
  ExpectTheDocumentedTable("helper", table);
}

}  // namespace
