// Every system call of the launcher fails in turn: each scenario runs once to count its fallible
// calls, then once per call with that call failing (transient), and once with it and every later
// call of its operation failing (persistent); GetTickCount wraps at each of its reads instead.
// After every run: exit 0 and at most one box; nothing started after a failed check; every
// handle, block and hash object released once; the install file let go before any box; the
// outcome record the old one or one whole new one that says what happened, no .partial left.
// The figures are docs/internals.md's table (tools/sweep-figures writes it there).
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/reinstall.h"
#include "fake_platform.h"
#include "reinstall/outcome.h"
#include "sweep_table.h"

namespace {

using reinstall::testing::FakePlatform;

const std::string kDigest(64, 'a');  // the fake's digest below, in hexadecimal

struct Scenario {
  const char* name;
  std::string arguments;
  DWORD (*probe)(int);  // nullptr: the mutex is gone at once
  BOOL shell;
  UINT codePage;
};

const Scenario kScenarios[] = {
    {"gone at once", "-appinstall=C:\\setup.exe -installparam=/S", nullptr, TRUE, CP_UTF8},
    {"released after a wait", "-appinstall=C:\\setup.exe",
     [](int n) -> DWORD { return n < 10 ? 0 : ERROR_FILE_NOT_FOUND; }, TRUE, CP_UTF8},
    {"time-out", "-appinstall=C:\\setup.exe", [](int) -> DWORD { return 0; }, TRUE, CP_UTF8},
    {"install file missing", "-appinstall=C:\\x.exe", nullptr, TRUE, CP_UTF8},
    {"missing parameters", "-appmutex= -appinstall=C:\\setup.exe", nullptr, TRUE, CP_UTF8},
    {"command-line error", "-bogus", nullptr, TRUE, CP_UTF8},
    {"mutex error", "-appinstall=C:\\setup.exe", [](int) -> DWORD { return 6; }, TRUE, CP_UTF8},
    {"launch refused", "-appinstall=C:\\setup.exe", nullptr, FALSE, CP_UTF8},
    {"-installsha256=, 200 KiB", "-appinstall=C:\\setup.exe -installsha256=" + kDigest, nullptr,
     TRUE, CP_UTF8},
    {"-installsha256=, another digest",
     "-appinstall=C:\\setup.exe -installsha256=" + std::string(64, 'b'), nullptr, TRUE, CP_UTF8},
    {"-outcome=, ANSI code page", "-appinstall=C:\\Jos\xE9.exe", nullptr, TRUE, 1252},
    {"both, released after a wait", "-appinstall=C:\\setup.exe -installsha256=" + kDigest,
     [](int n) -> DWORD { return n < 10 ? 0 : ERROR_FILE_NOT_FOUND; }, TRUE, CP_UTF8},
};

const std::string kContent(200 * 1024, 'x');

// One run of `s` on `fake`; returns the launcher's result.
int RunScenario(const Scenario& s, FakePlatform& fake) {
  fake.openableFiles = {"C:\\setup.exe", "C:\\Jos\xE9.exe"};
  fake.fileContents["C:\\setup.exe"] = kContent;
  fake.digest = std::string(32, '\xAA');
  fake.readChunk = 64 * 1024;
  if (s.probe != nullptr) {
    fake.mutexProbe = s.probe;
  }
  fake.shellResult = s.shell;
  fake.ansiCodePage = s.codePage;
  fake.writtenFiles["C:\\o.json"] = "old";
  fake.commandLine = "r.exe -saferun=kqz -outcome=C:\\o.json -appmutex=A " + s.arguments;
  TReinstall launcher;
  return reinstall::RunLauncher(launcher);
}

// What the record must say when the run ended with `box` (none: the installer started).
std::string OutcomeOf(const std::vector<reinstall::testing::MessageBoxCall>& boxes) {
  const std::pair<const char*, const char*> named[] = {
      {"Install file doesn't exists.", "install-file-missing"},
      {"Missing some required parameters.", "missing-parameters"},
      {"Error parsing command line.", "command-line-error"},
      {"Install file has been changed.", "install-file-changed"},
      {"Waiting for closing application timed out.", "timed-out"},
      {"Can't execute install file.", "cant-execute"},
      {"Error opening mutex. Number: ", "mutex-error"}};
  if (boxes.empty()) {
    return "installer-started";
  }
  for (const auto& [text, outcome] : named) {
    if (boxes[0].text.rfind(text, 0) == 0) {
      return outcome;
    }
  }
  return "launcher-error";
}

// The guarantees after one run; each broken one is a fault, with what broke it.
std::vector<std::string> Faults(const Scenario& s, int result, const FakePlatform& fake) {
  std::vector<std::string> faults;
  const auto expect = [&](bool held, const char* what) {
    if (!held) {
      faults.emplace_back(what);
    }
  };
  expect(result == 0, "exit code not 0");
  expect(fake.boxes.size() <= 1, "more than one box");
  expect(fake.shellStarts <= 1 && (fake.shellStarts == 0 || fake.boxes.empty()),
         "a started installer and a box");
  expect(fake.shellStarts == 0 || s.arguments.find("sha256") == std::string::npos ||
             fake.hashedBytes == kContent,
         "started without the whole file hashed");
  expect(fake.LiveBlocks() == 0 && fake.OpenHandles() == 0 && fake.liveHashObjects == 0,
         "something left unreleased");
  expect(fake.badFrees == 0 && fake.badCloses == 0, "something released twice");
  for (const auto& box : fake.boxes) {
    expect(box.openHandles == 0, "a box with a file still held");
  }
  for (const auto& file : fake.writtenFiles) {
    expect(file.first.find(".partial") == std::string::npos, "a .partial left");
  }
  const std::string record = fake.writtenFiles.count("C:\\o.json") != 0
                                 ? fake.writtenFiles.at("C:\\o.json")
                                 : std::string("<none>");
  const reinstall::OutcomeRecord read = reinstall::ParseOutcomeRecord(record);
  expect(record == "old" || (read.state == reinstall::OutcomeState::kRead &&
                             read.outcome == OutcomeOf(fake.boxes)),
         "the record is neither the old one nor what happened");
  return faults;
}

TEST(FailureSweep, EveryCallOfTheLauncherFailsInTurnAndEveryGuaranteeHolds) {
  std::string table =
      "| scenario | fallible calls | clock reads | injected failures | runs | faults |\n"
      "|---|---|---|---|---|---|\n";
  long totalRuns = 0;
  long totalInjected = 0;
  for (const Scenario& s : kScenarios) {
    long calls = 0;
    std::vector<DWORD> ticks;
    {
      FakePlatform fake;
      const int result = RunScenario(s, fake);
      EXPECT_EQ(Faults(s, result, fake), std::vector<std::string>()) << s.name << ", as it is";
      calls = fake.fallibleCalls;
      ticks = fake.ticks;
    }
    long runs = 0;
    long injected = 0;
    long faults = 0;
    // Each fallible call fails, alone and for good; then the clock wraps at each of its reads.
    const long variants = calls * 2 + static_cast<long>(ticks.size());
    for (long v = 0; v < variants; ++v) {
      FakePlatform fake;
      if (v < calls * 2) {
        fake.failAt = v / 2;
        fake.failPersistent = v % 2 == 1;
      } else {
        fake.tickOffset = 0U - ticks[static_cast<std::size_t>(v - calls * 2)];
      }
      const int result = RunScenario(s, fake);
      const std::vector<std::string> found = Faults(s, result, fake);
      EXPECT_EQ(found, std::vector<std::string>())
          << s.name << ", run " << v << ": " << (v < calls * 2 ? fake.injected : "the clock wraps")
          << (v % 2 == 1 && v < calls * 2 ? " and every later call of it" : "") << " failed";
      ++runs;
      injected += v >= calls * 2 || !fake.injected.empty() ? 1 : 0;
      faults += found.empty() ? 0 : 1;
    }
    totalRuns += runs;
    totalInjected += injected;
    table += "| " + std::string(s.name) + " | " + std::to_string(calls) + " | " +
             std::to_string(ticks.size()) + " | " + std::to_string(injected) + " | " +
             std::to_string(runs) + " | " + std::to_string(faults) + " |\n";
  }
  table += "| all " + std::to_string(std::size(kScenarios)) + " scenarios | | | " +
           std::to_string(totalInjected) + " | " + std::to_string(totalRuns) + " | |\n";

  ExpectTheDocumentedTable("launcher", table);
}

}  // namespace
