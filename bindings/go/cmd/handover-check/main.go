//go:build windows

// handover-check runs the Go binding under Wine for the tests:
//
//	handover-check DLL vectors VECTORS.json      checks every golden vector, prints "N passed, M failed"
//	handover-check DLL hand-over LAUNCHER INSTALLER PARAMETERS HOLD_MS
//	                                             holds its mutex, preflight, hand over, prints
//	                                             "code=NAME", holds HOLD_MS more and quits
package main

import (
	"encoding/json"
	"fmt"
	"os"
	"runtime"
	"strconv"
	"time"

	"reinstall.example/handover/reinstall"
)

type vector struct {
	Launcher, MutexName, InstallPath, Parameters string
	CommandLine                                  *string
	RefusedField, Refusal                        string
}

func vectors(lib *reinstall.Library, path string) int {
	data, err := os.ReadFile(path)
	if err != nil {
		fmt.Println(err)
		return 2
	}
	var doc struct{ Vectors []vector }
	if err := json.Unmarshal(data, &doc); err != nil {
		fmt.Println(err)
		return 2
	}
	passed, failed := 0, 0
	for _, v := range doc.Vectors {
		line, err := lib.BuildCommandLine(reinstall.Request{Launcher: v.Launcher,
			MutexName: v.MutexName, InstallPath: v.InstallPath, Parameters: v.Parameters})
		refusal, refused := err.(*reinstall.HandoverError)
		ok := (v.CommandLine != nil && err == nil && line == *v.CommandLine) ||
			(v.CommandLine == nil && refused && refusal.Field == v.RefusedField &&
				refusal.Message == v.Refusal)
		if ok {
			passed++
		} else {
			failed++
			fmt.Printf("FAILED: %q -> %q %v\n", v.Parameters, line, err)
		}
	}
	fmt.Printf("%d passed, %d failed\n", passed, failed)
	if failed > 0 || passed == 0 {
		return 1
	}
	return 0
}

func handOver(lib *reinstall.Library, args []string) int {
	runtime.LockOSThread() // the mutex is released on the thread that took it
	mutex, err := lib.NewMutex("ReinstallGo")
	if err != nil {
		fmt.Println("mutex:", err)
		return 3
	}
	defer mutex.Close()
	req := reinstall.Request{Launcher: args[0], MutexName: "ReinstallGo", InstallPath: args[1],
		Parameters: args[2]}
	problems, err := lib.Preflight(req)
	switch {
	case err != nil:
		fmt.Println(err)
		return 1
	case len(problems) > 0:
		fmt.Printf("code=%s\nmessage=%s\n", problems[0].Name, problems[0].Message)
		return 1
	}
	result, err := lib.HandOver(req, 250)
	if err != nil {
		fmt.Println(err)
		return 1
	}
	fmt.Printf("code=%s\nmessage=%s\nlauncher=%d\n", result.Problem.Name, result.Problem.Message,
		result.LauncherID)
	hold, _ := strconv.Atoi(args[3])
	time.Sleep(time.Duration(hold) * time.Millisecond)
	if !result.OK {
		return 1
	}
	return 0
}

func main() {
	if len(os.Args) < 3 {
		fmt.Println("usage: handover-check DLL vectors FILE | DLL hand-over LAUNCHER INSTALLER PARAMETERS HOLD_MS")
		os.Exit(2)
	}
	lib, err := reinstall.Load(os.Args[1])
	if err != nil {
		fmt.Println(err)
		os.Exit(2)
	}
	switch {
	case os.Args[2] == "vectors" && len(os.Args) == 4:
		os.Exit(vectors(lib, os.Args[3]))
	case os.Args[2] == "hand-over" && len(os.Args) == 7:
		os.Exit(handOver(lib, os.Args[3:]))
	}
	os.Exit(2)
}
