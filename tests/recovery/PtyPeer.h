// Boot ROMs on the far side of a pseudo-terminal, each served by a thread of
// the test: a scripted LPC boot loader (a handler answers each received
// line), the simulated LPC17xx boot ROM's core, or the simulated i.MX RT
// serial download ROM's core.
#ifndef QN_TESTS_RECOVERY_PTYPEER_H
#define QN_TESTS_RECOVERY_PTYPEER_H

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/qn-lpcsim/LpcIsp.h"
#include "tools/qn-sdpsim/SdpRom.h"

namespace qntest {

// The far end of a pseudo-terminal served by Serve() on a thread. The near
// end is held open (raw) so that the line stays up between the client's
// opens. A subclass calls Start() when constructed and Stop() when destroyed.
class PtyServer {
 public:
  virtual ~PtyServer() = default;
  bool ok() const { return master_ >= 0 && slave_ >= 0; }
  const std::string& path() const { return path_; }

 protected:
  void Start() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    path_ = ptsname(master_);
    slave_ = open(path_.c_str(), O_RDWR | O_NOCTTY);
    if (slave_ < 0) return;
    struct termios t;
    tcgetattr(slave_, &t);
    cfmakeraw(&t);
    tcsetattr(slave_, TCSANOW, &t);
    thread_ = std::thread([this] { Serve(); });
  }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
  }
  virtual void Serve() = 0;
  void WriteAll(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size() && !stop_) {
      ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += (size_t)n;
      } else {
        struct pollfd p = {master_, POLLOUT, 0};
        poll(&p, 1, 10);
      }
    }
  }

  int master_ = -1;
  int slave_ = -1;
  std::string path_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
};

// An LPC boot loader: scripted, or the simulated boot ROM. Every received
// line is recorded.
class PtyPeer : public PtyServer {
 public:
  // Gets each received line without its CR/LF; returns the bytes to answer.
  using Handler = std::function<std::string(const std::string& line)>;

  explicit PtyPeer(Handler handler) : handler_(std::move(handler)) { Start(); }
  explicit PtyPeer(const lpcsim::Config& config) : device_(new lpcsim::Device(config)) { Start(); }
  ~PtyPeer() override { Stop(); }

  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  size_t ReceivedBytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }

 private:
  void FlushDevice() {
    for (const lpcsim::Device::Chunk& chunk : device_->TakeOutput()) WriteAll(chunk.bytes);
  }

  void Serve() override {
    std::string line;
    while (!stop_) {
      struct pollfd p = {master_, POLLIN, 0};
      if (poll(&p, 1, 10) <= 0 || !(p.revents & POLLIN)) {
        if (device_) {
          std::lock_guard<std::mutex> lock(mutex_);
          device_->Idle();
          FlushDevice();
        }
        continue;
      }
      char buffer[512];
      ssize_t n = read(master_, buffer, sizeof(buffer));
      if (n <= 0) {
        usleep(5000);
        continue;
      }
      std::lock_guard<std::mutex> lock(mutex_);
      received_ += (size_t)n;
      if (device_) {
        for (ssize_t i = 0; i < n; ++i) {
          device_->Receive((uint8_t)buffer[i]);
          if (Collect(buffer[i], &line)) line.clear();
        }
        FlushDevice();
        continue;
      }
      if (echo_) WriteAll(std::string(buffer, (size_t)n));
      for (ssize_t i = 0; i < n; ++i) {
        if (!Collect(buffer[i], &line)) continue;
        if (line == "A 0" || line == "A 1") {
          WriteAll("0\r\n");
          echo_ = line == "A 1";
        } else {
          WriteAll(handler_(line));
        }
        line.clear();
      }
    }
  }

  // Adds a byte to the line being received; true when it completed a line,
  // which is then recorded (without CR/LF).
  bool Collect(char byte, std::string* line) {
    if (byte != '\n') {
      *line += byte;
      return false;
    }
    if (!line->empty() && line->back() == '\r') line->pop_back();
    lines_.push_back(*line);
    return true;
  }

  Handler handler_;
  std::unique_ptr<lpcsim::Device> device_;
  std::atomic<bool> echo_{true};
  std::vector<std::string> lines_;
  size_t received_ = 0;
};

// The simulated i.MX RT serial download ROM.
class RomOnPty : public PtyServer {
 public:
  // `lineRate`: bytes per second the ROM takes in (0: as fast as they come),
  // so that the terminal's buffer holds a backlog as a slow line would.
  explicit RomOnPty(const sdpsim::Config& config, unsigned lineRate = 0)
      : device_(config), framer_(device_), lineRate_(lineRate) {
    Start();
  }
  ~RomOnPty() override { Stop(); }
  template <typename F>
  auto With(F f) {
    std::lock_guard<std::mutex> lock(mutex_);
    return f(device_);
  }

 private:
  void Serve() override {
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
      WriteAll(framer_.TakeOutput());
    }
  }

  sdpsim::Device device_;
  sdpsim::SerialFramer framer_;
  unsigned lineRate_;
};

}  // namespace qntest

#endif  // QN_TESTS_RECOVERY_PTYPEER_H
