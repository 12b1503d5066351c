// The real Windows backend: every operation is the Win32 call of the same name.
#include "platform/platform.h"

namespace reinstall::platform {
namespace {

class Win32Platform final : public Platform {
 public:
  LPSTR GetCommandLineA() override { return ::GetCommandLineA(); }

  HGLOBAL GlobalAlloc(UINT uFlags, SIZE_T dwBytes) override {
    return ::GlobalAlloc(uFlags, dwBytes);
  }

  HLOCAL LocalFree(HLOCAL hMem) override { return ::LocalFree(hMem); }

  HANDLE CreateFileA(LPCSTR lpFileName,
                     DWORD dwDesiredAccess,
                     DWORD dwShareMode,
                     LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                     DWORD dwCreationDisposition,
                     DWORD dwFlagsAndAttributes,
                     HANDLE hTemplateFile) override {
    return ::CreateFileA(lpFileName, dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                         dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
  }

  BOOL CloseHandle(HANDLE hObject) override { return ::CloseHandle(hObject); }

  HANDLE OpenMutexA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName) override {
    return ::OpenMutexA(dwDesiredAccess, bInheritHandle, lpName);
  }

  DWORD GetLastError() override { return ::GetLastError(); }

  DWORD GetTickCount() override { return ::GetTickCount(); }

  void Sleep(DWORD dwMilliseconds) override { ::Sleep(dwMilliseconds); }

  BOOL ShellExecuteExA(SHELLEXECUTEINFOA* pExecInfo) override {
    return ::ShellExecuteExA(pExecInfo);
  }

  int MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) override {
    return ::MessageBoxA(hWnd, lpText, lpCaption, uType);
  }
};

}  // namespace

Platform& RealPlatform() {
  // No state and a trivial destructor: usable from the destructors of other globals.
  static Win32Platform real;
  return real;
}

void HardenProcess() {
  // The launcher usually runs from a download or temporary folder; without this, a DLL planted
  // there would be loaded by the shell in its place. Looked up at run time because systems
  // without the loader update lack the call; they keep their default search.
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  HMODULE kernel32 = ::GetModuleHandleA("kernel32.dll");
  if (kernel32 == nullptr) {
    return;
  }
  auto setDefaultDllDirectories = reinterpret_cast<SetDefaultDllDirectoriesFn>(
      reinterpret_cast<void*>(::GetProcAddress(kernel32, "SetDefaultDllDirectories")));
  if (setDefaultDllDirectories != nullptr) {
    setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  }
}

}  // namespace reinstall::platform
