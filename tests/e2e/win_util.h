// Small helpers shared by the Windows test programs: UTF-8 <-> UTF-16 and a wall clock that
// Python on the host reads on the same scale (Unix milliseconds).
#ifndef REINSTALL_TESTS_E2E_WIN_UTIL_H_
#define REINSTALL_TESTS_E2E_WIN_UTIL_H_

#include <windows.h>

#include <cstdio>
#include <string>

namespace e2e {

inline std::string Utf8(const std::wstring& wide) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), static_cast<int>(wide.size()),
                                    nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), static_cast<int>(wide.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

inline std::wstring Wide(const std::string& utf8) {
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

inline double UnixMs() {
  FILETIME ft;
  GetSystemTimePreciseAsFileTime(&ft);
  const unsigned long long ticks =
      (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return static_cast<double>(ticks - 116444736000000000ULL) / 10000.0;
}

// Writes `text` to the UTF-8 path `path` under a temporary name, then renames it into place.
inline bool WriteWhole(const std::string& path, const std::string& text) {
  const std::wstring target = Wide(path);
  const std::wstring partial = target + L".partial";
  FILE* out = _wfopen(partial.c_str(), L"wb");
  if (out == nullptr) {
    return false;
  }
  std::fwrite(text.data(), 1, text.size(), out);
  std::fclose(out);
  return MoveFileExW(partial.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

}  // namespace e2e

#endif  // REINSTALL_TESTS_E2E_WIN_UTIL_H_
