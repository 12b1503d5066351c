// An application that hands over to the launcher as a real one would, through the hand-over
// helper: it holds its lock (the native stand-in for a named mutex) for as long as it runs, starts
// the launcher with the name of that lock, the installer and its parameters, finishes its work and
// quits. Its quitting releases the lock; the launcher notices, pauses and starts the installer.
//
// Usage: handover_app LAUNCHER INSTALLER [PARAMETERS [LINGER_MS]]
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "reinstall/handover.h"
#include "timeline.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s LAUNCHER INSTALLER [PARAMETERS [LINGER_MS]]\n", argv[0]);
    return 2;
  }
  const int lingerMs = argc > 4 ? std::atoi(argv[4]) : 1000;

  // 1. Hold the lock for the life of the process; no child inherits it.
  const std::string name = "reinstall-demo-" + std::to_string(getpid());
  reinstall::ApplicationLock lock(name);
  if (!lock.held()) {
    std::fprintf(stderr, "cannot lock %s: %s\n", lock.path().c_str(), std::strerror(lock.error()));
    return 1;
  }
  demo::Say("application", ("running, holding lock " + lock.path()).c_str());

  // 2. Start the launcher.
  try {
    const int error = reinstall::HandOver({argv[1], name, argv[2], argc > 3 ? argv[3] : ""});
    if (error != 0) {
      std::fprintf(stderr, "cannot start %s: %s\n", argv[1], std::strerror(error));
      return 1;
    }
  } catch (const reinstall::HandoverError& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
  demo::Say("application", "started the launcher; finishing its work");

  // 3. Quit promptly: the launcher gives up if the lock is still held after ten seconds.
  std::this_thread::sleep_for(std::chrono::milliseconds(lingerMs));
  demo::Say("application", "quit (lock released)");
  return 0;
}
