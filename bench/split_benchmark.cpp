// Splitter throughput on a 32 KiB command line, with a plain memcpy of the same bytes as the
// yardstick, measured in the same run.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "app/reinstall.h"
#include "cmdline/argument_block.h"
#include "platform/platform.h"

namespace {

// A long but realistic line: the program path, then switches with quoted paths and parameters.
std::string CommandLine() {
  std::vector<std::string> arguments{"C:\\Program Files\\Vendor\\reinstall.exe", "-saferun=kqz"};
  std::size_t length = 0;
  for (int i = 0; length < 32 * 1024; ++i) {
    arguments.push_back("-appmutex=Vendor.App.Mutex." + std::to_string(i));
    arguments.push_back("-appinstall=C:\\Users\\someone\\AppData\\Local\\Temp\\setup " +
                        std::to_string(i) + ".exe");
    arguments.push_back("-installparam=/S /D=C:\\Program Files\\Vendor App");
    length = reinstall::JoinArguments(arguments).size();
  }
  std::string line = reinstall::JoinArguments(arguments);
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
