// The seam between the launcher's logic and the operating system: the Win32 operations the
// launcher relies on, under their own names and types (eleven for every run; the file reads, CNG
// hash calls and the held file's final path only when it is asked to verify the install file's
// digest, the clock, the code page and file writes only when it is asked to record its outcome).
// The logic calls them
// as os::Name(...); each forwards to the process-wide Platform, which is the real backend unless a
// test has put a ScopedPlatformOverride in place.
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

  // Verifying the install file: read through the handle the check opened, hashed with CNG (which
  // the Windows backend loads from System32 on first use).
  virtual BOOL ReadFile(HANDLE hFile,
                        LPVOID lpBuffer,
                        DWORD nNumberOfBytesToRead,
                        LPDWORD lpNumberOfBytesRead,
                        LPOVERLAPPED lpOverlapped) = 0;
  virtual BOOL GetFileInformationByHandle(HANDLE hFile,
                                          LPBY_HANDLE_FILE_INFORMATION lpFileInformation) = 0;
  virtual NTSTATUS BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE* phAlgorithm,
                                               LPCWSTR pszAlgId,
                                               LPCWSTR pszImplementation,
                                               ULONG dwFlags) = 0;
  virtual NTSTATUS BCryptCreateHash(BCRYPT_ALG_HANDLE hAlgorithm,
                                    BCRYPT_HASH_HANDLE* phHash,
                                    PUCHAR pbHashObject,
                                    ULONG cbHashObject,
                                    PUCHAR pbSecret,
                                    ULONG cbSecret,
                                    ULONG dwFlags) = 0;
  virtual NTSTATUS BCryptHashData(BCRYPT_HASH_HANDLE hHash,
                                  PUCHAR pbInput,
                                  ULONG cbInput,
                                  ULONG dwFlags) = 0;
  virtual NTSTATUS BCryptFinishHash(BCRYPT_HASH_HANDLE hHash,
                                    PUCHAR pbOutput,
                                    ULONG cbOutput,
                                    ULONG dwFlags) = 0;
  virtual NTSTATUS BCryptDestroyHash(BCRYPT_HASH_HANDLE hHash) = 0;
  virtual NTSTATUS BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE hAlgorithm, ULONG dwFlags) = 0;
  // The path the held file has now, with every link and junction on the way resolved.
  virtual DWORD GetFinalPathNameByHandleA(HANDLE hFile,
                                          LPSTR lpszFilePath,
                                          DWORD cchFilePath,
                                          DWORD dwFlags) = 0;

  // Recording the outcome: the time, and a file written beside its name and moved over it.
  virtual void GetSystemTime(LPSYSTEMTIME lpSystemTime) = 0;
  virtual BOOL WriteFile(HANDLE hFile,
                         LPCVOID lpBuffer,
                         DWORD nNumberOfBytesToWrite,
                         LPDWORD lpNumberOfBytesWritten,
                         LPOVERLAPPED lpOverlapped) = 0;
  virtual BOOL FlushFileBuffers(HANDLE hFile) = 0;
  virtual BOOL MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags) = 0;
  virtual BOOL DeleteFileA(LPCSTR lpFileName) = 0;
  // The record is UTF-8: text in another ANSI code page is converted through UTF-16.
  virtual UINT GetACP() = 0;
  virtual int MultiByteToWideChar(UINT CodePage,
                                  DWORD dwFlags,
                                  LPCSTR lpMultiByteStr,
                                  int cbMultiByte,
                                  LPWSTR lpWideCharStr,
                                  int cchWideChar) = 0;

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
inline BOOL ReadFile(HANDLE hFile,
                     LPVOID lpBuffer,
                     DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped) {
  return platform::Current().ReadFile(hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead,
                                      lpOverlapped);
}
inline BOOL GetFileInformationByHandle(HANDLE hFile,
                                       LPBY_HANDLE_FILE_INFORMATION lpFileInformation) {
  return platform::Current().GetFileInformationByHandle(hFile, lpFileInformation);
}
inline NTSTATUS BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE* phAlgorithm,
                                            LPCWSTR pszAlgId,
                                            LPCWSTR pszImplementation,
                                            ULONG dwFlags) {
  return platform::Current().BCryptOpenAlgorithmProvider(phAlgorithm, pszAlgId, pszImplementation,
                                                         dwFlags);
}
inline NTSTATUS BCryptCreateHash(BCRYPT_ALG_HANDLE hAlgorithm,
                                 BCRYPT_HASH_HANDLE* phHash,
                                 PUCHAR pbHashObject,
                                 ULONG cbHashObject,
                                 PUCHAR pbSecret,
                                 ULONG cbSecret,
                                 ULONG dwFlags) {
  return platform::Current().BCryptCreateHash(hAlgorithm, phHash, pbHashObject, cbHashObject,
                                              pbSecret, cbSecret, dwFlags);
}
inline NTSTATUS BCryptHashData(BCRYPT_HASH_HANDLE hHash,
                               PUCHAR pbInput,
                               ULONG cbInput,
                               ULONG dwFlags) {
  return platform::Current().BCryptHashData(hHash, pbInput, cbInput, dwFlags);
}
inline NTSTATUS BCryptFinishHash(BCRYPT_HASH_HANDLE hHash,
                                 PUCHAR pbOutput,
                                 ULONG cbOutput,
                                 ULONG dwFlags) {
  return platform::Current().BCryptFinishHash(hHash, pbOutput, cbOutput, dwFlags);
}
inline NTSTATUS BCryptDestroyHash(BCRYPT_HASH_HANDLE hHash) {
  return platform::Current().BCryptDestroyHash(hHash);
}
inline NTSTATUS BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE hAlgorithm, ULONG dwFlags) {
  return platform::Current().BCryptCloseAlgorithmProvider(hAlgorithm, dwFlags);
}
inline DWORD GetFinalPathNameByHandleA(HANDLE hFile,
                                       LPSTR lpszFilePath,
                                       DWORD cchFilePath,
                                       DWORD dwFlags) {
  return platform::Current().GetFinalPathNameByHandleA(hFile, lpszFilePath, cchFilePath, dwFlags);
}
inline void GetSystemTime(LPSYSTEMTIME lpSystemTime) {
  platform::Current().GetSystemTime(lpSystemTime);
}
inline BOOL WriteFile(HANDLE hFile,
                      LPCVOID lpBuffer,
                      DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped) {
  return platform::Current().WriteFile(hFile, lpBuffer, nNumberOfBytesToWrite,
                                       lpNumberOfBytesWritten, lpOverlapped);
}
inline BOOL FlushFileBuffers(HANDLE hFile) {
  return platform::Current().FlushFileBuffers(hFile);
}
inline BOOL MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags) {
  return platform::Current().MoveFileExA(lpExistingFileName, lpNewFileName, dwFlags);
}
inline BOOL DeleteFileA(LPCSTR lpFileName) {
  return platform::Current().DeleteFileA(lpFileName);
}
inline UINT GetACP() {
  return platform::Current().GetACP();
}
inline int MultiByteToWideChar(UINT CodePage,
                               DWORD dwFlags,
                               LPCSTR lpMultiByteStr,
                               int cbMultiByte,
                               LPWSTR lpWideCharStr,
                               int cchWideChar) {
  return platform::Current().MultiByteToWideChar(CodePage, dwFlags, lpMultiByteStr, cbMultiByte,
                                                 lpWideCharStr, cchWideChar);
}

}  // namespace reinstall::os

#endif  // REINSTALL_PLATFORM_PLATFORM_H_
