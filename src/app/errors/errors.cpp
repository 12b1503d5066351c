#include "app/errors/errors.h"

exceptionMsg::exceptionMsg(const char* message) : fMessage(message) {}

exceptionMsg::exceptionMsg(const std::string& message) : fMessage(message) {}

exceptionMsg::~exceptionMsg() = default;

const char* exceptionMsg::what() const noexcept {
  return fMessage.c_str();
}

// The texts below are what callers and their users see and match on; they stay exactly as they
// are, "doesn't exists" included.
errorInstallFileNotExists::errorInstallFileNotExists()
    : exceptionMsg("Install file doesn't exists.") {}

errorMissingParamsCmdLine::errorMissingParamsCmdLine()
    : exceptionMsg("Missing some required parameters.") {}

errorParsingCmdLine::errorParsingCmdLine() : exceptionMsg("Error parsing command line.") {}

exceptionCantRunInstallApp::exceptionCantRunInstallApp()
    : exceptionMsg("Can't execute install file.") {}

errorInstallFileChanged::errorInstallFileChanged()
    : exceptionMsg("Install file has been changed.") {}
