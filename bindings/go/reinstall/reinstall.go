//go:build windows

// Package reinstall hands over to the reinstall launcher from Go, through the C interface in
// reinstall_handover.dll, loaded with the syscall package (no cgo).
//
//	lib, err := reinstall.Open() // the launcher and DLL this module carries
//	mutex, err := lib.NewMutex("MyCompany.MyApp") // at start-up; keep it
//	req := reinstall.Request{MutexName: "MyCompany.MyApp", InstallPath: installer,
//		Parameters: "/S", InstallSha256: manifest.SHA256, // verify, then hand over
//		InstallSigner: []string{lib.SignerOfThisProgram()}}
//	if problems, _ := lib.Preflight(req); len(problems) == 0 {
//		if res, _ := lib.HandOver(req, 250); res.OK { os.Exit(0) }
//	}
package reinstall

import (
	"fmt"
	"path/filepath"
	"strings"
	"syscall"
	"unsafe"
)

// The C interface this package speaks: the same major, a minor at least this new.
const (
	InterfaceMajor = 2
	InterfaceMinor = 4
)

// Code is a problem code, as the C interface numbers them.
type Code int

const (
	CodeNone Code = iota
	CodeInvalidValue
	CodeMutexNameInvalid
	CodeInstallPathRelative
	CodeLauncherMissing
	CodeLauncherNotExecutable
	CodeInstallFileRejected
	CodeNoOpenProgram
	CodeMutexNotHeld
	CodeMutexUnusable
	CodeJobKillsLauncher
	CodeStartFailed
	CodeBreakawayRefused
	CodeLauncherEndedEarly
	CodePathTooLong
	CodeMutexUnavailable
	CodeInstallFileMarked
	CodeInstallFileChanged
	CodeInstallFileSigner
	CodeLauncherChanged
	CodeOutcomePathUnusable
)

var codeNames = []string{"none", "invalid-value", "mutex-name-invalid", "install-path-relative",
	"launcher-missing", "launcher-not-executable", "install-file-rejected", "no-open-program",
	"mutex-not-held", "mutex-unusable", "job-kills-launcher", "start-failed", "breakaway-refused",
	"launcher-ended-early", "path-too-long", "mutex-unavailable", "install-file-marked",
	"install-file-changed", "install-file-signer", "launcher-changed", "outcome-path-unusable"}

// String is the code's stable name: "mutex-not-held" and so on.
func (c Code) String() string {
	if c < 0 || int(c) >= len(codeNames) {
		return "unknown"
	}
	return codeNames[c]
}

// Step is the step of HandOver that failed.
type Step int

const (
	StepNone Step = iota
	StepCheckRequest
	StepStartProcess
	StepBreakaway
	StepConfirm
	StepVerify
)

var fields = []string{"", "launcher", "mutexName", "installPath", "parameters", "confirm",
	"installSha256", "installSigner", "launcherSha256", "outcomePath"}

// Request is what the application hands over. An empty Launcher is the launcher beside the
// library: the one this module carries, after Open, checked against its digest while the helper
// holds it. The checks are optional: InstallSha256 is the install file's SHA-256 from the update
// manifest, InstallSigner the SHA-256 thumbprints of the certificates that may sign it,
// LauncherSha256 the launcher's own. OutcomePath is where the hand-over's outcome is recorded
// (DefaultOutcomePath gives one); read it with ReadOutcome at the next start.
type Request struct {
	Launcher, MutexName, InstallPath, Parameters string
	InstallSha256                                string
	InstallSigner                                []string
	LauncherSha256                               string
	OutcomePath                                  string
}

// OutcomeRecord is how the last hand-over ended. State is "absent" (no record), "unreadable" or
// "read"; Sentence is for the user.
type OutcomeRecord struct {
	State, Outcome                  string
	SystemError                     uint32
	LauncherVersion, Started, Ended string
	MutexName, InstallPath          string
	Sentence                        string
}

// Problem is one reason a hand-over would fail or failed.
type Problem struct {
	Code        Code
	Name        string // the stable name: "mutex-not-held" and so on
	Field       string
	SystemError uint32
	Message     string
}

// Result is what HandOver did.
type Result struct {
	OK                                    bool
	Step                                  Step
	Problem                               Problem
	BrokeAway, RemainsInJob, KillsOnClose bool
	// ForegroundAllowed: the launcher, and so the installer it starts, may take the foreground.
	ForegroundAllowed bool
	LauncherID        uint32
}

// HandoverError is a value the launcher could not receive intact.
type HandoverError struct {
	Field, Message string
}

func (e *HandoverError) Error() string { return e.Message }

// Library is the loaded C interface, every procedure resolved once.
//
// Each call converts its pointers to uintptr inside the (*syscall.Proc).Call expression itself:
// Call is marked //go:uintptrescapes, so the objects they point to stay where they are until
// the call returns. A pointer converted anywhere earlier could be left behind when the
// goroutine's stack grows and moves.
type Library struct {
	dll                                                      *syscall.DLL
	launcher                                                 string
	bundle                                                   *extracted
	version, codeName, build, mutexCreate, mutexRelease      *syscall.Proc
	preflight, problemsCount, problemsGet, problemsRelease   *syscall.Proc
	handOver, step, problem, flags, launcherID, handoverFree *syscall.Proc
	removeMark, signer                                       *syscall.Proc
	readOutcome, outcomeState, outcomeError, outcomeText     *syscall.Proc
	outcomeRelease, defaultOutcome                           *syscall.Proc
}

// Load loads reinstall_handover.dll from path, resolves its procedures and checks its interface
// version. A request without a launcher then takes the reinstall.exe beside it.
func Load(path string) (*Library, error) {
	dll, err := syscall.LoadDLL(path)
	if err != nil {
		return nil, err
	}
	lib := &Library{dll: dll, launcher: filepath.Join(filepath.Dir(path), "reinstall.exe")}
	procs := []struct {
		proc **syscall.Proc
		name string
	}{
		{&lib.version, "reinstall_interface_version"}, {&lib.codeName, "reinstall_code_name"},
		{&lib.build, "reinstall_build_command_line"}, {&lib.mutexCreate, "reinstall_mutex_create"},
		{&lib.mutexRelease, "reinstall_mutex_release"}, {&lib.preflight, "reinstall_preflight"},
		{&lib.problemsCount, "reinstall_problems_count"},
		{&lib.problemsGet, "reinstall_problems_get"},
		{&lib.problemsRelease, "reinstall_problems_release"},
		{&lib.handOver, "reinstall_hand_over"}, {&lib.step, "reinstall_handover_step"},
		{&lib.problem, "reinstall_handover_problem"}, {&lib.flags, "reinstall_handover_flags"},
		{&lib.launcherID, "reinstall_handover_launcher_id"},
		{&lib.handoverFree, "reinstall_handover_release"},
		{&lib.removeMark, "reinstall_remove_download_mark"},
		{&lib.signer, "reinstall_signer_of_this_program"},
		{&lib.readOutcome, "reinstall_read_outcome"},
		{&lib.outcomeState, "reinstall_outcome_state"},
		{&lib.outcomeError, "reinstall_outcome_system_error"},
		{&lib.outcomeText, "reinstall_outcome_text"},
		{&lib.outcomeRelease, "reinstall_outcome_release"},
		{&lib.defaultOutcome, "reinstall_default_outcome_path"},
	}
	for _, p := range procs {
		if *p.proc, err = dll.FindProc(p.name); err != nil {
			dll.Release()
			return nil, err
		}
	}
	v, _, _ := lib.version.Call()
	if major, minor := uint32(v)>>16, uint32(v)&0xFFFF; major != InterfaceMajor || minor < InterfaceMinor {
		dll.Release()
		return nil, fmt.Errorf("reinstall_handover interface %d.%d, this package speaks %d.%d",
			major, minor, InterfaceMajor, InterfaceMinor)
	}
	return lib, nil
}

// cRequest is reinstall_request: its size, then pointers to NUL-terminated UTF-8.
type cRequest struct {
	size                                         uint32
	launcher, mutexName, installPath, parameters *byte
	installSha256, installSigner, launcherSha256 *byte
	outcomePath                                  *byte
}

func cString(s string) *byte {
	b := append([]byte(s), 0)
	return &b[0]
}

// values are the request's texts as the C interface takes them: the signer list is one text,
// the thumbprints between commas, where a list of one empty thumbprint stays visible as an
// empty entry, which the helper refuses.
func (r Request) values() [8]string {
	signers := strings.Join(r.InstallSigner, ",")
	if signers == "" && len(r.InstallSigner) > 0 {
		signers = ","
	}
	return [8]string{r.Launcher, r.MutexName, r.InstallPath, r.Parameters, r.InstallSha256,
		signers, r.LauncherSha256, r.OutcomePath}
}

// refusals is a problem for each value that cannot be passed at all: a NUL would end it early.
// (Bytes that are not UTF-8 go on to the helper, which refuses them.)
func (r Request) refusals() []Problem {
	var problems []Problem
	for i, value := range r.values() {
		if strings.IndexByte(value, 0) >= 0 {
			problems = append(problems, Problem{CodeInvalidValue, "invalid-value", fields[i+1], 0,
				fields[i+1] + " holds a NUL byte, which would end the command line"})
		}
	}
	return problems
}

func (r Request) c() *cRequest {
	v := r.values()
	return &cRequest{uint32(unsafe.Sizeof(cRequest{})), cString(v[0]), cString(v[1]),
		cString(v[2]), cString(v[3]), cString(v[4]), cString(v[5]), cString(v[6]), cString(v[7])}
}

// readText calls once for the length, then with room for the text.
func readText(call func(buffer *byte, size uintptr, length *uintptr) uintptr) (int, string) {
	var length uintptr
	call(nil, 0, &length)
	buffer := make([]byte, length+1)
	code := int(int32(call(&buffer[0], uintptr(len(buffer)), &length)))
	return code, string(buffer[:length])
}

// name is the stable name of a code, read from the library's static storage.
func (l *Library) name(code int) string {
	p, _, _ := l.codeName.Call(uintptr(code))
	if p == 0 {
		return ""
	}
	start := *(**byte)(unsafe.Pointer(&p)) // C memory, which the collector does not move
	n := 0
	for *(*byte)(unsafe.Add(unsafe.Pointer(start), n)) != 0 {
		n++
	}
	return string(unsafe.Slice(start, n))
}

func (l *Library) readProblem(get func(field *int32, err *uint32, b *byte, n uintptr, len *uintptr) uintptr) Problem {
	var field int32
	var sysErr uint32
	code, message := readText(func(b *byte, n uintptr, length *uintptr) uintptr {
		return get(&field, &sysErr, b, n, length)
	})
	name := ""
	if field >= 0 && int(field) < len(fields) {
		name = fields[field]
	}
	return Problem{Code(code), l.name(code), name, sysErr, message}
}

// withLauncher is the request with its launcher: the one given, or the library's own, checked
// against the bytes this module carries (and rewritten when they differ) before each use.
func (l *Library) withLauncher(r Request) (Request, error) {
	if r.Launcher != "" {
		return r, nil
	}
	if l.bundle != nil {
		if err := l.bundle.verify("reinstall.exe"); err != nil {
			return r, err
		}
		// Checked here by path; the helper checks it again while it holds the file, up to
		// the launcher's start, so that nothing can take its place in between.
		if r.LauncherSha256 == "" {
			r.LauncherSha256 = bundleLauncherSha256
		}
	}
	r.Launcher = l.launcher
	return r, nil
}

// ReadOutcome reads how the last hand-over that recorded to path ended, at the application's
// next start.
func (l *Library) ReadOutcome(path string) (OutcomeRecord, error) {
	if strings.IndexByte(path, 0) >= 0 {
		return OutcomeRecord{}, &HandoverError{"outcomePath",
			"reinstall hand-over: outcomePath holds a NUL byte, which would end the command line"}
	}
	name := cString(path)
	var handle uintptr
	code, _, _ := l.readOutcome.Call(uintptr(unsafe.Pointer(name)), uintptr(unsafe.Pointer(&handle)))
	if int32(code) != 0 {
		return OutcomeRecord{}, fmt.Errorf("read outcome: %s", l.name(int(int32(code))))
	}
	defer l.outcomeRelease.Call(handle)
	var texts [7]string
	for which := range texts {
		_, texts[which] = readText(func(b *byte, n uintptr, length *uintptr) uintptr {
			v, _, _ := l.outcomeText.Call(handle, uintptr(which), uintptr(unsafe.Pointer(b)), n,
				uintptr(unsafe.Pointer(length)))
			return v
		})
	}
	state, _, _ := l.outcomeState.Call(handle)
	sysErr, _, _ := l.outcomeError.Call(handle)
	states := []string{"absent", "unreadable", "read"}
	return OutcomeRecord{states[state], texts[0], uint32(sysErr), texts[1], texts[2], texts[3],
		texts[4], texts[5], texts[6]}, nil
}

// DefaultOutcomePath is a path for application's outcome record in the user's local application
// data, its folders created.
func (l *Library) DefaultOutcomePath(application string) (string, error) {
	name := cString(application)
	code, text := readText(func(b *byte, n uintptr, length *uintptr) uintptr {
		v, _, _ := l.defaultOutcome.Call(uintptr(unsafe.Pointer(name)), uintptr(unsafe.Pointer(b)),
			n, uintptr(unsafe.Pointer(length)))
		return v
	})
	if code != 0 || strings.IndexByte(application, 0) >= 0 {
		return "", fmt.Errorf("no outcome path for %q", application)
	}
	return text, nil
}

// SignerOfThisProgram is the SHA-256 thumbprint of the certificate that signed the running
// program, "" when it is unsigned: InstallSigner: []string{lib.SignerOfThisProgram()} accepts
// installers signed as the application is.
func (l *Library) SignerOfThisProgram() string {
	_, text := readText(func(b *byte, n uintptr, length *uintptr) uintptr {
		v, _, _ := l.signer.Call(uintptr(unsafe.Pointer(b)), n, uintptr(unsafe.Pointer(length)))
		return v
	})
	return text
}

// BuildCommandLine returns the launcher's exact command line, or a *HandoverError.
func (l *Library) BuildCommandLine(r Request) (string, error) {
	r, err := l.withLauncher(r)
	if err != nil {
		return "", err
	}
	if refused := r.refusals(); len(refused) > 0 {
		return "", &HandoverError{refused[0].Field, "reinstall hand-over: " + refused[0].Message}
	}
	req := r.c()
	var field int32
	code, text := readText(func(b *byte, n uintptr, length *uintptr) uintptr {
		v, _, _ := l.build.Call(uintptr(unsafe.Pointer(req)), uintptr(unsafe.Pointer(b)), n,
			uintptr(unsafe.Pointer(length)), uintptr(unsafe.Pointer(&field)))
		return v
	})
	if code != 0 {
		return "", &HandoverError{fields[field], text}
	}
	return text, nil
}

// Preflight returns every problem that would make the hand-over fail.
func (l *Library) Preflight(r Request) ([]Problem, error) {
	r, err := l.withLauncher(r)
	if err != nil {
		return nil, err
	}
	if refused := r.refusals(); len(refused) > 0 {
		return refused, nil
	}
	req := r.c()
	var handle uintptr
	code, _, _ := l.preflight.Call(uintptr(unsafe.Pointer(req)), uintptr(unsafe.Pointer(&handle)))
	if int32(code) != 0 {
		return nil, fmt.Errorf("preflight: %s", l.name(int(int32(code))))
	}
	defer l.problemsRelease.Call(handle)
	count, _, _ := l.problemsCount.Call(handle)
	problems := make([]Problem, 0, count)
	for i := uintptr(0); i < count; i++ {
		problems = append(problems, l.readProblem(func(f *int32, e *uint32, b *byte, n uintptr, length *uintptr) uintptr {
			v, _, _ := l.problemsGet.Call(handle, i, uintptr(unsafe.Pointer(f)),
				uintptr(unsafe.Pointer(e)), uintptr(unsafe.Pointer(b)), n,
				uintptr(unsafe.Pointer(length)))
			return v
		}))
	}
	return problems, nil
}

// HandOver starts the launcher and confirms for confirmMs (at most 2000) that it runs.
func (l *Library) HandOver(r Request, confirmMs uint32) (Result, error) {
	r, err := l.withLauncher(r)
	if err != nil {
		return Result{}, err
	}
	if refused := r.refusals(); len(refused) > 0 {
		return Result{Step: StepCheckRequest, Problem: refused[0]}, nil
	}
	req := r.c()
	var handle uintptr
	code, _, _ := l.handOver.Call(uintptr(unsafe.Pointer(req)), uintptr(confirmMs),
		uintptr(unsafe.Pointer(&handle)))
	if handle == 0 {
		return Result{}, fmt.Errorf("hand-over: %s", l.name(int(int32(code))))
	}
	defer l.handoverFree.Call(handle)
	step, _, _ := l.step.Call(handle)
	flags, _, _ := l.flags.Call(handle)
	id, _, _ := l.launcherID.Call(handle)
	problem := l.readProblem(func(f *int32, e *uint32, b *byte, n uintptr, length *uintptr) uintptr {
		v, _, _ := l.problem.Call(handle, uintptr(unsafe.Pointer(f)), uintptr(unsafe.Pointer(e)),
			uintptr(unsafe.Pointer(b)), n, uintptr(unsafe.Pointer(length)))
		return v
	})
	return Result{int32(code) == 0, Step(int32(step)), problem, flags&1 != 0, flags&2 != 0,
		flags&4 != 0, flags&8 != 0, uint32(id)}, nil
}

// RemoveDownloadMark removes the install file's mark of origin (its Zone.Identifier stream,
// which Preflight reports as install-file-marked) once the application has verified the file:
// true when a mark was removed, false when there was none. The error is the system's.
func (l *Library) RemoveDownloadMark(installPath string) (bool, error) {
	if strings.IndexByte(installPath, 0) >= 0 {
		return false, &HandoverError{"installPath", "reinstall hand-over: installPath holds a NUL byte"}
	}
	var removed int32
	var sysErr uint32
	code, _, _ := l.removeMark.Call(uintptr(unsafe.Pointer(cString(installPath))),
		uintptr(unsafe.Pointer(&removed)), uintptr(unsafe.Pointer(&sysErr)))
	if int32(code) != 0 {
		return false, syscall.Errno(sysErr)
	}
	return removed == 1, nil
}

// Mutex is the application's mutex, held until Close or the end of the process. Close it on the
// OS thread that created it (runtime.LockOSThread), or let the process's exit release it.
type Mutex struct {
	lib    *Library
	handle uintptr
}

// NewMutex creates and holds the named mutex. The error is the system's (a syscall.Errno:
// ERROR_ALREADY_EXISTS when another process holds it), or a *HandoverError for a name the
// hand-over would refuse.
func (l *Library) NewMutex(name string) (*Mutex, error) {
	if strings.IndexByte(name, 0) >= 0 {
		return nil, &HandoverError{"mutexName", "reinstall hand-over: mutexName holds a NUL byte"}
	}
	var handle uintptr
	var sysErr uint32
	code, _, _ := l.mutexCreate.Call(uintptr(unsafe.Pointer(cString(name))),
		uintptr(unsafe.Pointer(&handle)), uintptr(unsafe.Pointer(&sysErr)))
	switch int32(code) {
	case 0:
		return &Mutex{l, handle}, nil
	case int32(CodeMutexUnavailable):
		return nil, syscall.Errno(sysErr)
	}
	return nil, &HandoverError{"mutexName", "cannot hold the mutex " + name + ": " +
		l.name(int(int32(code)))}
}

// Close releases the mutex. Closing it again is an error.
func (m *Mutex) Close() error {
	if m.handle == 0 {
		return fmt.Errorf("reinstall: mutex already closed")
	}
	m.lib.mutexRelease.Call(m.handle)
	m.handle = 0
	return nil
}
