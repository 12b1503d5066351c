#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "app/reinstall.h"
#include "fake_platform.h"
#include "reinstall/outcome.h"

namespace {

using reinstall::testing::FakePlatform;

// The text of `key`'s value in a one-line JSON record: a string without its quotes, or a number.
std::string Field(const std::string& record, const std::string& key) {
  const std::size_t at = record.find("\"" + key + "\": ");
  if (at == std::string::npos) {
    return "<none>";
  }
  std::size_t start = at + key.size() + 4;
  const bool text = record[start] == '"';
  start += text ? 1 : 0;
  return record.substr(start, record.find(text ? "\"" : ",", start) - start);
}

constexpr UINT kErrorBoxStyle = 0x1010;

class RunLauncherTest : public ::testing::Test {
 protected:
  RunLauncherTest() {
    fake_.openableFiles = {"C:\\setup.exe"};
    fake_.fileContents["C:\\setup.exe"] = "MZ installer";
    for (int i = 0; i < 32; ++i) {
      fake_.digest[i] = static_cast<char>(0xE0 + i);  // e0e1...ff
    }
  }

  // The fake's digest in hexadecimal, upper case: the switch accepts either.
  static std::string Digest() {
    std::string hex;
    for (int i = 0; i < 32; ++i) {
      hex += i < 16 ? 'E' : 'F';
      hex += "0123456789ABCDEF"[i % 16];
    }
    return hex;
  }

  int Run(const std::string& arguments) {
    fake_.commandLine = "\"C:\\Temp\\reinstall.exe\" " + arguments;
    TReinstall launcher;
    const int result = reinstall::RunLauncher(launcher);
    EXPECT_EQ(launcher.hAppMutex, INVALID_HANDLE_VALUE);
    return result;
  }

  void ExpectOneErrorBox(const char* text) {
    ASSERT_EQ(fake_.boxes.size(), 1u);
    EXPECT_EQ(fake_.boxes[0].hWnd, nullptr);
    EXPECT_EQ(fake_.boxes[0].text, text);
    EXPECT_EQ(fake_.boxes[0].caption, std::nullopt) << "the system's default title";
    EXPECT_EQ(fake_.boxes[0].uType, kErrorBoxStyle);
  }

  FakePlatform fake_;
};

TEST_F(RunLauncherTest, ACompleteHandOverShowsNothingAndLaunchesOnce) {
  fake_.mutexProbe = [](int probe) { return probe < 3 ? 0 : ERROR_FILE_NOT_FOUND; };
  EXPECT_EQ(Run("-saferun=kqz -appmutex=App -appinstall=C:\\setup.exe -installparam=/S"), 0);
  EXPECT_TRUE(fake_.boxes.empty());
  ASSERT_EQ(fake_.shellRequests.size(), 1u);
  EXPECT_EQ(fake_.shellRequests[0].parameters, std::optional<std::string>("/S"));
  EXPECT_EQ(fake_.log.back(), "ShellExecuteExA");
  EXPECT_EQ(fake_.sleeps.back(), 2000u);
  EXPECT_EQ(fake_.LiveBlocks(), 0u);
  EXPECT_EQ(fake_.OpenHandles(), 0u);
}

TEST_F(RunLauncherTest, AVerifiedInstallFileIsHeldUntilTheShellHasStartedItByItsOwnPath) {
  fake_.readChunk = 5;
  // Reached through a link that leads to a share: started by the file's own path.
  fake_.finalPaths["C:\\setup.exe"] = "\\\\?\\UNC\\srv\\share\\setup.exe";
  fake_.openableFiles.insert("\\\\srv\\share\\setup.exe");
  fake_.fileIndex = {{"C:\\setup.exe", 7}, {"\\\\srv\\share\\setup.exe", 7}};
  EXPECT_EQ(Run("-saferun=kqz -appmutex=App -appinstall=C:\\setup.exe -installsha256=" + Digest()),
            0);
  EXPECT_TRUE(fake_.boxes.empty());
  EXPECT_EQ(fake_.hashedBytes, "MZ installer");
  ASSERT_EQ(fake_.createFileCalls.size(), 3u);
  const auto& hold = fake_.createFileCalls[1];
  EXPECT_EQ(hold.dwDesiredAccess, GENERIC_READ);
  EXPECT_EQ(hold.dwShareMode, FILE_SHARE_READ) << "no write or delete sharing";
  EXPECT_EQ(hold.dwFlagsAndAttributes, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN);
  EXPECT_EQ(fake_.createFileCalls[2].fileName, "\\\\srv\\share\\setup.exe") << "confirmed";
  ASSERT_EQ(fake_.shellRequests.size(), 1u);
  EXPECT_EQ(fake_.shellRequests[0].file, std::optional<std::string>("\\\\srv\\share\\setup.exe"));
  // The file test's and the confirmation's handles are closed at once; the held one only after
  // the launch.
  const auto launch = std::find(fake_.log.begin(), fake_.log.end(), "ShellExecuteExA");
  ASSERT_NE(launch, fake_.log.end());
  EXPECT_EQ(std::count(fake_.log.begin(), launch, "CloseHandle"), 2);
  EXPECT_EQ(fake_.log.back(), "CloseHandle");
  EXPECT_EQ(fake_.OpenHandles(), 0u);
  EXPECT_EQ(fake_.liveHashObjects, 0);
}

TEST_F(RunLauncherTest, TheOutcomeRecordIsWrittenBesideAndMovedOverOnceTheInstallerStarted) {
  fake_.writtenFiles["C:\\out\\o.json"] = "the record of the last hand-over";
  fake_.tickStepPerRead = 250;
  EXPECT_EQ(Run("-saferun=kqz -outcome=C:\\out\\o.json \"-appmutex=A\tB\" "
                "-appinstall=C:\\setup.exe"),
            0);
  EXPECT_EQ(fake_.writtenFiles.size(), 1u) << "nothing left beside the record";
  const std::string record = fake_.writtenFiles["C:\\out\\o.json"];
  const std::string head =
      "{\"outcome\": \"installer-started\", \"systemError\": 0, \"launcherVersion\": \"";
  EXPECT_EQ(record.substr(0, head.size()), head);
  EXPECT_EQ(Field(record, "started"), "2026-12-09T17:20:00.000Z");
  EXPECT_EQ(Field(record, "ended"), "2026-12-09T17:20:02.250Z");
  EXPECT_NE(record.find(", \"mutexName\": \"A\\u0009B\", \"installPath\": \"C:\\\\setup.exe\"}\n"),
            std::string::npos)
      << record;
  // The helper reads what the launcher writes.
  const reinstall::OutcomeRecord read = reinstall::ParseOutcomeRecord(record);
  EXPECT_EQ(read.state, reinstall::OutcomeState::kRead);
  EXPECT_EQ(read.outcome, "installer-started");
  EXPECT_EQ(read.mutexName, "A\tB");
  EXPECT_EQ(read.installPath, "C:\\setup.exe");
  const auto launch = std::find(fake_.log.begin(), fake_.log.end(), "ShellExecuteExA");
  EXPECT_NE(std::find(launch, fake_.log.end(), "MoveFileExA"), fake_.log.end())
      << "written only after the launch";
  EXPECT_EQ(fake_.OpenHandles(), 0u);
}

TEST_F(RunLauncherTest, TheRecordIsUtf8WhateverTheCodePage) {
  fake_.ansiCodePage = 1252;
  fake_.openableFiles.insert("C:\\Jos\xE9.exe");
  EXPECT_EQ(Run("-saferun=kqz -outcome=C:\\o.json -appmutex=A -appinstall=C:\\Jos\xE9.exe"), 0);
  EXPECT_EQ(reinstall::ParseOutcomeRecord(fake_.writtenFiles["C:\\o.json"]).installPath,
            "C:\\Jos\xC3\xA9.exe");
  EXPECT_EQ(fake_.LiveBlocks(), 0u);
}

TEST_F(RunLauncherTest, ARecordThatCannotBeWrittenLeavesNothingAndChangesNothing) {
  for (const char* failing : {"CreateFileA", "WriteFile", "FlushFileBuffers", "MoveFileExA"}) {
    SCOPED_TRACE(failing);
    fake_.failWriteCall = failing;
    fake_.writtenFiles = {{"C:\\o.json", "old"}};
    fake_.boxes.clear();
    fake_.shellRequests.clear();
    EXPECT_EQ(Run("-saferun=kqz -outcome=C:\\o.json -appmutex=A -appinstall=C:\\setup.exe"), 0);
    EXPECT_TRUE(fake_.boxes.empty());
    EXPECT_EQ(fake_.shellRequests.size(), 1u);
    EXPECT_EQ(fake_.writtenFiles, (std::map<std::string, std::string>{{"C:\\o.json", "old"}}));
    EXPECT_EQ(fake_.OpenHandles(), 0u);
  }
}

TEST_F(RunLauncherTest, WithoutTheExecutionSwitchNothingIsCheckedWaitedOrStarted) {
  EXPECT_EQ(Run("-appmutex=App -appinstall=C:\\does-not-exist.exe"), 0);
  EXPECT_TRUE(fake_.boxes.empty());
  EXPECT_EQ(fake_.Count("CreateFileA"), 0);
  EXPECT_EQ(fake_.Count("OpenMutexA"), 0);
  EXPECT_EQ(fake_.Count("ShellExecuteExA"), 0);
}

struct FailureCase {
  const char* name;
  std::string arguments;
  DWORD (*probe)(int);
  BOOL shellResult;
  const char* message;
  bool launched;
  const char* outcome;  // what the outcome record says, with -outcome= before the arguments
  DWORD systemError;
};

TEST_F(RunLauncherTest, EveryFailureEndsInOneErrorBoxAndLaterStagesDoNotRun) {
  const FailureCase cases[] = {
      {"bad argument", "-saferun=kqz -bogus", nullptr, TRUE, "Error parsing command line.", false,
       "command-line-error", 0},
      {"missing file", "-saferun=kqz -appmutex=A -appinstall=C:\\x.exe", nullptr, TRUE,
       "Install file doesn't exists.", false, "install-file-missing", 0},
      {"missing mutex name", "-saferun=kqz -appinstall=C:\\setup.exe", nullptr, TRUE,
       "Missing some required parameters.", false, "missing-parameters", 0},
      {"open error", "-saferun=kqz -appmutex=A -appinstall=C:\\setup.exe",
       [](int) -> DWORD { return ERROR_INVALID_HANDLE; }, TRUE, "Error opening mutex. Number: 6",
       false, "mutex-error", 6},
      {"time-out", "-saferun=kqz -appmutex=A -appinstall=C:\\setup.exe",
       [](int) -> DWORD { return 0; }, TRUE, "Waiting for closing application timed out.", false,
       "timed-out", 0},
      {"launch refused", "-saferun=kqz -appmutex=A -appinstall=C:\\setup.exe", nullptr, FALSE,
       "Can't execute install file.", true, "cant-execute", ERROR_NO_ASSOCIATION},
      {"another digest",
       "-saferun=kqz -appmutex=A -appinstall=C:\\setup.exe -installsha256=" +
           Digest().replace(0, 1, "D"),
       nullptr, TRUE, "Install file has been changed.", false, "install-file-changed", 0},
      {"digest too short",
       "-saferun=kqz -appmutex=A -appinstall=C:\\setup.exe -installsha256=" + Digest().substr(1),
       nullptr, TRUE, "Error parsing command line.", false, "command-line-error", 0},
      {"digest of a missing file",
       "-saferun=kqz -appmutex=A -appinstall=C:\\x.exe -installsha256=" + Digest(), nullptr, TRUE,
       "Install file doesn't exists.", false, "install-file-missing", 0},
      {"verified, then the launch refused",
       "-saferun=kqz -appmutex=A -appinstall=C:\\setup.exe -installsha256=" + Digest(), nullptr,
       FALSE, "Can't execute install file.", true, "cant-execute", ERROR_NO_ASSOCIATION},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    fake_.boxes.clear();
    fake_.shellRequests.clear();
    fake_.log.clear();
    fake_.mutexProbe = c.probe != nullptr ? std::function<DWORD(int)>(c.probe)
                                          : [](int) -> DWORD { return ERROR_FILE_NOT_FOUND; };
    fake_.shellResult = c.shellResult;
    fake_.writtenFiles.clear();
    EXPECT_EQ(Run("-outcome=C:\\o.json " + c.arguments), 0);
    ExpectOneErrorBox(c.message);
    EXPECT_EQ(fake_.boxes[0].openHandles, 0u) << "the install file is let go before the box";
    EXPECT_EQ(Field(fake_.writtenFiles["C:\\o.json"], "outcome"), c.outcome);
    EXPECT_EQ(Field(fake_.writtenFiles["C:\\o.json"], "systemError"),
              std::to_string(c.systemError));
    EXPECT_LT(std::find(fake_.log.begin(), fake_.log.end(), "MoveFileExA"),
              std::find(fake_.log.begin(), fake_.log.end(), "MessageBoxA(<default>)"))
        << "recorded before the box";
    EXPECT_EQ(fake_.shellRequests.size(), c.launched ? 1u : 0u);
    const std::string message = c.message;
    if (message.find("mutex") == std::string::npos &&
        message.find("timed out") == std::string::npos && !c.launched) {
      EXPECT_EQ(fake_.Count("OpenMutexA"), 0) << "a failed check waits for nothing";
    }
    EXPECT_EQ(fake_.LiveBlocks(), 0u);
    EXPECT_EQ(fake_.OpenHandles(), 0u);
  }
}

TEST_F(RunLauncherTest, AStandardLibraryFailureIsShownWithItsOwnText) {
  fake_.throwingMessageBox = 0;  // the first report runs out of memory
  fake_.commandLine = "r.exe -test";
  TReinstall launcher;
  EXPECT_EQ(reinstall::RunLauncher(launcher), 0);
  ASSERT_EQ(fake_.boxes.size(), 2u);
  EXPECT_EQ(fake_.boxes[1].text, std::bad_alloc().what());
  EXPECT_EQ(fake_.boxes[1].uType, kErrorBoxStyle);
  EXPECT_EQ(fake_.LiveBlocks(), 0u);
}

TEST(TReinstallLifetime, StartsEmptyAndClosesOnlyAHandleLeftBehind) {
  FakePlatform fake;
  {
    TReinstall launcher;
    EXPECT_EQ(launcher.fAppMutex, "");
    EXPECT_EQ(launcher.fInstallApp, "");
    EXPECT_EQ(launcher.fExecParams, "");
    EXPECT_EQ(launcher.hAppMutex, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(launcher.bExecuteAllowed);
    EXPECT_FALSE(launcher.bTestExecuting);
  }
  EXPECT_EQ(fake.Count("CloseHandle"), 0);
  {
    fake.mutexProbe = [](int) -> DWORD { return 0; };
    TReinstall launcher;
    launcher.hAppMutex = fake.OpenMutexA(READ_CONTROL, FALSE, "x");
    ASSERT_EQ(fake.OpenHandles(), 1u);
  }
  EXPECT_EQ(fake.OpenHandles(), 0u);
}

}  // namespace
