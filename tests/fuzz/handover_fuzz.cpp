// Fuzzes the applications' hand-over helper: whatever four values it is given, it either refuses
// them, naming a field that really is empty or holds a double quote or NUL, or builds a command
// line from which the launcher's own splitting and parsing give back exactly those values.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/reinstall.h"
#include "fake_platform.h"
#include "reinstall/handover.h"

namespace {

bool Unrepresentable(const std::string& value, bool mayBeEmpty) {
  return (!mayBeEmpty && value.empty()) || value.find('"') != std::string::npos ||
         value.find('\0') != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  reinstall::HandoverRequest request;
  request.launcher = input.ConsumeRandomLengthString(64);
  request.mutexName = input.ConsumeRandomLengthString(64);
  request.installPath = input.ConsumeRandomLengthString(64);
  request.parameters = input.ConsumeRemainingBytesAsString();

  std::string commandLine;
  try {
    commandLine = reinstall::BuildCommandLine(request);
  } catch (const reinstall::HandoverError& error) {
    const std::string& field = error.field();
    const bool justified =
        (field == "launcher" && Unrepresentable(request.launcher, false)) ||
        (field == "mutexName" && Unrepresentable(request.mutexName, false)) ||
        (field == "installPath" && Unrepresentable(request.installPath, false)) ||
        (field == "parameters" && Unrepresentable(request.parameters, true));
    if (!justified) {
      std::abort();
    }
    return 0;
  }

  reinstall::testing::FakePlatform fake;
  fake.commandLine = commandLine;
  fake.openableFiles = {request.installPath};
  TReinstall launcher;
  try {
    launcher.ParseCommandLine();
  } catch (...) {
    std::abort();
  }
  if (!launcher.bExecuteAllowed || launcher.bTestExecuting ||
      launcher.fAppMutex != request.mutexName || launcher.fInstallApp != request.installPath ||
      launcher.fExecParams != request.parameters) {
    std::abort();
  }
  return 0;
}
