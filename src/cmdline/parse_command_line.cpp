#include <cctype>
#include <cstddef>
#include <cstring>
#include <utility>

#include "app/errors/errors.h"
#include "app/reinstall.h"
#include "cmdline/test_reports.h"
#include "platform/platform.h"
#include "reinstall/command_line.h"

namespace {

// Tested in this order; none is the beginning of another, so at most one matches. A switch with a
// flag ignores whatever follows its text; a valued switch stores the rest of the argument, which
// its `valid` check, where it has one, must accept.
struct Switch {
  const char* text;
  bool TReinstall::*flag;
  std::string TReinstall::*value;
  bool (*valid)(const std::string&);
};

const Switch kSwitches[] = {
    {"-saferun=kqz", &TReinstall::bExecuteAllowed, nullptr, nullptr},
    {"-test", &TReinstall::bTestExecuting, nullptr, nullptr},
    {"-appmutex=", nullptr, &TReinstall::fAppMutex, nullptr},
    {"-appinstall=", nullptr, &TReinstall::fInstallApp, nullptr},
    {"-installparam=", nullptr, &TReinstall::fExecParams, nullptr},
    {"-installsha256=", nullptr, &TReinstall::fInstallSha256, reinstall::IsSha256Hex},
    {"-outcome=", nullptr, &TReinstall::fOutcomePath, nullptr},
};

}  // namespace

void TReinstall::ParseCommandLine() {
  LPSTR commandLine = reinstall::os::GetCommandLineA();
  std::int32_t argc = 0;
  LPSTR* argv = SplitCommandLine(commandLine, &argc);
  if (argv == nullptr) {
    throw errorParsingCmdLine();
  }
  try {
    // Argument 0 is the program path.
    for (std::int32_t i = 1; i < argc; ++i) {
      ParseParameter(argv[i]);
    }
    if (!fOutcomePath.empty()) {
      reinstall::os::GetSystemTime(&fStarted);
    }
    if (bTestExecuting) {
      reinstall::cmdline::ShowCommandLineReport(commandLine);
      reinstall::cmdline::ShowArgumentsReport(argv, argc);
    }
  } catch (...) {
    reinstall::os::LocalFree(argv);
    throw;
  }
  reinstall::os::LocalFree(argv);
  if (bTestExecuting) {
    reinstall::cmdline::ShowParametersReport(*this);
  }
  if (bExecuteAllowed) {
    CheckParameters();
    if (!fInstallSha256.empty()) {
      VerifyInstallFile();
    }
  }
}

void TReinstall::ParseParameter(std::string argument) {
  // Only ASCII capitals change in the default "C" locale, which the launcher never leaves.
  std::string lowered(argument.size(), '\0');
  for (std::size_t i = 0; i < argument.size(); ++i) {
    lowered[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(argument[i])));
  }
  for (const Switch& s : kSwitches) {
    const std::size_t length = std::strlen(s.text);
    if (lowered.compare(0, length, s.text) != 0) {  // also unequal when shorter
      continue;
    }
    if (s.flag != nullptr) {
      this->*s.flag = true;
    } else {
      // The value keeps its own letter case: it comes from the argument, not the lowered copy.
      std::string value = argument.substr(length);
      if (s.valid != nullptr && !s.valid(value)) {
        throw errorParsingCmdLine();
      }
      this->*s.value = std::move(value);
    }
    return;
  }
  throw errorParsingCmdLine();
}
