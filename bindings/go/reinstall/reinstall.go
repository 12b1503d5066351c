//go:build windows

// Package reinstall hands over to the reinstall launcher from Go, through the C interface in
// reinstall_handover.dll, loaded with the syscall package (no cgo).
//
//	lib, err := reinstall.Load(`C:\Program Files\MyApp\reinstall_handover.dll`)
//	mutex, err := lib.NewMutex("MyCompany.MyApp") // at start-up; keep it
//	req := reinstall.Request{Launcher: launcher, MutexName: "MyCompany.MyApp",
//		InstallPath: installer, Parameters: "/S"}
//	if problems, _ := lib.Preflight(req); len(problems) == 0 {
//		if res, _ := lib.HandOver(req, 250); res.OK { os.Exit(0) }
//	}
package reinstall

import (
	"fmt"
	"runtime"
	"syscall"
	"unsafe"
)

// InterfaceVersion is the version of the C interface this package speaks.
const InterfaceVersion = 1

var fields = []string{"", "launcher", "mutexName", "installPath", "parameters"}

// Request is what the application hands over.
type Request struct {
	Launcher, MutexName, InstallPath, Parameters string
}

// Problem is one reason a hand-over would fail or failed.
type Problem struct {
	Code        int
	Name        string // the stable name: "mutex-not-held" and so on
	Field       string
	SystemError uint32
	Message     string
}

// Result is what HandOver did.
type Result struct {
	OK                                    bool
	Step                                  int // 0 none, 1 check request, 2 start, 3 breakaway, 4 confirm
	Problem                               Problem
	BrokeAway, RemainsInJob, KillsOnClose bool
	LauncherID                            uint32
}

// HandoverError is a value the launcher could not receive intact.
type HandoverError struct {
	Field, Message string
}

func (e *HandoverError) Error() string { return e.Message }

// Library is the loaded C interface.
type Library struct {
	dll *syscall.DLL
}

// Load loads reinstall_handover.dll from path and checks its interface version.
func Load(path string) (*Library, error) {
	dll, err := syscall.LoadDLL(path)
	if err != nil {
		return nil, err
	}
	lib := &Library{dll}
	if v, _, _ := lib.call("reinstall_interface_version"); uint32(v) != InterfaceVersion {
		return nil, fmt.Errorf("reinstall_handover interface %d, this package speaks %d",
			uint32(v), InterfaceVersion)
	}
	return lib, nil
}

func (l *Library) call(name string, args ...uintptr) (uintptr, uintptr, error) {
	return l.dll.MustFindProc(name).Call(args...)
}

// cRequest is reinstall_request: four pointers to NUL-terminated UTF-8.
type cRequest struct {
	launcher, mutexName, installPath, parameters *byte
}

func cString(s string) *byte {
	b := append([]byte(s), 0)
	return &b[0]
}

func (r Request) c() *cRequest {
	return &cRequest{cString(r.Launcher), cString(r.MutexName), cString(r.InstallPath),
		cString(r.Parameters)}
}

// readText calls once for the length, then with room for the text.
func readText(call func(buffer *byte, size uintptr, length *uintptr) uintptr) (int, string) {
	var length uintptr
	call(nil, 0, &length)
	buffer := make([]byte, length+1)
	code := int(int32(call(&buffer[0], uintptr(len(buffer)), &length)))
	return code, string(buffer[:length])
}

func (l *Library) codeName(code int) string {
	p, _, _ := l.call("reinstall_code_name", uintptr(code))
	var b []byte
	for ptr := p; *(*byte)(unsafe.Pointer(ptr)) != 0; ptr++ {
		b = append(b, *(*byte)(unsafe.Pointer(ptr)))
	}
	return string(b)
}

func (l *Library) problem(get func(field *int32, err *uint32, b *byte, n uintptr, len *uintptr) uintptr) Problem {
	var field int32
	var sysErr uint32
	code, message := readText(func(b *byte, n uintptr, length *uintptr) uintptr {
		return get(&field, &sysErr, b, n, length)
	})
	name := ""
	if field >= 0 && int(field) < len(fields) {
		name = fields[field]
	}
	return Problem{code, l.codeName(code), name, sysErr, message}
}

// BuildCommandLine returns the launcher's exact command line, or a *HandoverError.
func (l *Library) BuildCommandLine(r Request) (string, error) {
	req := r.c()
	var field int32
	code, text := readText(func(b *byte, n uintptr, length *uintptr) uintptr {
		v, _, _ := l.call("reinstall_build_command_line", uintptr(unsafe.Pointer(req)),
			uintptr(unsafe.Pointer(b)), n, uintptr(unsafe.Pointer(length)),
			uintptr(unsafe.Pointer(&field)))
		return v
	})
	runtime.KeepAlive(req)
	if code != 0 {
		return "", &HandoverError{fields[field], text}
	}
	return text, nil
}

// Preflight returns every problem that would make the hand-over fail.
func (l *Library) Preflight(r Request) ([]Problem, error) {
	req := r.c()
	var handle uintptr
	code, _, _ := l.call("reinstall_preflight", uintptr(unsafe.Pointer(req)),
		uintptr(unsafe.Pointer(&handle)))
	runtime.KeepAlive(req)
	if int32(code) != 0 {
		return nil, fmt.Errorf("preflight: %s", l.codeName(int(int32(code))))
	}
	defer l.call("reinstall_problems_release", handle)
	count, _, _ := l.call("reinstall_problems_count", handle)
	problems := make([]Problem, 0, count)
	for i := uintptr(0); i < count; i++ {
		problems = append(problems, l.problem(func(f *int32, e *uint32, b *byte, n uintptr, length *uintptr) uintptr {
			v, _, _ := l.call("reinstall_problems_get", handle, i, uintptr(unsafe.Pointer(f)),
				uintptr(unsafe.Pointer(e)), uintptr(unsafe.Pointer(b)), n,
				uintptr(unsafe.Pointer(length)))
			return v
		}))
	}
	return problems, nil
}

// HandOver starts the launcher and confirms for confirmMs that it runs.
func (l *Library) HandOver(r Request, confirmMs uint32) (Result, error) {
	req := r.c()
	var handle uintptr
	code, _, _ := l.call("reinstall_hand_over", uintptr(unsafe.Pointer(req)), uintptr(confirmMs),
		uintptr(unsafe.Pointer(&handle)))
	runtime.KeepAlive(req)
	if handle == 0 {
		return Result{}, fmt.Errorf("hand-over: %s", l.codeName(int(int32(code))))
	}
	defer l.call("reinstall_handover_release", handle)
	step, _, _ := l.call("reinstall_handover_step", handle)
	flags, _, _ := l.call("reinstall_handover_flags", handle)
	id, _, _ := l.call("reinstall_handover_launcher_id", handle)
	problem := l.problem(func(f *int32, e *uint32, b *byte, n uintptr, length *uintptr) uintptr {
		v, _, _ := l.call("reinstall_handover_problem", handle, uintptr(unsafe.Pointer(f)),
			uintptr(unsafe.Pointer(e)), uintptr(unsafe.Pointer(b)), n,
			uintptr(unsafe.Pointer(length)))
		return v
	})
	return Result{int32(code) == 0, int(int32(step)), problem, flags&1 != 0, flags&2 != 0,
		flags&4 != 0, uint32(id)}, nil
}

// Mutex is the application's mutex, held until Close or the end of the process. Close it on the
// OS thread that created it (runtime.LockOSThread), or let the process's exit release it.
type Mutex struct {
	lib    *Library
	handle uintptr
}

// NewMutex creates and holds the named mutex; the error is the system's (a syscall.Errno).
func (l *Library) NewMutex(name string) (*Mutex, error) {
	var handle uintptr
	cname := cString(name)
	errno, _, _ := l.call("reinstall_mutex_create", uintptr(unsafe.Pointer(cname)),
		uintptr(unsafe.Pointer(&handle)))
	runtime.KeepAlive(cname)
	if errno != 0 {
		return nil, syscall.Errno(errno)
	}
	return &Mutex{l, handle}, nil
}

// Close releases the mutex.
func (m *Mutex) Close() {
	if m.handle != 0 {
		m.lib.call("reinstall_mutex_release", m.handle)
		m.handle = 0
	}
}
