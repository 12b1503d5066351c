// CNG's SHA-256 calls, loaded on first use from System32 only: a program that verifies nothing
// loads nothing more, and bcrypt.dll is never looked for beside the program (often a download
// folder), where an import would be searched first. Shared by the launcher and the helper.
#ifndef REINSTALL_DETAIL_CNG_WIN32_H_
#define REINSTALL_DETAIL_CNG_WIN32_H_

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <bcrypt.h>

#include <cstddef>
#include <cstring>

namespace reinstall::detail {

// The functions, each null when bcrypt.dll or the function could not be had.
struct CngCalls {
  decltype(::BCryptOpenAlgorithmProvider)* open;
  decltype(::BCryptCreateHash)* create;
  decltype(::BCryptHashData)* hashData;
  decltype(::BCryptFinishHash)* finish;
  decltype(::BCryptDestroyHash)* destroy;
  decltype(::BCryptCloseAlgorithmProvider)* close;
};

template <typename Function>
Function* ResolveCall(HMODULE module, const char* name) {
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): how GetProcAddress is used
  return module == nullptr
             ? nullptr
             : reinterpret_cast<Function*>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

// Loads the system's own DLL `name` ("\\bcrypt.dll") from System32, never from a folder searched
// before it (the program's own, often a download folder, where a planted DLL could answer in its
// place); null when it cannot be had.
template <std::size_t N>
HMODULE LoadSystemLibrary(const char (&name)[N]) {
  HMODULE module = ::LoadLibraryExA(name + 1, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr) {  // systems without the search flag: System32 named in full
    char path[MAX_PATH];
    const UINT length = ::GetSystemDirectoryA(path, MAX_PATH);
    if (length > 0 && length + N <= MAX_PATH) {
      std::memcpy(path + length, name, N);
      module = ::LoadLibraryA(path);
    }
  }
  return module;
}

// Loads bcrypt.dll and resolves the calls; each call of this loads again (see Cng()).
inline CngCalls LoadCng() {
  HMODULE module = LoadSystemLibrary("\\bcrypt.dll");
  return CngCalls{
      ResolveCall<decltype(::BCryptOpenAlgorithmProvider)>(module, "BCryptOpenAlgorithmProvider"),
      ResolveCall<decltype(::BCryptCreateHash)>(module, "BCryptCreateHash"),
      ResolveCall<decltype(::BCryptHashData)>(module, "BCryptHashData"),
      ResolveCall<decltype(::BCryptFinishHash)>(module, "BCryptFinishHash"),
      ResolveCall<decltype(::BCryptDestroyHash)>(module, "BCryptDestroyHash"),
      ResolveCall<decltype(::BCryptCloseAlgorithmProvider)>(module,
                                                            "BCryptCloseAlgorithmProvider")};
}

// The calls, loaded once per process (thread-safe).
inline const CngCalls& Cng() {
  static const CngCalls calls = LoadCng();
  return calls;
}

// One SHA-256 computation; ok() is false when CNG could not start one.
class Sha256Hasher {
 public:
  Sha256Hasher() {
    const CngCalls& calls = Cng();
    ok_ = calls.open != nullptr && calls.create != nullptr && calls.hashData != nullptr &&
          calls.finish != nullptr && calls.destroy != nullptr && calls.close != nullptr &&
          calls.open(&algorithm_, BCRYPT_SHA256_ALGORITHM, nullptr, 0) >= 0 &&
          calls.create(algorithm_, &hash_, nullptr, 0, nullptr, 0, 0) >= 0;
  }
  ~Sha256Hasher() {
    if (hash_ != nullptr) {
      Cng().destroy(hash_);
    }
    if (algorithm_ != nullptr) {
      Cng().close(algorithm_, 0);
    }
  }
  Sha256Hasher(const Sha256Hasher&) = delete;
  Sha256Hasher& operator=(const Sha256Hasher&) = delete;

  [[nodiscard]] bool ok() const { return ok_; }
  bool Update(const void* data, std::size_t size) {
    // CNG takes at most 4 GiB less one byte per call.
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (ok_ && size > 0) {
      const ULONG part = size > 0x40000000U ? 0x40000000U : static_cast<ULONG>(size);
      ok_ = Cng().hashData(hash_, const_cast<PUCHAR>(bytes), part, 0) >= 0;
      bytes += part;
      size -= part;
    }
    return ok_;
  }
  bool Finish(unsigned char (&digest)[32]) {
    ok_ = ok_ && Cng().finish(hash_, digest, 32, 0) >= 0;
    return ok_;
  }

 private:
  BCRYPT_ALG_HANDLE algorithm_ = nullptr;
  BCRYPT_HASH_HANDLE hash_ = nullptr;
  bool ok_ = false;
};

}  // namespace reinstall::detail

#endif  // REINSTALL_DETAIL_CNG_WIN32_H_
