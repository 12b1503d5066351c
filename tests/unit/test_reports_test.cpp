#include "cmdline/test_reports.h"

#include <gtest/gtest.h>

#include <string>

#include "app/errors/errors.h"
#include "app/reinstall.h"
#include "fake_platform.h"

namespace {

using reinstall::testing::FakePlatform;

struct ReportCase {
  const char* name;
  std::string commandLine;
  std::string arguments;
  std::string parameters;
};

TEST(TestReports, ShowWhatWasReceivedSplitAndStored) {
  const ReportCase cases[] = {
      {"test alone", "\"C:\\r.exe\" -test", "-test\n",
       "fAppMutex=''\nfInstallApp=''\nfExecParams=''\nbExecuteAllowed='0'\nbTestExecuting='1'\n"},
      {"test last, capitals kept", "r.exe -APPMUTEX=M1 -installparam=\"a 'b'\" -TEST",
       "-APPMUTEX=M1\n-installparam=a 'b'\n-TEST\n",
       "fAppMutex='M1'\nfInstallApp=''\nfExecParams='a 'b''\nbExecuteAllowed='0'\n"
       "bTestExecuting='1'\n"},
  };
  for (const ReportCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform fake;
    fake.commandLine = c.commandLine;
    TReinstall launcher;
    launcher.ParseCommandLine();
    ASSERT_EQ(fake.boxes.size(), 3u);
    const char* captions[] = {"Command line", "Parsed command line", "Parameters"};
    const std::string texts[] = {c.commandLine, c.arguments, c.parameters};
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(fake.boxes[i].hWnd, nullptr);
      EXPECT_EQ(fake.boxes[i].caption, std::optional<std::string>(captions[i]));
      EXPECT_EQ(fake.boxes[i].text, texts[i]);
      EXPECT_EQ(fake.boxes[i].uType, 0u);
    }
  }
}

TEST(TestReports, ExecutionFlagShowsAsOneBeforeValidationFails) {
  FakePlatform fake;
  fake.commandLine = "r.exe -saferun=kqz -test -appinstall=C:\\nope.exe";
  TReinstall launcher;
  EXPECT_THROW(launcher.ParseCommandLine(), errorInstallFileNotExists);
  ASSERT_EQ(fake.boxes.size(), 3u);
  EXPECT_EQ(fake.boxes[2].text,
            "fAppMutex=''\nfInstallApp='C:\\nope.exe'\nfExecParams=''\nbExecuteAllowed='1'\n"
            "bTestExecuting='1'\n");
}

TEST(TestReports, NoBoxWithoutTestMode) {
  FakePlatform fake;
  fake.commandLine = "r.exe -appmutex=m -appinstall=x -installparam=y";
  TReinstall launcher;
  launcher.ParseCommandLine();
  EXPECT_TRUE(fake.boxes.empty());
}

}  // namespace
