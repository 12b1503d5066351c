// The Win32 types and constants the launcher uses. On Windows they come from the system headers
// (the only place that includes them); elsewhere a minimal subset with the same values and widths,
// so the logic reads as the Win32 program it is on every build.
#ifndef REINSTALL_PLATFORM_WIN32_TYPES_H_
#define REINSTALL_PLATFORM_WIN32_TYPES_H_

#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <bcrypt.h>
#include <shellapi.h>

#else

#include <cstddef>
#include <cstdint>

#define WINAPI

using BOOL = int;
using UINT = unsigned int;
using WORD = std::uint16_t;
using ULONG = std::uint32_t;
using DWORD = std::uint32_t;  // 32 bits wide, as on Windows, whatever `long` is here
using LPDWORD = DWORD*;
using NTSTATUS = std::int32_t;
using UCHAR = unsigned char;
using PUCHAR = UCHAR*;
using SIZE_T = std::size_t;
using LPSTR = char*;
using LPCSTR = const char*;
using LPCWSTR = const wchar_t*;
using WCHAR = char16_t;  // UTF-16 units, as on Windows, whatever wchar_t is here
using LPWSTR = WCHAR*;
using LPVOID = void*;
using HANDLE = void*;
using HGLOBAL = void*;
using HLOCAL = void*;
using HKEY = void*;
using HINSTANCE = struct InstanceTag*;
using HWND = struct WindowTag*;
using LPSECURITY_ATTRIBUTES = struct SecurityAttributesTag*;
using LPOVERLAPPED = struct OverlappedTag*;
using BCRYPT_ALG_HANDLE = void*;
using BCRYPT_HASH_HANDLE = void*;

constexpr BOOL FALSE = 0;
constexpr BOOL TRUE = 1;

// All bits set, as on Windows: the failure value of CreateFileA, never returned by OpenMutexA.
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))

constexpr UINT GMEM_FIXED = 0x0000;

constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_EXECUTE = 0x20000000;
constexpr DWORD FILE_SHARE_READ = 0x00000001;
constexpr DWORD FILE_SHARE_WRITE = 0x00000002;
constexpr DWORD FILE_SHARE_DELETE = 0x00000004;
constexpr DWORD FILE_READ_ATTRIBUTES = 0x00000080;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x00000010;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080;
constexpr DWORD FILE_ATTRIBUTE_REPARSE_POINT = 0x00000400;
constexpr DWORD FILE_FLAG_OPEN_REPARSE_POINT = 0x00200000;
constexpr DWORD FILE_FLAG_SEQUENTIAL_SCAN = 0x08000000;

// Only its name is used: "SHA256", a wide string as on Windows.
#define BCRYPT_SHA256_ALGORITHM L"SHA256"

constexpr DWORD READ_CONTROL = 0x00020000;

constexpr DWORD MAX_PATH = 260;
constexpr DWORD FILE_NAME_NORMALIZED = 0x0;
constexpr DWORD VOLUME_NAME_DOS = 0x0;

constexpr UINT CP_ACP = 0;
constexpr UINT CP_UTF8 = 65001;

constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x00000001;
constexpr DWORD MOVEFILE_WRITE_THROUGH = 0x00000008;

constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_BAD_FORMAT = 11;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
constexpr DWORD ERROR_NO_ASSOCIATION = 1155;
constexpr DWORD ERROR_CANT_RESOLVE_FILENAME = 1921;

constexpr UINT MB_OK = 0x00000000;
constexpr UINT MB_ICONHAND = 0x00000010;
constexpr UINT MB_SYSTEMMODAL = 0x00001000;

constexpr ULONG SEE_MASK_DEFAULT = 0x00000000;
constexpr int SW_SHOWNORMAL = 1;

// The same members in the same order as the Windows declaration.
struct SHELLEXECUTEINFOA {
  DWORD cbSize;
  ULONG fMask;
  HWND hwnd;
  LPCSTR lpVerb;
  LPCSTR lpFile;
  LPCSTR lpParameters;
  LPCSTR lpDirectory;
  int nShow;
  HINSTANCE hInstApp;
  void* lpIDList;
  LPCSTR lpClass;
  HKEY hkeyClass;
  DWORD dwHotKey;
  union {
    HANDLE hIcon;
    HANDLE hMonitor;
  };
  HANDLE hProcess;
};
using LPSHELLEXECUTEINFOA = SHELLEXECUTEINFOA*;

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};
using LPSYSTEMTIME = SYSTEMTIME*;
using LPCVOID = const void*;

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

struct BY_HANDLE_FILE_INFORMATION {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD dwVolumeSerialNumber;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD nNumberOfLinks;
  DWORD nFileIndexHigh;
  DWORD nFileIndexLow;
};
using LPBY_HANDLE_FILE_INFORMATION = BY_HANDLE_FILE_INFORMATION*;

#endif  // defined(_WIN32)

#endif  // REINSTALL_PLATFORM_WIN32_TYPES_H_
