// The seam between the launcher's logic and the operating system: the eleven Win32 operations the
// launcher relies on, under their own names and types. The logic calls them as os::Name(...); each
// forwards to the process-wide Platform, which is the real backend unless a test has put a
// ScopedPlatformOverride in place.
#ifndef REINSTALL_PLATFORM_PLATFORM_H_
#define REINSTALL_PLATFORM_PLATFORM_H_

#include "platform/win32_types.h"

namespace reinstall::platform {

class Platform {
 public:
  Platform() = default;
  Platform(const Platform&) = delete;
  Platform& operator=(const Platform&) = delete;

  virtual LPSTR GetCommandLineA() = 0;
  virtual HGLOBAL GlobalAlloc(UINT uFlags, SIZE_T dwBytes) = 0;
  virtual HLOCAL LocalFree(HLOCAL hMem) = 0;
  virtual HANDLE CreateFileA(LPCSTR lpFileName,
                             DWORD dwDesiredAccess,
                             DWORD dwShareMode,
                             LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                             DWORD dwCreationDisposition,
                             DWORD dwFlagsAndAttributes,
                             HANDLE hTemplateFile) = 0;
  virtual BOOL CloseHandle(HANDLE hObject) = 0;
  virtual HANDLE OpenMutexA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName) = 0;
  virtual DWORD GetLastError() = 0;
  virtual DWORD GetTickCount() = 0;
  virtual void Sleep(DWORD dwMilliseconds) = 0;
  virtual BOOL ShellExecuteExA(SHELLEXECUTEINFOA* pExecInfo) = 0;
  virtual int MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) = 0;

 protected:
  // Not virtual: nobody deletes a backend through this interface, and a backend without state
  // then needs no destructor, so it stays usable while other globals are destroyed at exit.
  ~Platform() = default;
};

// The backend in force: the innermost override, or the real one.
Platform& Current();

// The real backend of this build (win32 or posix), chosen by the build system.
Platform& RealPlatform();

// Process-wide protection that must be in place before the launcher does anything else. The
// Windows backend restricts DLL loading to System32; the POSIX stand-in has nothing to do.
void HardenProcess();

// Makes `replacement` the platform for this object's lifetime. Overrides nest; they are not
// thread-safe, like the launcher itself.
class ScopedPlatformOverride {
 public:
  explicit ScopedPlatformOverride(Platform& replacement);
  ~ScopedPlatformOverride();
  ScopedPlatformOverride(const ScopedPlatformOverride&) = delete;
  ScopedPlatformOverride& operator=(const ScopedPlatformOverride&) = delete;

 private:
  Platform* previous_;
};

}  // namespace reinstall::platform

// The names the logic calls. Qualified calls (os::OpenMutexA) keep them apart from the system
// declarations of the same name on Windows.
namespace reinstall::os {

inline LPSTR GetCommandLineA() {
  return platform::Current().GetCommandLineA();
}
inline HGLOBAL GlobalAlloc(UINT uFlags, SIZE_T dwBytes) {
  return platform::Current().GlobalAlloc(uFlags, dwBytes);
}
inline HLOCAL LocalFree(HLOCAL hMem) {
  return platform::Current().LocalFree(hMem);
}
inline HANDLE CreateFileA(LPCSTR lpFileName,
                          DWORD dwDesiredAccess,
                          DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                          DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes,
                          HANDLE hTemplateFile) {
  return platform::Current().CreateFileA(lpFileName, dwDesiredAccess, dwShareMode,
                                         lpSecurityAttributes, dwCreationDisposition,
                                         dwFlagsAndAttributes, hTemplateFile);
}
inline BOOL CloseHandle(HANDLE hObject) {
  return platform::Current().CloseHandle(hObject);
}
inline HANDLE OpenMutexA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName) {
  return platform::Current().OpenMutexA(dwDesiredAccess, bInheritHandle, lpName);
}
inline DWORD GetLastError() {
  return platform::Current().GetLastError();
}
inline DWORD GetTickCount() {
  return platform::Current().GetTickCount();
}
inline void Sleep(DWORD dwMilliseconds) {
  platform::Current().Sleep(dwMilliseconds);
}
inline BOOL ShellExecuteExA(SHELLEXECUTEINFOA* pExecInfo) {
  return platform::Current().ShellExecuteExA(pExecInfo);
}
inline int MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
  return platform::Current().MessageBoxA(hWnd, lpText, lpCaption, uType);
}

}  // namespace reinstall::os

#endif  // REINSTALL_PLATFORM_PLATFORM_H_
