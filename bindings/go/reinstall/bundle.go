//go:build windows

package reinstall

import (
	"crypto/sha256"
	"encoding/hex"
	"fmt"
	"os"
	"path/filepath"
	"runtime"
)

// bundledFile is one binary this module carries for the architecture it is built for.
type bundledFile struct {
	name   string
	data   []byte
	sha256 string
}

// bundle holds the binaries of this build's architecture. The published module sets it from
// its bundle_windows_ARCH.go files, which embed them; a checkout of the sources has none.
// bundleLauncherSha256 names the launcher as the helper checks it: the SHA-256 of its signed
// image, which the helper computes of the file it holds before it starts it.
var (
	bundle               []bundledFile
	bundleVersion        string
	bundleLauncherSha256 string
)

// extracted is where the bundle was written: a folder of the user's own cache directory, one
// per module version and architecture, so that no other user can replace what is started.
type extracted struct {
	dir   string
	files map[string]bundledFile
}

// Open writes (or checks) the launcher and reinstall_handover.dll this module carries in the
// user's cache directory and loads the library from there; a request without a launcher then
// takes that launcher. The SHA-256 of each file is checked before each use, and a file that
// differs is written again.
func Open() (*Library, error) {
	if len(bundle) == 0 {
		return nil, fmt.Errorf("reinstall: this build of the module carries no binaries for "+
			"windows/%s; use the published module, or Load the DLL by path", runtime.GOARCH)
	}
	cache, err := os.UserCacheDir()
	if err != nil {
		return nil, fmt.Errorf("reinstall: no cache directory to write the launcher to: %w", err)
	}
	e := &extracted{
		dir:   filepath.Join(cache, "reinstall-handover", bundleVersion, "windows_"+runtime.GOARCH),
		files: map[string]bundledFile{},
	}
	if err := os.MkdirAll(e.dir, 0o700); err != nil {
		return nil, fmt.Errorf("reinstall: %w", err)
	}
	for _, f := range bundle {
		e.files[f.name] = f
		if err := e.verify(f.name); err != nil {
			return nil, err
		}
	}
	lib, err := Load(filepath.Join(e.dir, "reinstall_handover.dll"))
	if err != nil {
		return nil, err
	}
	lib.bundle = e
	return lib, nil
}

// verify checks one extracted file against the bytes carried, and writes it again (through a
// temporary file renamed over it) when it is missing or differs.
func (e *extracted) verify(name string) error {
	f := e.files[name]
	path := filepath.Join(e.dir, name)
	if sum := sha256.Sum256(f.data); hex.EncodeToString(sum[:]) != f.sha256 {
		return fmt.Errorf("reinstall: the carried %s does not match its SHA-256", name)
	}
	if f.isAt(path) {
		return nil
	}
	temporary, err := os.CreateTemp(e.dir, name+".*")
	if err != nil {
		return fmt.Errorf("reinstall: cannot write %s: %w", path, err)
	}
	_, err = temporary.Write(f.data)
	if closeErr := temporary.Close(); err == nil {
		err = closeErr
	}
	if err == nil {
		beforeReplace()
		err = os.Rename(temporary.Name(), path)
	}
	if err != nil {
		os.Remove(temporary.Name())
		// Another process of the application may have written the same file first and be
		// using it (a loaded DLL, a started launcher), which no rename can replace: what is
		// there is as good as ours when its bytes are the same.
		if f.isAt(path) {
			return nil
		}
		return fmt.Errorf("reinstall: cannot write %s: %w", path, err)
	}
	return nil
}

// isAt tells whether the file at path holds exactly these bytes.
func (f bundledFile) isAt(path string) bool {
	current, err := os.ReadFile(path)
	if err != nil {
		return false
	}
	sum := sha256.Sum256(current)
	return hex.EncodeToString(sum[:]) == f.sha256
}

// beforeReplace runs between writing a temporary file and renaming it over the extracted one;
// a test sets it to let another process get there first.
var beforeReplace = func() {}
