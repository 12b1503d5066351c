#include "cmdline/test_reports.h"

#include <sstream>

#include "platform/platform.h"

namespace reinstall::cmdline {
namespace {

void ShowReport(const std::string& text, LPCSTR caption) {
  os::MessageBoxA(nullptr, text.c_str(), caption, 0);
}

}  // namespace

std::string ArgumentListText(const LPSTR* argv, std::int32_t argc) {
  std::stringstream text;
  for (std::int32_t i = 1; i < argc; ++i) {
    text << argv[i] << '\n';
  }
  return text.str();
}

std::string ParametersText(const TReinstall& launcher) {
  std::stringstream text;
  text << "fAppMutex='" << launcher.fAppMutex << "'\nfInstallApp='" << launcher.fInstallApp
       << "'\nfExecParams='" << launcher.fExecParams << "'\nbExecuteAllowed='"
       << launcher.bExecuteAllowed << "'\nbTestExecuting='" << launcher.bTestExecuting << "'\n";
  return text.str();
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
