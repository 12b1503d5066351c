// An application that hands over to the launcher as a real one would, through the hand-over
// helper: it holds its mutex (natively a lock file) for as long as it runs, checks that the
// hand-over can succeed, starts the launcher with the name of that mutex, the installer and its
// parameters, finishes its work and quits. Its quitting releases the mutex; the launcher notices,
// pauses and starts the installer. On any problem it stays in charge: it says why and does not
// count on the update.
//
// Usage: handover_app LAUNCHER INSTALLER [PARAMETERS [LINGER_MS]]
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "reinstall/handover.h"
#include "timeline.h"

namespace {

// The helper wants absolute paths: the launcher resolves nothing against the application's
// working directory.
std::string Absolute(const char* path) {
  char resolved[PATH_MAX];
  return realpath(path, resolved) != nullptr ? resolved : path;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s LAUNCHER INSTALLER [PARAMETERS [LINGER_MS]]\n", argv[0]);
    return 2;
  }
  const int lingerMs = argc > 4 ? std::atoi(argv[4]) : 1000;

  // 1. Hold the mutex for the life of the process; no child inherits it.
  const std::string name = "reinstall-demo-" + std::to_string(getpid());
  const reinstall::ApplicationMutex mutex(name);
  if (!mutex.held()) {
    std::fprintf(stderr, "cannot lock %s: %s\n", mutex.path().c_str(),
                 std::strerror(static_cast<int>(mutex.error())));
    return 1;
  }
  demo::Say("application", ("running, holding lock " + mutex.path()).c_str());

  // 2. Check, while the application can still tell the user.
  const reinstall::HandoverRequest request{Absolute(argv[1]), name, Absolute(argv[2]),
                                           argc > 3 ? argv[3] : ""};
  const std::vector<reinstall::Problem> problems = reinstall::Preflight(request);
  for (const reinstall::Problem& problem : problems) {
    std::fprintf(stderr, "%s: %s\n", reinstall::ProblemCodeName(problem.code),
                 problem.message.c_str());
  }
  if (!problems.empty()) {
    return 1;
  }

  // 3. Hand over, and confirm that the launcher is running.
  const reinstall::HandoverResult result = reinstall::HandOver(request);
  if (!result.ok()) {
    std::fprintf(stderr, "%s: %s\n", reinstall::ProblemCodeName(result.problem.code),
                 result.problem.message.c_str());
    return 1;
  }
  demo::Say("application", "started the launcher; finishing its work");

  // 4. Quit promptly: the launcher gives up if the lock is still held after ten seconds.
  std::this_thread::sleep_for(std::chrono::milliseconds(lingerMs));
  demo::Say("application", "quit (lock released)");
  return 0;
}
