// The POSIX stand-in: the launcher's operations mapped onto Linux, so the same logic builds
// and runs natively. A named mutex is a lock file that exists while some process holds an fcntl
// lock on it; a message box is a few lines on standard error. Linux has no share modes: a file the
// launcher holds open can still be written by others, so here a digest check pins nothing.
#include "platform/platform_posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "reinstall/command_line.h"
#include "reinstall/detail/libcrypto_posix.h"
#include "reinstall/detail/spawn_posix.h"

namespace reinstall::platform {
namespace posix {
namespace {

thread_local DWORD t_lastError = 0;

// Handles are file descriptors shifted by one, so that no descriptor maps to null or to
// INVALID_HANDLE_VALUE.
HANDLE HandleFromFd(int fd) {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd) + 1);
}

int FdFromHandle(HANDLE handle) {
  return static_cast<int>(reinterpret_cast<std::intptr_t>(handle) - 1);
}

std::string& CommandLineStorage() {
  // Never destroyed: the command line stays valid for the life of the process.
  static auto* storage = new std::string();
  return *storage;
}

void WriteAll(int fd, const std::string& text) {
  const char* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t written = ::write(fd, data, left);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
}

// Splits the parameter string by the launcher's own rules into the arguments of the started
// program, after `program` itself.
std::vector<std::string> ArgumentsFor(const char* program, const char* parameters) {
  std::vector<std::string> arguments = SplitArguments(parameters != nullptr ? parameters : "");
  arguments.insert(arguments.begin(), program);
  return arguments;
}

// Starts `path` with `arguments` in a session of its own (it outlives the launcher and is not hit
// by signals meant for the caller's terminal), taking no descriptor or signal state of the
// launcher's starter along, without waiting for it. Returns 0 or the errno value of the failure.
int Spawn(const char* path, const std::vector<std::string>& arguments, bool searchPath) {
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (const std::string& argument : arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));  // cppcheck-suppress useStlAlgorithm
  }
  argv.push_back(nullptr);
  pid_t pid = 0;
  return reinstall::detail::SpawnDetached(path, argv.data(), searchPath, &pid);
}

bool IsExecutableRegularFile(const char* path) {
  struct stat status {};
  return ::stat(path, &status) == 0 && S_ISREG(status.st_mode) &&
         ::faccessat(AT_FDCWD, path, X_OK, AT_EACCESS) == 0;
}

class PosixPlatform final : public Platform {
 public:
  LPSTR GetCommandLineA() override { return CommandLineStorage().data(); }

  HGLOBAL GlobalAlloc(UINT /*uFlags*/, SIZE_T dwBytes) override {
    void* block = std::malloc(dwBytes);
    if (block == nullptr) {
      t_lastError = ERROR_NOT_ENOUGH_MEMORY;
    }
    return block;
  }

  HLOCAL LocalFree(HLOCAL hMem) override {
    std::free(hMem);
    return nullptr;
  }

  HANDLE CreateFileA(LPCSTR lpFileName,
                     DWORD dwDesiredAccess,
                     DWORD /*dwShareMode*/,
                     LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/,
                     DWORD dwCreationDisposition,
                     DWORD dwFlagsAndAttributes,
                     HANDLE /*hTemplateFile*/) override {
    if (lpFileName != nullptr && dwCreationDisposition == CREATE_ALWAYS &&
        dwDesiredAccess == GENERIC_WRITE) {
      // A new file for this user alone, never through a link.
      const int fd = ::open(lpFileName,
                            O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0600);
      if (fd < 0) {
        t_lastError = Win32ErrorFromErrno(errno);
        return INVALID_HANDLE_VALUE;
      }
      return HandleFromFd(fd);
    }
    if (lpFileName == nullptr || dwCreationDisposition != OPEN_EXISTING) {
      t_lastError = ERROR_INVALID_PARAMETER;
      return INVALID_HANDLE_VALUE;
    }
    // O_NONBLOCK keeps a FIFO from stalling the open; it is refused below as not a regular file.
    // A symbolic link is this system's reparse point: not followed when asked not to.
    const int noFollow =
        (dwFlagsAndAttributes & FILE_FLAG_OPEN_REPARSE_POINT) != 0 ? O_NOFOLLOW : 0;
    const int fd = ::open(lpFileName, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | noFollow);
    if (fd < 0) {
      t_lastError = Win32ErrorFromErrno(errno);
      return INVALID_HANDLE_VALUE;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
      ::close(fd);
      t_lastError = ERROR_ACCESS_DENIED;
      return INVALID_HANDLE_VALUE;
    }
    if ((dwDesiredAccess & GENERIC_EXECUTE) != 0 &&
        ::faccessat(AT_FDCWD, lpFileName, X_OK, AT_EACCESS) != 0) {
      ::close(fd);
      t_lastError = ERROR_ACCESS_DENIED;
      return INVALID_HANDLE_VALUE;
    }
    return HandleFromFd(fd);
  }

  BOOL CloseHandle(HANDLE hObject) override {
    if (hObject == nullptr || hObject == INVALID_HANDLE_VALUE) {
      t_lastError = ERROR_INVALID_HANDLE;
      return FALSE;
    }
    if (::close(FdFromHandle(hObject)) != 0 && errno != EINTR) {
      t_lastError = ERROR_INVALID_HANDLE;
      return FALSE;
    }
    return TRUE;
  }

  HANDLE OpenMutexA(DWORD /*dwDesiredAccess*/, BOOL /*bInheritHandle*/, LPCSTR lpName) override {
    if (lpName == nullptr) {
      t_lastError = ERROR_INVALID_PARAMETER;
      return nullptr;
    }
    const std::string path = LockPath(lpName);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
      t_lastError = Win32ErrorFromErrno(errno);
      return nullptr;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
      // Windows answers a name held by an object of another kind the same way.
      ::close(fd);
      t_lastError = ERROR_INVALID_HANDLE;
      return nullptr;
    }
    // Only asks whether a write lock would conflict with a lock that someone holds (classic or
    // open-file-description); never takes one.
    struct flock query {};
    query.l_type = F_WRLCK;
    query.l_whence = SEEK_SET;
    query.l_start = 0;
    query.l_len = 0;
    if (::fcntl(fd, F_OFD_GETLK, &query) != 0) {
      const int error = errno;
      ::close(fd);
      t_lastError = Win32ErrorFromErrno(error);
      return nullptr;
    }
    if (query.l_type == F_UNLCK) {
      ::close(fd);
      t_lastError = ERROR_FILE_NOT_FOUND;
      return nullptr;
    }
    return HandleFromFd(fd);
  }

  DWORD GetLastError() override { return t_lastError; }

  DWORD GetTickCount() override {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const auto ms = static_cast<std::uint64_t>(now.tv_sec) * 1000U +
                    static_cast<std::uint64_t>(now.tv_nsec) / 1000000U;
    return static_cast<DWORD>(ms);  // cut to 32 bits: wraps like the Windows tick count
  }

  void Sleep(DWORD dwMilliseconds) override {
    timespec left{static_cast<time_t>(dwMilliseconds / 1000),
                  static_cast<long>(dwMilliseconds % 1000) * 1000000L};
    // A signal does not cut the pause short.
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
  }

  BOOL ShellExecuteExA(SHELLEXECUTEINFOA* pExecInfo) override {
    if (pExecInfo == nullptr || pExecInfo->lpFile == nullptr ||
        (pExecInfo->lpVerb != nullptr && std::strcmp(pExecInfo->lpVerb, "open") != 0)) {
      t_lastError = ERROR_INVALID_PARAMETER;
      return FALSE;
    }
    const char* file = pExecInfo->lpFile;
    int result = IsExecutableRegularFile(file)
                     ? Spawn(file, ArgumentsFor(file, pExecInfo->lpParameters), false)
                     : ENOEXEC;
    if (result == ENOEXEC) {
      // Not a program (or one this system cannot run): a document, which goes to the desktop's
      // handler for its type, when there is one.
      result = Spawn("xdg-open", {"xdg-open", file}, true);
      if (result == ENOENT) {
        t_lastError = ERROR_NO_ASSOCIATION;
        return FALSE;
      }
    }
    if (result != 0) {
      t_lastError = Win32ErrorFromErrno(result);
      return FALSE;
    }
    return TRUE;
  }

  int MessageBoxA(HWND /*hWnd*/, LPCSTR lpText, LPCSTR lpCaption, UINT /*uType*/) override {
    std::string box = "[";
    box += lpCaption != nullptr ? lpCaption : "Error";
    box += "]\n";
    const std::string text = lpText != nullptr ? lpText : "";
    box += text;
    if (text.empty() || text.back() != '\n') {
      box += '\n';
    }
    WriteAll(STDERR_FILENO, box);
    return 1;  // IDOK
  }

  BOOL ReadFile(HANDLE hFile,
                LPVOID lpBuffer,
                DWORD nNumberOfBytesToRead,
                LPDWORD lpNumberOfBytesRead,
                LPOVERLAPPED /*lpOverlapped*/) override {
    ssize_t n = 0;
    do {
      n = ::read(FdFromHandle(hFile), lpBuffer, nNumberOfBytesToRead);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      t_lastError = Win32ErrorFromErrno(errno);
      return FALSE;
    }
    if (lpNumberOfBytesRead != nullptr) {
      *lpNumberOfBytesRead = static_cast<DWORD>(n);
    }
    return TRUE;
  }

  BOOL GetFileInformationByHandle(HANDLE hFile,
                                  LPBY_HANDLE_FILE_INFORMATION lpFileInformation) override {
    struct stat status {};
    if (lpFileInformation == nullptr || ::fstat(FdFromHandle(hFile), &status) != 0) {
      t_lastError = ERROR_INVALID_HANDLE;
      return FALSE;
    }
    *lpFileInformation = BY_HANDLE_FILE_INFORMATION{};
    lpFileInformation->dwFileAttributes = S_ISDIR(status.st_mode)   ? FILE_ATTRIBUTE_DIRECTORY
                                          : S_ISLNK(status.st_mode) ? FILE_ATTRIBUTE_REPARSE_POINT
                                                                    : FILE_ATTRIBUTE_NORMAL;
    const auto size = static_cast<std::uint64_t>(status.st_size);
    lpFileInformation->nFileSizeHigh = static_cast<DWORD>(size >> 32U);
    lpFileInformation->nFileSizeLow = static_cast<DWORD>(size);
    lpFileInformation->nNumberOfLinks = static_cast<DWORD>(status.st_nlink);
    // A file's identity: its device and inode number.
    lpFileInformation->dwVolumeSerialNumber = static_cast<DWORD>(status.st_dev);
    const auto inode = static_cast<std::uint64_t>(status.st_ino);
    lpFileInformation->nFileIndexHigh = static_cast<DWORD>(inode >> 32U);
    lpFileInformation->nFileIndexLow = static_cast<DWORD>(inode);
    return TRUE;
  }

  // The path the kernel keeps for the open file: links resolved, as the system names it now.
  DWORD GetFinalPathNameByHandleA(HANDLE hFile,
                                  LPSTR lpszFilePath,
                                  DWORD cchFilePath,
                                  DWORD /*dwFlags*/) override {
    const std::string link = "/proc/self/fd/" + std::to_string(FdFromHandle(hFile));
    char path[4096];
    const ssize_t n = ::readlink(link.c_str(), path, sizeof(path));
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof(path)) {
      t_lastError = n < 0 ? Win32ErrorFromErrno(errno) : ERROR_FILENAME_EXCED_RANGE;
      return 0;
    }
    const auto length = static_cast<DWORD>(n);
    if (length >= cchFilePath) {
      return length + 1;  // the room it needs, as Windows answers a buffer too small
    }
    std::memcpy(lpszFilePath, path, length);
    lpszFilePath[length] = '\0';
    return length;
  }

  void GetSystemTime(LPSYSTEMTIME lpSystemTime) override {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    struct tm utc {};
    ::gmtime_r(&now.tv_sec, &utc);
    *lpSystemTime =
        SYSTEMTIME{static_cast<WORD>(utc.tm_year + 1900), static_cast<WORD>(utc.tm_mon + 1),
                   static_cast<WORD>(utc.tm_wday),        static_cast<WORD>(utc.tm_mday),
                   static_cast<WORD>(utc.tm_hour),        static_cast<WORD>(utc.tm_min),
                   static_cast<WORD>(utc.tm_sec),         static_cast<WORD>(now.tv_nsec / 1000000)};
  }

  BOOL WriteFile(HANDLE hFile,
                 LPCVOID lpBuffer,
                 DWORD nNumberOfBytesToWrite,
                 LPDWORD lpNumberOfBytesWritten,
                 LPOVERLAPPED /*lpOverlapped*/) override {
    ssize_t n = 0;
    do {
      n = ::write(FdFromHandle(hFile), lpBuffer, nNumberOfBytesToWrite);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      t_lastError = Win32ErrorFromErrno(errno);
      return FALSE;
    }
    *lpNumberOfBytesWritten = static_cast<DWORD>(n);
    return TRUE;
  }

  BOOL FlushFileBuffers(HANDLE hFile) override {
    if (::fsync(FdFromHandle(hFile)) != 0) {
      t_lastError = Win32ErrorFromErrno(errno);
      return FALSE;
    }
    return TRUE;
  }

  // A rename: atomic on one file system, and always replacing; flushing is FlushFileBuffers'.
  BOOL MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD /*dwFlags*/) override {
    if (::rename(lpExistingFileName, lpNewFileName) != 0) {
      t_lastError = Win32ErrorFromErrno(errno);
      return FALSE;
    }
    return TRUE;
  }

  BOOL DeleteFileA(LPCSTR lpFileName) override {
    if (::unlink(lpFileName) != 0) {
      t_lastError = Win32ErrorFromErrno(errno);
      return FALSE;
    }
    return TRUE;
  }

  // Natively text is bytes, written as they are: the stand-in's code page is UTF-8, and nothing
  // is ever converted.
  UINT GetACP() override { return CP_UTF8; }

  int MultiByteToWideChar(UINT /*CodePage*/,
                          DWORD /*dwFlags*/,
                          LPCSTR /*lpMultiByteStr*/,
                          int /*cbMultiByte*/,
                          LPWSTR /*lpWideCharStr*/,
                          int /*cchWideChar*/) override {
    t_lastError = ERROR_INVALID_PARAMETER;
    return 0;
  }

  // CNG's SHA-256 on OpenSSL's EVP digests: the algorithm handle stands for libcrypto, a hash
  // handle is an EVP_MD_CTX.
  NTSTATUS BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE* phAlgorithm,
                                       LPCWSTR pszAlgId,
                                       LPCWSTR /*pszImplementation*/,
                                       ULONG /*dwFlags*/) override {
    const detail::LibcryptoCalls& calls = detail::Libcrypto();
    if (phAlgorithm == nullptr || pszAlgId == nullptr ||
        std::wcscmp(pszAlgId, BCRYPT_SHA256_ALGORITHM) != 0) {
      return kStatusInvalidParameter;
    }
    if (!calls.complete()) {
      return kStatusNotFound;
    }
    *phAlgorithm = const_cast<detail::LibcryptoCalls*>(&calls);
    return 0;
  }

  NTSTATUS BCryptCreateHash(BCRYPT_ALG_HANDLE hAlgorithm,
                            BCRYPT_HASH_HANDLE* phHash,
                            PUCHAR /*pbHashObject*/,
                            ULONG /*cbHashObject*/,
                            PUCHAR /*pbSecret*/,
                            ULONG /*cbSecret*/,
                            ULONG /*dwFlags*/) override {
    const detail::LibcryptoCalls& calls = detail::Libcrypto();
    if (hAlgorithm == nullptr || phHash == nullptr || !calls.complete()) {
      return kStatusInvalidParameter;
    }
    void* context = calls.newContext();
    if (context == nullptr || calls.init(context, calls.sha256(), nullptr) != 1) {
      calls.freeContext(context);
      return kStatusNoMemory;
    }
    *phHash = context;
    return 0;
  }

  NTSTATUS BCryptHashData(BCRYPT_HASH_HANDLE hHash,
                          PUCHAR pbInput,
                          ULONG cbInput,
                          ULONG /*dwFlags*/) override {
    const detail::LibcryptoCalls& calls = detail::Libcrypto();
    return hHash != nullptr && calls.complete() && calls.update(hHash, pbInput, cbInput) == 1
               ? 0
               : kStatusInvalidParameter;
  }

  NTSTATUS BCryptFinishHash(BCRYPT_HASH_HANDLE hHash,
                            PUCHAR pbOutput,
                            ULONG cbOutput,
                            ULONG /*dwFlags*/) override {
    const detail::LibcryptoCalls& calls = detail::Libcrypto();
    unsigned int length = 0;
    return hHash != nullptr && cbOutput == 32 && calls.complete() &&
                   calls.final(hHash, pbOutput, &length) == 1 && length == 32
               ? 0
               : kStatusInvalidParameter;
  }

  NTSTATUS BCryptDestroyHash(BCRYPT_HASH_HANDLE hHash) override {
    const detail::LibcryptoCalls& calls = detail::Libcrypto();
    if (hHash == nullptr || !calls.complete()) {
      return kStatusInvalidParameter;
    }
    calls.freeContext(hHash);
    return 0;
  }

  NTSTATUS BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE hAlgorithm, ULONG /*dwFlags*/) override {
    return hAlgorithm != nullptr ? 0 : kStatusInvalidParameter;
  }

 private:
  static constexpr NTSTATUS kStatusInvalidParameter = static_cast<NTSTATUS>(0xC000000D);
  static constexpr NTSTATUS kStatusNoMemory = static_cast<NTSTATUS>(0xC0000017);
  static constexpr NTSTATUS kStatusNotFound = static_cast<NTSTATUS>(0xC0000225);
};

}  // namespace

void SetProcessArguments(int argc, const char* const* argv) {
  CommandLineStorage() = JoinArguments(std::vector<std::string>(argv, argv + argc));
}

DWORD Win32ErrorFromErrno(int error) {
  switch (error) {
    case 0:
      return 0;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM:
    case EROFS:
    case ETXTBSY:
      return ERROR_ACCESS_DENIED;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case ENOEXEC:
      return ERROR_BAD_FORMAT;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case ELOOP:
      return ERROR_CANT_RESOLVE_FILENAME;
    default:
      return ERROR_INVALID_FUNCTION;
  }
}

}  // namespace posix

Platform& RealPlatform() {
  // No state and a trivial destructor: usable from the destructors of other globals.
  static posix::PosixPlatform real;
  return real;
}

void HardenProcess() {}

}  // namespace reinstall::platform
