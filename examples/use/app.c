/* Hands over to the launcher and quits: myapp_c INSTALLER [PARAMETERS [SHA256]] */
#include <stdio.h>
#include <string.h>

#include "reinstall/handover_c.h"

int main(int argc, char** argv) {
  reinstall_mutex* mutex = NULL;
  reinstall_problems* problems = NULL;
  reinstall_handover* handover = NULL;
  reinstall_request request = {sizeof(reinstall_request)}; /* launcher NULL: the one beside
                                                              the library or the program */
  uint32_t error = 0;
  size_t count, i, length;
  char message[1024];
  char outcome_path[4096];
  reinstall_outcome* last = NULL;
  int field, code;

  if (argc < 2) {
    fprintf(stderr, "usage: myapp_c INSTALLER [PARAMETERS [SHA256]]\n");
    return 2;
  }
  /* 1. At start-up: hold the mutex for as long as the application runs. */
  code = reinstall_mutex_create("MyCompany.MyApp", &mutex, &error);
  if (code != REINSTALL_OK) {
    if (code == REINSTALL_MUTEX_UNAVAILABLE) {
      fprintf(stderr, "another instance runs, or the system refused the mutex (error %u)\n",
              (unsigned)error);
    } else {
      fprintf(stderr, "cannot create the mutex: %s\n", reinstall_code_name(code));
    }
    return 1;
  }
  /* 5. At the next start: how did the last hand-over end? Tell the user when it failed (and
   *    compare the running version with the one the update was to install). */
  if (reinstall_default_outcome_path("MyCompany.MyApp", outcome_path, sizeof outcome_path,
                                     &length) == REINSTALL_OK &&
      reinstall_read_outcome(outcome_path, &last) == REINSTALL_OK) {
    reinstall_outcome_text(last, REINSTALL_OUTCOME_NAME, message, sizeof message, &length);
    if (reinstall_outcome_state(last) != REINSTALL_OUTCOME_ABSENT &&
        strcmp(message, "installer-started") != 0) {
      reinstall_outcome_text(last, REINSTALL_OUTCOME_SENTENCE, message, sizeof message, &length);
      fprintf(stderr, "the last update: %s\n", message);
    }
    reinstall_outcome_release(last);
    request.outcome_path = outcome_path; /* for step 5 at the next start */
  }

  /* [handover] */
  /* 2. The application runs; it downloads the installer and names what it must be: the SHA-256
   *    from its update manifest (and, signed, request.install_signer: thumbprints between
   *    commas, reinstall_signer_of_this_program gives its own). Verify, then hand over. */
  request.mutex_name = "MyCompany.MyApp";
  request.install_path = argv[1];
  request.parameters = argc > 2 ? argv[2] : "";
  request.install_sha256 = argc > 3 ? argv[3] : NULL;

  /* 3. Before quitting: check, then start the launcher. */
  if (reinstall_preflight(&request, &problems) != REINSTALL_OK) {
    return 1;
  }
  count = reinstall_problems_count(problems);
  for (i = 0; i < count; ++i) {
    code = reinstall_problems_get(problems, i, &field, &error, message, sizeof message, &length);
    fprintf(stderr, "%s: %s\n", reinstall_code_name(code), message);
  }
  reinstall_problems_release(problems);
  if (count > 0) {
    return 1;
  }
  code = reinstall_hand_over(&request, 250, &handover);
  if (code != REINSTALL_OK) {
    /* Without a result (a bad argument, no memory) there is no message to read. */
    if (handover == NULL || reinstall_handover_problem(handover, &field, &error, message,
                                                       sizeof message, &length) < 0) {
      fprintf(stderr, "hand-over failed: %s\n", reinstall_code_name(code));
    } else {
      fprintf(stderr, "%s\n", message);
    }
  }
  reinstall_handover_release(handover);

  /* [/handover] */
  /* 4. Quit: the launcher starts the installer once the mutex is gone. */
  return code == REINSTALL_OK ? 0 : 1;
}
