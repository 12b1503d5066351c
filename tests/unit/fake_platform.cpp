#include "fake_platform.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "app/reinstall.h"
#include "cmdline/argument_block.h"

namespace reinstall::testing {
namespace {

std::optional<std::string> Copy(LPCSTR text) {
  return text != nullptr ? std::optional<std::string>(text) : std::nullopt;
}

// True when the structure is all zero bytes once the members the launcher may set are cleared.
bool RestIsZero(const SHELLEXECUTEINFOA& info) {
  SHELLEXECUTEINFOA copy;
  std::memcpy(&copy, &info, sizeof(copy));
  copy.cbSize = 0;
  copy.fMask = 0;
  copy.hwnd = nullptr;
  copy.lpVerb = nullptr;
  copy.lpFile = nullptr;
  copy.lpParameters = nullptr;
  copy.lpDirectory = nullptr;
  copy.nShow = 0;
  const auto* bytes = reinterpret_cast<const unsigned char*>(&copy);
  for (std::size_t i = 0; i < sizeof(copy); ++i) {
    if (bytes[i] != 0) {
      return false;
    }
  }
  return true;
}

}  // namespace

FakePlatform::FakePlatform() : override_(*this) {}

FakePlatform::~FakePlatform() {
  for (void* block : liveBlocks_) {
    ::operator delete(block);
  }
}

int FakePlatform::Count(const std::string& entryPrefix) const {
  int count = 0;
  for (const std::string& entry : log) {
    count += entry.compare(0, entryPrefix.size(), entryPrefix) == 0 ? 1 : 0;
  }
  return count;
}

HANDLE FakePlatform::NewHandle() {
  HANDLE handle = reinterpret_cast<HANDLE>(nextHandle_);
  nextHandle_ += 4;
  openHandles_.insert(handle);
  return handle;
}

LPSTR FakePlatform::GetCommandLineA() {
  log.push_back("GetCommandLineA");
  return commandLine.data();
}

bool FakePlatform::Injected(const char* operation) {
  const bool fail = fallibleCalls++ == failAt || (failPersistent && injected == operation);
  if (fail && injected.empty()) {
    injected = operation;
  }
  return fail;
}

HGLOBAL FakePlatform::GlobalAlloc(UINT uFlags, SIZE_T dwBytes) {
  log.push_back("GlobalAlloc(" + std::to_string(uFlags) + "," + std::to_string(dwBytes) + ")");
  lastAllocationSize = dwBytes;
  if (failAllocation || Injected("GlobalAlloc")) {
    lastError_ = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  // Filled with a marker so that tests see which bytes the launcher wrote.
  void* block = ::operator new(dwBytes);
  std::memset(block, fillByte, dwBytes);
  liveBlocks_.insert(block);
  return block;
}

HLOCAL FakePlatform::LocalFree(HLOCAL hMem) {
  log.push_back("LocalFree");
  auto it = liveBlocks_.find(hMem);
  if (it == liveBlocks_.end()) {
    ++badFrees;
    return hMem;
  }
  ::operator delete(*it);
  liveBlocks_.erase(it);
  return Injected("LocalFree") ? hMem : nullptr;  // freed all the same
}

HANDLE FakePlatform::CreateFileA(LPCSTR lpFileName,
                                 DWORD dwDesiredAccess,
                                 DWORD dwShareMode,
                                 LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                 DWORD dwCreationDisposition,
                                 DWORD dwFlagsAndAttributes,
                                 HANDLE hTemplateFile) {
  log.push_back("CreateFileA");
  createFileCalls.push_back({lpFileName, dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                             dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile});
  if (Injected("CreateFileA")) {
    const DWORD errors[] = {ERROR_ACCESS_DENIED, 32 /* ERROR_SHARING_VIOLATION */,
                            ERROR_FILE_NOT_FOUND};
    lastError_ = errors[fallibleCalls % 3];
    return INVALID_HANDLE_VALUE;
  }
  if (dwCreationDisposition == CREATE_ALWAYS) {
    if (failWriteCall == "CreateFileA") {
      lastError_ = ERROR_ACCESS_DENIED;
      return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = NewHandle();
    writing_[handle] = lpFileName;
    writtenFiles[lpFileName].clear();
    return handle;
  }
  const bool readable = (dwDesiredAccess & GENERIC_READ) != 0;
  if (openableFiles.count(lpFileName) == 0 || (readable && fileContents.count(lpFileName) == 0)) {
    lastError_ = ERROR_FILE_NOT_FOUND;
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = NewHandle();
  if (readable) {
    fileOfHandle_[handle] = lpFileName;
  }
  pathOfHandle_[handle] = lpFileName;
  return handle;
}

BOOL FakePlatform::CloseHandle(HANDLE hObject) {
  log.push_back("CloseHandle");
  if (openHandles_.erase(hObject) == 0) {
    ++badCloses;
    lastError_ = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  return Injected("CloseHandle") ? FALSE : TRUE;  // closed all the same
}

HANDLE FakePlatform::OpenMutexA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName) {
  log.push_back("OpenMutexA");
  openMutexCalls.push_back({dwDesiredAccess, bInheritHandle, lpName});
  const DWORD error = Injected("OpenMutexA") ? ERROR_ACCESS_DENIED : mutexProbe(probes_++);
  if (error != 0) {
    lastError_ = error;
    return nullptr;
  }
  return NewHandle();
}

DWORD FakePlatform::GetLastError() {
  log.push_back("GetLastError");
  return lastError_;
}

DWORD FakePlatform::GetTickCount() {
  log.push_back("GetTickCount");
  ticks.push_back(tickCount);
  const DWORD now = tickCount + tickOffset;
  tickCount += tickStepPerRead;
  return now;
}

void FakePlatform::Sleep(DWORD dwMilliseconds) {
  log.push_back("Sleep(" + std::to_string(dwMilliseconds) + ")");
  sleeps.push_back(dwMilliseconds);
  tickCount += dwMilliseconds;
}

BOOL FakePlatform::ShellExecuteExA(SHELLEXECUTEINFOA* pExecInfo) {
  log.push_back("ShellExecuteExA");
  ShellRequest request{};
  std::memcpy(&request.raw, pExecInfo, sizeof(request.raw));
  request.verb = Copy(pExecInfo->lpVerb);
  request.file = Copy(pExecInfo->lpFile);
  request.parameters = Copy(pExecInfo->lpParameters);
  request.directory = Copy(pExecInfo->lpDirectory);
  request.paddingAndTailZero = RestIsZero(*pExecInfo);
  shellRequests.push_back(request);
  if (Injected("ShellExecuteExA")) {
    const DWORD errors[] = {1223 /* cancelled */, 225 /* virus */, 4551 /* application control */};
    lastError_ = errors[fallibleCalls % 3];
    return FALSE;
  }
  if (shellResult == FALSE) {
    lastError_ = shellError;
  }
  shellStarts += shellResult != FALSE ? 1 : 0;
  return shellResult;
}

int FakePlatform::MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
  log.push_back("MessageBoxA(" + std::string(lpCaption != nullptr ? lpCaption : "<default>") + ")");
  if (static_cast<int>(boxes.size()) == throwingMessageBox) {
    boxes.push_back({hWnd, "<threw>", Copy(lpCaption), uType, openHandles_.size()});
    throw std::bad_alloc();
  }
  boxes.push_back({hWnd, lpText, Copy(lpCaption), uType, openHandles_.size()});
  return Injected("MessageBoxA") ? 0 : 1;
}

BOOL FakePlatform::ReadFile(HANDLE hFile,
                            LPVOID lpBuffer,
                            DWORD nNumberOfBytesToRead,
                            LPDWORD lpNumberOfBytesRead,
                            LPOVERLAPPED /*lpOverlapped*/) {
  log.push_back("ReadFile");
  const auto file = fileOfHandle_.find(hFile);
  std::size_t& offset = readOffset_[hFile];
  if (file == fileOfHandle_.end() || openHandles_.count(hFile) == 0 || offset >= failReadAfter ||
      Injected("ReadFile")) {
    lastError_ = ERROR_ACCESS_DENIED;
    return FALSE;
  }
  const std::string& content = fileContents[file->second];
  const std::size_t n =
      std::min<std::size_t>({nNumberOfBytesToRead, readChunk, content.size() - offset});
  std::memcpy(lpBuffer, content.data() + offset, n);
  offset += n;
  *lpNumberOfBytesRead = static_cast<DWORD>(n);
  return TRUE;
}

BOOL FakePlatform::GetFileInformationByHandle(HANDLE hFile,
                                              LPBY_HANDLE_FILE_INFORMATION lpFileInformation) {
  log.push_back("GetFileInformationByHandle");
  if (openHandles_.count(hFile) == 0 || Injected("GetFileInformationByHandle")) {
    lastError_ = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  *lpFileInformation = BY_HANDLE_FILE_INFORMATION{};
  lpFileInformation->dwFileAttributes = fileAttributes;
  const std::string& path = pathOfHandle_[hFile];
  const auto index = fileIndex.find(path);
  lpFileInformation->dwVolumeSerialNumber = 0x5EA1;
  lpFileInformation->nFileIndexLow =
      index != fileIndex.end() ? index->second : static_cast<DWORD>(std::hash<std::string>()(path));
  return TRUE;
}

DWORD FakePlatform::GetFinalPathNameByHandleA(HANDLE hFile,
                                              LPSTR lpszFilePath,
                                              DWORD cchFilePath,
                                              DWORD /*dwFlags*/) {
  log.push_back("GetFinalPathNameByHandleA");
  const std::string& path = pathOfHandle_[hFile];
  const auto listed = finalPaths.find(path);
  const std::string final = listed != finalPaths.end() ? listed->second : "\\\\?\\" + path;
  if (openHandles_.count(hFile) == 0 || final.empty() || Injected("GetFinalPathNameByHandleA")) {
    lastError_ = ERROR_PATH_NOT_FOUND;
    return 0;
  }
  if (final.size() >= cchFilePath) {
    return static_cast<DWORD>(final.size() + 1);
  }
  std::memcpy(lpszFilePath, final.c_str(), final.size() + 1);
  return static_cast<DWORD>(final.size());
}

UINT FakePlatform::GetACP() {
  log.push_back("GetACP");
  return ansiCodePage;
}

int FakePlatform::MultiByteToWideChar(UINT /*CodePage*/,
                                      DWORD /*dwFlags*/,
                                      LPCSTR lpMultiByteStr,
                                      int cbMultiByte,
                                      LPWSTR lpWideCharStr,
                                      int cchWideChar) {
  if (!WriteCall("MultiByteToWideChar")) {
    return 0;
  }
  if (lpWideCharStr != nullptr) {
    for (int i = 0; i < cbMultiByte && i < cchWideChar; ++i) {
      lpWideCharStr[i] = static_cast<unsigned char>(lpMultiByteStr[i]);
    }
  }
  return cbMultiByte;
}

NTSTATUS FakePlatform::HashCall(const char* name) {
  log.push_back(name);
  return failHashCall == name || Injected(name) ? static_cast<NTSTATUS>(0xC0000001) : 0;
}

NTSTATUS FakePlatform::BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE* phAlgorithm,
                                                   LPCWSTR pszAlgId,
                                                   LPCWSTR /*pszImplementation*/,
                                                   ULONG /*dwFlags*/) {
  const NTSTATUS status = HashCall("BCryptOpenAlgorithmProvider");
  if (status != 0 || std::wstring(pszAlgId) != L"SHA256") {
    return status != 0 ? status : static_cast<NTSTATUS>(0xC000000D);
  }
  ++liveHashObjects;
  *phAlgorithm = &liveHashObjects;
  return 0;
}

NTSTATUS FakePlatform::BCryptCreateHash(BCRYPT_ALG_HANDLE hAlgorithm,
                                        BCRYPT_HASH_HANDLE* phHash,
                                        PUCHAR /*pbHashObject*/,
                                        ULONG /*cbHashObject*/,
                                        PUCHAR /*pbSecret*/,
                                        ULONG /*cbSecret*/,
                                        ULONG /*dwFlags*/) {
  const NTSTATUS status = HashCall("BCryptCreateHash");
  if (status == 0 && hAlgorithm == &liveHashObjects) {
    ++liveHashObjects;
    *phHash = &hashedBytes;
  }
  return status;
}

NTSTATUS FakePlatform::BCryptHashData(BCRYPT_HASH_HANDLE hHash,
                                      PUCHAR pbInput,
                                      ULONG cbInput,
                                      ULONG /*dwFlags*/) {
  const NTSTATUS status = HashCall("BCryptHashData");
  if (status == 0 && hHash == &hashedBytes) {
    hashedBytes.append(reinterpret_cast<const char*>(pbInput), cbInput);
  }
  return status;
}

NTSTATUS FakePlatform::BCryptFinishHash(BCRYPT_HASH_HANDLE /*hHash*/,
                                        PUCHAR pbOutput,
                                        ULONG cbOutput,
                                        ULONG /*dwFlags*/) {
  const NTSTATUS status = HashCall("BCryptFinishHash");
  if (status == 0) {
    std::memcpy(pbOutput, digest.data(), std::min<std::size_t>(cbOutput, digest.size()));
  }
  return status;
}

NTSTATUS FakePlatform::BCryptDestroyHash(BCRYPT_HASH_HANDLE /*hHash*/) {
  --liveHashObjects;
  return HashCall("BCryptDestroyHash");
}

NTSTATUS FakePlatform::BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE /*hAlgorithm*/,
                                                    ULONG /*dwFlags*/) {
  --liveHashObjects;
  return HashCall("BCryptCloseAlgorithmProvider");
}

BOOL FakePlatform::WriteCall(const char* name) {
  log.push_back(name);
  if (failWriteCall == name || (std::string(name) != "WriteFile" && Injected(name))) {
    lastError_ = ERROR_ACCESS_DENIED;
    return FALSE;
  }
  return TRUE;
}

void FakePlatform::GetSystemTime(LPSYSTEMTIME lpSystemTime) {
  log.push_back("GetSystemTime");
  *lpSystemTime = SYSTEMTIME{2026,
                             12,
                             3,
                             9,
                             17,
                             static_cast<WORD>(20 + tickCount / 60000 % 40),
                             static_cast<WORD>(tickCount / 1000 % 60),
                             static_cast<WORD>(tickCount % 1000)};
}

BOOL FakePlatform::WriteFile(HANDLE hFile,
                             LPCVOID lpBuffer,
                             DWORD nNumberOfBytesToWrite,
                             LPDWORD lpNumberOfBytesWritten,
                             LPOVERLAPPED /*lpOverlapped*/) {
  const auto file = writing_.find(hFile);
  if (!WriteCall("WriteFile") || file == writing_.end() || openHandles_.count(hFile) == 0) {
    return FALSE;
  }
  // An injected failure is a short write: the disk filled up part way.
  const DWORD written = Injected("WriteFile") ? nNumberOfBytesToWrite / 2 : nNumberOfBytesToWrite;
  writtenFiles[file->second].append(static_cast<const char*>(lpBuffer), written);
  *lpNumberOfBytesWritten = written;
  return TRUE;
}

BOOL FakePlatform::FlushFileBuffers(HANDLE hFile) {
  return WriteCall("FlushFileBuffers") && writing_.count(hFile) != 0 &&
         openHandles_.count(hFile) != 0;
}

BOOL FakePlatform::MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags) {
  const auto file = writtenFiles.find(lpExistingFileName);
  if (!WriteCall("MoveFileExA") || file == writtenFiles.end() ||
      (dwFlags & MOVEFILE_REPLACE_EXISTING) == 0) {
    return FALSE;
  }
  std::string content = file->second;
  writtenFiles.erase(file);
  writtenFiles[lpNewFileName] = content;
  return TRUE;
}

BOOL FakePlatform::DeleteFileA(LPCSTR lpFileName) {
  if (!WriteCall("DeleteFileA")) {
    return FALSE;
  }
  return writtenFiles.erase(lpFileName) != 0 ? TRUE : FALSE;
}

SplitBlock SplitWithFake(const std::string& line, unsigned char fillByte) {
  FakePlatform fake;
  fake.fillByte = fillByte;
  SplitBlock result;
  LPSTR* argv = TReinstall::SplitCommandLine(line.c_str(), &result.count);
  if (argv == nullptr) {
    return result;
  }
  result.allocated = true;
  result.blockSize = fake.lastAllocationSize;
  for (std::int32_t i = 0; i < result.count; ++i) {
    result.arguments.emplace_back(argv[i]);
  }
  result.nullSlot = argv[result.count] == nullptr;
  const auto* text =
      reinterpret_cast<const unsigned char*>(argv) + ArgvTextOffset(line.size(), sizeof(LPSTR));
  result.characterArea.assign(text, text + line.size() + 2);
  fake.LocalFree(argv);
  return result;
}

}  // namespace reinstall::testing
