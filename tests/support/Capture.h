// What code under test prints: standard output or error captured around a
// call, with the log channels of a mask active meanwhile.
#ifndef QN_TESTS_SUPPORT_CAPTURE_H
#define QN_TESTS_SUPPORT_CAPTURE_H

#include <gtest/gtest.h>
#include <stdio.h>

#include <functional>
#include <string>

#include "app/Log.h"

namespace qntest {

// Sets Log::package_bitmask for its lifetime and restores the old mask.
class LogMask {
 public:
  explicit LogMask(unsigned int mask) : old_(Log::package_bitmask) { Log::package_bitmask = mask; }
  ~LogMask() { Log::package_bitmask = old_; }
  LogMask(const LogMask&) = delete;
  LogMask& operator=(const LogMask&) = delete;

 private:
  unsigned int old_;
};

// What `body` writes on standard output, with the log mask `mask` meanwhile.
inline std::string CaptureStdout(unsigned int mask, const std::function<void()>& body) {
  LogMask scope(mask);
  testing::internal::CaptureStdout();
  body();
  fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

// The same, with the log mask as it is.
inline std::string CaptureStdout(const std::function<void()>& body) {
  return CaptureStdout(Log::package_bitmask, body);
}

// What `body` writes on standard error, with the log mask `mask` meanwhile.
inline std::string CaptureStderr(unsigned int mask, const std::function<void()>& body) {
  LogMask scope(mask);
  testing::internal::CaptureStderr();
  body();
  fflush(stderr);
  return testing::internal::GetCapturedStderr();
}

}  // namespace qntest

#endif  // QN_TESTS_SUPPORT_CAPTURE_H
