#include <gtest/gtest.h>

#include <string>

#include "app/errors/errors.h"
#include "app/reinstall.h"
#include "fake_platform.h"

namespace {

using reinstall::testing::FakePlatform;

TEST(FileExists, ProbesForExecutionWithReadSharingAndClosesAtOnce) {
  FakePlatform fake;
  fake.openableFiles = {"C:\\Program Files\\setup.exe"};
  EXPECT_TRUE(TReinstall::FileExists("C:\\Program Files\\setup.exe"));
  ASSERT_EQ(fake.createFileCalls.size(), 1u);
  const auto& call = fake.createFileCalls[0];
  EXPECT_EQ(call.fileName, "C:\\Program Files\\setup.exe");
  EXPECT_EQ(call.dwDesiredAccess, 0x20000000u);
  EXPECT_EQ(call.dwShareMode, 0x1u);
  EXPECT_EQ(call.lpSecurityAttributes, nullptr);
  EXPECT_EQ(call.dwCreationDisposition, 3u);
  EXPECT_EQ(call.dwFlagsAndAttributes, 0x80u);
  EXPECT_EQ(call.hTemplateFile, nullptr);
  EXPECT_EQ(fake.log, (std::vector<std::string>{"CreateFileA", "CloseHandle"}));
  EXPECT_EQ(fake.OpenHandles(), 0u);

  EXPECT_FALSE(TReinstall::FileExists("C:\\missing.exe"));
  EXPECT_EQ(fake.Count("CloseHandle"), 1) << "nothing to close after a failed open";
  EXPECT_EQ(fake.Count("GetLastError"), 0) << "every failure counts as missing";
}

struct CheckCase {
  const char* name;
  std::string mutex;
  std::string install;
  std::string params;
  const char* message;  // nullptr: accepted
};

TEST(CheckParameters, TestsTheFileFirstThenThePresenceOfNameAndPath) {
  const CheckCase cases[] = {
      {"all present", "AppMutex", "C:\\setup.exe", "", nullptr},
      {"blank mutex name is present", "   ", "C:\\setup.exe", "/S", nullptr},
      {"missing file", "AppMutex", "C:\\missing.exe", "", "Install file doesn't exists."},
      {"empty path", "AppMutex", "", "", "Install file doesn't exists."},
      {"empty path and name", "", "", "", "Install file doesn't exists."},
      {"missing file and empty name", "", "C:\\missing.exe", "", "Install file doesn't exists."},
      {"empty name", "", "C:\\setup.exe", "", "Missing some required parameters."},
  };
  for (const CheckCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform fake;
    fake.openableFiles = {"C:\\setup.exe"};
    TReinstall launcher;
    launcher.fAppMutex = c.mutex;
    launcher.fInstallApp = c.install;
    launcher.fExecParams = c.params;
    if (c.message == nullptr) {
      EXPECT_NO_THROW(launcher.CheckParameters());
    } else {
      try {
        launcher.CheckParameters();
        ADD_FAILURE() << "accepted";
      } catch (const exceptionMsg& error) {
        EXPECT_STREQ(error.what(), c.message);
      }
    }
    ASSERT_EQ(fake.createFileCalls.size(), 1u);
    EXPECT_EQ(fake.createFileCalls[0].fileName, c.install);
    EXPECT_EQ(fake.OpenHandles(), 0u);
  }
}

TEST(CheckParameters, ThrowsTheDedicatedClasses) {
  FakePlatform fake;
  fake.openableFiles = {"x"};
  TReinstall launcher;
  launcher.fInstallApp = "y";
  EXPECT_THROW(launcher.CheckParameters(), errorInstallFileNotExists);
  launcher.fInstallApp = "x";
  EXPECT_THROW(launcher.CheckParameters(), errorMissingParamsCmdLine);
}

struct VerifyCase {
  const char* name;
  DWORD attributes;
  std::size_t failReadAfter;
  const char* failHashCall;
  char firstDigit;  // of the digest given to the launcher; the fake's digest begins with 'a'
  bool accepted;
};

TEST(VerifyInstallFile, AcceptsOnlyTheGivenDigestOfAPlainFileReadWhole) {
  const VerifyCase cases[] = {
      {"the digest, lower case", FILE_ATTRIBUTE_NORMAL, SIZE_MAX, "", 'a', true},
      {"the digest, upper case", FILE_ATTRIBUTE_NORMAL, SIZE_MAX, "", 'A', true},
      {"another digest", FILE_ATTRIBUTE_NORMAL, SIZE_MAX, "", 'b', false},
      {"a reparse point", FILE_ATTRIBUTE_REPARSE_POINT, SIZE_MAX, "", 'a', false},
      {"a read that fails midway", FILE_ATTRIBUTE_NORMAL, 4, "", 'a', false},
      {"no SHA-256 provider", FILE_ATTRIBUTE_NORMAL, SIZE_MAX, "BCryptOpenAlgorithmProvider", 'a',
       false},
      {"no hash object", FILE_ATTRIBUTE_NORMAL, SIZE_MAX, "BCryptCreateHash", 'a', false},
      {"hashing fails", FILE_ATTRIBUTE_NORMAL, SIZE_MAX, "BCryptHashData", 'a', false},
      {"no result", FILE_ATTRIBUTE_NORMAL, SIZE_MAX, "BCryptFinishHash", 'a', false},
  };
  for (const VerifyCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform fake;
    fake.openableFiles = {"C:\\setup.exe"};
    fake.fileContents["C:\\setup.exe"] = "MZ, then the rest of a program";
    fake.readChunk = 3;
    fake.fileAttributes = c.attributes;
    fake.failReadAfter = c.failReadAfter;
    fake.failHashCall = c.failHashCall;
    fake.digest = std::string(32, '\xAA');
    TReinstall launcher;
    launcher.fInstallApp = "C:\\setup.exe";
    launcher.fInstallSha256 = c.firstDigit + std::string(63, c.firstDigit == 'A' ? 'A' : 'a');
    if (c.accepted) {
      EXPECT_NO_THROW(launcher.VerifyInstallFile());
      EXPECT_EQ(fake.hashedBytes, fake.fileContents["C:\\setup.exe"]);
      EXPECT_EQ(fake.OpenHandles(), 1u) << "held";
    } else {
      EXPECT_THROW(launcher.VerifyInstallFile(), errorInstallFileChanged);
    }
    EXPECT_EQ(fake.liveHashObjects, 0);
    launcher.ReleaseInstallFile();
    EXPECT_EQ(fake.OpenHandles(), 0u);
    EXPECT_EQ(fake.badCloses, 0);
  }
}

TEST(VerifyInstallFile, AFileThatCannotBeOpenedDenyWriteCountsAsChanged) {
  FakePlatform fake;  // setup.exe can be probed but not opened for reading
  fake.openableFiles = {"C:\\setup.exe"};
  TReinstall launcher;
  launcher.fInstallApp = "C:\\setup.exe";
  launcher.fInstallSha256 = std::string(64, '0');
  EXPECT_THROW(launcher.VerifyInstallFile(), errorInstallFileChanged);
  EXPECT_EQ(launcher.hInstallFile, INVALID_HANDLE_VALUE);
  EXPECT_EQ(fake.Count("BCrypt"), 0);
}

}  // namespace
