// Timestamps for the demo's timeline: seconds since REINSTALL_DEMO_T0 (wall-clock milliseconds
// since the epoch, set by whoever starts the demo), so that the application and the installer,
// two processes started at different times, print on one scale.
#ifndef REINSTALL_EXAMPLES_TIMELINE_H_
#define REINSTALL_EXAMPLES_TIMELINE_H_

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace demo {

inline double NowMs() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

inline void Say(const char* who, const char* what, std::FILE* out = stdout) {
  static const double start = [] {
    const char* t0 = std::getenv("REINSTALL_DEMO_T0");
    return t0 != nullptr ? std::atof(t0) : NowMs();
  }();
  std::fprintf(out, "[+%6.3f s] %-12s %s\n", (NowMs() - start) / 1000.0, who, what);
  std::fflush(out);
}

}  // namespace demo

#endif  // REINSTALL_EXAMPLES_TIMELINE_H_
