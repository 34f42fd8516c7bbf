// The simulated i.MX RT boot ROM (qn_sdpsim_core) on the far side of a
// pseudo-terminal, served by a thread of the test, for the serial download
// client and the recovery procedure.
#ifndef QN_TESTS_RECOVERY_SDPROMPTY_H
#define QN_TESTS_RECOVERY_SDPROMPTY_H

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "tools/qn-sdpsim/SdpRom.h"

namespace qntest {

// The boot ROM's side of a pseudo-terminal, served by a thread.
class RomOnPty {
 public:
  // `lineRate`: bytes per second the ROM takes in (0: as fast as they come),
  // so that the terminal's buffer holds a backlog as a slow line would.
  explicit RomOnPty(const sdpsim::Config& config, unsigned lineRate = 0)
      : device_(config), framer_(device_), lineRate_(lineRate) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    path_ = ptsname(master_);
    // Held open so that the line stays up between the client's opens.
    slave_ = open(path_.c_str(), O_RDWR | O_NOCTTY);
    if (slave_ < 0) return;
    struct termios t;
    tcgetattr(slave_, &t);
    cfmakeraw(&t);
    tcsetattr(slave_, TCSANOW, &t);
    thread_ = std::thread([this] { Serve(); });
  }
  ~RomOnPty() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
  }
  bool ok() const { return slave_ >= 0; }
  const std::string& path() const { return path_; }
  template <typename F>
  auto With(F f) {
    std::lock_guard<std::mutex> lock(mutex_);
    return f(device_);
  }

 private:
  void Serve() {
    unsigned quiet = 0;
    double budget = 0;
    auto last = std::chrono::steady_clock::now();
    while (!stop_) {
      struct pollfd p = {master_, POLLIN, 0};
      uint8_t buffer[4096];
      size_t want = sizeof(buffer);
      if (lineRate_) {
        auto now = std::chrono::steady_clock::now();
        budget += lineRate_ * std::chrono::duration<double>(now - last).count();
        last = now;
        if (budget > sizeof(buffer)) budget = sizeof(buffer);
        want = (size_t)budget;
      }
      ssize_t n = 0;
      if (want == 0)
        usleep(1000);
      else if (poll(&p, 1, 10) > 0 && (p.revents & POLLIN))
        n = read(master_, buffer, want);
      if (n > 0 && lineRate_) budget -= n;
      std::lock_guard<std::mutex> lock(mutex_);
      if (n > 0) {
        quiet = 0;
        framer_.Receive(buffer, (size_t)n);
      } else {
        quiet += 10;
        framer_.Idle(quiet);
      }
      std::string out = framer_.TakeOutput();
      size_t done = 0;
      while (done < out.size() && !stop_) {
        ssize_t w = write(master_, out.data() + done, out.size() - done);
        if (w > 0)
          done += (size_t)w;
        else
          usleep(1000);
      }
    }
  }

  sdpsim::Device device_;
  sdpsim::SerialFramer framer_;
  unsigned lineRate_;
  std::mutex mutex_;
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
};

}  // namespace qntest

#endif  // QN_TESTS_RECOVERY_SDPROMPTY_H
