// An in-process fake module for the link tests: it serves a loopback TCP
// port, splits what the
// host sends into packets, answers sync requests when asked to, and sends
// whatever bytes a test wants. Every wait is bounded.
#ifndef QN_TESTS_LINK_FAKEMODULE_H
#define QN_TESTS_LINK_FAKEMODULE_H

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qntest {

typedef std::vector<uint8_t> Bytes;

// Polls `condition` every millisecond until it holds or timeoutMs passes.
inline bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 5000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

class FakeModule {
 public:
  // Serves a fresh loopback TCP port.
  FakeModule() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (bind(listener_, (sockaddr*)&address, sizeof(address)) == 0 && listen(listener_, 4) == 0) {
      socklen_t length = sizeof(address);
      getsockname(listener_, (sockaddr*)&address, &length);
      port_ = ntohs(address.sin_port);
    }
    thread_ = std::thread([this] { Serve(); });
  }

  ~FakeModule() {
    stop_ = true;
    thread_.join();
    if (connection_ >= 0) close(connection_);
    if (listener_ >= 0) close(listener_);
  }

  FakeModule(const FakeModule&) = delete;
  FakeModule& operator=(const FakeModule&) = delete;

  uint16_t port() const { return port_; }
  // Loopback in network byte order, as a link spec holds it.
  static uint32_t LoopbackAddress() { return htonl(INADDR_LOOPBACK); }

  // The module address used in sync answers; 0 turns automatic answers off.
  void SetSyncAnswerAddress(uint8_t address) { syncAnswer_ = address; }

  void Send(const Bytes& bytes) {
    std::lock_guard<std::mutex> lock(sendMutex_);
    int fd = connection_.load();
    size_t sent = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (fd >= 0 && sent < bytes.size() && std::chrono::steady_clock::now() < deadline) {
      ssize_t n = write(fd, bytes.data() + sent, bytes.size() - sent);
      if (n > 0) {
        sent += (size_t)n;
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        break;
      } else {
        pollfd wait = {fd, POLLOUT, 0};
        poll(&wait, 1, 10);
      }
    }
  }

  // Waits until a packet equal to `wanted` has arrived at or after index
  // `from`; returns its index or -1.
  int WaitForPacket(const Bytes& wanted, size_t from = 0, int timeoutMs = 5000) {
    std::unique_lock<std::mutex> lock(mutex_);
    int found = -1;
    cond_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
      for (size_t i = from; i < packets_.size(); i++) {
        if (packets_[i] == wanted) {
          found = (int)i;
          return true;
        }
      }
      return false;
    });
    return found;
  }
  int CountOf(const Bytes& wanted) {
    std::lock_guard<std::mutex> lock(mutex_);
    int count = 0;
    for (const Bytes& p : packets_) count += p == wanted;
    return count;
  }
  int SyncRequests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return syncRequests_;
  }
  int Connections() const { return connections_.load(); }

  // The peer closes its side normally (FIN) and keeps listening.
  void CloseGracefully() { DropConnection(false); }
  // The module vanishes: the connection is reset and nobody listens any more.
  void Vanish() {
    stopAccepting_ = true;
    DropConnection(true);
    WaitUntil([this] { return listenerClosed_.load(); }, 2000);
  }
  // The module stops reading (its receive buffer fills up).
  void StopReading() { reading_ = false; }
  // The connection is reset, but the module accepts a new one.
  void ResetConnection() { DropConnection(true); }

 private:
  void DropConnection(bool abortive) {
    std::lock_guard<std::mutex> lock(sendMutex_);
    int fd = connection_.exchange(-1);
    if (fd < 0) return;
    if (abortive) {
      linger reset = {1, 0};
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    } else {
      shutdown(fd, SHUT_WR);
    }
    // Closing from the serving thread would race its poll; hand it over.
    std::lock_guard<std::mutex> closeLock(closeMutex_);
    toClose_.push_back(fd);
  }

  void Serve() {
    Bytes pending;
    while (!stop_) {
      {
        std::lock_guard<std::mutex> closeLock(closeMutex_);
        for (int fd : toClose_) close(fd);
        toClose_.clear();
      }
      if (stopAccepting_ && listener_ >= 0) {
        close(listener_);
        listener_ = -1;
        listenerClosed_ = true;
      }
      pollfd fds[2];
      int n = 0;
      int fd = connection_.load();
      if (fd >= 0 && reading_) fds[n++] = {fd, POLLIN, 0};
      if (listener_ >= 0) fds[n++] = {listener_, POLLIN, 0};
      if (n == 0 || poll(fds, n, 5) <= 0) {
        if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        continue;
      }
      for (int i = 0; i < n; i++) {
        if (!fds[i].revents) continue;
        if (fds[i].fd == listener_) {
          int accepted = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
          if (accepted >= 0) {
            std::lock_guard<std::mutex> lock(sendMutex_);
            int old = connection_.exchange(accepted);
            if (old >= 0) close(old);
            pending.clear();
            connections_++;
          }
        } else {
          uint8_t buffer[512];
          ssize_t got = read(fds[i].fd, buffer, sizeof(buffer));
          if (got <= 0) {
            if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
              // The host closed; wait for a new connection.
              std::lock_guard<std::mutex> lock(sendMutex_);
              if (connection_.load() == fds[i].fd) {
                connection_ = -1;
                close(fds[i].fd);
              }
            }
            continue;
          }
          pending.insert(pending.end(), buffer, buffer + got);
          Split(&pending);
        }
      }
    }
  }

  // Cuts complete packets off the front of `pending`.
  void Split(Bytes* pending) {
    while (pending->size() >= 2 && pending->size() >= (size_t)(*pending)[1] + 2) {
      size_t size = (size_t)(*pending)[1] + 2;
      Bytes packet(pending->begin(), pending->begin() + size);
      pending->erase(pending->begin(), pending->begin() + size);
      bool answerSync = false;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        packets_.push_back(packet);
        if (packet == Bytes{0xAD, 0x00}) {
          if (++syncRun_ == 6) {
            syncRun_ = 0;
            syncRequests_++;
            answerSync = syncAnswer_ != 0;
          }
        } else {
          syncRun_ = 0;
        }
      }
      cond_.notify_all();
      if (answerSync) Send({syncAnswer_, 0x00, syncAnswer_, 0x00});
    }
  }

  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<int> connection_{-1};
  std::atomic<int> connections_{0};
  std::atomic<bool> stop_{false};
  std::atomic<bool> stopAccepting_{false};
  std::atomic<bool> reading_{true};
  std::atomic<bool> listenerClosed_{false};
  std::atomic<uint8_t> syncAnswer_{0};
  std::mutex mutex_;
  std::condition_variable cond_;
  std::vector<Bytes> packets_;
  int syncRun_ = 0;
  int syncRequests_ = 0;
  std::mutex sendMutex_;
  std::mutex closeMutex_;
  std::vector<int> toClose_;
  std::thread thread_;
};

}  // namespace qntest

#endif  // QN_TESTS_LINK_FAKEMODULE_H
