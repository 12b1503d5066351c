// Starting a program natively so that it takes nothing of its starter along: a session of its
// own, no descriptor above standard error, no blocked signal and every signal at its default.
// The helper starts the launcher this way, and the launcher its installer, so an application's
// log, listening socket or ignored SIGTERM never reaches either.
#ifndef REINSTALL_DETAIL_SPAWN_POSIX_H_
#define REINSTALL_DETAIL_SPAWN_POSIX_H_

#include <dirent.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

// Declared by <unistd.h> only with _GNU_SOURCE; repeated for programs built without it.
extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace reinstall {
namespace detail {

#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
inline int CloseInheritedDescriptors(posix_spawn_file_actions_t* actions) {
  return posix_spawn_file_actions_addclosefrom_np(actions, 3);
}
#else
// Without closefrom among the file actions: every descriptor open now, as /proc lists them.
inline int CloseInheritedDescriptors(posix_spawn_file_actions_t* actions) {
  std::vector<int> open;
  if (DIR* folder = ::opendir("/proc/self/fd")) {
    const int own = ::dirfd(folder);
    while (const dirent* entry = ::readdir(folder)) {
      const int fd = std::atoi(entry->d_name);
      if (fd > 2 && fd != own) {
        open.push_back(fd);
      }
    }
    ::closedir(folder);
  }
  for (const int fd : open) {
    const int error = posix_spawn_file_actions_addclose(actions, fd);
    if (error != 0) {
      return error;
    }
  }
  return 0;
}
#endif

// Starts `path` (searched in PATH when `searchPath`) with `argv` and this environment, in
// `directory` (null: this process's working directory), without waiting for it. Returns 0 and
// `*pid`, or the errno value of the failure.
inline int SpawnDetached(const char* path,
                         char* const argv[],
                         bool searchPath,
                         pid_t* pid,
                         const char* directory = nullptr) {
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_t actions;
  int error = posix_spawnattr_init(&attributes);
  if (error != 0) {
    return error;
  }
  error = posix_spawn_file_actions_init(&actions);
  if (error != 0) {
    posix_spawnattr_destroy(&attributes);
    return error;
  }
  sigset_t none;
  sigset_t defaults;
  sigemptyset(&none);
  sigfillset(&defaults);
  sigdelset(&defaults, SIGKILL);
  sigdelset(&defaults, SIGSTOP);
  error = posix_spawnattr_setflags(
      &attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  if (error == 0) {
    error = posix_spawnattr_setsigmask(&attributes, &none);
  }
  if (error == 0) {
    error = posix_spawnattr_setsigdefault(&attributes, &defaults);
  }
  if (error == 0) {
    error = CloseInheritedDescriptors(&actions);
  }
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 29))
  if (error == 0 && directory != nullptr) {
    error = posix_spawn_file_actions_addchdir_np(&actions, directory);
  }
#else
  (void)directory;  // without chdir among the file actions: the starter's working directory
#endif
  if (error == 0) {
    error = searchPath ? posix_spawnp(pid, path, &actions, &attributes, argv, environ)
                       : posix_spawn(pid, path, &actions, &attributes, argv, environ);
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return error;
}

}  // namespace detail
}  // namespace reinstall

#endif  // REINSTALL_DETAIL_SPAWN_POSIX_H_
