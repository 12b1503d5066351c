// Hands over to the launcher and quits: App.exe INSTALLER [PARAMETERS [SHA256]]
using System;
using Reinstall;

static class App {
  const string MutexName = "MyCompany.MyApp";

  static int Main(string[] args) {
    // 1. At start-up: hold the mutex for as long as the application runs.
    var mutex = new ReinstallHandover.ApplicationMutex(MutexName);

    // 5. At the next start: how did the last hand-over end? Tell the user when it failed (and
    //    compare the running version with the one the update was to install).
    string outcomePath = ReinstallHandover.DefaultOutcomePath(MutexName);
    OutcomeRecord last = ReinstallHandover.ReadOutcome(outcomePath);
    if (last.State != "absent" && last.Outcome != "installer-started")
      Console.Error.WriteLine("the last update: " + last.Sentence);

    // [handover]
    // 2. The application runs; it downloads the installer and names what it must be: the
    //    SHA-256 from its update manifest (signed: InstallSigner =
    //    { ReinstallHandover.SignerOfThisProgram() }). Verify, then hand over: the launcher
    //    starts exactly these bytes.
    var request = new HandoverRequest(MutexName, args[0], args.Length > 1 ? args[1] : "") {
      InstallSha256 = args.Length > 2 ? args[2] : "",
      OutcomePath = outcomePath  // for step 5 at the next start
    };

    // 3. Before quitting: check, then start the launcher.
    var problems = ReinstallHandover.Preflight(request);
    foreach (Problem problem in problems)
      Console.Error.WriteLine(problem.Name + ": " + problem.Message);
    if (problems.Count > 0) return 1;
    HandoverResult result = ReinstallHandover.HandOver(request);
    if (!result.Ok) {
      Console.Error.WriteLine(result.Problem.Message);
      return 1;
    }

    // [/handover]
    // 4. Quit (Application.Exit() in WinForms): the launcher starts the installer once the
    // mutex is gone.
    GC.KeepAlive(mutex);
    return 0;
  }
}
