// An LPC boot loader on the far side of a pseudo-terminal, served by a thread
// of the test: scripted (a handler answers each received line) or the
// simulated LPC17xx boot ROM's core. Every received line is recorded.
#ifndef QN_TESTS_RECOVERY_PTYPEER_H
#define QN_TESTS_RECOVERY_PTYPEER_H

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/qn-lpcsim/LpcIsp.h"

namespace qntest {

// The near end of the terminal is held open (raw) so that the line stays up
// between the client's opens.
class PtyPeer {
 public:
  // Gets each received line without its CR/LF; returns the bytes to answer.
  using Handler = std::function<std::string(const std::string& line)>;

  explicit PtyPeer(Handler handler) : handler_(std::move(handler)) { Start(); }
  explicit PtyPeer(const lpcsim::Config& config) : device_(new lpcsim::Device(config)) { Start(); }
  ~PtyPeer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
  }
  PtyPeer(const PtyPeer&) = delete;
  PtyPeer& operator=(const PtyPeer&) = delete;

  bool ok() const { return master_ >= 0 && slave_ >= 0; }
  const std::string& path() const { return path_; }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  size_t ReceivedBytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }

 private:
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

  void FlushDevice() {
    for (const lpcsim::Device::Chunk& chunk : device_->TakeOutput()) WriteAll(chunk.bytes);
  }

  void Serve() {
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

  int master_ = -1;
  int slave_ = -1;
  std::string path_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  Handler handler_;
  std::unique_ptr<lpcsim::Device> device_;
  std::atomic<bool> echo_{true};
  std::vector<std::string> lines_;
  size_t received_ = 0;
};

}  // namespace qntest

#endif  // QN_TESTS_RECOVERY_PTYPEER_H
