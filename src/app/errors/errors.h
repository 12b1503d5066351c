// The launcher's failures. Every failure travels as one of these, thrown by value; what() is the
// exact text of the error box that ends the run.
#ifndef REINSTALL_APP_ERRORS_ERRORS_H_
#define REINSTALL_APP_ERRORS_ERRORS_H_

#include <exception>
#include <string>

// Carries any message; what() returns it unchanged for the life of the object.
class exceptionMsg : public std::exception {
 public:
  explicit exceptionMsg(const char* message);
  explicit exceptionMsg(const std::string& message);
  exceptionMsg(const exceptionMsg& other) = default;
  exceptionMsg& operator=(const exceptionMsg&) = delete;
  ~exceptionMsg() override;

  [[nodiscard]] const char* what() const noexcept override;

 private:
  std::string fMessage;
};

// "Install file doesn't exists."
class errorInstallFileNotExists : public exceptionMsg {
 public:
  errorInstallFileNotExists();
};

// "Missing some required parameters."
class errorMissingParamsCmdLine : public exceptionMsg {
 public:
  errorMissingParamsCmdLine();
};

// "Error parsing command line."
class errorParsingCmdLine : public exceptionMsg {
 public:
  errorParsingCmdLine();
};

// "Can't execute install file."
class exceptionCantRunInstallApp : public exceptionMsg {
 public:
  exceptionCantRunInstallApp();
};

// "Install file has been changed."
class errorInstallFileChanged : public exceptionMsg {
 public:
  errorInstallFileChanged();
};

#endif  // REINSTALL_APP_ERRORS_ERRORS_H_
