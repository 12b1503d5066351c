#include <gtest/gtest.h>

#include <string>

#include "app/errors/errors.h"
#include "app/reinstall.h"
#include "fake_platform.h"

namespace {

using reinstall::testing::FakePlatform;

struct LaunchCase {
  const char* name;
  std::string install;
  std::string params;
};

TEST(RunInstallApp, AsksTheShellToOpenTheFileWithItsParametersAsStored) {
  const LaunchCase cases[] = {
      {"no parameters", "C:\\setup.exe", ""},
      {"blanks in path, unquoted", "C:\\Program Files\\My App\\setup.exe", "/S"},
      {"relative path", "setup\\install.msi", "/qn REBOOT=ReallySuppress"},
      {"apostrophes and blanks", "C:\\a.exe", "  /D=C:\\It's here  "},
  };
  for (const LaunchCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform fake;
    TReinstall launcher;
    launcher.fInstallApp = c.install;
    launcher.fExecParams = c.params;
    launcher.RunInstallApp();
    ASSERT_EQ(fake.shellRequests.size(), 1u);
    const auto& request = fake.shellRequests[0];
    EXPECT_EQ(request.raw.cbSize, sizeof(SHELLEXECUTEINFOA));
    EXPECT_EQ(request.raw.fMask, 0u);
    EXPECT_EQ(request.raw.hwnd, nullptr);
    EXPECT_EQ(request.verb, std::optional<std::string>("open"));
    EXPECT_EQ(request.file, std::optional<std::string>(c.install));
    EXPECT_EQ(request.parameters, std::optional<std::string>(c.params)) << "never null";
    EXPECT_EQ(request.directory, std::nullopt);
    EXPECT_EQ(request.raw.nShow, SW_SHOWNORMAL);
    EXPECT_TRUE(request.paddingAndTailZero) << "every other member zero";
    EXPECT_EQ(fake.log, std::vector<std::string>{"ShellExecuteExA"}) << "nothing else is asked";
  }
}

TEST(RunInstallApp, AShellRefusalBecomesCantRunInstallApp) {
  FakePlatform fake;
  fake.shellResult = FALSE;
  TReinstall launcher;
  launcher.fInstallApp = "C:\\doc.unknowntype";
  try {
    launcher.RunInstallApp();
    ADD_FAILURE() << "no failure";
  } catch (const exceptionCantRunInstallApp& error) {
    EXPECT_STREQ(error.what(), "Can't execute install file.");
  }
  EXPECT_EQ(fake.Count("GetLastError"), 0);
}

}  // namespace
