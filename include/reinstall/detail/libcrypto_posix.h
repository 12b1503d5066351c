// SHA-256 natively, from the system's OpenSSL (libcrypto), loaded on first use: nothing has to be
// linked against it, and a program that verifies nothing loads nothing more. Shared by the native
// launcher and the helper; the counterpart of cng_win32.h.
#ifndef REINSTALL_DETAIL_LIBCRYPTO_POSIX_H_
#define REINSTALL_DETAIL_LIBCRYPTO_POSIX_H_

#include <dlfcn.h>

#include <cstddef>

namespace reinstall::detail {

// The EVP digest calls, each null when libcrypto or the function could not be had. Its types
// stay opaque: no OpenSSL header is needed to build.
struct LibcryptoCalls {
  void* (*newContext)();
  void (*freeContext)(void*);
  const void* (*sha256)();
  int (*init)(void*, const void*, void*);
  int (*update)(void*, const void*, std::size_t);
  int (*final)(void*, unsigned char*, unsigned int*);

  [[nodiscard]] bool complete() const {
    return newContext != nullptr && freeContext != nullptr && sha256 != nullptr &&
           init != nullptr && update != nullptr && final != nullptr;
  }
};

inline const LibcryptoCalls& Libcrypto() {
  static const LibcryptoCalls calls = [] {
    void* library = ::dlopen("libcrypto.so.3", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
      library = ::dlopen("libcrypto.so", RTLD_NOW | RTLD_LOCAL);
    }
    LibcryptoCalls found{};
    if (library != nullptr) {
      // NOLINTBEGIN(cppcoreguidelines-pro-type-reinterpret-cast): how dlsym is used
      found.newContext = reinterpret_cast<void* (*)()>(::dlsym(library, "EVP_MD_CTX_new"));
      found.freeContext = reinterpret_cast<void (*)(void*)>(::dlsym(library, "EVP_MD_CTX_free"));
      found.sha256 = reinterpret_cast<const void* (*)()>(::dlsym(library, "EVP_sha256"));
      found.init = reinterpret_cast<int (*)(void*, const void*, void*)>(
          ::dlsym(library, "EVP_DigestInit_ex"));
      found.update = reinterpret_cast<int (*)(void*, const void*, std::size_t)>(
          ::dlsym(library, "EVP_DigestUpdate"));
      found.final = reinterpret_cast<int (*)(void*, unsigned char*, unsigned int*)>(
          ::dlsym(library, "EVP_DigestFinal_ex"));
      // NOLINTEND(cppcoreguidelines-pro-type-reinterpret-cast)
    }
    return found;
  }();
  return calls;
}

// One SHA-256 computation; ok() is false when libcrypto could not start one.
class Sha256Hasher {
 public:
  Sha256Hasher() {
    const LibcryptoCalls& calls = Libcrypto();
    if (calls.complete()) {
      context_ = calls.newContext();
      ok_ = context_ != nullptr && calls.init(context_, calls.sha256(), nullptr) == 1;
    }
  }
  ~Sha256Hasher() {
    if (context_ != nullptr) {
      Libcrypto().freeContext(context_);
    }
  }
  Sha256Hasher(const Sha256Hasher&) = delete;
  Sha256Hasher& operator=(const Sha256Hasher&) = delete;

  [[nodiscard]] bool ok() const { return ok_; }
  bool Update(const void* data, std::size_t size) {
    ok_ = ok_ && Libcrypto().update(context_, data, size) == 1;
    return ok_;
  }
  bool Finish(unsigned char (&digest)[32]) {
    unsigned int length = 0;
    ok_ = ok_ && Libcrypto().final(context_, digest, &length) == 1 && length == 32;
    return ok_;
  }

 private:
  void* context_ = nullptr;
  bool ok_ = false;
};

}  // namespace reinstall::detail

#endif  // REINSTALL_DETAIL_LIBCRYPTO_POSIX_H_
