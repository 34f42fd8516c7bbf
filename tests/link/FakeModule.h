// An in-process fake module for the link tests: it serves a loopback TCP
// port, splits what the host sends into packets, counts sync requests and
// sends whatever bytes a test wants. Every wait is bounded.
#ifndef QN_TESTS_LINK_FAKEMODULE_H
#define QN_TESTS_LINK_FAKEMODULE_H

#include <arpa/inet.h>
#include <errno.h>
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
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (bind(listener_, (sockaddr*)&address, sizeof(address)) == 0 && listen(listener_, 4) == 0 &&
        getsockname(listener_, (sockaddr*)&address, &length) == 0) {
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

  void Send(const Bytes& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    SendLocked(bytes);
  }
  // Answers every packet from the host, on the serving thread, with the bytes
  // `handler` returns for it.
  void SetHandler(std::function<Bytes(const Bytes& packet)> handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = std::move(handler);
  }
  // Every packet received so far.
  std::vector<Bytes> Packets() {
    std::lock_guard<std::mutex> lock(mutex_);
    return packets_;
  }
  // Waits until a packet equal to `wanted` has arrived at or after index
  // `from`; returns its index or -1.
  int WaitForPacket(const Bytes& wanted, size_t from = 0, int timeoutMs = 5000) {
    std::unique_lock<std::mutex> lock(mutex_);
    int found = -1;
    arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
      for (size_t i = from; i < packets_.size() && found < 0; i++) {
        if (packets_[i] == wanted) found = (int)i;
      }
      return found >= 0;
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
  void CloseGracefully() { Drop(false); }
  // The connection is reset, but the module accepts a new one.
  void ResetConnection() { Drop(true); }
  // The module vanishes: the connection is reset and nobody listens any more.
  void Vanish() {
    stopAccepting_ = true;
    Drop(true);
    WaitUntil([this] { return listenerClosed_.load(); }, 2000);
  }
  // The module stops reading (its receive buffer fills up).
  void StopReading() { reading_ = false; }

 private:
  // mutex_ is held.
  void SendLocked(const Bytes& bytes) {
    size_t sent = 0;
    for (int tries = 0; connection_ >= 0 && sent < bytes.size() && tries < 500; tries++) {
      ssize_t n = send(connection_, bytes.data() + sent, bytes.size() - sent, MSG_DONTWAIT);
      if (n > 0) sent += (size_t)n;
      if (n < 0 && errno != EAGAIN && errno != EINTR) break;
      if (n <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  // The serving thread closes the descriptor: closing it here would race
  // its poll.
  void Drop(bool abortive) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (connection_ < 0) return;
    linger reset = {1, 0};
    if (abortive) setsockopt(connection_, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    if (!abortive) shutdown(connection_, SHUT_WR);
    toClose_.push_back(connection_);
    connection_ = -1;
  }

  void Serve() {
    Bytes pending;
    while (!stop_) {
      pollfd fds[2];
      int n = 0;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        for (int fd : toClose_) close(fd);
        toClose_.clear();
        if (stopAccepting_ && listener_ >= 0) {
          close(listener_);
          listener_ = -1;
          listenerClosed_ = true;
        }
        if (connection_ >= 0 && reading_) fds[n++] = {connection_, POLLIN, 0};
        if (listener_ >= 0) fds[n++] = {listener_, POLLIN, 0};
      }
      if (poll(fds, n, 5) <= 0) {
        if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        continue;
      }
      for (int i = 0; i < n; i++) {
        if (!fds[i].revents) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        if (fds[i].fd == listener_) {
          int accepted = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
          if (accepted < 0) continue;
          if (connection_ >= 0) close(connection_);
          connection_ = accepted;
          pending.clear();
          connections_++;
          continue;
        }
        if (fds[i].fd != connection_) continue;  // dropped meanwhile
        uint8_t buffer[512];
        ssize_t got = read(fds[i].fd, buffer, sizeof(buffer));
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
          close(connection_);  // the host closed; wait for a new connection
          connection_ = -1;
        } else if (got > 0) {
          pending.insert(pending.end(), buffer, buffer + got);
          Split(&pending);
        }
      }
    }
  }

  // Cuts complete packets off the front of `pending`; mutex_ is held.
  void Split(Bytes* pending) {
    while (pending->size() >= 2 && pending->size() >= (size_t)(*pending)[1] + 2) {
      Bytes packet(pending->begin(), pending->begin() + (*pending)[1] + 2);
      pending->erase(pending->begin(), pending->begin() + packet.size());
      packets_.push_back(packet);
      if (handler_) SendLocked(handler_(packet));
      bool syncPart = packet == Bytes{0xAD, 0x00};
      syncRun_ = syncPart ? syncRun_ + 1 : 0;
      if (syncRun_ == 6) {
        syncRun_ = 0;
        syncRequests_++;
      }
    }
    arrived_.notify_all();
  }

  int listener_ = -1;
  uint16_t port_ = 0;
  int connection_ = -1;  // guarded by mutex_
  std::atomic<int> connections_{0};
  std::atomic<bool> stop_{false};
  std::atomic<bool> stopAccepting_{false};
  std::atomic<bool> reading_{true};
  std::atomic<bool> listenerClosed_{false};
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<Bytes> packets_;
  std::function<Bytes(const Bytes&)> handler_;
  std::vector<int> toClose_;
  int syncRun_ = 0;
  int syncRequests_ = 0;
  std::thread thread_;
};

}  // namespace qntest

#endif  // QN_TESTS_LINK_FAKEMODULE_H
