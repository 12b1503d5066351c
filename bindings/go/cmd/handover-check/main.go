//go:build windows

// handover-check runs the Go binding under Wine for the tests:
//
//	handover-check DLL vectors VECTORS.json      checks every golden vector and refusal, then again
//	                                             from many goroutines whose stacks grow around each
//	                                             call; prints "N passed, M failed"
//	handover-check DLL outcomes OUTCOMES.json FOLDER  reads every golden outcome record from
//	                                             FOLDER; prints "N passed, M failed"
//	handover-check DLL marked LAUNCHER INSTALLER    marks INSTALLER as downloaded from the Internet,
//	                                             prints Preflight's codes, removes the mark, prints
//	                                             them again: "marked=CODES removed=BOOL after=CODES"
//	handover-check DLL hand-over LAUNCHER INSTALLER PARAMETERS HOLD_MS
//	                                             holds its mutex, preflight, hand over, prints
//	                                             "code=NAME", holds HOLD_MS more and quits
package main

import (
	"encoding/hex"
	"encoding/json"
	"fmt"
	"os"
	"runtime"
	"strconv"
	"sync"
	"time"

	"reinstall.example/handover/reinstall"
)

type vector struct {
	Launcher, MutexName, InstallPath, Parameters string
	InstallSha256, LauncherSha256                string
	InstallSigner                                []string
	CommandLine                                  *string
	RefusedField, Refusal                        string
}

type refusal struct {
	Field, Value, ValueHex, Kind string
}

// checkVector reports whether the binding gives the vector's command line or its refusal.
func checkVector(lib *reinstall.Library, v vector) bool {
	line, err := lib.BuildCommandLine(reinstall.Request{Launcher: v.Launcher,
		MutexName: v.MutexName, InstallPath: v.InstallPath, Parameters: v.Parameters,
		InstallSha256: v.InstallSha256, InstallSigner: v.InstallSigner,
		LauncherSha256: v.LauncherSha256})
	refusal, refused := err.(*reinstall.HandoverError)
	return (v.CommandLine != nil && err == nil && line == *v.CommandLine) ||
		(v.CommandLine == nil && refused && refusal.Field == v.RefusedField &&
			refusal.Message == v.Refusal)
}

// checkRefusal reports whether Preflight and HandOver refuse the value as invalid-value on its
// field. Go strings hold NULs and bytes that are not UTF-8, not unpaired surrogates.
func checkRefusal(lib *reinstall.Library, r refusal) bool {
	value := r.Value
	if r.ValueHex != "" {
		raw, err := hex.DecodeString(r.ValueHex)
		if err != nil {
			return false
		}
		value = string(raw)
	}
	values := map[string]string{"launcher": `C:\r.exe`, "mutexName": "m", "installPath": `C:\x.exe`,
		"parameters": ""}
	values[r.Field] = value
	req := reinstall.Request{Launcher: values["launcher"], MutexName: values["mutexName"],
		InstallPath: values["installPath"], Parameters: values["parameters"]}
	problems, err := lib.Preflight(req)
	reported := false
	for _, p := range problems {
		reported = reported || (p.Name == "invalid-value" && p.Field == r.Field)
	}
	result, err2 := lib.HandOver(req, 250)
	return err == nil && err2 == nil && reported && !result.OK && result.Step == 1 &&
		result.Problem.Field == r.Field
}

// grow calls f at the bottom of `depth` frames that each hold a kilobyte, so the goroutine's
// stack grows (and moves) around the calls into the library.
func grow(depth int, f func() bool) bool {
	var pad [1024]byte
	pad[depth%len(pad)] = byte(depth)
	if depth == 0 {
		return f() && pad[0] == 0
	}
	return grow(depth-1, f) && pad[depth%len(pad)] == byte(depth)
}

func vectors(lib *reinstall.Library, path string) int {
	data, err := os.ReadFile(path)
	if err != nil {
		fmt.Println(err)
		return 2
	}
	var doc struct {
		Vectors  []vector
		Refusals []refusal
	}
	if err := json.Unmarshal(data, &doc); err != nil {
		fmt.Println(err)
		return 2
	}
	checks := []func() bool{}
	for _, v := range doc.Vectors {
		v := v
		if v.Launcher == "" {
			continue // in Go an empty launcher is the one beside the library, not a refusal
		}
		checks = append(checks, func() bool { return checkVector(lib, v) })
	}
	for _, r := range doc.Refusals {
		if r := r; r.Kind != "surrogate" {
			checks = append(checks, func() bool { return checkRefusal(lib, r) })
		}
	}
	passed, failed := 0, 0
	for i, check := range checks {
		if check() {
			passed++
		} else {
			failed++
			fmt.Printf("FAILED: check %d\n", i)
		}
	}
	// Every check again from fresh goroutines, at depths that make their stacks grow.
	var mu sync.Mutex
	var wg sync.WaitGroup
	for g := 0; g < 32; g++ {
		wg.Add(1)
		go func(g int) {
			defer wg.Done()
			for i, check := range checks {
				ok := grow((g*7+i)%24, check)
				mu.Lock()
				if ok {
					passed++
				} else {
					failed++
					fmt.Printf("FAILED under stack growth: goroutine %d, check %d\n", g, i)
				}
				mu.Unlock()
			}
		}(g)
	}
	wg.Wait()
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

// outcomes writes each golden record's text into folder and checks what ReadOutcome makes of it.
func outcomes(lib *reinstall.Library, path, folder string) int {
	data, err := os.ReadFile(path)
	if err != nil {
		fmt.Println(err)
		return 2
	}
	var doc struct {
		Records []struct {
			About string
			Text  *string
			reinstall.OutcomeRecord
		}
	}
	if err := json.Unmarshal(data, &doc); err != nil {
		fmt.Println(err)
		return 2
	}
	passed, failed := 0, 0
	for i, r := range doc.Records {
		at := fmt.Sprintf(`%s\%d.json`, folder, i)
		if r.Text != nil {
			if err := os.WriteFile(at, []byte(*r.Text), 0o600); err != nil {
				fmt.Println(err)
				return 2
			}
		}
		got, err := lib.ReadOutcome(at)
		if err == nil && got == r.OutcomeRecord {
			passed++
		} else {
			failed++
			fmt.Printf("FAILED: %s: %+v %v\n", r.About, got, err)
		}
	}
	fmt.Printf("%d passed, %d failed\n", passed, failed)
	if failed != 0 || passed == 0 {
		return 1
	}
	return 0
}

func codes(lib *reinstall.Library, req reinstall.Request) string {
	problems, err := lib.Preflight(req)
	if err != nil {
		return err.Error()
	}
	names := ""
	for _, p := range problems {
		names += p.Name + ":" + p.Field + ";"
	}
	return names
}

func marked(lib *reinstall.Library, args []string) int {
	runtime.LockOSThread()
	mutex, err := lib.NewMutex("ReinstallGoMarked")
	if err != nil {
		fmt.Println("mutex:", err)
		return 3
	}
	defer mutex.Close()
	req := reinstall.Request{Launcher: args[0], MutexName: "ReinstallGoMarked", InstallPath: args[1]}
	mark := "[ZoneTransfer]\r\nZoneId=3\r\n"
	if err := os.WriteFile(args[1]+":Zone.Identifier", []byte(mark), 0o644); err != nil {
		fmt.Println("mark:", err)
		return 3
	}
	before := codes(lib, req)
	removed, err := lib.RemoveDownloadMark(args[1])
	fmt.Printf("marked=%s removed=%v after=%s error=%v\n", before, removed, codes(lib, req), err)
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
	case os.Args[2] == "outcomes" && len(os.Args) == 5:
		os.Exit(outcomes(lib, os.Args[3], os.Args[4]))
	case os.Args[2] == "marked" && len(os.Args) == 5:
		os.Exit(marked(lib, os.Args[3:]))
	case os.Args[2] == "hand-over" && len(os.Args) == 7:
		os.Exit(handOver(lib, os.Args[3:]))
	}
	os.Exit(2)
}
