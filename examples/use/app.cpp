// Hands over to the launcher and quits: myapp INSTALLER [PARAMETERS [SHA256]]
#include <chrono>
#include <cstdio>

#include "reinstall/handover.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: myapp INSTALLER [PARAMETERS [SHA256]]\n");
    return 2;
  }
  // 1. At start-up: hold the mutex for as long as the application runs.
  reinstall::ApplicationMutex mutex("MyCompany.MyApp");
  if (!mutex.held()) {
    std::fprintf(stderr, "another instance runs (error %u)\n",
                 static_cast<unsigned>(mutex.error()));
    return 1;
  }
  // 5. At the next start: how did the last hand-over end? Tell the user when it failed. (One
  //    that knows the version the update was to install compares it with its own: "the
  //    installer was started" says the installer ran, not what it did.)
  const std::string outcomePath = reinstall::DefaultOutcomePath("MyCompany.MyApp");
  const reinstall::OutcomeRecord last = reinstall::ReadOutcome(outcomePath);
  if (last.state != reinstall::OutcomeState::kAbsent && last.outcome != "installer-started") {
    std::fprintf(stderr, "the last update: %s\n", last.sentence.c_str());
  }

  // [handover]
  // 2. The application runs; it downloads the installer and names what it must be: the SHA-256
  //    from its update manifest (a signed application adds its own signer:
  //    request.installSigner = {reinstall::SignerOfThisProgram()}; that is "" in an unsigned
  //    program, which Preflight refuses: leave the list empty there). Verify, then hand over:
  //    the launcher starts exactly these bytes.
  reinstall::HandoverRequest request;
  request.launcher = reinstall::LauncherBesideProgram();  // CMake copied it there
  request.mutexName = "MyCompany.MyApp";
  request.installPath = argv[1];
  request.parameters = argc > 2 ? argv[2] : "";
  request.installSha256 = argc > 3 ? argv[3] : "";
  request.outcomePath = outcomePath;  // for step 5 at the next start

  // 3. Before quitting: check, then start the launcher.
  const std::vector<reinstall::Problem> problems = reinstall::Preflight(request);
  for (const reinstall::Problem& problem : problems) {
    std::fprintf(stderr, "%s: %s\n", reinstall::ProblemCodeName(problem.code),
                 problem.message.c_str());
  }
  if (!problems.empty()) {
    return 1;
  }
  const reinstall::HandoverResult result =
      reinstall::HandOver(request, std::chrono::milliseconds(250));
  if (!result.ok()) {
    std::fprintf(stderr, "%s\n", result.problem.message.c_str());
    return 1;
  }

  // [/handover]
  // 4. Quit: the launcher starts the installer once the mutex is gone.
  return 0;
}
