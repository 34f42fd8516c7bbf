// linkbench: the idle cost of an open link (CPU time and context switches of
// the whole process) and the time from a module's write to aLink_AwaitFirst
// returning, against an in-process fake module on loopback TCP.
//
//   linkbench [--idle-seconds N] [--replies N] [--no-wait-handle]
//   linkbench --usb SERIAL [--idle-seconds N]
//
// --no-wait-handle runs the link over a stream that offers no descriptor to
// wait on, so the input thread falls back to polling with short sleeps.
// --usb holds a USB link to module SERIAL instead (run it inside qn-usbemu,
// see bench/usb/idle-bench.sh) and measures only its idle cost.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "link/aLink.h"

namespace {

typedef std::chrono::steady_clock Clock;

struct Options {
  int idleSeconds = 5;
  int replies = 300;
  bool waitHandle = true;
  uint32_t usbSerial = 0;
};

// The fake module: accepts one connection, then on request writes a
// two-byte packet and notes when it did.
class Module {
 public:
  Module() {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    if (bind(listener_, (sockaddr*)&address, sizeof(address)) != 0 || listen(listener_, 1) != 0) {
      return;
    }
    getsockname(listener_, (sockaddr*)&address, &size);
    port_ = ntohs(address.sin_port);
    wake_ = eventfd(0, EFD_NONBLOCK);
    thread_ = std::thread([this] { Serve(); });
  }
  ~Module() {
    stop_ = true;
    uint64_t one = 1;
    if (write(wake_, &one, sizeof(one)) < 0) perror("linkbench: eventfd");
    if (thread_.joinable()) thread_.join();
    close(wake_);
    if (connection_ >= 0) close(connection_);
    close(listener_);
  }
  uint16_t port() const { return port_; }
  bool connected() const { return connection_ >= 0; }
  // Asks the module to send one packet after `delayUs`.
  void Request(int delayUs) {
    delayUs_ = delayUs;
    pending_ = true;
    uint64_t one = 1;
    if (write(wake_, &one, sizeof(one)) < 0) perror("linkbench: eventfd");
  }
  Clock::time_point sentAt() const { return Clock::time_point(Clock::duration(sentAt_.load())); }
  bool sent() const { return !pending_; }

 private:
  void Serve() {
    while (!stop_ && connection_ < 0) {
      pollfd wait = {listener_, POLLIN, 0};
      if (poll(&wait, 1, 100) > 0) connection_ = accept(listener_, nullptr, nullptr);
    }
    uint8_t sink[256];
    while (!stop_) {
      if (pending_) {
        std::this_thread::sleep_for(std::chrono::microseconds(delayUs_));
        const uint8_t packet[] = {0x04, 0x00};
        sentAt_ = Clock::now().time_since_epoch().count();
        if (write(connection_, packet, sizeof(packet)) != (ssize_t)sizeof(packet)) break;
        pending_ = false;
        continue;
      }
      // Idle: drain whatever the host sends (start packet) and sleep in poll
      // until the next request, so that the module itself costs next to
      // nothing.
      pollfd wait[2] = {{connection_, POLLIN, 0}, {wake_, POLLIN, 0}};
      if (poll(wait, 2, 1000) <= 0) continue;
      if (wait[0].revents && read(connection_, sink, sizeof(sink)) <= 0) break;
      uint64_t count;
      if (wait[1].revents && read(wake_, &count, sizeof(count)) < 0) break;
    }
  }

  int listener_ = -1;
  int wake_ = -1;
  std::atomic<int> connection_{-1};
  uint16_t port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> pending_{false};
  std::atomic<int> delayUs_{0};
  std::atomic<Clock::rep> sentAt_{0};
};

// A stream over a connected socket that offers no wait handle.
struct PlainSocket {
  int fd;
};
aErr PlainGet(uint8_t* byte, void* ref) {
  ssize_t n = recv(((PlainSocket*)ref)->fd, byte, 1, MSG_DONTWAIT);
  return n == 1 ? aErrNone : aErrNotReady;
}
aErr PlainWrite(const uint8_t* data, size_t length, void* ref) {
  return send(((PlainSocket*)ref)->fd, data, length, MSG_NOSIGNAL) == (ssize_t)length ? aErrNone
                                                                                      : aErrIO;
}
aErr PlainPut(uint8_t byte, void* ref) { return PlainWrite(&byte, 1, ref); }
aErr PlainDelete(void* ref) {
  close(((PlainSocket*)ref)->fd);
  delete (PlainSocket*)ref;
  return aErrNone;
}

uint32_t OpenLink(const Module& module, bool waitHandle) {
  if (waitHandle) return aLink_CreateTCPIP(htonl(INADDR_LOOPBACK), module.port());
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(module.port());
  if (connect(fd, (sockaddr*)&address, sizeof(address)) != 0) {
    close(fd);
    return 0;
  }
  return aLink_Create(
      aStream_Create(PlainGet, PlainPut, PlainWrite, PlainDelete, new PlainSocket{fd}));
}

// CPU time and context switches (voluntary and not) of all the process's
// threads, the ones that ended included.
struct Usage {
  double cpuSeconds;
  long switches;
};

Usage Now() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return {usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
              (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6,
          usage.ru_nvcsw + usage.ru_nivcsw};
}

// Lets the link idle for `seconds` and prints what the process spent.
void MeasureIdle(const char* what, int seconds) {
  Usage before = Now();
  auto wallBefore = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  Usage after = Now();
  double wall = std::chrono::duration<double>(Clock::now() - wallBefore).count();
  double cpu = after.cpuSeconds - before.cpuSeconds;
  long switches = after.switches - before.switches;
  printf("idle %s: %.3f s CPU in %.3f s = %.2f %% of one core, %ld context switches = %.1f/s\n",
         what, cpu, wall, 100.0 * cpu / wall, switches, switches / wall);
}

bool WaitRunning(uint32_t id) {
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while (aLink_GetStatus(id) != aLINK_STATUS_RUNNING && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return id && aLink_GetStatus(id) == aLINK_STATUS_RUNNING;
}

int IdleUsb(const Options& options) {
  uint32_t id = aLink_CreateUSB(options.usbSerial);
  if (!WaitRunning(id)) {
    fprintf(stderr, "linkbench: the USB link to %08X did not start\n", options.usbSerial);
    if (id) aLink_Destroy(&id);
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  char what[64];
  snprintf(what, sizeof(what), "USB link %08X", options.usbSerial);
  MeasureIdle(what, options.idleSeconds);
  uint32_t status = aLink_GetStatus(id);
  aLink_Destroy(&id);
  return status == aLINK_STATUS_RUNNING ? 0 : 1;
}

bool MatchAll(const aPacket*, void*) { return true; }

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; i++) {
    if (!strcmp(argv[i], "--idle-seconds") && i + 1 < argc) {
      options->idleSeconds = atoi(argv[++i]);
    } else if (!strcmp(argv[i], "--replies") && i + 1 < argc) {
      options->replies = atoi(argv[++i]);
    } else if (!strcmp(argv[i], "--no-wait-handle")) {
      options->waitHandle = false;
    } else if (!strcmp(argv[i], "--usb") && i + 1 < argc) {
      options->usbSerial = (uint32_t)strtoul(argv[++i], nullptr, 16);
      if (!options->usbSerial) return false;
    } else {
      return false;
    }
  }
  return options->idleSeconds > 0 && options->replies > 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    fprintf(stderr,
            "usage: linkbench [--idle-seconds N] [--replies N] [--no-wait-handle]\n"
            "       linkbench --usb SERIAL [--idle-seconds N]\n");
    return 2;
  }
  if (options.usbSerial) return IdleUsb(options);
  Module module;
  if (!module.port()) {
    fprintf(stderr, "linkbench: cannot listen on loopback\n");
    return 1;
  }
  uint32_t id = OpenLink(module, options.waitHandle);
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while (!module.connected() && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!WaitRunning(id)) {
    fprintf(stderr, "linkbench: the link did not start\n");
    if (id) aLink_Destroy(&id);
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));

  printf("stream: %s\n", options.waitHandle ? "TCP socket stream (wait handle)"
                                            : "socket without wait handle (polling)");
  MeasureIdle("link", options.idleSeconds);

  std::vector<double> latencies;
  int missed = 0;
  for (int i = 0; i < options.replies; i++) {
    module.Request(500 + (i * 37) % 2000);
    aPacketRef packet = aLink_AwaitFirst(id, MatchAll, nullptr, 1000);
    auto returned = Clock::now();
    if (!packet) {
      missed++;
      continue;
    }
    aPacket_Destroy(&packet);
    while (!module.sent()) std::this_thread::yield();
    latencies.push_back(
        std::chrono::duration<double, std::micro>(returned - module.sentAt()).count());
  }
  std::sort(latencies.begin(), latencies.end());
  if (!latencies.empty()) {
    size_t n = latencies.size();
    printf("reply latency over %zu replies (us): min %.0f  median %.0f  p99 %.0f  max %.0f\n", n,
           latencies[0], latencies[n / 2], latencies[std::min(n - 1, n * 99 / 100)],
           latencies[n - 1]);
  }
  if (missed) printf("replies missed: %d\n", missed);
  aLink_Destroy(&id);
  return missed ? 1 : 0;
}
