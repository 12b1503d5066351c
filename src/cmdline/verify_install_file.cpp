#include <algorithm>
#include <cstddef>
#include <memory>
#include <string>

#include "app/errors/errors.h"
#include "app/reinstall.h"
#include "platform/platform.h"

namespace {

constexpr DWORD kReadSize = 64 * 1024;

// The SHA-256 of what is left to read of `file`, as 64 lower-case hexadecimal digits; empty when
// it cannot be read or hashed.
std::string Sha256Of(HANDLE file) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (reinstall::os::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) <
      0) {
    return {};
  }
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok = reinstall::os::BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) >= 0;
  const std::unique_ptr<UCHAR[]> buffer(new UCHAR[kReadSize]);
  for (DWORD read = 0; ok;) {
    ok = reinstall::os::ReadFile(file, buffer.get(), kReadSize, &read, nullptr) != FALSE;
    if (!ok || read == 0) {
      break;
    }
    ok = reinstall::os::BCryptHashData(hash, buffer.get(), read, 0) >= 0;
  }
  UCHAR digest[32] = {};
  ok = ok && reinstall::os::BCryptFinishHash(hash, digest, sizeof(digest), 0) >= 0;
  if (hash != nullptr) {
    reinstall::os::BCryptDestroyHash(hash);
  }
  reinstall::os::BCryptCloseAlgorithmProvider(algorithm, 0);
  if (!ok) {
    return {};
  }
  const char* const kDigits = "0123456789abcdef";
  std::string hex;
  for (const UCHAR byte : digest) {
    hex += kDigits[byte >> 4U];
    hex += kDigits[byte & 0x0FU];
  }
  return hex;
}

}  // namespace

void TReinstall::VerifyInstallFile() {
  // Sharing reading only: while this handle is open nobody can open the file for writing, rename,
  // delete or replace it, so the bytes hashed here are the bytes the shell starts.
  hInstallFile = reinstall::os::CreateFileA(
      fInstallApp.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (hInstallFile == INVALID_HANDLE_VALUE) {
    // The probe before opened it a moment ago: it is open for writing now, or a link.
    throw errorInstallFileChanged();
  }
  BY_HANDLE_FILE_INFORMATION information{};
  if (reinstall::os::GetFileInformationByHandle(hInstallFile, &information) == FALSE ||
      (information.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) !=
          0) {
    throw errorInstallFileChanged();
  }
  std::string expected = fInstallSha256;
  std::transform(expected.begin(), expected.end(), expected.begin(), [](char c) {
    return (c >= 'A' && c <= 'F') ? static_cast<char>(c - 'A' + 'a') : c;
  });
  if (Sha256Of(hInstallFile) != expected) {
    throw errorInstallFileChanged();
  }
}
