// Hands over to the launcher and quits: myapp.exe INSTALLER [PARAMETERS [SHA256]]
package main

import (
	"fmt"
	"os"
	"runtime"

	"reinstall.example/handover/reinstall"
)

const mutexName = "MyCompany.MyApp"

func main() {
	os.Exit(run())
}

func run() int {
	runtime.LockOSThread()       // a mutex belongs to the thread that took it
	lib, err := reinstall.Open() // the launcher and DLL this module carries
	if err != nil {
		fmt.Fprintln(os.Stderr, err)
		return 1
	}

	// 1. At start-up: hold the mutex for as long as the application runs.
	mutex, err := lib.NewMutex(mutexName)
	if err != nil {
		fmt.Fprintln(os.Stderr, "another instance runs:", err)
		return 1
	}
	defer mutex.Close()

	// 5. At the next start: how did the last hand-over end? Tell the user when it failed (and
	//    compare the running version with the one the update was to install).
	outcomePath, err := lib.DefaultOutcomePath(mutexName)
	if err == nil {
		if last, err := lib.ReadOutcome(outcomePath); err == nil && last.State != "absent" &&
			last.Outcome != "installer-started" {
			fmt.Fprintln(os.Stderr, "the last update:", last.Sentence)
		}
	}

	// [handover]
	// 2. The application runs; it downloads the installer and names what it must be: the
	//    SHA-256 from its update manifest (signed: InstallSigner:
	//    []string{lib.SignerOfThisProgram()}). Verify, then hand over: the launcher starts
	//    exactly these bytes.
	req := reinstall.Request{MutexName: mutexName, InstallPath: os.Args[1],
		OutcomePath: outcomePath} // for step 5 at the next start
	if len(os.Args) > 2 {
		req.Parameters = os.Args[2]
	}
	if len(os.Args) > 3 {
		req.InstallSha256 = os.Args[3]
	}

	// 3. Before quitting: check, then start the launcher.
	problems, err := lib.Preflight(req)
	for _, p := range problems {
		fmt.Fprintf(os.Stderr, "%s: %s\n", p.Code, p.Message)
	}
	if err != nil || len(problems) > 0 {
		return 1
	}
	result, err := lib.HandOver(req, 250)
	if err != nil || !result.OK {
		fmt.Fprintln(os.Stderr, "hand-over failed:", err, result.Problem.Message)
		return 1
	}

	// [/handover]
	// 4. Quit: the launcher starts the installer once the mutex is gone.
	return 0
}
