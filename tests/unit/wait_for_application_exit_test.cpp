#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/errors/errors.h"
#include "app/reinstall.h"
#include "fake_platform.h"

namespace {

using reinstall::testing::FakePlatform;

constexpr DWORD kGone = ERROR_FILE_NOT_FOUND;

// Runs the wait on a fresh object; returns the failure text, or "" when it returned normally.
std::string Wait(FakePlatform& fake, const std::string& name = "AppMutex") {
  TReinstall launcher;
  launcher.fAppMutex = name;
  std::string failure;
  try {
    launcher.WaitForApplicationExit();
  } catch (const exceptionMsg& error) {
    failure = error.what();
  }
  EXPECT_EQ(launcher.hAppMutex, INVALID_HANDLE_VALUE);
  EXPECT_EQ(fake.OpenHandles(), 0u);
  EXPECT_EQ(fake.badCloses, 0);
  return failure;
}

TEST(WaitForApplicationExit, AnAbsentMutexTakesOneProbeAndTheGracePause) {
  FakePlatform fake;
  EXPECT_EQ(Wait(fake, "Global\\AppMutex"), "");
  EXPECT_EQ(fake.log, (std::vector<std::string>{"GetTickCount", "OpenMutexA", "GetLastError",
                                                "Sleep(2000)"}));
  ASSERT_EQ(fake.openMutexCalls.size(), 1u);
  EXPECT_EQ(fake.openMutexCalls[0].dwDesiredAccess, 0x20000u);
  EXPECT_EQ(fake.openMutexCalls[0].bInheritHandle, FALSE);
  EXPECT_EQ(fake.openMutexCalls[0].name, "Global\\AppMutex");
}

TEST(WaitForApplicationExit, ProbesEveryHundredMillisecondsUntilTheMutexIsGone) {
  for (int n : {1, 2, 7, 99}) {
    SCOPED_TRACE(n);
    FakePlatform fake;
    fake.mutexProbe = [n](int probe) { return probe < n ? 0 : kGone; };
    EXPECT_EQ(Wait(fake), "");
    EXPECT_EQ(fake.Count("OpenMutexA"), n + 1);
    EXPECT_EQ(fake.Count("CloseHandle"), n);
    EXPECT_EQ(fake.Count("Sleep(100)"), n);
    EXPECT_EQ(fake.Count("GetTickCount"), n + 1) << "start time plus one time test per find";
    EXPECT_EQ(fake.sleeps.back(), 2000u);
    // Order after a probe that found it: close, time test, pause.
    const std::vector<std::string> round(fake.log.begin() + 1, fake.log.begin() + 5);
    EXPECT_EQ(round, (std::vector<std::string>{"OpenMutexA", "CloseHandle", "GetTickCount",
                                               "Sleep(100)"}));
  }
}

TEST(WaitForApplicationExit, AMutexThatNeverGoesTimesOutWithoutTheGracePause) {
  FakePlatform fake;
  fake.mutexProbe = [](int) { return 0; };
  EXPECT_EQ(Wait(fake), "Waiting for closing application timed out.");
  EXPECT_EQ(fake.Count("OpenMutexA"), 101);
  EXPECT_EQ(fake.Count("Sleep(100)"), 100);
  EXPECT_EQ(fake.Count("Sleep(2000)"), 0);
  EXPECT_EQ(fake.log.back(), "GetTickCount");
}

TEST(WaitForApplicationExit, TheLimitIsTenThousandMillisecondsExactly) {
  struct LimitCase {
    DWORD elapsedAtFirstTest;
    int probes;
    bool timedOut;
  };
  const LimitCase cases[] = {{9999, 2, false}, {10000, 1, true}, {10001, 1, true}};
  for (const LimitCase& c : cases) {
    SCOPED_TRACE(c.elapsedAtFirstTest);
    FakePlatform fake;
    fake.tickStepPerRead = c.elapsedAtFirstTest;  // the first test reads start + step
    fake.mutexProbe = [](int probe) { return probe == 0 ? 0 : kGone; };
    EXPECT_EQ(Wait(fake), c.timedOut ? "Waiting for closing application timed out." : "");
    EXPECT_EQ(fake.Count("OpenMutexA"), c.probes);
  }
}

TEST(WaitForApplicationExit, ElapsedTimeIsRightAcrossTheTickWrap) {
  for (DWORD start : {0xFFFFFFFFu - 50u, 0xFFFFFFFFu - 5000u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(start);
    FakePlatform fake;
    fake.tickCount = start;
    fake.mutexProbe = [](int) { return 0; };
    EXPECT_EQ(Wait(fake), "Waiting for closing application timed out.");
    EXPECT_EQ(fake.Count("Sleep(100)"), 100) << "neither cut short nor stretched";
  }
}

TEST(WaitForApplicationExit, AFindOfGoneEndsTheWaitHoweverLateItComes) {
  FakePlatform fake;
  fake.tickStepPerRead = 0;
  fake.mutexProbe = [](int probe) { return probe < 100 ? 0 : kGone; };
  EXPECT_EQ(Wait(fake), "");  // probe 100 comes after 9900 ms of pauses plus 100 ms
  EXPECT_EQ(fake.Count("Sleep(100)"), 100);
}

TEST(WaitForApplicationExit, OtherOpenErrorsFailAtOnceWithTheCodeUnsigned) {
  struct ErrorCase {
    DWORD code;
    const char* message;
  };
  const ErrorCase cases[] = {
      {3, "Error opening mutex. Number: 3"},  // a path that does not exist: not "gone"
      {5, "Error opening mutex. Number: 5"},
      {6, "Error opening mutex. Number: 6"},
      {0x80070005u, "Error opening mutex. Number: 2147942405"},
      {0xFFFFFFFFu, "Error opening mutex. Number: 4294967295"},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.code);
    FakePlatform fake;
    fake.mutexProbe = [&c](int probe) { return probe < 3 ? 0 : c.code; };
    EXPECT_EQ(Wait(fake), c.message);
    EXPECT_EQ(fake.Count("OpenMutexA"), 4);
    EXPECT_EQ(fake.Count("Sleep(2000)"), 0);
    EXPECT_EQ(fake.Count("Sleep(100)"), 3);
  }
}

}  // namespace
