//go:build windows

package reinstall

import (
	"crypto/sha256"
	"encoding/hex"
	"os"
	"path/filepath"
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
	for c := CodeNone; c <= CodeInstallFileMarked+1; c++ {
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
