// A scripted stand-in for the operating system: every call is logged in order, results come from
// the script, and time is virtual (Sleep advances GetTickCount). Installs itself for its lifetime.
#ifndef REINSTALL_TESTS_UNIT_FAKE_PLATFORM_H_
#define REINSTALL_TESTS_UNIT_FAKE_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace reinstall::testing {

struct MessageBoxCall {
  HWND hWnd;
  std::string text;
  std::optional<std::string> caption;  // nullopt: no caption passed
  UINT uType;
  std::size_t openHandles;  // handles still open when the box was shown
};

struct CreateFileCall {
  std::string fileName;
  DWORD dwDesiredAccess;
  DWORD dwShareMode;
  LPSECURITY_ATTRIBUTES lpSecurityAttributes;
  DWORD dwCreationDisposition;
  DWORD dwFlagsAndAttributes;
  HANDLE hTemplateFile;
};

struct OpenMutexCall {
  DWORD dwDesiredAccess;
  BOOL bInheritHandle;
  std::string name;
};

// The request as the shell saw it, strings copied while the call was in progress.
struct ShellRequest {
  SHELLEXECUTEINFOA raw;
  std::optional<std::string> verb, file, parameters, directory;
  bool paddingAndTailZero;  // every byte outside the set members was zero
};

class FakePlatform final : public platform::Platform {
 public:
  FakePlatform();
  ~FakePlatform();

  // Script.
  std::string commandLine;
  bool failAllocation = false;
  unsigned char fillByte = 0xAB;  // what a new block holds before the launcher writes to it
  std::set<std::string> openableFiles;
  // Result of probe number n (0-based): 0 while the mutex exists, otherwise the error code of
  // the failed open. By default the mutex is gone at once.
  std::function<DWORD(int)> mutexProbe = [](int) { return ERROR_FILE_NOT_FOUND; };
  DWORD tickCount = 0;
  DWORD tickStepPerRead = 0;  // added after each GetTickCount, to model time passing in calls
  BOOL shellResult = TRUE;
  DWORD shellError = ERROR_NO_ASSOCIATION;  // GetLastError after a refused ShellExecuteExA
  // Files that can be read, by path: their content, and the attributes their handles report.
  // Every read returns at most readChunk bytes; a read after failReadAfter bytes fails.
  std::map<std::string, std::string> fileContents;
  DWORD fileAttributes = FILE_ATTRIBUTE_NORMAL;
  DWORD readChunk = 0xFFFFFFFF;
  std::size_t failReadAfter = SIZE_MAX;
  // The digest the hash reports, whatever it was given; failHashCall names the CNG call (e.g.
  // "BCryptHashData") that fails.
  std::string digest = std::string(32, '\0');
  std::string failHashCall;
  // Files written with CREATE_ALWAYS, by path, as their handles were closed or moved; a write
  // call named in failWriteCall ("CreateFileA", "WriteFile", ...) fails. The clock is
  // 2026-12-09 17:20 UTC plus tickCount.
  std::map<std::string, std::string> writtenFiles;
  std::string failWriteCall;
  // What GetFinalPathNameByHandleA reports for a handle opened by a path ("\\?\" + that path
  // when not listed; "" fails), and the file index each path leads to (by default one of its
  // own): two paths with the same index name the same file.
  std::map<std::string, std::string> finalPaths;
  std::map<std::string, DWORD> fileIndex;
  // The ANSI code page; MultiByteToWideChar reads other code pages as Latin-1.
  UINT ansiCodePage = CP_UTF8;
  int throwingMessageBox = -1;  // index of the box whose call throws std::bad_alloc
  // Failure injection: the fallible call numbered failAt (every call that can fail counts, from
  // 0) fails as the system fails it; with failPersistent every later call of that operation fails
  // too. injected names the operation that failed. GetTickCount cannot fail: its clock runs
  // tickOffset ahead, so that a sweep can make it wrap at any call.
  long failAt = -1;
  bool failPersistent = false;
  long fallibleCalls = 0;
  std::string injected;
  DWORD tickOffset = 0;

  // What happened, in order: one short entry per call, e.g. "Sleep(100)".
  std::vector<std::string> log;
  std::vector<MessageBoxCall> boxes;
  std::vector<CreateFileCall> createFileCalls;
  std::vector<OpenMutexCall> openMutexCalls;
  std::vector<ShellRequest> shellRequests;
  int shellStarts = 0;       // ShellExecuteExA calls that succeeded
  std::vector<DWORD> ticks;  // what each GetTickCount returned, before tickOffset
  std::vector<DWORD> sleeps;
  std::string hashedBytes;  // everything given to BCryptHashData, in order
  int liveHashObjects = 0;  // algorithm providers and hashes opened and not yet closed
  std::size_t lastAllocationSize = 0;
  int badFrees = 0;   // LocalFree of something not allocated or already freed
  int badCloses = 0;  // CloseHandle of something not open

  std::size_t LiveBlocks() const { return liveBlocks_.size(); }
  std::size_t OpenHandles() const { return openHandles_.size(); }
  int Count(const std::string& entryPrefix) const;

  LPSTR GetCommandLineA() override;
  HGLOBAL GlobalAlloc(UINT uFlags, SIZE_T dwBytes) override;
  HLOCAL LocalFree(HLOCAL hMem) override;
  HANDLE CreateFileA(LPCSTR lpFileName,
                     DWORD dwDesiredAccess,
                     DWORD dwShareMode,
                     LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                     DWORD dwCreationDisposition,
                     DWORD dwFlagsAndAttributes,
                     HANDLE hTemplateFile) override;
  BOOL CloseHandle(HANDLE hObject) override;
  HANDLE OpenMutexA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName) override;
  DWORD GetLastError() override;
  DWORD GetTickCount() override;
  void Sleep(DWORD dwMilliseconds) override;
  BOOL ShellExecuteExA(SHELLEXECUTEINFOA* pExecInfo) override;
  int MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) override;
  BOOL ReadFile(HANDLE hFile,
                LPVOID lpBuffer,
                DWORD nNumberOfBytesToRead,
                LPDWORD lpNumberOfBytesRead,
                LPOVERLAPPED lpOverlapped) override;
  BOOL GetFileInformationByHandle(HANDLE hFile,
                                  LPBY_HANDLE_FILE_INFORMATION lpFileInformation) override;
  NTSTATUS BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE* phAlgorithm,
                                       LPCWSTR pszAlgId,
                                       LPCWSTR pszImplementation,
                                       ULONG dwFlags) override;
  NTSTATUS BCryptCreateHash(BCRYPT_ALG_HANDLE hAlgorithm,
                            BCRYPT_HASH_HANDLE* phHash,
                            PUCHAR pbHashObject,
                            ULONG cbHashObject,
                            PUCHAR pbSecret,
                            ULONG cbSecret,
                            ULONG dwFlags) override;
  NTSTATUS BCryptHashData(BCRYPT_HASH_HANDLE hHash,
                          PUCHAR pbInput,
                          ULONG cbInput,
                          ULONG dwFlags) override;
  NTSTATUS BCryptFinishHash(BCRYPT_HASH_HANDLE hHash,
                            PUCHAR pbOutput,
                            ULONG cbOutput,
                            ULONG dwFlags) override;
  NTSTATUS BCryptDestroyHash(BCRYPT_HASH_HANDLE hHash) override;
  NTSTATUS BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE hAlgorithm, ULONG dwFlags) override;
  void GetSystemTime(LPSYSTEMTIME lpSystemTime) override;
  BOOL WriteFile(HANDLE hFile,
                 LPCVOID lpBuffer,
                 DWORD nNumberOfBytesToWrite,
                 LPDWORD lpNumberOfBytesWritten,
                 LPOVERLAPPED lpOverlapped) override;
  BOOL FlushFileBuffers(HANDLE hFile) override;
  BOOL MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags) override;
  BOOL DeleteFileA(LPCSTR lpFileName) override;
  DWORD GetFinalPathNameByHandleA(HANDLE hFile,
                                  LPSTR lpszFilePath,
                                  DWORD cchFilePath,
                                  DWORD dwFlags) override;
  UINT GetACP() override;
  int MultiByteToWideChar(UINT CodePage,
                          DWORD dwFlags,
                          LPCSTR lpMultiByteStr,
                          int cbMultiByte,
                          LPWSTR lpWideCharStr,
                          int cchWideChar) override;

 private:
  HANDLE NewHandle();

  platform::ScopedPlatformOverride override_;
  std::set<void*> liveBlocks_;
  std::set<HANDLE> openHandles_;
  std::map<HANDLE, std::string> fileOfHandle_;
  std::map<HANDLE, std::string> pathOfHandle_;  // every file opened by a path
  std::map<HANDLE, std::size_t> readOffset_;
  std::map<HANDLE, std::string> writing_;  // a written file's handle: its path
  BOOL WriteCall(const char* name);
  bool Injected(const char* operation);
  NTSTATUS HashCall(const char* name);
  std::uintptr_t nextHandle_ = 0x1000;
  DWORD lastError_ = 0;
  int probes_ = 0;
};

// What TReinstall::SplitCommandLine made of `line`, run on a fake whose new blocks hold
// `fillByte`: the arguments, the count, the block's size, the character area exactly as left in
// the block (L + 2 bytes), and whether the slot after the last argument is null.
struct SplitBlock {
  std::vector<std::string> arguments;
  std::int32_t count = -1;
  std::size_t blockSize = 0;
  std::vector<unsigned char> characterArea;
  bool nullSlot = false;
  bool allocated = false;
};
SplitBlock SplitWithFake(const std::string& line, unsigned char fillByte = 0xAB);

}  // namespace reinstall::testing

#endif  // REINSTALL_TESTS_UNIT_FAKE_PLATFORM_H_
