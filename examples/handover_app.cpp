// An application that hands over to the launcher as a real one would: it holds its lock (the
// native stand-in for a named mutex) for as long as it runs, starts the launcher with the name of
// that lock, the installer and its parameters, finishes its work and quits. Its quitting releases
// the lock; the launcher notices, pauses and starts the installer.
//
// Usage: handover_app LAUNCHER INSTALLER [PARAMETERS [LINGER_MS]]
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "timeline.h"

extern char** environ;

namespace {

std::string LockPath(const std::string& name) {
  const char* dir = std::getenv("XDG_RUNTIME_DIR");
  return std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/" + name + ".lock";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s LAUNCHER INSTALLER [PARAMETERS [LINGER_MS]]\n", argv[0]);
    return 2;
  }
  const std::string launcher = argv[1];
  const std::string installer = argv[2];
  const std::string parameters = argc > 3 ? argv[3] : "";
  const int lingerMs = argc > 4 ? std::atoi(argv[4]) : 1000;

  // 1. Hold the lock for the life of the process. O_CLOEXEC matters: a launcher that inherited
  // this descriptor would keep the lock alive and wait in vain.
  const std::string name = "reinstall-demo-" + std::to_string(getpid());
  const std::string path = LockPath(name);
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  if (fd < 0 || fcntl(fd, F_OFD_SETLK, &lock) != 0) {
    std::fprintf(stderr, "cannot lock %s: %s\n", path.c_str(), std::strerror(errno));
    return 1;
  }
  demo::Say("application", ("running, holding lock " + path).c_str());

  // 2. Start the launcher. Values with blanks are enclosed in quotes by the command line the
  // launcher sees; a value can never hold a double quote.
  std::string mutexArg = "-appmutex=" + name;
  std::string installArg = "-appinstall=" + installer;
  std::string paramArg = "-installparam=" + parameters;
  std::string safeArg = "-saferun=kqz";
  char* args[] = {const_cast<char*>(launcher.c_str()),
                  safeArg.data(),
                  mutexArg.data(),
                  installArg.data(),
                  paramArg.data(),
                  nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, launcher.c_str(), nullptr, nullptr, args, environ);
  if (spawned != 0) {
    std::fprintf(stderr, "cannot start %s: %s\n", launcher.c_str(), std::strerror(spawned));
    return 1;
  }
  demo::Say("application", "started the launcher; finishing its work");

  // 3. Quit promptly: the launcher gives up if the lock is still held after ten seconds.
  std::this_thread::sleep_for(std::chrono::milliseconds(lingerMs));
  unlink(path.c_str());
  demo::Say("application", "quit (lock released)");
  return 0;
}
