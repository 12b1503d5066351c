/* The C interface from a C program, natively and under Wine.
 *
 *   capi_test vectors FILE
 *       checks every golden vector in FILE (tests/capi/test_capi.py writes them there, one a
 *       line: launcher, mutex name, install path, parameters, then "ok" and the command line or
 *       the refused field's number and the refusal; each text as hex digits, "-" for empty) and
 *       prints "N passed, M failed".
 *   capi_test hand-over LAUNCHER INSTALLER PARAMETERS HOLD_MS
 *       as an application: holds the mutex "ReinstallCApi", runs the preflight and hands over,
 *       prints the code it got, holds the mutex HOLD_MS longer and quits. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "reinstall/handover_c.h"

#if defined(_WIN32)
#include <windows.h>
static void SleepMs(unsigned ms) {
  Sleep(ms);
}
#else
#include <time.h>
static void SleepMs(unsigned ms) {
  struct timespec t = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
  nanosleep(&t, NULL);
}
#endif

/* Decodes the hex word `hex` ("-" for empty) into `out`, which has room for `size` bytes. */
static int Unhex(const char* hex, char* out, size_t size) {
  size_t n = 0;
  if (strcmp(hex, "-") == 0) {
    out[0] = '\0';
    return 1;
  }
  for (; hex[0] != '\0' && hex[1] != '\0' && n + 1 < size; hex += 2) {
    unsigned byte = 0;
    if (sscanf(hex, "%2x", &byte) != 1) {
      return 0;
    }
    out[n++] = (char)byte;
  }
  out[n] = '\0';
  return hex[0] == '\0';
}

static int Vectors(const char* path) {
  static char line[65536], words[7][8192], fields[7][4096];
  int passed = 0, failed = 0;
  FILE* in = fopen(path, "r");
  if (in == NULL) {
    perror(path);
    return 2;
  }
  while (fgets(line, sizeof line, in) != NULL) {
    char result[4096];
    size_t length = 0;
    int field = -1, code, i, ok = 1;
    reinstall_request request;
    if (sscanf(line, "%8191s %8191s %8191s %8191s %8191s %8191s", words[0], words[1], words[2],
               words[3], words[4], words[5]) != 6) {
      continue;
    }
    for (i = 0; i < 6; ++i) {
      if (i != 4 && !Unhex(words[i], fields[i], sizeof fields[i])) {
        ok = 0;
      }
    }
    request.launcher = fields[0];
    request.mutex_name = fields[1];
    request.install_path = fields[2];
    request.parameters = fields[3];
    code = reinstall_build_command_line(&request, result, sizeof result, &length, &field);
    if (strcmp(words[4], "ok") == 0) {
      ok = ok && code == REINSTALL_OK && field == REINSTALL_FIELD_NONE;
    } else {
      ok = ok && code == REINSTALL_INVALID_VALUE && field == atoi(words[4]);
    }
    ok = ok && strcmp(result, fields[5]) == 0 && length == strlen(fields[5]);
    if (ok) {
      ++passed;
    } else {
      ++failed;
      printf("FAILED: %s -> code %d field %d: %s\n", fields[3], code, field, result);
    }
  }
  fclose(in);
  printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 && passed > 0 ? 0 : 1;
}

static int HandOver(char** argv) {
  reinstall_mutex* mutex = NULL;
  reinstall_problems* problems = NULL;
  reinstall_handover* handover = NULL;
  reinstall_request request;
  char message[1024] = "";
  int code;
  const uint32_t error = reinstall_mutex_create("ReinstallCApi", &mutex);
  if (error != 0) {
    printf("mutex error %u\n", (unsigned)error);
    return 3;
  }
  request.launcher = argv[2];
  request.mutex_name = "ReinstallCApi";
  request.install_path = argv[3];
  request.parameters = argv[4];
  code = reinstall_preflight(&request, &problems);
  if (code == REINSTALL_OK && reinstall_problems_count(problems) > 0) {
    code = reinstall_problems_get(problems, 0, NULL, NULL, message, sizeof message, NULL);
  } else if (code == REINSTALL_OK) {
    code = reinstall_hand_over(&request, 250, &handover);
    reinstall_handover_problem(handover, NULL, NULL, message, sizeof message, NULL);
    if (reinstall_handover_launcher_id(handover) == 0 && code == REINSTALL_OK) {
      code = REINSTALL_BAD_ARGUMENT;
    }
  }
  printf("code=%s\nmessage=%s\n", reinstall_code_name(code), message);
  fflush(stdout);
  reinstall_problems_release(problems);
  reinstall_handover_release(handover);
  SleepMs((unsigned)atoi(argv[5]));
  reinstall_mutex_release(mutex);
  return code == REINSTALL_OK ? 0 : 1;
}

int main(int argc, char** argv) {
  if (reinstall_interface_version() != REINSTALL_HANDOVER_C_VERSION) {
    printf("interface version %u, built for %d\n", (unsigned)reinstall_interface_version(),
           REINSTALL_HANDOVER_C_VERSION);
    return 2;
  }
  if (argc == 3 && strcmp(argv[1], "vectors") == 0) {
    return Vectors(argv[2]);
  }
  if (argc == 6 && strcmp(argv[1], "hand-over") == 0) {
    return HandOver(argv);
  }
  fprintf(stderr, "usage: capi_test vectors FILE | hand-over LAUNCHER INSTALLER PARAMETERS MS\n");
  return 2;
}
