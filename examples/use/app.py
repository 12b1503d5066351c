"""Hands over to the launcher and quits: python app.py INSTALLER [PARAMETERS [SHA256]]"""
import sys

import reinstall_handover as rh

MUTEX = "MyCompany.MyApp"


def main():
    # 1. At start-up: hold the mutex for as long as the application runs.
    mutex = rh.ApplicationMutex(MUTEX)

    # 5. At the next start: how did the last hand-over end? Tell the user when it failed (and
    #    compare the running version with the one the update was to install).
    outcome_path = rh.default_outcome_path(MUTEX)
    last = rh.read_outcome(outcome_path)
    if last.state != "absent" and last.outcome != "installer-started":
        print(f"the last update: {last.sentence}", file=sys.stderr)

    # [handover]
    # 2. The application runs; it downloads the installer and names what it must be: the SHA-256
    #    from its update manifest (signed: install_signer=[rh.signer_of_this_program()]).
    #    Verify, then hand over: the launcher starts exactly these bytes.
    request = rh.HandoverRequest(mutex_name=MUTEX, install_path=sys.argv[1],
                                 parameters=sys.argv[2] if len(sys.argv) > 2 else "",
                                 install_sha256=sys.argv[3] if len(sys.argv) > 3 else "",
                                 outcome_path=outcome_path)  # for step 5 at the next start

    # 3. Before quitting: check, then start the launcher.
    problems = rh.preflight(request)
    for problem in problems:
        print(f"{problem.name}: {problem.message}", file=sys.stderr)
    if problems:
        return 1
    result = rh.hand_over(request)
    if not result.ok:
        print(result.problem.message, file=sys.stderr)
        return 1

    # [/handover]
    # 4. Quit: the launcher starts the installer once the mutex is gone.
    mutex.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
