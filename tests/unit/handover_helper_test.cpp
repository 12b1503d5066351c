#include "reinstall/handover.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <new>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "app/reinstall.h"
#include "fake_platform.h"
#include "reinstall/detail/zone_identifier.h"
#include "reinstall/handover_c.h"
#include "vectors.h"

// Allocation failures on cue: the allocation numbered g_failAt (counting from 0) throws
// bad_alloc. Not under the sanitizers, which bring their own operator new.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define REINSTALL_OWN_NEW 0
#endif
#endif
#if !defined(REINSTALL_OWN_NEW) && defined(__SANITIZE_ADDRESS__)
#define REINSTALL_OWN_NEW 0
#endif
#ifndef REINSTALL_OWN_NEW
#define REINSTALL_OWN_NEW 1
#endif

#if REINSTALL_OWN_NEW
namespace {
long g_failAt = -1;
}  // namespace

#if defined(__GNUC__) && !defined(__clang__)
// GCC sees the replacement pair inlined together and takes malloc and free for a mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size) {
  if (g_failAt >= 0 && g_failAt-- == 0) {
    throw std::bad_alloc();
  }
  if (void* memory = std::malloc(size > 0 ? size : 1)) {
    return memory;
  }
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept {
  std::free(memory);
}
void operator delete(void* memory, std::size_t /*size*/) noexcept {
  std::free(memory);
}
#endif

namespace reinstall {

// Failures name the codes, not their bytes.
void PrintTo(ProblemCode code, std::ostream* out) {
  *out << ProblemCodeName(code);
}

}  // namespace reinstall

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

// A committed file's bytes.
std::string Committed(const char* path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

TEST(HandoverHelper, StillBuildsTheCommittedGoldenVectors) {
  EXPECT_EQ(vectors::Document(), Committed(REINSTALL_VECTORS_FILE))
      << "regenerate with build/native/tests/make_vectors > tests/vectors/handover.json, and "
         "check every binding against the new vectors";
}

TEST(HandoverHelper, StillReadsTheCommittedOutcomeRecordsAsBefore) {
  EXPECT_EQ(vectors::OutcomeDocument(), Committed(REINSTALL_OUTCOMES_FILE))
      << "regenerate with build/native/tests/make_vectors outcomes > tests/vectors/outcomes.json, "
         "and check every binding against it";
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

// The zone a Zone.Identifier stream names, read as Windows reads it: an INI file.
TEST(HandoverHelper, ReadsTheDownloadZoneAsAnIniFile) {
  const std::string hostUrl = "HostUrl=https://example.com/" + std::string(5000, 'x') + "\r\n";
  const std::string utf16(
      "\xFF\xFE[\0Z\0o\0n\0e\0T\0r\0a\0n\0s\0f\0e\0r\0]\0\r\0\n\0"
      "Z\0o\0n\0e\0I\0d\0=\0003\0\r\0\n\0",
      52);
  const struct {
    const char* what;
    std::string stream;
    int zone;
  } cases[] = {
      {"as browsers write it", "[ZoneTransfer]\r\nZoneId=3\r\n", 3},
      {"blanks around =", "[ZoneTransfer]\nZoneId = 4\n", 4},
      {"leading blanks", "  [ZoneTransfer]\n\t ZoneId=3\n", 3},
      {"any case", "[zonetransfer]\nZONEID=3", 3},
      {"UTF-8 byte-order mark", "\xEF\xBB\xBF[ZoneTransfer]\nZoneId=3\n", 3},
      {"UTF-16LE", utf16, 3},
      {"UTF-16LE without its mark", utf16.substr(2), 3},
      {"after a long HostUrl", "[ZoneTransfer]\r\n" + hostUrl + "ZoneId=3\r\n", 3},
      {"under another section", "[Other]\nZoneId=3\n", -1},
      {"after another section", "[ZoneTransfer]\nZoneId=2\n[Other]\nZoneId=3\n", 2},
      {"the first one counts", "[ZoneTransfer]\nZoneId=3\nZoneId=1\n", 3},
      {"a longer key", "[ZoneTransfer]\nZoneIdX=3\n", -1},
      {"no digits", "[ZoneTransfer]\nZoneId=x3\n", -1},
      {"a comment", "[ZoneTransfer]\n;ZoneId=3\n", -1},
      {"empty", "", -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(reinstall::detail::ZoneOfStream(c.stream), c.zone);
  }
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
    ExpectParsedBack(reinstall::JoinArguments(argv), request);
    if (HasFailure()) {
      return;
    }
  }
}

// A scratch folder that is also $XDG_RUNTIME_DIR, so that mutex names land in it.
class HelperFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/reinstall-helper-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    const char* old = std::getenv("XDG_RUNTIME_DIR");
    oldRuntimeDir_ = old != nullptr ? old : "";
    setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
  }
  void TearDown() override {
    setenv("XDG_RUNTIME_DIR", oldRuntimeDir_.c_str(), 1);
    std::filesystem::remove_all(dir_);
  }
  std::string Write(const std::string& name, const std::string& text, mode_t mode) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path) << text;
    chmod(path.c_str(), mode);
    return path;
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  std::string dir_;
  std::string oldRuntimeDir_;
};

using ApplicationMutexTest = HelperFiles;

// The descriptors open in this process, from /proc/self/fd: each one's number and target.
std::vector<std::pair<int, std::string>> OpenDescriptors() {
  std::vector<std::pair<int, std::string>> open;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    open.emplace_back(std::stoi(entry.path().filename().string()),
                      std::filesystem::read_symlink(entry.path(), error).string());
  }
  return open;
}

TEST_F(ApplicationMutexTest, IsExclusiveAndRemovesOnlyTheFileItCreated) {
  {
    reinstall::ApplicationMutex first("app");
    ASSERT_TRUE(first.held()) << first.error();
    EXPECT_EQ(first.path(), dir_ + "/app.lock");
    reinstall::ApplicationMutex second("app");  // another description: refused like a 2nd owner
    EXPECT_FALSE(second.held());
    EXPECT_EQ(second.error(), static_cast<std::uint32_t>(EAGAIN));
    reinstall::ApplicationMutex moved(std::move(first));
    EXPECT_TRUE(moved.held());
    // No program the application starts keeps the lock: its descriptor closes on exec.
    int locks = 0;
    for (const auto& [fd, target] : OpenDescriptors()) {
      if (target == dir_ + "/app.lock") {
        ++locks;
        EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << "descriptor " << fd;
      }
    }
    EXPECT_EQ(locks, 1);
  }
  EXPECT_NE(access((dir_ + "/app.lock").c_str(), F_OK), 0) << "gone with its owner";
  EXPECT_TRUE(reinstall::ApplicationMutex("app").held()) << "free again";
}

TEST_F(ApplicationMutexTest, AForkedChildThatEndsLeavesTheLockToItsParent) {
  reinstall::ApplicationMutex mutex("app");
  ASSERT_TRUE(mutex.held());
  const pid_t child = fork();
  if (child == 0) {
    { reinstall::ApplicationMutex copy(std::move(mutex)); }  // as its exit would
    _exit(0);
  }
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(access((dir_ + "/app.lock").c_str(), F_OK), 0) << "the file is still there";
  EXPECT_TRUE(reinstall::Preflight({"/bin/true", "app", "/bin/true", ""}).empty());
  EXPECT_FALSE(reinstall::ApplicationMutex("app").held()) << "a second instance is refused";
}

TEST_F(ApplicationMutexTest, NeverRemovesOrChangesAFileItDidNotCreate) {
  const std::string notes = Write("notes.txt", "my notes\n", 0644);
  ASSERT_EQ(symlink(notes.c_str(), (dir_ + "/link.lock").c_str()), 0);
  ASSERT_EQ(mkdir((dir_ + "/folder.lock").c_str(), 0755), 0);
  struct Case {
    std::string name;
    bool held;
    int error;
  };
  const Case cases[] = {
      {notes, true, 0},  // a regular file of this user's: locked, but left as it was
      {"link", false, ELOOP},
      {"folder", false, EISDIR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    {
      reinstall::ApplicationMutex mutex(c.name);
      EXPECT_EQ(mutex.held(), c.held);
      EXPECT_EQ(mutex.error(), static_cast<std::uint32_t>(c.error));
    }
    EXPECT_EQ(Read(notes), "my notes\n");
  }
  struct stat status {};
  EXPECT_EQ(lstat((dir_ + "/link.lock").c_str(), &status), 0);
  EXPECT_TRUE(S_ISLNK(status.st_mode));
  EXPECT_EQ(stat((dir_ + "/folder.lock").c_str(), &status), 0);
  EXPECT_TRUE(S_ISDIR(status.st_mode));
}

using PreflightTest = HelperFiles;

#if REINSTALL_OWN_NEW
// Every C function that allocates, with each of its allocations failing in turn: it answers
// REINSTALL_OUT_OF_MEMORY (or what it answers anyway), and no exception leaves it.
TEST_F(PreflightTest, NoCFunctionLetsAnAllocationFailureOut) {
  const reinstall_request good{sizeof(reinstall_request),
                               "/bin/true",
                               "cmutex",
                               "/bin/true",
                               "/S",
                               nullptr,
                               nullptr,
                               nullptr,
                               nullptr};
  const reinstall_request refused{sizeof(reinstall_request),
                                  "/bin/true",
                                  "m",
                                  "/bin/true",
                                  "\"",
                                  nullptr,
                                  nullptr,
                                  nullptr,
                                  nullptr};
  char text[8];
  struct Call {
    const char* what;
    int expected;
    std::function<int()> call;
  };
  const Call calls[] = {
      {"command line", REINSTALL_OK,
       [&] { return reinstall_build_command_line(&good, text, sizeof text, nullptr, nullptr); }},
      {"refused command line", REINSTALL_INVALID_VALUE,
       [&] { return reinstall_build_command_line(&refused, text, sizeof text, nullptr, nullptr); }},
      {"preflight", REINSTALL_OK,
       [&] {
         reinstall_problems* problems = nullptr;
         const int code = reinstall_preflight(&good, &problems);
         reinstall_problems_release(problems);
         return code;
       }},
      {"refused hand-over", REINSTALL_INVALID_VALUE,
       [&] {
         reinstall_handover* handover = nullptr;
         const int code = reinstall_hand_over(&refused, 0, &handover);
         reinstall_handover_release(handover);
         return code;
       }},
      {"mutex", REINSTALL_OK,
       [&] {
         reinstall_mutex* mutex = nullptr;
         const int code = reinstall_mutex_create("cmutex", &mutex, nullptr);
         reinstall_mutex_release(mutex);
         return code;
       }},
  };
  for (const Call& c : calls) {
    SCOPED_TRACE(c.what);
    for (long failAt = 0;; ++failAt) {
      g_failAt = failAt;
      int code = 0;
      EXPECT_NO_THROW(code = c.call());
      const bool failed = g_failAt < 0;
      g_failAt = -1;
      EXPECT_EQ(code, failed ? REINSTALL_OUT_OF_MEMORY : c.expected) << "allocation " << failAt;
      if (!failed) {
        EXPECT_GT(failAt, 0) << "it allocates";
        break;
      }
    }
  }
}
#endif

TEST_F(PreflightTest, ReportsEveryProblemWithItsCode) {
  using Code = reinstall::ProblemCode;
  const std::string launcher = Write("reinstall", "#!/bin/sh\n", 0755);
  const std::string installer = Write("setup 1.sh", "#!/bin/sh\n", 0755);
  const std::string plainFile = Write("readme.txt", "text\n", 0644);
  const reinstall::ApplicationMutex held("held");
  const reinstall::ApplicationMutex heldGlobal("Global\\held");
  ASSERT_TRUE(held.held() && heldGlobal.held());
  // A native name becomes a file name, NAME.lock, of at most 255 bytes.
  const std::string longest(250, 'n');
  std::string twoByte;
  for (int i = 0; i < 126; ++i) {
    twoByte += "\xC3\xA9";
  }
  using Found = std::pair<Code, std::string>;  // a problem's code and the field it names
  struct Case {
    const char* what;
    HandoverRequest request;
    std::vector<Found> problems;
  };
  const Case cases[] = {
      {"all well", {launcher, "held", installer, "/S"}, {}},
      {"namespace prefix", {launcher, "Global\\held", installer, ""}, {}},
      {"launcher missing",
       {dir_ + "/nope", "held", installer, ""},
       {{Code::kLauncherMissing, "launcher"}}},
      {"launcher a folder",
       {dir_, "held", installer, ""},
       {{Code::kLauncherNotExecutable, "launcher"}}},
      {"launcher no program",
       {plainFile, "held", installer, ""},
       {{Code::kLauncherNotExecutable, "launcher"}}},
      {"installer missing",
       {launcher, "held", dir_ + "/gone", ""},
       {{Code::kInstallFileRejected, "installPath"}}},
      {"installer a folder",
       {launcher, "held", dir_, ""},
       {{Code::kInstallFileRejected, "installPath"}}},
      {"installer no program",
       {launcher, "held", plainFile, ""},
       {{Code::kInstallFileRejected, "installPath"}}},
      {"installer relative",
       {launcher, "held", "setup 1.sh", ""},
       {{Code::kInstallPathRelative, "installPath"}}},
      {"mutex not held", {launcher, "free", installer, ""}, {{Code::kMutexNotHeld, "mutexName"}}},
      {"mutex a folder",
       {launcher, dir_ + "/", installer, ""},
       {{Code::kMutexUnusable, "mutexName"}}},
      {"backslash", {launcher, "a\\b", installer, ""}, {{Code::kMutexNameInvalid, "mutexName"}}},
      {"backslash after prefix",
       {launcher, "Local\\a\\b", installer, ""},
       {{Code::kMutexNameInvalid, "mutexName"}}},
      {"session prefix",
       {launcher, "Session\\1\\free", installer, ""},
       {{Code::kMutexNotHeld, "mutexName"}}},
      {"not a session prefix",
       {launcher, "Session\\x\\y", installer, ""},
       {{Code::kMutexNameInvalid, "mutexName"}}},
      {"prefix alone",
       {launcher, "Global\\", installer, ""},
       {{Code::kMutexNameInvalid, "mutexName"}}},
      {"250 bytes", {launcher, longest, installer, ""}, {{Code::kMutexNotHeld, "mutexName"}}},
      {"251 bytes",
       {launcher, longest + "n", installer, ""},
       {{Code::kMutexNameInvalid, "mutexName"}}},
      {"125 two-byte characters",
       {launcher, twoByte.substr(2), installer, ""},
       {{Code::kMutexNotHeld, "mutexName"}}},
      {"126 two-byte characters",
       {launcher, twoByte, installer, ""},
       {{Code::kMutexNameInvalid, "mutexName"}}},
      {"launcher relative",
       {"reinstall", "held", installer, ""},
       {{Code::kInstallPathRelative, "launcher"}}},
      {"quote in parameters",
       {launcher, "held", installer, "/D=\"x\""},
       {{Code::kInvalidValue, "parameters"}}},
      {"empty launcher", {"", "held", installer, ""}, {{Code::kInvalidValue, "launcher"}}},
      {"record over the installer",
       {launcher, "held", installer, "", "", {}, "", installer},
       {{Code::kInvalidValue, "outcomePath"}}},
      {"record over the launcher, through another name",
       {launcher, "held", installer, "", "", {}, "", dir_ + "/./reinstall"},
       {{Code::kInvalidValue, "outcomePath"}}},
      {"record over the application's lock file",
       {launcher, "held", installer, "", "", {}, "", held.path()},
       {{Code::kInvalidValue, "outcomePath"}}},
      {"several",
       {dir_ + "/nope", "free", "setup.sh", ""},
       {{Code::kInstallPathRelative, "installPath"},
        {Code::kLauncherMissing, "launcher"},
        {Code::kMutexNotHeld, "mutexName"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<Found> found;
    for (const reinstall::Problem& problem : reinstall::Preflight(c.request)) {
      found.emplace_back(problem.code, problem.field);
      EXPECT_FALSE(problem.message.empty());
    }
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, c.problems);
  }
  // Each probe's descriptor is closed again.
  const auto before = OpenDescriptors();
  for (int i = 0; i < 100; ++i) {
    reinstall::Preflight(cases[0].request);
  }
  EXPECT_EQ(OpenDescriptors(), before);
}

// The install file must be one this user may read, as the launcher opens it for reading: root
// reads every file, so that check runs in a child that is nobody.
TEST_F(PreflightTest, AnInstallerThisUserMayNotReadIsRejected) {
  const std::string launcher = Write("reinstall", "#!/bin/sh\n", 0755);
  const std::string installer = Write("setup", "#!/bin/sh\n", 0111);
  const reinstall::ApplicationMutex held("held");
  ASSERT_EQ(chmod(held.path().c_str(), 0644), 0);  // probed by nobody too
  ASSERT_EQ(chmod(dir_.c_str(), 0711), 0);
  const pid_t child = fork();
  if (child == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
      _exit(100);
    }
    const auto problems = reinstall::Preflight({launcher, "held", installer, ""});
    _exit(problems.size() == 1 && problems[0].code == reinstall::ProblemCode::kInstallFileRejected
              ? 0
              : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "100: could not become nobody; 1: not rejected";
}

// What only the C interface does: its own check of the request's size and its refusal of a
// mutex name before anything is created.
TEST_F(PreflightTest, TheCInterfaceRefusesBeforeItActs) {
  reinstall_request small{4, "/bin/true", "m", "/bin/true", "", nullptr, nullptr, nullptr, nullptr};
  reinstall_problems* problems = nullptr;
  EXPECT_EQ(reinstall_preflight(&small, &problems), REINSTALL_BAD_ARGUMENT);
  EXPECT_EQ(problems, nullptr);
  reinstall_mutex* mutex = nullptr;
  std::uint32_t error = 1;
  EXPECT_EQ(reinstall_mutex_create("a\\b", &mutex, &error), REINSTALL_MUTEX_NAME_INVALID);
  EXPECT_EQ(mutex, nullptr);
  EXPECT_EQ(error, 0U);
  EXPECT_TRUE(std::filesystem::is_empty(dir_)) << "no lock file was created";
}

TEST_F(PreflightTest, HandOverRefusesStartsAndConfirms) {
  using Code = reinstall::ProblemCode;
  using Step = reinstall::HandoverStep;
  const std::string quitter = Write("quits", "#!/bin/sh\nexit 3\n", 0755);
  const std::string stayer = Write("stays", "#!/bin/sh\nexec sleep 5\n", 0755);
  const std::string installer = Write("setup.sh", "#!/bin/sh\n", 0755);
  struct Case {
    const char* what;
    HandoverRequest request;
    Step step;
    Code code;
    std::uint32_t systemError;
    std::chrono::milliseconds confirm = reinstall::kDefaultConfirmation;
  };
  const Case cases[] = {
      {"runs on", {stayer, "m", installer, ""}, Step::kNone, Code::kNone, 0},
      {"confirms for longer than the launcher would wait in a box",
       {stayer, "m", installer, ""},
       Step::kCheckRequest,
       Code::kInvalidValue,
       0,
       std::chrono::milliseconds(2001)},
      {"confirms for exactly the longest time",
       {stayer, "m", installer, ""},
       Step::kNone,
       Code::kNone,
       0,
       reinstall::kLongestConfirmation},
      {"quote", {stayer, "m", installer, "\""}, Step::kCheckRequest, Code::kInvalidValue, 0},
      {"relative",
       {stayer, "m", "setup.sh", ""},
       Step::kCheckRequest,
       Code::kInstallPathRelative,
       0},
      {"backslash",
       {stayer, "a\\b", installer, ""},
       Step::kCheckRequest,
       Code::kMutexNameInvalid,
       0},
      {"relative launcher",
       {"stays", "m", installer, ""},
       Step::kCheckRequest,
       Code::kInstallPathRelative,
       0},
      {"missing",
       {dir_ + "/nope", "m", installer, ""},
       Step::kStartProcess,
       Code::kStartFailed,
       ENOENT},
      {"ends at once", {quitter, "m", installer, ""}, Step::kConfirm, Code::kLauncherEndedEarly, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    reinstall::HandoverResult result = reinstall::HandOver(c.request, c.confirm);
    EXPECT_EQ(result.failedStep, c.step);
    EXPECT_EQ(result.problem.code, c.code);
    EXPECT_EQ(result.problem.systemError, c.systemError);
    EXPECT_EQ(result.ok(), c.step == Step::kNone);
    const bool started = c.step == Step::kNone || c.step == Step::kConfirm;
    EXPECT_EQ(result.launcher.started(), started);
    // Only a started launcher is stopped: kill(0) would hit this test's own process group.
    if (c.step == Step::kNone && result.launcher.started()) {
      EXPECT_EQ(getsid(result.launcher.id()), result.launcher.id()) << "a session of its own";
      kill(result.launcher.id(), SIGTERM);
      EXPECT_TRUE(result.launcher.Wait(std::chrono::seconds(5)));
    }
    if (c.code == Code::kLauncherEndedEarly) {
      EXPECT_EQ(result.launcher.exitCode(), 3U);
      EXPECT_NE(result.problem.message.find("exit code 3"), std::string::npos);
    }
  }
  // A launcher that cannot be started leaves the record as it was, or none.
  HandoverRequest unstartable{dir_ + "/nope", "m", installer, ""};
  unstartable.outcomePath = Write("o.json", "the last hand-over's record\n", 0644);
  for (const char* before : {"the last hand-over's record\n", ""}) {
    EXPECT_EQ(reinstall::HandOver(unstartable).problem.code, Code::kStartFailed);
    EXPECT_EQ(Read(unstartable.outcomePath), before);
    EXPECT_FALSE(std::filesystem::exists(unstartable.outcomePath + ".partial"));
    std::filesystem::remove(unstartable.outcomePath);
  }
  // An application that ignores SIGCHLD has its children reaped for it: the launcher's end is
  // seen, its exit code is not, and none is made up.
  struct sigaction ignore {};
  struct sigaction old {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGCHLD, &ignore, &old);
  reinstall::HandoverResult result = reinstall::HandOver({quitter, "m", installer, ""});
  sigaction(SIGCHLD, &old, nullptr);
  EXPECT_EQ(result.problem.code, Code::kLauncherEndedEarly);
  EXPECT_FALSE(result.launcher.exitCodeKnown());
  EXPECT_NE(result.problem.message.find("exit code unknown"), std::string::npos)
      << result.problem.message;
}

}  // namespace
