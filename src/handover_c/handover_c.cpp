// The C interface over the applications' helper: every C++ object behind an opaque handle,
// every text copied into the caller's buffer, no exception across the boundary.
#include "reinstall/handover_c.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "reinstall/handover.h"

struct reinstall_mutex {
  reinstall::ApplicationMutex mutex;
};

struct reinstall_problems {
  std::vector<reinstall::Problem> problems;
};

struct reinstall_handover {
  reinstall::HandoverResult result;
};

namespace {

// What reinstall_mutex_create answers for a missing out-pointer or an unusable name, and for a
// lack of memory, in the system's own numbers.
#if defined(_WIN32)
constexpr uint32_t kInvalidArgument = ERROR_INVALID_PARAMETER;
constexpr uint32_t kNoMemory = ERROR_NOT_ENOUGH_MEMORY;
#else
constexpr uint32_t kInvalidArgument = EINVAL;
constexpr uint32_t kNoMemory = ENOMEM;
#endif

std::string Text(const char* text) {
  return text != nullptr ? std::string(text) : std::string();
}

reinstall::HandoverRequest Request(const reinstall_request& request) {
  return {Text(request.launcher), Text(request.mutex_name), Text(request.install_path),
          Text(request.parameters)};
}

int FieldNumber(const std::string& field) {
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
  return REINSTALL_FIELD_NONE;
}

// Copies `text` into `buffer` as far as it fits, always ending it with a NUL when there is room
// for one, and tells its whole length.
void CopyOut(const std::string& text, char* buffer, size_t size, size_t* length) {
  if (length != nullptr) {
    *length = text.size();
  }
  if (buffer != nullptr && size > 0) {
    const size_t n = text.size() < size - 1 ? text.size() : size - 1;
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
  }
}

int Describe(const reinstall::Problem& problem,
             int* field,
             uint32_t* systemError,
             char* buffer,
             size_t size,
             size_t* length) {
  if (field != nullptr) {
    *field = FieldNumber(problem.field);
  }
  if (systemError != nullptr) {
    *systemError = problem.systemError;
  }
  CopyOut(problem.message, buffer, size, length);
  return static_cast<int>(problem.code);
}

}  // namespace

extern "C" {

uint32_t reinstall_interface_version(void) {
  return REINSTALL_HANDOVER_C_VERSION;
}

const char* reinstall_code_name(int code) {
  if (code < 0 || code > static_cast<int>(reinstall::ProblemCode::kLauncherEndedEarly)) {
    return "unknown";
  }
  return reinstall::ProblemCodeName(static_cast<reinstall::ProblemCode>(code));
}

int reinstall_build_command_line(const reinstall_request* request,
                                 char* buffer,
                                 size_t size,
                                 size_t* length,
                                 int* field) {
  if (field != nullptr) {
    *field = REINSTALL_FIELD_NONE;
  }
  if (request == nullptr) {
    return REINSTALL_BAD_ARGUMENT;
  }
  try {
    CopyOut(reinstall::BuildCommandLine(Request(*request)), buffer, size, length);
    return REINSTALL_OK;
  } catch (const reinstall::HandoverError& error) {
    if (field != nullptr) {
      *field = FieldNumber(error.field());
    }
    CopyOut(error.what(), buffer, size, length);
    return REINSTALL_INVALID_VALUE;
  } catch (...) {
    return REINSTALL_OUT_OF_MEMORY;
  }
}

uint32_t reinstall_mutex_create(const char* name, reinstall_mutex** mutex) {
  if (mutex == nullptr) {
    return kInvalidArgument;
  }
  *mutex = nullptr;
  try {
    auto* created = new reinstall_mutex{reinstall::ApplicationMutex(Text(name))};
    if (!created->mutex.held()) {
      const uint32_t error = created->mutex.error();
      delete created;
      return error != 0 ? error : kInvalidArgument;
    }
    *mutex = created;
    return 0;
  } catch (...) {
    return kNoMemory;
  }
}

void reinstall_mutex_release(reinstall_mutex* mutex) {
  delete mutex;
}

int reinstall_preflight(const reinstall_request* request, reinstall_problems** problems) {
  if (problems == nullptr) {
    return REINSTALL_BAD_ARGUMENT;
  }
  *problems = nullptr;
  if (request == nullptr) {
    return REINSTALL_BAD_ARGUMENT;
  }
  try {
    *problems = new reinstall_problems{reinstall::Preflight(Request(*request))};
    return REINSTALL_OK;
  } catch (...) {
    return REINSTALL_OUT_OF_MEMORY;
  }
}

size_t reinstall_problems_count(const reinstall_problems* problems) {
  return problems != nullptr ? problems->problems.size() : 0;
}

int reinstall_problems_get(const reinstall_problems* problems,
                           size_t index,
                           int* field,
                           uint32_t* system_error,
                           char* buffer,
                           size_t size,
                           size_t* length) {
  if (problems == nullptr || index >= problems->problems.size()) {
    return REINSTALL_BAD_ARGUMENT;
  }
  return Describe(problems->problems[index], field, system_error, buffer, size, length);
}

void reinstall_problems_release(reinstall_problems* problems) {
  delete problems;
}

int reinstall_hand_over(const reinstall_request* request,
                        uint32_t confirm_ms,
                        reinstall_handover** handover) {
  if (handover == nullptr) {
    return REINSTALL_BAD_ARGUMENT;
  }
  *handover = nullptr;
  if (request == nullptr) {
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

int reinstall_handover_step(const reinstall_handover* handover) {
  return handover != nullptr ? static_cast<int>(handover->result.failedStep) : REINSTALL_STEP_NONE;
}

int reinstall_handover_problem(const reinstall_handover* handover,
                               int* field,
                               uint32_t* system_error,
                               char* buffer,
                               size_t size,
                               size_t* length) {
  if (handover == nullptr) {
    return REINSTALL_BAD_ARGUMENT;
  }
  return Describe(handover->result.problem, field, system_error, buffer, size, length);
}

uint32_t reinstall_handover_flags(const reinstall_handover* handover) {
  if (handover == nullptr) {
    return 0;
  }
  const reinstall::HandoverResult& result = handover->result;
  uint32_t flags = 0;
  flags |= result.brokeAway ? static_cast<uint32_t>(REINSTALL_BROKE_AWAY) : 0U;
  flags |= result.remainsInJob ? static_cast<uint32_t>(REINSTALL_REMAINS_IN_JOB) : 0U;
  flags |= result.jobKillsOnClose ? static_cast<uint32_t>(REINSTALL_JOB_KILLS_ON_CLOSE) : 0U;
  return flags;
}

uint32_t reinstall_handover_launcher_id(const reinstall_handover* handover) {
  return handover != nullptr && handover->result.launcher.started()
             ? static_cast<uint32_t>(handover->result.launcher.id())
             : 0U;
}

void reinstall_handover_release(reinstall_handover* handover) {
  delete handover;
}

}  // extern "C"
