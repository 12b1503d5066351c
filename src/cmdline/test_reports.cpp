#include "cmdline/test_reports.h"

#include "platform/platform.h"

namespace reinstall::cmdline {
namespace {

void ShowReport(const std::string& text, LPCSTR caption) {
  os::MessageBoxA(nullptr, text.c_str(), caption, 0);
}

}  // namespace

std::string ArgumentListText(const LPSTR* argv, std::int32_t argc) {
  std::string text;
  for (std::int32_t i = 1; i < argc; ++i) {
    text += argv[i];
    text += '\n';
  }
  return text;
}

std::string ParametersText(const TReinstall& launcher) {
  const char* const flag[] = {"0", "1"};
  std::string text = "fAppMutex='" + launcher.fAppMutex + "'\nfInstallApp='" +
                     launcher.fInstallApp + "'\nfExecParams='" + launcher.fExecParams +
                     "'\nbExecuteAllowed='" + flag[launcher.bExecuteAllowed ? 1 : 0] +
                     "'\nbTestExecuting='" + flag[launcher.bTestExecuting ? 1 : 0] + "'\n";
  if (!launcher.fInstallSha256.empty()) {
    text.append("fInstallSha256='").append(launcher.fInstallSha256).append("'\n");
  }
  return text;
}

void ShowCommandLineReport(LPCSTR commandLine) {
  os::MessageBoxA(nullptr, commandLine, "Command line", 0);
}

void ShowArgumentsReport(const LPSTR* argv, std::int32_t argc) {
  ShowReport(ArgumentListText(argv, argc), "Parsed command line");
}

void ShowParametersReport(const TReinstall& launcher) {
  ShowReport(ParametersText(launcher), "Parameters");
}

}  // namespace reinstall::cmdline
