// An in-process fake module for the link tests: it serves a loopback TCP
// port (or plays the far end of a connected descriptor), splits what the host
// sends into packets and sends whatever bytes a test wants. Every wait is
// bounded.
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
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "link/aPacket.h"

namespace qntest {

typedef std::vector<uint8_t> Bytes;

// The packet's wire bytes (none for null); the packet is destroyed.
inline Bytes Take(aPacketRef packet) {
  Bytes wire;
  if (packet) wire.assign(aPacket_Wire(packet), aPacket_Wire(packet) + aPacket_WireSize(packet));
  aPacket_Destroy(&packet);
  return wire;
}

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
  // Plays the far end of `connected` (a socket pair end), which it closes.
  explicit FakeModule(int connected) : connection_(connected), connections_(1) {
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
  int WaitForPacket(const Bytes& wanted, size_t from = 0) {
    int found = -1;
    WaitUntil([&] {
      std::vector<Bytes> packets = Packets();
      for (size_t i = from; i < packets.size() && found < 0; i++) {
        if (packets[i] == wanted) found = (int)i;
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
  int Connections() const { return connections_.load(); }

  // The peer closes its side normally (FIN) and keeps listening.
  void CloseGracefully() { Drop(1); }
  // The connection is reset, but the module accepts a new one.
  void ResetConnection() { Drop(2); }
  // The module vanishes: the connection is reset and nobody listens any more.
  void Vanish() { Drop(3); }
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

  // The serving thread closes the descriptors (closing them here would race
  // its poll); this waits until it has.
  void Drop(int how) {
    {
      // Under the lock: a request set while the serving thread is inside its
      // locked block would be cleared unseen.
      std::lock_guard<std::mutex> lock(mutex_);
      drop_ = how;
    }
    WaitUntil([this] { return drop_ == 0; }, 2000);
  }

  void Serve() {
    Bytes pending;
    while (!stop_) {
      pollfd fds[2];
      int n = 0;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (drop_ && connection_ >= 0) {
          linger reset = {drop_ > 1, 0};  // an abortive close resets
          setsockopt(connection_, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
          close(connection_);
          connection_ = -1;
        }
        if (drop_ == 3 && listener_ >= 0) close(listener_);
        if (drop_ == 3) listener_ = -1;
        drop_ = 0;
        if (connection_ >= 0 && reading_) fds[n++] = {connection_, POLLIN, 0};
        if (listener_ >= 0) fds[n++] = {listener_, POLLIN, 0};
      }
      if (poll(fds, n, 5) <= 0) continue;
      std::lock_guard<std::mutex> lock(mutex_);
      for (int i = 0; i < n; i++) {
        if (!fds[i].revents) continue;
        if (fds[i].fd == listener_) {
          int accepted = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
          if (accepted < 0) continue;
          if (connection_ >= 0) close(connection_);
          connection_ = accepted;
          pending.clear();
          connections_++;
          continue;
        }
        uint8_t buffer[512];
        ssize_t got = read(connection_, buffer, sizeof(buffer));
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
    }
  }

  int listener_ = -1;
  uint16_t port_ = 0;
  int connection_ = -1;  // guarded by mutex_
  std::atomic<int> connections_{0};
  std::atomic<bool> stop_{false};
  std::atomic<bool> reading_{true};
  std::atomic<int> drop_{0};  // 1 close, 2 reset, 3 reset and stop listening
  std::mutex mutex_;
  std::vector<Bytes> packets_;
  std::function<Bytes(const Bytes&)> handler_;
  std::thread thread_;
};

}  // namespace qntest

#endif  // QN_TESTS_LINK_FAKEMODULE_H
