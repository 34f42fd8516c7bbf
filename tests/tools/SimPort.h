// A client end of a simulator's pseudo-terminal for the tool tests: raw mode,
// writes, and reads bounded by a deadline.
#ifndef QN_TESTS_TOOLS_SIMPORT_H
#define QN_TESTS_TOOLS_SIMPORT_H

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <string>

namespace qntest {

class SimPort {
 public:
  explicit SimPort(const std::string& path) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    struct termios tio;
    if (fd_ >= 0 && tcgetattr(fd_, &tio) == 0) {
      cfmakeraw(&tio);
      tcsetattr(fd_, TCSANOW, &tio);
    }
  }
  ~SimPort() {
    if (fd_ >= 0) close(fd_);
  }
  SimPort(const SimPort&) = delete;
  SimPort& operator=(const SimPort&) = delete;
  bool ok() const { return fd_ >= 0; }

  bool Write(const std::string& bytes) {
    size_t done = 0;
    long deadline = NowMs() + 5000;
    while (done < bytes.size() && NowMs() < deadline) {
      ssize_t w = write(fd_, bytes.data() + done, bytes.size() - done);
      if (w > 0) {
        done += (size_t)w;
      } else {
        struct pollfd p = {fd_, POLLOUT, 0};
        poll(&p, 1, 10);
      }
    }
    return done == bytes.size();
  }

  // Reads until `count` bytes arrived or `timeoutMs` passed.
  std::string Read(size_t count, int timeoutMs = 2000) {
    std::string out;
    long deadline = NowMs() + timeoutMs;
    while (out.size() < count) {
      long left = deadline - NowMs();
      if (left <= 0) break;
      struct pollfd p = {fd_, POLLIN, 0};
      if (poll(&p, 1, (int)left) <= 0) continue;
      char buf[4096];
      size_t want = count - out.size() < sizeof(buf) ? count - out.size() : sizeof(buf);
      ssize_t r = read(fd_, buf, want);
      if (r > 0) out.append(buf, (size_t)r);
    }
    return out;
  }

  // Everything that arrives within `ms`.
  std::string Drain(int ms) { return Read(1 << 20, ms); }

  static long NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
  }

 private:
  int fd_ = -1;
};

}  // namespace qntest

#endif  // QN_TESTS_TOOLS_SIMPORT_H
