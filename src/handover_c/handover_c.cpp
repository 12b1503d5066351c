// The C interface over the applications' helper: every C++ object behind an opaque handle,
// every text copied into the caller's buffer, no exception across the boundary.
#include "reinstall/handover_c.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "reinstall/handover.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

struct reinstall_mutex {
  reinstall::ApplicationMutex mutex;
};

struct reinstall_problems {
  std::vector<reinstall::Problem> problems;
};

struct reinstall_handover {
  reinstall::HandoverResult result;
};

struct reinstall_outcome {
  reinstall::OutcomeRecord record;
};

namespace {

// The smallest request a caller can pass: the fields of version 2.0.
constexpr size_t kRequestSizeV2 = offsetof(reinstall_request, parameters) + sizeof(const char*);

std::string Text(const char* text) {
  return text != nullptr ? std::string(text) : std::string();
}

bool Readable(const reinstall_request* request) {
  return request != nullptr && request->size >= kRequestSizeV2;
}

// A request of version 2.3 or later: with the digests and the signer list; of 2.4, with the
// outcome path.
constexpr size_t kRequestSizeV23 =
    offsetof(reinstall_request, launcher_sha256) + sizeof(const char*);
constexpr size_t kRequestSizeV24 = offsetof(reinstall_request, outcome_path) + sizeof(const char*);

// The thumbprints of a signer list (null or "": none): its entries between commas or
// semicolons, each split again at blanks. An entry with nothing in it (",", "a,,b", " ") stays
// an empty thumbprint, which the request refuses: a list that names nobody by mistake (a
// signer of an unsigned program joined in) is never read as no check at all.
std::vector<std::string> Thumbprints(const char* list) {
  std::vector<std::string> thumbprints;
  const std::string text = Text(list);
  const char* const blanks = " \t\r\n";
  for (std::size_t start = 0; !text.empty() && start <= text.size();) {
    const std::size_t end = std::min(text.find_first_of(",;", start), text.size());
    std::size_t word = text.find_first_not_of(blanks, start);
    if (word >= end) {
      thumbprints.emplace_back();
    }
    while (word < end) {
      const std::size_t stop = std::min(text.find_first_of(blanks, word), end);
      thumbprints.push_back(text.substr(word, stop - word));
      word = text.find_first_not_of(blanks, stop);
    }
    start = end + 1;
  }
  return thumbprints;
}

#if defined(_WIN32)
// The full path of this library (UTF-8), or "".
std::string LibraryPath() {
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(&LibraryPath), &self)) {
    return {};
  }
  return reinstall::detail::ModulePath(self);
}

bool FileExists(const std::string& path) {
  std::wstring wide;
  return reinstall::detail::ToWide(path, wide) &&
         GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES;
}
#else
// The path this library was loaded from, or "".
std::string LibraryPath() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&LibraryPath), &info) == 0 || info.dli_fname == nullptr) {
    return {};
  }
  return info.dli_fname;
}

bool FileExists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}
#endif

// A request without a launcher takes the one beside this library (where the language packages
// put it), else the one beside the program (where an application that copies the library
// elsewhere, as an installed CMake package does, ships it).
std::string DefaultLauncher() {
  const std::string besideLibrary = reinstall::detail::LauncherBeside(LibraryPath());
  return FileExists(besideLibrary) ? besideLibrary : reinstall::LauncherBesideProgram();
}

reinstall::HandoverRequest Request(const reinstall_request& request) {
  reinstall::HandoverRequest converted{
      request.launcher != nullptr ? std::string(request.launcher) : DefaultLauncher(),
      Text(request.mutex_name), Text(request.install_path), Text(request.parameters)};
  if (request.size >= kRequestSizeV23) {
    converted.installSha256 = Text(request.install_sha256);
    converted.installSigner = Thumbprints(request.install_signer);
    converted.launcherSha256 = Text(request.launcher_sha256);
  }
  if (request.size >= kRequestSizeV24) {
    converted.outcomePath = Text(request.outcome_path);
  }
  return converted;
}

int FieldNumber(const std::string& field) noexcept {
  if (field == "launcher") {
    return REINSTALL_FIELD_LAUNCHER;
  }
  if (field == "mutexName") {
    return REINSTALL_FIELD_MUTEX_NAME;
  }
  if (field == "installPath") {
    return REINSTALL_FIELD_INSTALL_PATH;
  }
  if (field == "parameters") {
    return REINSTALL_FIELD_PARAMETERS;
  }
  if (field == "confirm") {
    return REINSTALL_FIELD_CONFIRM;
  }
  if (field == "installSha256") {
    return REINSTALL_FIELD_INSTALL_SHA256;
  }
  if (field == "installSigner") {
    return REINSTALL_FIELD_INSTALL_SIGNER;
  }
  if (field == "launcherSha256") {
    return REINSTALL_FIELD_LAUNCHER_SHA256;
  }
  if (field == "outcomePath") {
    return REINSTALL_FIELD_OUTCOME_PATH;
  }
  return REINSTALL_FIELD_NONE;
}

// Copies `text` (`size` bytes of it) into `buffer` as far as it fits, always ending it with a NUL
// when there is room for one, and tells its whole length. Allocates nothing.
void CopyOut(const char* text,
             size_t textSize,
             char* buffer,
             size_t size,
             size_t* length) noexcept {
  if (length != nullptr) {
    *length = textSize;
  }
  if (buffer != nullptr && size > 0) {
    const size_t n = textSize < size - 1 ? textSize : size - 1;
    std::memcpy(buffer, text, n);
    buffer[n] = '\0';
  }
}

int Describe(const reinstall::Problem& problem,
             int* field,
             uint32_t* systemError,
             char* buffer,
             size_t size,
             size_t* length) noexcept {
  if (field != nullptr) {
    *field = FieldNumber(problem.field);
  }
  if (systemError != nullptr) {
    *systemError = problem.systemError;
  }
  CopyOut(problem.message.data(), problem.message.size(), buffer, size, length);
  return static_cast<int>(problem.code);
}

}  // namespace

extern "C" {

uint32_t reinstall_interface_version(void) noexcept {
  return (static_cast<uint32_t>(REINSTALL_HANDOVER_C_VERSION_MAJOR) << 16U) |
         static_cast<uint32_t>(REINSTALL_HANDOVER_C_VERSION_MINOR);
}

const char* reinstall_code_name(int code) noexcept {
  if (code < 0 || code > static_cast<int>(reinstall::ProblemCode::kOutcomePathUnusable)) {
    return "unknown";
  }
  return reinstall::ProblemCodeName(static_cast<reinstall::ProblemCode>(code));
}

int reinstall_build_command_line(const reinstall_request* request,
                                 char* buffer,
                                 size_t size,
                                 size_t* length,
                                 int* field) noexcept {
  if (field != nullptr) {
    *field = REINSTALL_FIELD_NONE;
  }
  if (!Readable(request)) {
    return REINSTALL_BAD_ARGUMENT;
  }
  try {
    const std::string line = reinstall::BuildCommandLine(Request(*request));
    CopyOut(line.data(), line.size(), buffer, size, length);
    return REINSTALL_OK;
  } catch (const reinstall::HandoverError& error) {
    if (field != nullptr) {
      *field = FieldNumber(error.field());
    }
    CopyOut(error.what(), std::strlen(error.what()), buffer, size, length);
    return REINSTALL_INVALID_VALUE;
  } catch (...) {
    return REINSTALL_OUT_OF_MEMORY;
  }
}

int reinstall_mutex_create(const char* name,
                           reinstall_mutex** mutex,
                           uint32_t* system_error) noexcept {
  if (system_error != nullptr) {
    *system_error = 0;
  }
  if (mutex == nullptr || name == nullptr) {
    return REINSTALL_BAD_ARGUMENT;
  }
  *mutex = nullptr;
  try {
    // The name as a request's would be checked: a mutex the hand-over refuses is no use.
    const reinstall::HandoverRequest probe{"-", name, "/", ""};
    const std::vector<reinstall::Problem> problems = reinstall::detail::RequestProblems(probe);
    const auto refusal = std::find_if(problems.begin(), problems.end(), [](const auto& problem) {
      return problem.field == "mutexName";
    });
    if (refusal != problems.end()) {
      return static_cast<int>(refusal->code);
    }
    auto* created = new reinstall_mutex{reinstall::ApplicationMutex(name)};
    if (!created->mutex.held()) {
      if (system_error != nullptr) {
        *system_error = created->mutex.error();
      }
      delete created;
      return REINSTALL_MUTEX_UNAVAILABLE;
    }
    *mutex = created;
    return REINSTALL_OK;
  } catch (...) {
    return REINSTALL_OUT_OF_MEMORY;
  }
}

void reinstall_mutex_release(reinstall_mutex* mutex) noexcept {
  delete mutex;
}

int reinstall_preflight(const reinstall_request* request, reinstall_problems** problems) noexcept {
  if (problems == nullptr) {
    return REINSTALL_BAD_ARGUMENT;
  }
  *problems = nullptr;
  if (!Readable(request)) {
    return REINSTALL_BAD_ARGUMENT;
  }
  try {
    *problems = new reinstall_problems{reinstall::Preflight(Request(*request))};
    return REINSTALL_OK;
  } catch (...) {
    return REINSTALL_OUT_OF_MEMORY;
  }
}

size_t reinstall_problems_count(const reinstall_problems* problems) noexcept {
  return problems != nullptr ? problems->problems.size() : 0;
}

int reinstall_problems_get(const reinstall_problems* problems,
                           size_t index,
                           int* field,
                           uint32_t* system_error,
                           char* buffer,
                           size_t size,
                           size_t* length) noexcept {
  if (problems == nullptr || index >= problems->problems.size()) {
    return REINSTALL_BAD_ARGUMENT;
  }
  return Describe(problems->problems[index], field, system_error, buffer, size, length);
}

void reinstall_problems_release(reinstall_problems* problems) noexcept {
  delete problems;
}

int reinstall_remove_download_mark(const char* install_path,
                                   int* removed,
                                   uint32_t* system_error) noexcept {
  if (removed != nullptr) {
    *removed = 0;
  }
  if (system_error != nullptr) {
    *system_error = 0;
  }
  if (install_path == nullptr) {
    return REINSTALL_BAD_ARGUMENT;
  }
  try {
    uint32_t error = 0;
    const bool done = reinstall::RemoveDownloadMark(install_path, &error);
    if (removed != nullptr) {
      *removed = done ? 1 : 0;
    }
    if (system_error != nullptr) {
      *system_error = error;
    }
    return error == 0 ? REINSTALL_OK : REINSTALL_INSTALL_FILE_MARKED;
  } catch (...) {
    return REINSTALL_OUT_OF_MEMORY;
  }
}

int reinstall_signer_of_this_program(char* buffer, size_t size, size_t* length) noexcept {
  try {
    const std::string signer = reinstall::SignerOfThisProgram();
    CopyOut(signer.data(), signer.size(), buffer, size, length);
    return REINSTALL_OK;
  } catch (...) {
    return REINSTALL_OUT_OF_MEMORY;
  }
}

int reinstall_read_outcome(const char* path, reinstall_outcome** outcome) noexcept {
  if (outcome == nullptr) {
    return REINSTALL_BAD_ARGUMENT;
  }
  *outcome = nullptr;
  if (path == nullptr) {
    return REINSTALL_BAD_ARGUMENT;
  }
  try {
    *outcome = new reinstall_outcome{reinstall::ReadOutcome(path)};
    return REINSTALL_OK;
  } catch (...) {
    return REINSTALL_OUT_OF_MEMORY;
  }
}

int reinstall_outcome_state(const reinstall_outcome* outcome) noexcept {
  return outcome != nullptr ? static_cast<int>(outcome->record.state) : REINSTALL_OUTCOME_ABSENT;
}

uint32_t reinstall_outcome_system_error(const reinstall_outcome* outcome) noexcept {
  return outcome != nullptr ? outcome->record.systemError : 0;
}

int reinstall_outcome_text(const reinstall_outcome* outcome,
                           int which,
                           char* buffer,
                           size_t size,
                           size_t* length) noexcept {
  if (outcome == nullptr || which < REINSTALL_OUTCOME_NAME || which > REINSTALL_OUTCOME_SENTENCE) {
    return REINSTALL_BAD_ARGUMENT;
  }
  const reinstall::OutcomeRecord& r = outcome->record;
  const std::string* const texts[] = {&r.outcome,   &r.launcherVersion, &r.started, &r.ended,
                                      &r.mutexName, &r.installPath,     &r.sentence};
  CopyOut(texts[which]->data(), texts[which]->size(), buffer, size, length);
  return REINSTALL_OK;
}

void reinstall_outcome_release(reinstall_outcome* outcome) noexcept {
  delete outcome;
}

int reinstall_default_outcome_path(const char* application,
                                   char* buffer,
                                   size_t size,
                                   size_t* length) noexcept {
  if (application == nullptr) {
    return REINSTALL_BAD_ARGUMENT;
  }
  try {
    const std::string path = reinstall::DefaultOutcomePath(application);
    CopyOut(path.data(), path.size(), buffer, size, length);
    return path.empty() ? REINSTALL_INVALID_VALUE : REINSTALL_OK;
  } catch (...) {
    return REINSTALL_OUT_OF_MEMORY;
  }
}

int reinstall_hand_over(const reinstall_request* request,
                        uint32_t confirm_ms,
                        reinstall_handover** handover) noexcept {
  if (handover == nullptr) {
    return REINSTALL_BAD_ARGUMENT;
  }
  *handover = nullptr;
  if (!Readable(request)) {
    return REINSTALL_BAD_ARGUMENT;
  }
  try {
    *handover = new reinstall_handover{
        reinstall::HandOver(Request(*request), std::chrono::milliseconds(confirm_ms))};
    return static_cast<int>((*handover)->result.problem.code);
  } catch (...) {
    return REINSTALL_OUT_OF_MEMORY;
  }
}

int reinstall_handover_step(const reinstall_handover* handover) noexcept {
  return handover != nullptr ? static_cast<int>(handover->result.failedStep) : REINSTALL_STEP_NONE;
}

int reinstall_handover_problem(const reinstall_handover* handover,
                               int* field,
                               uint32_t* system_error,
                               char* buffer,
                               size_t size,
                               size_t* length) noexcept {
  if (handover == nullptr) {
    return REINSTALL_BAD_ARGUMENT;
  }
  return Describe(handover->result.problem, field, system_error, buffer, size, length);
}

uint32_t reinstall_handover_flags(const reinstall_handover* handover) noexcept {
  if (handover == nullptr) {
    return 0;
  }
  const reinstall::HandoverResult& result = handover->result;
  uint32_t flags = 0;
  flags |= result.brokeAway ? static_cast<uint32_t>(REINSTALL_BROKE_AWAY) : 0U;
  flags |= result.remainsInJob ? static_cast<uint32_t>(REINSTALL_REMAINS_IN_JOB) : 0U;
  flags |= result.jobKillsOnClose ? static_cast<uint32_t>(REINSTALL_JOB_KILLS_ON_CLOSE) : 0U;
  flags |= result.foregroundAllowed ? static_cast<uint32_t>(REINSTALL_FOREGROUND_ALLOWED) : 0U;
  return flags;
}

uint32_t reinstall_handover_launcher_id(const reinstall_handover* handover) noexcept {
  return handover != nullptr && handover->result.launcher.started()
             ? static_cast<uint32_t>(handover->result.launcher.id())
             : 0U;
}

void reinstall_handover_release(reinstall_handover* handover) noexcept {
  delete handover;
}

}  // extern "C"
