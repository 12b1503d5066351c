/* The applications' hand-over helper as a plain C interface, for programs in any language: C#,
 * Node/Electron, Go and Python bindings load it (reinstall_handover.dll on Windows,
 * libreinstall_handover.so natively). Strings are UTF-8 and NUL-terminated. No function throws or
 * ends the process on bad input. Every object is an
 * opaque handle with a matching release call; texts are copied into the caller's buffer.
 *
 * The pattern: hold a mutex for the life of the process (reinstall_mutex_create), check with
 * reinstall_preflight, hand over with reinstall_hand_over, and quit when it reports
 * REINSTALL_OK; on any problem, stay open. */
#ifndef REINSTALL_HANDOVER_C_H_
#define REINSTALL_HANDOVER_C_H_

#include <stddef.h>
#include <stdint.h>

/* REINSTALL_C_API marks the interface's functions: exported from the library, imported by its
 * users, and called with the C calling convention on every system (__cdecl on 32-bit Windows,
 * whatever the caller's compiler takes by default). */
#if defined(_WIN32)
#if defined(REINSTALL_HANDOVER_BUILD)
#define REINSTALL_C_API __declspec(dllexport) __cdecl
#else
#define REINSTALL_C_API __declspec(dllimport) __cdecl
#endif
#else
#define REINSTALL_C_API __attribute__((visibility("default")))
#endif

/* C++ callers see that no function throws. */
#ifdef __cplusplus
#define REINSTALL_NOEXCEPT noexcept
#else
#define REINSTALL_NOEXCEPT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The interface's version, major and minor. A binding works with the same major and a minor at
 * least as new as the one it was written for: a minor adds, a major changes. */
#define REINSTALL_HANDOVER_C_VERSION_MAJOR 2
#define REINSTALL_HANDOVER_C_VERSION_MINOR 5
/* The library's version as (major << 16) | minor. */
REINSTALL_C_API uint32_t reinstall_interface_version(void) REINSTALL_NOEXCEPT;

/* What every function that can fail returns: REINSTALL_OK, a problem code (the same numbers as
 * reinstall::ProblemCode), or one of the two negative codes for a call the library could not
 * carry out. A system error comes through an out-parameter. */
enum {
  REINSTALL_OK = 0,
  REINSTALL_INVALID_VALUE = 1,
  REINSTALL_MUTEX_NAME_INVALID = 2,
  REINSTALL_INSTALL_PATH_RELATIVE = 3,
  REINSTALL_LAUNCHER_MISSING = 4,
  REINSTALL_LAUNCHER_NOT_EXECUTABLE = 5,
  REINSTALL_INSTALL_FILE_REJECTED = 6,
  REINSTALL_NO_OPEN_PROGRAM = 7,
  REINSTALL_MUTEX_NOT_HELD = 8,
  REINSTALL_MUTEX_UNUSABLE = 9,
  REINSTALL_JOB_KILLS_LAUNCHER = 10,
  REINSTALL_START_FAILED = 11,
  REINSTALL_BREAKAWAY_REFUSED = 12,
  REINSTALL_LAUNCHER_ENDED_EARLY = 13,
  REINSTALL_PATH_TOO_LONG = 14,
  REINSTALL_MUTEX_UNAVAILABLE = 15,
  REINSTALL_INSTALL_FILE_MARKED = 16,   /* since 2.1 */
  REINSTALL_INSTALL_FILE_CHANGED = 17,  /* since 2.3 */
  REINSTALL_INSTALL_FILE_SIGNER = 18,   /* since 2.3 */
  REINSTALL_LAUNCHER_CHANGED = 19,      /* since 2.3 */
  REINSTALL_OUTCOME_PATH_UNUSABLE = 20, /* since 2.4 */
  REINSTALL_BAD_ARGUMENT = -1, /* a null pointer where one was needed, or a request's size that
                                  is too small */
  REINSTALL_OUT_OF_MEMORY = -2
};

/* The request fields (and the confirmation time), as problems and refusals name them. */
enum {
  REINSTALL_FIELD_NONE = 0,
  REINSTALL_FIELD_LAUNCHER = 1,
  REINSTALL_FIELD_MUTEX_NAME = 2,
  REINSTALL_FIELD_INSTALL_PATH = 3,
  REINSTALL_FIELD_PARAMETERS = 4,
  REINSTALL_FIELD_CONFIRM = 5,
  REINSTALL_FIELD_INSTALL_SHA256 = 6, /* since 2.3 */
  REINSTALL_FIELD_INSTALL_SIGNER = 7,
  REINSTALL_FIELD_LAUNCHER_SHA256 = 8,
  REINSTALL_FIELD_OUTCOME_PATH = 9 /* since 2.4 */
};

/* The steps of a hand-over (reinstall::HandoverStep). */
enum {
  REINSTALL_STEP_NONE = 0,
  REINSTALL_STEP_CHECK_REQUEST = 1,
  REINSTALL_STEP_START_PROCESS = 2,
  REINSTALL_STEP_BREAKAWAY = 3,
  REINSTALL_STEP_CONFIRM = 4,
  REINSTALL_STEP_VERIFY = 5 /* since 2.3 */
};

/* Flags of a hand-over's result. */
enum {
  REINSTALL_BROKE_AWAY = 1,
  REINSTALL_REMAINS_IN_JOB = 2,
  REINSTALL_JOB_KILLS_ON_CLOSE = 4,
  REINSTALL_FOREGROUND_ALLOWED = 8 /* since 2.5: the launcher may take the foreground */
};

/* The longest confirmation reinstall_hand_over accepts, in milliseconds. */
#define REINSTALL_LONGEST_CONFIRM_MS 2000

typedef struct reinstall_mutex reinstall_mutex;
typedef struct reinstall_problems reinstall_problems;
typedef struct reinstall_handover reinstall_handover;
typedef struct reinstall_outcome reinstall_outcome;

/* A request. `size` comes first and is sizeof(reinstall_request) as the caller knows it: later
 * versions add fields after the last, and take a smaller size as a caller that knows fewer. */
typedef struct reinstall_request {
  uint32_t size;
  const char* launcher;     /* path of reinstall.exe (or the native reinstall); NULL (since 2.2):
                               the one in this library's folder, else the program's */
  const char* mutex_name;   /* the mutex the application holds while it runs */
  const char* install_path; /* the install file, an absolute path */
  const char* parameters;   /* its parameter string; NULL counts as empty */
  /* Since 2.3; NULL or "" for none. */
  const char* install_sha256;  /* the install file's SHA-256, 64 hexadecimal digits */
  const char* install_signer;  /* SHA-256 thumbprints of the certificates that may sign it,
                                  separated by commas, semicolons or blanks (Windows only); an
                                  empty entry (",", "a,,b", " ") is refused, never "no check" */
  const char* launcher_sha256; /* the launcher's own SHA-256 (on Windows: of its signed image,
                                  which signing it again does not change) */
  /* Since 2.4; NULL or "" for none: where the hand-over's outcome is recorded (an absolute
   * path; reinstall_default_outcome_path gives one). */
  const char* outcome_path;
} reinstall_request;

/* The stable name of a problem code ("mutex-not-held"), or "unknown"; static storage. */
REINSTALL_C_API const char* reinstall_code_name(int code) REINSTALL_NOEXCEPT;

/* The launcher's exact command line for `request`, written to `buffer` (`size` bytes, NUL
 * included) when it fits; `*length` (when not NULL) receives its length without the NUL.
 * REINSTALL_OK, or REINSTALL_INVALID_VALUE with `*field` naming the field, and then `buffer`
 * receives the refusal's message instead. A text that does not fit is cut, still ended by a
 * NUL; call again with a buffer of `*length + 1` bytes. */
REINSTALL_C_API int reinstall_build_command_line(const reinstall_request* request,
                                                 char* buffer,
                                                 size_t size,
                                                 size_t* length,
                                                 int* field) REINSTALL_NOEXCEPT;

/* The application's mutex (natively its lock file): owned, not inheritable, held until released
 * (on the thread that created it) or until the process ends. Returns REINSTALL_OK and `*mutex`;
 * or a NULL `*mutex` and REINSTALL_INVALID_VALUE / REINSTALL_MUTEX_NAME_INVALID for a name the
 * hand-over would refuse, REINSTALL_MUTEX_UNAVAILABLE with the system's error in
 * `*system_error` (when not NULL: Win32 error on Windows, errno natively; ERROR_ALREADY_EXISTS or
 * EAGAIN when another process holds it), or a negative code. */
REINSTALL_C_API int reinstall_mutex_create(const char* name,
                                           reinstall_mutex** mutex,
                                           uint32_t* system_error) REINSTALL_NOEXCEPT;
REINSTALL_C_API void reinstall_mutex_release(reinstall_mutex* mutex) REINSTALL_NOEXCEPT;

/* Every problem that would make a hand-over of `request` fail. Returns REINSTALL_OK and
 * `*problems` (release it), or REINSTALL_BAD_ARGUMENT / REINSTALL_OUT_OF_MEMORY. */
REINSTALL_C_API int reinstall_preflight(const reinstall_request* request,
                                        reinstall_problems** problems) REINSTALL_NOEXCEPT;
REINSTALL_C_API size_t reinstall_problems_count(const reinstall_problems* problems)
    REINSTALL_NOEXCEPT;
/* Problem `index`: its code, and (each pointer may be NULL) its field, its system error and its
 * message copied into `buffer` as reinstall_build_command_line copies text. Returns the code,
 * or REINSTALL_BAD_ARGUMENT for an index out of range. */
REINSTALL_C_API int reinstall_problems_get(const reinstall_problems* problems,
                                           size_t index,
                                           int* field,
                                           uint32_t* system_error,
                                           char* buffer,
                                           size_t size,
                                           size_t* length) REINSTALL_NOEXCEPT;
REINSTALL_C_API void reinstall_problems_release(reinstall_problems* problems) REINSTALL_NOEXCEPT;

/* Since 2.1: removes the install file's mark of origin (on Windows its Zone.Identifier stream,
 * which REINSTALL_INSTALL_FILE_MARKED reports), once the application has verified the file.
 * Returns REINSTALL_OK with `*removed` (when not NULL) 1 when a mark was removed and 0 when there
 * was none; REINSTALL_INSTALL_FILE_MARKED with the system's error when it could not be removed;
 * or a negative code. Natively there is never a mark. */
REINSTALL_C_API int reinstall_remove_download_mark(const char* install_path,
                                                   int* removed,
                                                   uint32_t* system_error) REINSTALL_NOEXCEPT;

/* Since 2.3: the SHA-256 thumbprint (64 lower-case hexadecimal digits) of the certificate that
 * signed the running program, copied as reinstall_build_command_line copies text; "" when it is
 * unsigned, its signature does not hold, or the system has no code signatures. Returns
 * REINSTALL_OK or a negative code. */
REINSTALL_C_API int reinstall_signer_of_this_program(char* buffer,
                                                     size_t size,
                                                     size_t* length) REINSTALL_NOEXCEPT;

/* Since 2.4: the outcome record of the last hand-over that recorded to `path`, read at the
 * application's next start. Returns REINSTALL_OK and `*outcome` (release it), or a negative
 * code. */
REINSTALL_C_API int reinstall_read_outcome(const char* path,
                                           reinstall_outcome** outcome) REINSTALL_NOEXCEPT;
/* What was found: no record, a file that is no record, or a record. */
enum { REINSTALL_OUTCOME_ABSENT = 0, REINSTALL_OUTCOME_UNREADABLE = 1, REINSTALL_OUTCOME_READ = 2 };
REINSTALL_C_API int reinstall_outcome_state(const reinstall_outcome* outcome) REINSTALL_NOEXCEPT;
REINSTALL_C_API uint32_t reinstall_outcome_system_error(const reinstall_outcome* outcome)
    REINSTALL_NOEXCEPT;
/* The record's texts, copied as reinstall_build_command_line copies text: its outcome
 * ("installer-started" and so on), the launcher's version, start and end (UTC, ISO 8601), the
 * mutex name, the install path, and a sentence for the user. Returns REINSTALL_OK, or
 * REINSTALL_BAD_ARGUMENT for another `which`. */
enum {
  REINSTALL_OUTCOME_NAME = 0,
  REINSTALL_OUTCOME_LAUNCHER_VERSION = 1,
  REINSTALL_OUTCOME_STARTED = 2,
  REINSTALL_OUTCOME_ENDED = 3,
  REINSTALL_OUTCOME_MUTEX_NAME = 4,
  REINSTALL_OUTCOME_INSTALL_PATH = 5,
  REINSTALL_OUTCOME_SENTENCE = 6
};
REINSTALL_C_API int reinstall_outcome_text(const reinstall_outcome* outcome,
                                           int which,
                                           char* buffer,
                                           size_t size,
                                           size_t* length) REINSTALL_NOEXCEPT;
REINSTALL_C_API void reinstall_outcome_release(reinstall_outcome* outcome) REINSTALL_NOEXCEPT;
/* Since 2.4: a path for `application`'s outcome record in the user's local application data
 * (its folders created), copied as above; REINSTALL_INVALID_VALUE when there is none to be had
 * or the name is not a plain folder name. */
REINSTALL_C_API int reinstall_default_outcome_path(const char* application,
                                                   char* buffer,
                                                   size_t size,
                                                   size_t* length) REINSTALL_NOEXCEPT;

/* Starts the launcher for `request` (outside the application's job where it can, inheriting no
 * handle) and confirms for `confirm_ms` (at most REINSTALL_LONGEST_CONFIRM_MS) that it runs.
 * Returns the problem code (REINSTALL_OK when the hand-over will happen once the application quits)
 * and, unless `*handover` is NULL on REINSTALL_BAD_ARGUMENT / REINSTALL_OUT_OF_MEMORY, the result
 * to read and release. */
REINSTALL_C_API int reinstall_hand_over(const reinstall_request* request,
                                        uint32_t confirm_ms,
                                        reinstall_handover** handover) REINSTALL_NOEXCEPT;
/* The result: the failed step (REINSTALL_STEP_*), the problem like reinstall_problems_get, the
 * REINSTALL_BROKE_AWAY / _REMAINS_IN_JOB / _JOB_KILLS_ON_CLOSE / _FOREGROUND_ALLOWED flags, the
 * launcher's process id
 * (0 when it was not started). */
REINSTALL_C_API int reinstall_handover_step(const reinstall_handover* handover) REINSTALL_NOEXCEPT;
REINSTALL_C_API int reinstall_handover_problem(const reinstall_handover* handover,
                                               int* field,
                                               uint32_t* system_error,
                                               char* buffer,
                                               size_t size,
                                               size_t* length) REINSTALL_NOEXCEPT;
REINSTALL_C_API uint32_t reinstall_handover_flags(const reinstall_handover* handover)
    REINSTALL_NOEXCEPT;
REINSTALL_C_API uint32_t reinstall_handover_launcher_id(const reinstall_handover* handover)
    REINSTALL_NOEXCEPT;
/* Releases the result; the launcher runs on. */
REINSTALL_C_API void reinstall_handover_release(reinstall_handover* handover) REINSTALL_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* REINSTALL_HANDOVER_C_H_ */
