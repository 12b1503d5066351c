//go:build windows

package reinstall

import (
	"bufio"
	"crypto/sha256"
	"encoding/hex"
	"os"
	"os/exec"
	"path/filepath"
	"syscall"
	"testing"
)

func TestAnExtractedFileThatDiffersIsWrittenAgain(t *testing.T) {
	data := []byte("the launcher's bytes")
	sum := sha256.Sum256(data)
	e := &extracted{dir: t.TempDir(), files: map[string]bundledFile{
		"reinstall.exe": {"reinstall.exe", data, hex.EncodeToString(sum[:])}}}
	path := filepath.Join(e.dir, "reinstall.exe")
	for _, tc := range []struct {
		name   string
		before []byte // nil: no file
	}{{"missing", nil}, {"replaced", []byte("another program")}, {"cut short", data[:5]},
		{"intact", data}} {
		if tc.before != nil {
			if err := os.WriteFile(path, tc.before, 0o600); err != nil {
				t.Fatal(err)
			}
		} else {
			os.Remove(path)
		}
		if err := e.verify("reinstall.exe"); err != nil {
			t.Fatalf("%s: %v", tc.name, err)
		}
		if got, _ := os.ReadFile(path); string(got) != string(data) {
			t.Errorf("%s: the file holds %q", tc.name, got)
		}
	}
	if left, _ := filepath.Glob(filepath.Join(e.dir, "reinstall.exe.*")); len(left) != 0 {
		t.Errorf("temporary files left behind: %v", left)
	}
}

// The carried launcher goes to the helper with the digest of its signed image, which the helper
// checks again while it holds the file; a digest the caller gave is kept.
func TestTheCarriedLauncherIsHandedOverWithItsDigest(t *testing.T) {
	data := []byte("the launcher's bytes")
	sum := sha256.Sum256(data)
	digest := hex.EncodeToString(sum[:])
	dir := t.TempDir()
	l := &Library{launcher: filepath.Join(dir, "reinstall.exe"), bundle: &extracted{dir: dir,
		files: map[string]bundledFile{"reinstall.exe": {"reinstall.exe", data, digest}}}}
	defer func(kept string) { bundleLauncherSha256 = kept }(bundleLauncherSha256)
	bundleLauncherSha256 = "the image's digest"
	for _, given := range []string{"", "ab"} {
		r, err := l.withLauncher(Request{LauncherSha256: given})
		want := map[string]string{"": bundleLauncherSha256, "ab": "ab"}[given]
		if err != nil || r.Launcher != l.launcher || r.LauncherSha256 != want {
			t.Errorf("given %q: %+v, %v", given, r, err)
		}
	}
}

// Two processes of the application extract at once: the other one writes the file between this
// one's look and its rename, and keeps it open as a loaded DLL is kept, so that the rename fails.
// The same bytes are accepted; other bytes are not.
func TestAFileAnotherProcessExtractedFirstIsAcceptedWhenTheSame(t *testing.T) {
	if path := os.Getenv("REINSTALL_TEST_HOLD"); path != "" {
		holdFile(path, os.Getenv("REINSTALL_TEST_BYTES"))
		return
	}
	data := []byte("the launcher's bytes")
	sum := sha256.Sum256(data)
	e := &extracted{dir: t.TempDir(), files: map[string]bundledFile{
		"reinstall.exe": {"reinstall.exe", data, hex.EncodeToString(sum[:])}}}
	path := filepath.Join(e.dir, "reinstall.exe")
	defer func() { beforeReplace = func() {} }()
	for _, tc := range []struct {
		name     string
		theirs   string
		accepted bool
	}{{"the same bytes", string(data), true}, {"other bytes", "another program", false}} {
		os.Remove(path)
		other := exec.Command(os.Args[0], "-test.run=^TestAFileAnotherProcessExtractedFirst")
		other.Env = append(os.Environ(), "REINSTALL_TEST_HOLD="+path,
			"REINSTALL_TEST_BYTES="+tc.theirs)
		release, _ := other.StdinPipe()
		held, _ := other.StdoutPipe()
		beforeReplace = func() {
			if err := other.Start(); err != nil {
				t.Fatal(err)
			}
			if line, _ := bufio.NewReader(held).ReadString('\n'); line != "held\n" {
				t.Fatalf("the other process says %q", line)
			}
		}
		err := e.verify("reinstall.exe")
		release.Close()
		other.Wait()
		if (err == nil) != tc.accepted {
			t.Errorf("%s: verify says %v", tc.name, err)
		}
	}
}

// holdFile writes data to path and keeps it open, sharing reading only, until standard input
// closes.
func holdFile(path, data string) {
	if err := os.WriteFile(path, []byte(data), 0o600); err != nil {
		panic(err)
	}
	name, _ := syscall.UTF16PtrFromString(path)
	handle, err := syscall.CreateFile(name, syscall.GENERIC_READ, syscall.FILE_SHARE_READ, nil,
		syscall.OPEN_EXISTING, 0, 0)
	if err != nil {
		panic(err)
	}
	os.Stdout.WriteString("held\n")
	buffer := make([]byte, 1)
	os.Stdin.Read(buffer)
	syscall.CloseHandle(handle)
}

func TestCarriedBytesThatDoNotMatchTheirSumAreRefused(t *testing.T) {
	e := &extracted{dir: t.TempDir(), files: map[string]bundledFile{
		"reinstall.exe": {"reinstall.exe", []byte("x"), "00"}}}
	if err := e.verify("reinstall.exe"); err == nil {
		t.Error("accepted")
	}
}

func TestCodesAreNamedAsTheLibraryNamesThem(t *testing.T) {
	path := os.Getenv("REINSTALL_HANDOVER_LIBRARY")
	if path == "" {
		t.Skip("REINSTALL_HANDOVER_LIBRARY names no library")
	}
	lib, err := Load(path)
	if err != nil {
		t.Fatal(err)
	}
	for c := CodeNone; c <= CodeOutcomePathUnusable+1; c++ {
		if got := lib.name(int(c)); got != c.String() {
			t.Errorf("code %d: the library says %q, Code.String %q", c, got, c.String())
		}
	}
}

func TestOpenWithoutABundleSaysSo(t *testing.T) {
	if len(bundle) != 0 {
		t.Skip("this build carries its binaries")
	}
	if _, err := Open(); err == nil {
		t.Error("Open succeeded without binaries")
	}
}
