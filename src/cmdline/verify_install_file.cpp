#include <cstddef>
#include <string>

#include "app/errors/errors.h"
#include "app/reinstall.h"
#include "platform/platform.h"

namespace {

constexpr DWORD kReadSize = 64 * 1024;

// Whether the SHA-256 of what is left to read of `file` is `expected` (64 hexadecimal digits, in
// either case); false when it cannot be read or hashed.
bool HasDigest(HANDLE file, const std::string& expected) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (reinstall::os::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) <
      0) {
    return false;
  }
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok = reinstall::os::BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) >= 0;
  auto* buffer = static_cast<UCHAR*>(reinstall::os::GlobalAlloc(GMEM_FIXED, kReadSize));
  ok = ok && buffer != nullptr;
  for (DWORD read = 0; ok;) {
    ok = reinstall::os::ReadFile(file, buffer, kReadSize, &read, nullptr) != FALSE;
    if (!ok || read == 0) {
      break;
    }
    ok = reinstall::os::BCryptHashData(hash, buffer, read, 0) >= 0;
  }
  if (buffer != nullptr) {
    reinstall::os::LocalFree(buffer);
  }
  UCHAR digest[32] = {};
  ok = ok && reinstall::os::BCryptFinishHash(hash, digest, sizeof(digest), 0) >= 0;
  if (hash != nullptr) {
    reinstall::os::BCryptDestroyHash(hash);
  }
  reinstall::os::BCryptCloseAlgorithmProvider(algorithm, 0);
  const char* const kDigits = "0123456789abcdef";
  for (std::size_t i = 0; ok && i < 64; ++i) {
    const unsigned nibble = (i % 2 == 0) ? digest[i / 2] >> 4U : digest[i / 2] & 0x0FU;
    // Setting bit 5 lowers A-F and leaves the digits as they are.
    ok = (expected[i] | 0x20) == kDigits[nibble];
  }
  return ok;
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
  if (reinstall::os::GetFileInformationByHandle(hInstallFile, &fInstallFileId) == FALSE ||
      (fInstallFileId.dwFileAttributes &
       (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    throw errorInstallFileChanged();
  }
  if (!HasDigest(hInstallFile, fInstallSha256)) {
    throw errorInstallFileChanged();
  }
}

std::string TReinstall::HeldInstallPath() const {
  // The handle keeps the file from being changed, but a folder on the way (a junction, a link)
  // can lead elsewhere by now: the file's own path has none of them.
  char final[MAX_PATH];
  // Both flags are zero; they stay to name the form asked for (a drive letter, long names).
  // cppcheck-suppress badBitmaskCheck
  constexpr DWORD kForm = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
  const DWORD length =
      reinstall::os::GetFinalPathNameByHandleA(hInstallFile, final, MAX_PATH, kForm);
  std::string path = length > 0 && length < MAX_PATH ? std::string(final, length) : fInstallApp;
  // "\\?\C:\dir\setup.exe" and "\\?\UNC\server\share\setup.exe", in the form the shell and
  // installers expect.
  if (path.compare(0, 8, R"(\\?\UNC\)") == 0) {
    path.erase(2, 6);
  } else if (path.compare(0, 4, R"(\\?\)") == 0) {
    path.erase(0, 4);
  }
  // Where the system lets folders be renamed while a file in them is open, even that path can
  // lead elsewhere: it must still name the held file, right before the shell gets it.
  HANDLE named = reinstall::os::CreateFileA(
      path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (named == INVALID_HANDLE_VALUE) {
    throw errorInstallFileChanged();
  }
  BY_HANDLE_FILE_INFORMATION found{};
  const bool same = reinstall::os::GetFileInformationByHandle(named, &found) != FALSE &&
                    found.dwVolumeSerialNumber == fInstallFileId.dwVolumeSerialNumber &&
                    found.nFileIndexHigh == fInstallFileId.nFileIndexHigh &&
                    found.nFileIndexLow == fInstallFileId.nFileIndexLow;
  reinstall::os::CloseHandle(named);
  if (!same) {
    throw errorInstallFileChanged();
  }
  return path;
}
