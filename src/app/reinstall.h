// TReinstall: the launcher's whole state and the operations of one run. The program has exactly one
// instance (gReinstall); WinMain runs it through RunLauncher. Every operation reports failure only
// by throwing an exception of the exceptionMsg family.
#ifndef REINSTALL_APP_REINSTALL_H_
#define REINSTALL_APP_REINSTALL_H_

#include <cstdint>
#include <string>

#include "platform/win32_types.h"

class TReinstall {
 public:
  TReinstall() noexcept;
  ~TReinstall();
  TReinstall(const TReinstall&) = delete;
  TReinstall& operator=(const TReinstall&) = delete;

  // Reads and splits the process command line, stores every argument after the program path,
  // shows the test-mode reports when asked to, and validates when execution is enabled.
  void ParseCommandLine();

  // Recognises one argument (switch names in any letter case, matched by prefix) and stores its
  // effect. Throws errorParsingCmdLine when it matches no switch.
  void ParseParameter(std::string argument);

  // Throws errorInstallFileNotExists when fInstallApp cannot be opened, then
  // errorMissingParamsCmdLine when fAppMutex or fInstallApp is empty.
  void CheckParameters() const;

  // Opens fInstallApp for reading, sharing reading only and not following a reparse point, into
  // hInstallFile, and compares the SHA-256 of its content, read through that handle, with
  // fInstallSha256. Throws errorInstallFileChanged when it differs or cannot be had (the file
  // cannot be opened so, is a reparse point, or cannot be read or hashed). The handle stays open,
  // so the file cannot be written, renamed, deleted or replaced until ReleaseInstallFile.
  void VerifyInstallFile();

  // The path to start the held install file by: the one it has now, resolved through
  // hInstallFile (no link or junction left on the way), else fInstallApp; confirmed to name the
  // held file (same volume and file index) right before the start. Throws errorInstallFileChanged
  // when it names another file or none.
  [[nodiscard]] std::string HeldInstallPath() const;

  // Closes hInstallFile, if open.
  void ReleaseInstallFile();

  // Records how the run ended in fOutcomePath, when one was given: "installer-started" for no
  // `failure`, else the failure its box's text names ("timed-out", ...) with the system's error
  // number where it has one; the times and the request; replacing the file whole. A record that
  // cannot be written is left; nothing is shown and nothing thrown.
  void RecordOutcome(const char* failure) noexcept;

  // Returns after the mutex named fAppMutex is gone and a further 2000 ms pause; throws
  // exceptionMsg on an open error or when it still exists after 10000 ms.
  void WaitForApplicationExit();

  // Has the shell "open" fInstallApp (a verified one by HeldInstallPath) with fExecParams,
  // without waiting for it; throws exceptionCantRunInstallApp when the shell refuses (keeping its
  // error in fShellError when an outcome is to be recorded).
  void RunInstallApp();

  // Splits `commandLine` into one GlobalAlloc block holding the pointer vector and the argument
  // texts; stores the count in *argc. Returns null, writing nothing, when the block cannot be had.
  // The caller releases the block with one LocalFree.
  static LPSTR* SplitCommandLine(LPCSTR commandLine, std::int32_t* argc);

  // True when `path` names an existing file that can be opened for execution with read sharing.
  static bool FileExists(std::string path);

  std::string fAppMutex;
  std::string fInstallApp;
  std::string fExecParams;
  std::string fInstallSha256;  // 64 hexadecimal digits, or empty: no digest check
  std::string fOutcomePath;    // where the run records how it ended, or empty: no record
  SYSTEMTIME fStarted;         // when the run began, once fOutcomePath is known; else zero
  DWORD fShellError;           // the shell's error of a refused launch, for the outcome record
  HANDLE hAppMutex;
  HANDLE hInstallFile;  // the verified install file, held until the shell has started it
  BY_HANDLE_FILE_INFORMATION fInstallFileId;  // what the system told of it: volume and index
  bool bExecuteAllowed;
  bool bTestExecuting;
};

// The one instance, constructed before WinMain runs and destroyed after it returns.
extern TReinstall gReinstall;

namespace reinstall {

// The run that WinMain makes on `launcher`: parse, then, when execution is enabled, wait and
// launch. Any failure shows one system-modal error box. A verified install file is held until
// the launch is over, and let go before any box. Always returns 0.
int RunLauncher(TReinstall& launcher);

}  // namespace reinstall

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nShowCmd);

#endif  // REINSTALL_APP_REINSTALL_H_
