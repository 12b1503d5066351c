// Splitter throughput on a 32 KiB command line, with a plain memcpy of the same bytes as the
// yardstick, measured in the same run.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "app/reinstall.h"
#include "platform/platform.h"

namespace {

// A long but realistic line: the program path, then switches with quoted paths and parameters.
std::string CommandLine() {
  std::string line = "\"C:\\Program Files\\Vendor\\reinstall.exe\" -saferun=kqz";
  int i = 0;
  while (line.size() < 32 * 1024) {
    line += " -appmutex=Vendor.App.Mutex." + std::to_string(i) +
            " \"-appinstall=C:\\Users\\someone\\AppData\\Local\\Temp\\setup " + std::to_string(i) +
            ".exe\" -installparam=\"/S /D=C:\\Program Files\\Vendor App\"";
    ++i;
  }
  line.resize(32 * 1024);
  return line;
}

void BM_SplitCommandLine(benchmark::State& state) {
  const std::string line = CommandLine();
  for (auto _ : state) {
    std::int32_t count = 0;
    LPSTR* argv = TReinstall::SplitCommandLine(line.c_str(), &count);
    benchmark::DoNotOptimize(argv);
    reinstall::os::LocalFree(argv);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(line.size()));
}
BENCHMARK(BM_SplitCommandLine);

void BM_Memcpy(benchmark::State& state) {
  const std::string line = CommandLine();
  std::vector<char> target(line.size() + 1);
  for (auto _ : state) {
    std::memcpy(target.data(), line.c_str(), line.size() + 1);
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(line.size()));
}
BENCHMARK(BM_Memcpy);

}  // namespace

BENCHMARK_MAIN();
