#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/errors/errors.h"
#include "app/reinstall.h"
#include "fake_platform.h"

namespace {

using reinstall::testing::FakePlatform;

// Rows name the digest only where a case sets it.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
struct State {
  std::string mutex, install, params;
  bool execute = false, test = false;
  std::string sha256;
};

State StateOf(const TReinstall& r) {
  return {r.fAppMutex,       r.fInstallApp,    r.fExecParams,
          r.bExecuteAllowed, r.bTestExecuting, r.fInstallSha256};
}

bool operator==(const State& a, const State& b) {
  return a.mutex == b.mutex && a.install == b.install && a.params == b.params &&
         a.execute == b.execute && a.test == b.test && a.sha256 == b.sha256;
}

const std::string kDigest = "0123456789abcdefABCDEF0123456789abcdefABCDEF0123456789abcdef0123";

std::ostream& operator<<(std::ostream& out, const State& s) {
  return out << "{mutex='" << s.mutex << "' install='" << s.install << "' params='" << s.params
             << "' execute=" << s.execute << " test=" << s.test << "}";
}

struct ParameterCase {
  std::string argument;
  bool accepted;
  State after;  // starting from a fresh object
};

TEST(ParseParameter, MatchesSwitchesByLoweredPrefixAndKeepsValuesAsGiven) {
  const ParameterCase cases[] = {
      {"-saferun=kqz", true, {"", "", "", true, false}},
      {"-SAFERUN=KQZ", true, {"", "", "", true, false}},
      {"-SafeRun=kQz-and-more", true, {"", "", "", true, false}},
      {"-saferun=kq", false, {}},
      {"-saferun=abc", false, {}},
      {"-saferun=", false, {}},
      {"-test", true, {"", "", "", false, true}},
      {"-TEST", true, {"", "", "", false, true}},
      {"-TeStIng", true, {"", "", "", false, true}},
      {"--test", false, {}},
      {"-tes", false, {}},
      {"test", false, {}},
      {"", false, {}},
      {"-APPMUTEX=My_Mutex-42", true, {"My_Mutex-42", "", "", false, false}},
      {"-appmutex=", true, {"", "", "", false, false}},
      {"-appmutex", false, {}},
      {"-appInstall=C:\\Program Files\\Setup.EXE",
       true,
       {"", "C:\\Program Files\\Setup.EXE", "", false, false}},
      {"-installparam=/S /D=C:\\Apps", true, {"", "", "/S /D=C:\\Apps", false, false}},
      {"-INSTALLPARAM=It's", true, {"", "", "It's", false, false}},
      {"-installparam", false, {}},
      {"-appmutex=\xC4\xD6", true, {"\xC4\xD6", "", "", false, false}},
      {"\xC4-test", false, {}},
      {"/test", false, {}},
      {"-installsha256=" + kDigest, true, {"", "", "", false, false, kDigest}},
      {"-InstallSHA256=" + kDigest, true, {"", "", "", false, false, kDigest}},
      {"-installsha256=" + kDigest.substr(1), false, {}},
      {"-installsha256=" + kDigest + "0", false, {}},
      {"-installsha256=" + kDigest.substr(1) + "g", false, {}},
      {"-installsha256= " + kDigest.substr(1), false, {}},
      {"-installsha256=", false, {}},
  };
  FakePlatform fake;
  for (const ParameterCase& c : cases) {
    SCOPED_TRACE(c.argument);
    TReinstall launcher;
    if (c.accepted) {
      EXPECT_NO_THROW(launcher.ParseParameter(c.argument));
      EXPECT_EQ(StateOf(launcher), c.after);
    } else {
      EXPECT_THROW(launcher.ParseParameter(c.argument), errorParsingCmdLine);
      EXPECT_EQ(StateOf(launcher), State{});
    }
  }
  EXPECT_TRUE(fake.log.empty()) << "matching touches no platform call";
}

TEST(ParseParameter, LaterValuesReplaceEarlierOnesAndFlagsStaySet) {
  FakePlatform fake;
  TReinstall launcher;
  launcher.ParseParameter("-appinstall=C:\\first.exe");
  launcher.ParseParameter("-appinstall=C:\\second.exe");
  launcher.ParseParameter("-test");
  launcher.ParseParameter("-TEST");
  EXPECT_EQ(launcher.fInstallApp, "C:\\second.exe");
  EXPECT_TRUE(launcher.bTestExecuting);
  launcher.ParseParameter("-appinstall=");
  EXPECT_EQ(launcher.fInstallApp, "");
}

class ParseCommandLineTest : public ::testing::Test {
 protected:
  void Run(const std::string& commandLine) {
    fake_.commandLine = commandLine;
    launcher_.ParseCommandLine();
  }
  // Everything the launcher did after splitting, without the queries that cannot change state.
  std::vector<std::string> Actions() const {
    std::vector<std::string> actions;
    for (const std::string& entry : fake_.log) {
      if (entry != "GetCommandLineA" && entry.rfind("GlobalAlloc", 0) != 0) {
        actions.push_back(entry);
      }
    }
    return actions;
  }

  FakePlatform fake_;
  TReinstall launcher_;
};

TEST_F(ParseCommandLineTest, NothingAfterTheProgramPathStoresNothing) {
  Run("\"C:\\Program Files\\App\\reinstall.exe\"");
  EXPECT_EQ(StateOf(launcher_), State{});
  EXPECT_EQ(Actions(), std::vector<std::string>{"LocalFree"});
  EXPECT_EQ(fake_.LiveBlocks(), 0u);
}

TEST_F(ParseCommandLineTest, TheProgramPathIsNeverParsed) {
  Run("-test");
  EXPECT_FALSE(launcher_.bTestExecuting);
  EXPECT_TRUE(fake_.boxes.empty());
}

TEST_F(ParseCommandLineTest, StoresQuotedValuesWithoutQuotes) {
  Run("r.exe -appmutex=AppMtx \"-appinstall=C:\\Program Files\\setup.exe\" "
      "-installparam=\"/S /D=C:\\Apps\"");
  EXPECT_EQ(StateOf(launcher_),
            (State{"AppMtx", "C:\\Program Files\\setup.exe", "/S /D=C:\\Apps", false, false}));
  EXPECT_TRUE(fake_.createFileCalls.empty()) << "no validation without the execution switch";
}

TEST_F(ParseCommandLineTest, AnUnquotedBlankInTheProgramPathBreaksTheRun) {
  EXPECT_THROW(Run("C:\\Program Files\\reinstall.exe -test"), errorParsingCmdLine);
  // ...unless its second piece happens to begin with a switch text.
  EXPECT_NO_THROW(Run("C:\\My -tests\\reinstall.exe"));
  EXPECT_TRUE(launcher_.bTestExecuting);
}

TEST_F(ParseCommandLineTest, TheFirstBadArgumentStopsParsingAndFreesTheBlockOnce) {
  EXPECT_THROW(Run("r.exe -appmutex=m -test bogus -appinstall=x"), errorParsingCmdLine);
  EXPECT_EQ(launcher_.fAppMutex, "m");
  EXPECT_TRUE(launcher_.bTestExecuting);
  EXPECT_EQ(launcher_.fInstallApp, "") << "arguments after the bad one are not looked at";
  EXPECT_EQ(Actions(), std::vector<std::string>{"LocalFree"}) << "no report, no validation";
  EXPECT_EQ(fake_.LiveBlocks(), 0u);
  EXPECT_EQ(fake_.badFrees, 0);
}

TEST_F(ParseCommandLineTest, AnEmptyArgumentIsRejected) {
  EXPECT_THROW(Run("r.exe -test \"\""), errorParsingCmdLine);
  EXPECT_TRUE(fake_.boxes.empty());
}

TEST_F(ParseCommandLineTest, AFailedSplitThrowsBeforeAnythingElse) {
  fake_.failAllocation = true;
  EXPECT_THROW(Run("r.exe -test -saferun=kqz"), errorParsingCmdLine);
  EXPECT_EQ(StateOf(launcher_), State{});
  EXPECT_EQ(Actions(), std::vector<std::string>{});
}

TEST_F(ParseCommandLineTest, ReportsComeAroundTheReleaseAndBeforeValidation) {
  fake_.openableFiles = {"C:\\setup.exe"};
  Run("r.exe -appinstall=C:\\setup.exe -saferun=kqz -appmutex=m -test");
  EXPECT_EQ(Actions(), (std::vector<std::string>{
                           "MessageBoxA(Command line)", "MessageBoxA(Parsed command line)",
                           "LocalFree", "MessageBoxA(Parameters)", "CreateFileA", "CloseHandle"}));
  EXPECT_EQ(fake_.LiveBlocks(), 0u);
  EXPECT_EQ(fake_.OpenHandles(), 0u);
}

TEST_F(ParseCommandLineTest, ValidationFailurePassesOutAfterTheReports) {
  EXPECT_THROW(Run("r.exe -test -saferun=kqz -appinstall=C:\\missing.exe -appmutex=m"),
               errorInstallFileNotExists);
  EXPECT_EQ(fake_.boxes.size(), 3u);
  EXPECT_EQ(fake_.LiveBlocks(), 0u);
}

TEST_F(ParseCommandLineTest, AReportThatFailsWhileTheBlockIsHeldFreesItOnce) {
  for (int failing = 0; failing < 3; ++failing) {
    SCOPED_TRACE(failing);
    FakePlatform fake;
    fake.throwingMessageBox = failing;
    fake.commandLine = "r.exe -test";
    TReinstall launcher;
    EXPECT_THROW(launcher.ParseCommandLine(), std::bad_alloc);
    EXPECT_EQ(fake.Count("LocalFree"), 1);
    EXPECT_EQ(fake.LiveBlocks(), 0u);
    EXPECT_EQ(fake.badFrees, 0);
    EXPECT_EQ(fake.boxes.size(), static_cast<std::size_t>(failing + 1)) << "later boxes not shown";
  }
}

}  // namespace
