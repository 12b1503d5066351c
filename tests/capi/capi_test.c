/* The C interface from a C program, natively and under Wine.
 *
 *   capi_test vectors FILE
 *       checks every golden vector in FILE (tests/capi/test_capi.py writes them there, one a
 *       line: launcher, mutex name, install path, parameters, then "ok" and the command line or
 *       the refused field's number and the refusal; each text as hex digits, "-" for empty) and
 *       prints "N passed, M failed".
 *   capi_test cut
 *       checks how texts are cut to the caller's buffer (see Cut).
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
  static char line[65536], words[9][8192], fields[9][4096];
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
    reinstall_request request = {
        sizeof(reinstall_request), NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL};
    if (sscanf(line, "%8191s %8191s %8191s %8191s %8191s %8191s %8191s %8191s %8191s", words[0],
               words[1], words[2], words[3], words[4], words[5], words[6], words[7],
               words[8]) != 9) {
      continue;
    }
    for (i = 0; i < 9; ++i) {
      if (i != 4 && !Unhex(words[i], fields[i], sizeof fields[i])) {
        ok = 0;
      }
    }
    request.launcher = fields[0];
    request.mutex_name = fields[1];
    request.install_path = fields[2];
    request.parameters = fields[3];
    request.install_sha256 = fields[6];
    request.install_signer = fields[7];
    request.launcher_sha256 = fields[8];
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
  reinstall_request request = {
      sizeof(reinstall_request), NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL};
  char message[1024] = "";
  uint32_t error = 0;
  int code = reinstall_mutex_create("ReinstallCApi", &mutex, &error);
  if (code != REINSTALL_OK) {
    printf("mutex %s, system error %u\n", reinstall_code_name(code), (unsigned)error);
    return 3;
  }
  request.launcher = strcmp(argv[2], "-") == 0 ? NULL : argv[2]; /* NULL: the one beside */
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

/* Every text the interface copies out, into buffers of 1, length and length + 1 bytes with a
 * guard byte after each: the text is cut to size - 1 bytes and ended by a NUL, the byte after the
 * buffer is never written, and the whole length is told each time. Prints "cut: N failed". */
static int Cut(void) {
  reinstall_request request = {
      sizeof(reinstall_request), "/r", "m", "/x", "/S", NULL, NULL, NULL, NULL};
  reinstall_problems* problems = NULL;
  size_t full[2] = {0, 0};
  int failed = 0, text, i;
  if (reinstall_build_command_line(&request, NULL, 0, &full[0], NULL) != REINSTALL_OK ||
      reinstall_preflight(&request, &problems) != REINSTALL_OK ||
      reinstall_problems_count(problems) == 0) {
    printf("cut: no texts to cut\n");
    return 1;
  }
  reinstall_problems_get(problems, 0, NULL, NULL, NULL, 0, &full[1]);
  for (text = 0; text < 2; ++text) {
    const size_t sizes[3] = {1, full[text], full[text] + 1};
    for (i = 0; i < 3; ++i) {
      char buffer[4096];
      const size_t size = sizes[i], kept = size - 1 < full[text] ? size - 1 : full[text];
      size_t length = 0;
      memset(buffer, 'G', sizeof buffer);
      if (text == 0) {
        reinstall_build_command_line(&request, buffer, size, &length, NULL);
      } else {
        reinstall_problems_get(problems, 0, NULL, NULL, buffer, size, &length);
      }
      if (length != full[text] || buffer[kept] != '\0' || buffer[size] != 'G' ||
          memchr(buffer, '\0', kept) != NULL) {
        const char* nul = (const char*)memchr(buffer, '\0', size);
        printf("text %d, size %u: length %u, NUL at %d, guard '%c'\n", text, (unsigned)size,
               (unsigned)length, nul != NULL ? (int)(nul - buffer) : -1, buffer[size]);
        ++failed;
      }
    }
  }
  reinstall_problems_release(problems);
  printf("cut: %d failed\n", failed);
  return failed == 0 ? 0 : 1;
}

int main(int argc, char** argv) {
  const uint32_t version = reinstall_interface_version();
  if (version >> 16 != REINSTALL_HANDOVER_C_VERSION_MAJOR ||
      (int)(version & 0xFFFF) < REINSTALL_HANDOVER_C_VERSION_MINOR) {
    printf("interface version %u.%u, built for %d.%d\n", (unsigned)(version >> 16),
           (unsigned)(version & 0xFFFF), REINSTALL_HANDOVER_C_VERSION_MAJOR,
           REINSTALL_HANDOVER_C_VERSION_MINOR);
    return 2;
  }
  if (argc == 2 && strcmp(argv[1], "cut") == 0) {
    return Cut();
  }
  if (argc == 3 && strcmp(argv[1], "vectors") == 0) {
    return Vectors(argv[2]);
  }
  if (argc == 6 && strcmp(argv[1], "hand-over") == 0) {
    return HandOver(argv);
  }
  fprintf(stderr,
          "usage: capi_test vectors FILE | cut | hand-over LAUNCHER|- INSTALLER PARAMETERS MS\n");
  return 2;
}
