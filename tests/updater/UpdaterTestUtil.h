// Helpers shared by the store tests.
#ifndef QN_TESTS_UPDATER_UPDATERTESTUTIL_H
#define QN_TESTS_UPDATER_UPDATERTESTUTIL_H

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <set>
#include <string>

#include "app/Log.h"

namespace qntest {

// Runs `body` while `mask` is the log mask, capturing standard error (or
// standard output).
inline std::string CaptureWithMask(unsigned int mask, const std::function<void()>& body,
                                   bool captureStdout = false) {
  unsigned int old = Log::package_bitmask;
  Log::package_bitmask = mask;
  captureStdout ? testing::internal::CaptureStdout() : testing::internal::CaptureStderr();
  body();
  fflush(nullptr);
  std::string text = captureStdout ? testing::internal::GetCapturedStdout()
                                   : testing::internal::GetCapturedStderr();
  Log::package_bitmask = old;
  return text;
}

// Runs `body` in a child process without write permission to anything it
// does not own: as root the child switches to the user "nobody" (65534).
// Returns the child's exit status, 99 when it could not drop privileges.
inline int RunUnprivileged(const std::function<int()>& body) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(99);
    _exit(body());
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Names in `dir` other than "." and "..".
inline std::set<std::string> ListNames(const std::string& dir) {
  std::set<std::string> names;
  DIR* d = opendir(dir.c_str());
  while (struct dirent* e = d ? readdir(d) : nullptr) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names.insert(n);
  }
  if (d) closedir(d);
  return names;
}

inline mode_t FileMode(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

}  // namespace qntest

#endif  // QN_TESTS_UPDATER_UPDATERTESTUTIL_H
