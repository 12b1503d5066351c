#include "reinstall/handover.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "app/reinstall.h"
#include "fake_platform.h"
#include "platform/platform_posix.h"

namespace {

using reinstall::BuildArguments;
using reinstall::BuildCommandLine;
using reinstall::HandoverError;
using reinstall::HandoverRequest;
using reinstall::testing::FakePlatform;

const HandoverRequest kGood{"C:\\Program Files\\App\\reinstall.exe", "App.Mutex",
                            "C:\\Temp\\setup 1.exe", "/S /D=C:\\Apps"};

TEST(HandoverHelper, BuildsTheExactCommandLine) {
  EXPECT_EQ(BuildCommandLine(kGood),
            "\"C:\\Program Files\\App\\reinstall.exe\" -saferun=kqz -appmutex=App.Mutex "
            "\"-appinstall=C:\\Temp\\setup 1.exe\" \"-installparam=/S /D=C:\\Apps\"");
  HandoverRequest plain = kGood;
  plain.parameters = "";
  EXPECT_EQ(BuildArguments(plain).back(), "-installparam=");
}

TEST(HandoverHelper, RefusesWhatTheLauncherCouldNotReceive) {
  struct Refusal {
    const char* field;
    HandoverRequest request;
  };
  const std::string nul("a\0b", 3);
  const Refusal cases[] = {
      {"launcher", {"", "m", "i", ""}},
      {"launcher", {"C:\\\"odd\".exe", "m", "i", ""}},
      {"mutexName", {"l", "", "i", ""}},
      {"mutexName", {"l", "say \"hi\"", "i", ""}},
      {"mutexName", {"l", nul, "i", ""}},
      {"installPath", {"l", "m", "", ""}},
      {"installPath", {"l", "m", "\"C:\\setup.exe\"", ""}},
      {"parameters", {"l", "m", "i", "/D=\"C:\\Program Files\""}},
      {"parameters", {"l", "m", "i", nul}},
  };
  for (const Refusal& c : cases) {
    SCOPED_TRACE(c.field);
    try {
      BuildCommandLine(c.request);
      ADD_FAILURE() << "accepted";
    } catch (const HandoverError& error) {
      EXPECT_EQ(error.field(), c.field);
      EXPECT_NE(std::string(error.what()).find(c.field), std::string::npos);
    }
  }
}

// Values drawn from the bytes that matter to the launcher: separators, quotes-free punctuation,
// backslashes, switch look-alikes, high bytes.
std::string RandomValue(std::mt19937& random, bool mayBeEmpty) {
  static const std::vector<std::string> pieces = {"a",
                                                  "Z",
                                                  " ",
                                                  "  ",
                                                  "\t",
                                                  "\n",
                                                  "\r",
                                                  "\v",
                                                  "\f",
                                                  "\\",
                                                  "\\\\",
                                                  "'",
                                                  "=",
                                                  "-test",
                                                  "-saferun=kqz",
                                                  "-appmutex=",
                                                  "C:\\Program Files\\",
                                                  "/S",
                                                  "\xC3\xA9",
                                                  "\xFF",
                                                  "\x80",
                                                  "%"};
  std::uniform_int_distribution<int> length(mayBeEmpty ? 0 : 1, 6);
  std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
  std::string value;
  for (int n = length(random); n > 0; --n) {
    value += pieces[pick(random)];
  }
  return value;
}

void ExpectParsedBack(const std::string& commandLine, const HandoverRequest& request) {
  FakePlatform fake;
  fake.commandLine = commandLine;
  fake.openableFiles = {request.installPath};
  TReinstall launcher;
  ASSERT_NO_THROW(launcher.ParseCommandLine()) << commandLine;
  EXPECT_TRUE(launcher.bExecuteAllowed);
  EXPECT_FALSE(launcher.bTestExecuting);
  EXPECT_EQ(launcher.fAppMutex, request.mutexName);
  EXPECT_EQ(launcher.fInstallApp, request.installPath);
  EXPECT_EQ(launcher.fExecParams, request.parameters);
}

TEST(HandoverHelper, EveryAcceptedRequestComesBackExactlyThroughTheLaunchersParsing) {
  std::mt19937 random(20261208);
  for (int i = 0; i < 3000; ++i) {
    const HandoverRequest request{RandomValue(random, false), RandomValue(random, false),
                                  RandomValue(random, false), RandomValue(random, true)};
    SCOPED_TRACE(i);
    // As a Windows command line...
    ExpectParsedBack(BuildCommandLine(request), request);
    // ...and as the argument vector of a native start, joined by the POSIX stand-in.
    std::vector<std::string> argv = BuildArguments(request);
    argv.insert(argv.begin(), request.launcher);
    ExpectParsedBack(reinstall::platform::posix::JoinCommandLine(argv), request);
    if (HasFailure()) {
      return;
    }
  }
}

TEST(HandoverHelper, ApplicationLockIsExclusiveAndGoesAwayWithItsOwner) {
  char dir[] = "/tmp/reinstall-lock-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string name = std::string(dir) + "/app.lock";
  {
    reinstall::ApplicationLock first(name);
    ASSERT_TRUE(first.held()) << first.error();
    reinstall::ApplicationLock second(name);  // another description: refused like a second owner
    EXPECT_FALSE(second.held());
    EXPECT_EQ(second.error(), EAGAIN);
  }
  EXPECT_NE(access(name.c_str(), F_OK), 0) << "the lock file is gone with its owner";
  rmdir(dir);
}

}  // namespace
