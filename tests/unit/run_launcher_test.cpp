#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/reinstall.h"
#include "fake_platform.h"

namespace {

using reinstall::testing::FakePlatform;

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

TEST_F(RunLauncherTest, AVerifiedInstallFileIsHeldUntilTheShellHasStartedIt) {
  fake_.readChunk = 5;
  EXPECT_EQ(Run("-saferun=kqz -appmutex=App -appinstall=C:\\setup.exe -installsha256=" + Digest()),
            0);
  EXPECT_TRUE(fake_.boxes.empty());
  EXPECT_EQ(fake_.hashedBytes, "MZ installer");
  ASSERT_EQ(fake_.createFileCalls.size(), 2u);
  const auto& hold = fake_.createFileCalls[1];
  EXPECT_EQ(hold.dwDesiredAccess, GENERIC_READ);
  EXPECT_EQ(hold.dwShareMode, FILE_SHARE_READ) << "no write or delete sharing";
  EXPECT_EQ(hold.dwFlagsAndAttributes, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN);
  // The file test's handle is closed at once; the held one only after the launch.
  const auto launch = std::find(fake_.log.begin(), fake_.log.end(), "ShellExecuteExA");
  ASSERT_NE(launch, fake_.log.end());
  EXPECT_EQ(std::count(fake_.log.begin(), launch, "CloseHandle"), 1);
  EXPECT_EQ(fake_.log.back(), "CloseHandle");
  EXPECT_EQ(fake_.OpenHandles(), 0u);
  EXPECT_EQ(fake_.liveHashObjects, 0);
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
};

TEST_F(RunLauncherTest, EveryFailureEndsInOneErrorBoxAndLaterStagesDoNotRun) {
  const FailureCase cases[] = {
      {"bad argument", "-saferun=kqz -bogus", nullptr, TRUE, "Error parsing command line.", false},
      {"missing file", "-saferun=kqz -appmutex=A -appinstall=C:\\x.exe", nullptr, TRUE,
       "Install file doesn't exists.", false},
      {"missing mutex name", "-saferun=kqz -appinstall=C:\\setup.exe", nullptr, TRUE,
       "Missing some required parameters.", false},
      {"open error", "-saferun=kqz -appmutex=A -appinstall=C:\\setup.exe",
       [](int) -> DWORD { return ERROR_INVALID_HANDLE; }, TRUE, "Error opening mutex. Number: 6",
       false},
      {"time-out", "-saferun=kqz -appmutex=A -appinstall=C:\\setup.exe",
       [](int) -> DWORD { return 0; }, TRUE, "Waiting for closing application timed out.", false},
      {"launch refused", "-saferun=kqz -appmutex=A -appinstall=C:\\setup.exe", nullptr, FALSE,
       "Can't execute install file.", true},
      {"another digest",
       "-saferun=kqz -appmutex=A -appinstall=C:\\setup.exe -installsha256=" +
           Digest().replace(0, 1, "D"),
       nullptr, TRUE, "Install file has been changed.", false},
      {"digest too short",
       "-saferun=kqz -appmutex=A -appinstall=C:\\setup.exe -installsha256=" + Digest().substr(1),
       nullptr, TRUE, "Error parsing command line.", false},
      {"digest of a missing file",
       "-saferun=kqz -appmutex=A -appinstall=C:\\x.exe -installsha256=" + Digest(), nullptr, TRUE,
       "Install file doesn't exists.", false},
      {"verified, then the launch refused",
       "-saferun=kqz -appmutex=A -appinstall=C:\\setup.exe -installsha256=" + Digest(), nullptr,
       FALSE, "Can't execute install file.", true},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    fake_.boxes.clear();
    fake_.shellRequests.clear();
    fake_.log.clear();
    fake_.mutexProbe = c.probe != nullptr ? std::function<DWORD(int)>(c.probe)
                                          : [](int) -> DWORD { return ERROR_FILE_NOT_FOUND; };
    fake_.shellResult = c.shellResult;
    EXPECT_EQ(Run(c.arguments), 0);
    ExpectOneErrorBox(c.message);
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
