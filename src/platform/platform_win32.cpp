// The real Windows backend: every operation is the Win32 call of the same name.
#include "platform/platform.h"
#include "reinstall/detail/cng_win32.h"

namespace reinstall::platform {
namespace {

// What a CNG call answers when bcrypt.dll or the function could not be had.
constexpr NTSTATUS kCngMissing = static_cast<NTSTATUS>(0xC0000225);  // STATUS_NOT_FOUND

// CNG's calls, loaded when a digest is first checked. The launcher has one thread: a plain flag
// does, where a function-local static would bring the runtime's thread-safe initialisation.
const detail::CngCalls& Cng() {
  static detail::CngCalls calls{};
  static bool loaded = false;
  if (!loaded) {
    calls = detail::LoadCng();
    loaded = true;
  }
  return calls;
}

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

  BOOL ReadFile(HANDLE hFile,
                LPVOID lpBuffer,
                DWORD nNumberOfBytesToRead,
                LPDWORD lpNumberOfBytesRead,
                LPOVERLAPPED lpOverlapped) override {
    return ::ReadFile(hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);
  }

  BOOL GetFileInformationByHandle(HANDLE hFile,
                                  LPBY_HANDLE_FILE_INFORMATION lpFileInformation) override {
    return ::GetFileInformationByHandle(hFile, lpFileInformation);
  }

  NTSTATUS BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE* phAlgorithm,
                                       LPCWSTR pszAlgId,
                                       LPCWSTR pszImplementation,
                                       ULONG dwFlags) override {
    const detail::CngCalls& cng = Cng();
    return cng.open != nullptr ? cng.open(phAlgorithm, pszAlgId, pszImplementation, dwFlags)
                               : kCngMissing;
  }

  NTSTATUS BCryptCreateHash(BCRYPT_ALG_HANDLE hAlgorithm,
                            BCRYPT_HASH_HANDLE* phHash,
                            PUCHAR pbHashObject,
                            ULONG cbHashObject,
                            PUCHAR pbSecret,
                            ULONG cbSecret,
                            ULONG dwFlags) override {
    const detail::CngCalls& cng = Cng();
    return cng.create != nullptr ? cng.create(hAlgorithm, phHash, pbHashObject, cbHashObject,
                                              pbSecret, cbSecret, dwFlags)
                                 : kCngMissing;
  }

  NTSTATUS BCryptHashData(BCRYPT_HASH_HANDLE hHash,
                          PUCHAR pbInput,
                          ULONG cbInput,
                          ULONG dwFlags) override {
    const detail::CngCalls& cng = Cng();
    return cng.hashData != nullptr ? cng.hashData(hHash, pbInput, cbInput, dwFlags) : kCngMissing;
  }

  NTSTATUS BCryptFinishHash(BCRYPT_HASH_HANDLE hHash,
                            PUCHAR pbOutput,
                            ULONG cbOutput,
                            ULONG dwFlags) override {
    const detail::CngCalls& cng = Cng();
    return cng.finish != nullptr ? cng.finish(hHash, pbOutput, cbOutput, dwFlags) : kCngMissing;
  }

  NTSTATUS BCryptDestroyHash(BCRYPT_HASH_HANDLE hHash) override {
    const detail::CngCalls& cng = Cng();
    return cng.destroy != nullptr ? cng.destroy(hHash) : kCngMissing;
  }

  void GetSystemTime(LPSYSTEMTIME lpSystemTime) override { ::GetSystemTime(lpSystemTime); }

  BOOL WriteFile(HANDLE hFile,
                 LPCVOID lpBuffer,
                 DWORD nNumberOfBytesToWrite,
                 LPDWORD lpNumberOfBytesWritten,
                 LPOVERLAPPED lpOverlapped) override {
    return ::WriteFile(hFile, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten,
                       lpOverlapped);
  }

  BOOL FlushFileBuffers(HANDLE hFile) override { return ::FlushFileBuffers(hFile); }

  BOOL MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags) override {
    return ::MoveFileExA(lpExistingFileName, lpNewFileName, dwFlags);
  }

  BOOL DeleteFileA(LPCSTR lpFileName) override { return ::DeleteFileA(lpFileName); }

  DWORD GetFinalPathNameByHandleA(HANDLE hFile,
                                  LPSTR lpszFilePath,
                                  DWORD cchFilePath,
                                  DWORD dwFlags) override {
    return ::GetFinalPathNameByHandleA(hFile, lpszFilePath, cchFilePath, dwFlags);
  }

  UINT GetACP() override { return ::GetACP(); }

  int MultiByteToWideChar(UINT CodePage,
                          DWORD dwFlags,
                          LPCSTR lpMultiByteStr,
                          int cbMultiByte,
                          LPWSTR lpWideCharStr,
                          int cchWideChar) override {
    return ::MultiByteToWideChar(CodePage, dwFlags, lpMultiByteStr, cbMultiByte, lpWideCharStr,
                                 cchWideChar);
  }

  NTSTATUS BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE hAlgorithm, ULONG dwFlags) override {
    const detail::CngCalls& cng = Cng();
    return cng.close != nullptr ? cng.close(hAlgorithm, dwFlags) : kCngMissing;
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
