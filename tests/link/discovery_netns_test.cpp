// TCP/IP discovery end to end inside two network namespaces that the test
// creates: the discovery side lives in one, module responders in the other,
// joined by a veth pair. Nothing is sent on the machine's own interfaces:
// both the discovery and the responders run in threads that have entered
// the namespaces.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/aDiscovery.h"
#include "tests/support/TestSupport.h"

namespace {

typedef std::vector<uint8_t> Bytes;

const char* kHostAddress = "10.231.7.1";
const char* kModuleAddress = "10.231.7.2";
const char* kSecondModuleAddress = "10.231.7.3";

std::string IpTool() {
  for (const char* path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
    if (access(path, X_OK) == 0) return path;
  }
  return "";
}

// Runs `ip` with the arguments; an empty string on success, else what went wrong.
std::string Ip(const std::vector<std::string>& args) {
  std::string tool = IpTool();
  if (tool.empty()) return "the ip tool is not installed";
  std::vector<std::string> argv = {tool};
  argv.insert(argv.end(), args.begin(), args.end());
  qntest::RunOptions options;
  options.timeoutMs = 10000;
  qntest::RunResult result = qntest::Run(argv, options);
  if (result.status == 0) return "";
  std::string command;
  for (const std::string& part : argv) command += part + " ";
  return command + "failed (" + std::to_string(result.status) + "): " + result.err;
}

// Runs `work` in a thread that has entered the named network namespace.
// False when the namespace cannot be entered.
bool RunInNamespace(const std::string& name, const std::function<void()>& work) {
  bool entered = false;
  std::thread thread([&] {
    int fd = open(("/var/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    entered = setns(fd, CLONE_NEWNET) == 0;
    close(fd);
    if (entered) work();
  });
  thread.join();
  return entered;
}

struct Reply {
  Bytes datagram;
  const char* from;  // source address in the module namespace
  int delayMs;       // pause before this reply
};

struct Request {
  Bytes datagram;
  std::string from;
};

// Module side: joins the discovery group on the module end of the veth pair
// and answers each request with the configured replies, sent to port 9889 of
// the requester.
class Responder {
 public:
  Responder(const std::string& ns, std::vector<Reply> replies) : replies_(std::move(replies)) {
    thread_ = std::thread([this, ns] {
      bool entered = RunInNamespace(ns, [this] { Serve(); });
      if (!entered) ready_ = -1;
    });
    while (ready_ == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~Responder() {
    stop_ = true;
    thread_.join();
  }
  bool ok() const { return ready_ == 1; }
  std::vector<Request> Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  void Serve() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_port = htons(aDISCOVERY_REQUEST_PORT);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    ip_mreq membership = {};
    membership.imr_multiaddr.s_addr = inet_addr(aDISCOVERY_GROUP);
    membership.imr_interface.s_addr = inet_addr(kModuleAddress);
    if (fd < 0 || bind(fd, (sockaddr*)&local, sizeof(local)) != 0 ||
        setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof(membership)) != 0) {
      ready_ = -1;
      if (fd >= 0) close(fd);
      return;
    }
    ready_ = 1;
    while (!stop_) {
      pollfd wait = {fd, POLLIN, 0};
      if (poll(&wait, 1, 10) <= 0) continue;
      uint8_t buffer[64];
      sockaddr_in sender = {};
      socklen_t size = sizeof(sender);
      ssize_t n = recvfrom(fd, buffer, sizeof(buffer), 0, (sockaddr*)&sender, &size);
      if (n < 0) continue;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back({Bytes(buffer, buffer + n), inet_ntoa(sender.sin_addr)});
      }
      sender.sin_port = htons(aDISCOVERY_REPLY_PORT);
      for (const Reply& reply : replies_) {
        if (reply.delayMs) std::this_thread::sleep_for(std::chrono::milliseconds(reply.delayMs));
        SendFrom(reply, sender);
      }
    }
    close(fd);
  }

  static void SendFrom(const Reply& reply, const sockaddr_in& to) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in source = {};
    source.sin_family = AF_INET;
    source.sin_addr.s_addr = inet_addr(reply.from);
    if (bind(fd, (sockaddr*)&source, sizeof(source)) == 0) {
      sendto(fd, reply.datagram.data(), reply.datagram.size(), 0, (const sockaddr*)&to, sizeof(to));
    }
    close(fd);
  }

  std::vector<Reply> replies_;
  std::atomic<int> ready_{0};
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<Request> requests_;
  std::thread thread_;
};

Bytes ReplyDatagram(uint8_t module, uint16_t port, uint32_t serial, uint8_t model) {
  Bytes d(16, 0);
  d[1] = module;
  d[2] = (uint8_t)port;
  d[3] = (uint8_t)(port >> 8);
  for (int i = 0; i < 4; i++) d[4 + i] = (uint8_t)(serial >> (8 * i));
  d[12] = model;
  return d;
}

typedef std::vector<linkSpec> Collected;

bool Collect(const linkSpec* spec, bool* found, void* ref) {
  ((Collected*)ref)->push_back(*spec);
  *found = true;
  return true;
}

class DiscoveryNetnsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string suffix = std::to_string(getpid());
    hostNs_ = "qnd" + suffix + "h";
    moduleNs_ = "qnd" + suffix + "m";
    std::vector<std::vector<std::string>> steps = {
        {"netns", "add", hostNs_},
        {"netns", "add", moduleNs_},
        {"-n", hostNs_, "link", "add", "qnh", "type", "veth", "peer", "name", "qnm", "netns",
         moduleNs_},
        {"-n", hostNs_, "addr", "add", std::string(kHostAddress) + "/24", "dev", "qnh"},
        {"-n", moduleNs_, "addr", "add", std::string(kModuleAddress) + "/24", "dev", "qnm"},
        {"-n", moduleNs_, "addr", "add", std::string(kSecondModuleAddress) + "/24", "dev", "qnm"},
        {"-n", hostNs_, "link", "set", "lo", "up"},
        {"-n", moduleNs_, "link", "set", "lo", "up"},
        {"-n", hostNs_, "link", "set", "qnh", "up"},
        {"-n", moduleNs_, "link", "set", "qnm", "up"},
        {"-n", hostNs_, "route", "add", "224.0.0.0/4", "dev", "qnh"},
        {"-n", moduleNs_, "route", "add", "224.0.0.0/4", "dev", "qnm"},
    };
    // Leftovers of a crashed earlier run with the same process id.
    Ip({"netns", "del", hostNs_});
    Ip({"netns", "del", moduleNs_});
    for (const auto& step : steps) {
      setupError_ = Ip(step);
      if (!setupError_.empty()) return;
    }
  }
  static void TearDownTestSuite() {
    Ip({"netns", "del", hostNs_});
    Ip({"netns", "del", moduleNs_});
  }
  void SetUp() override {
    ASSERT_TRUE(setupError_.empty())
        << "cannot build the test network namespaces (this test needs root and "
           "network namespace support): "
        << setupError_;
  }

  // Runs an enumeration in the host namespace.
  uint8_t Enumerate(Collected* collected) {
    uint8_t count = 0;
    EXPECT_TRUE(RunInNamespace(
        hostNs_, [&] { count = aDiscovery_EnumerateModules(LINK_TCPIP, Collect, collected); }));
    return count;
  }
  linkSpec* Find(uint32_t serial, bool first) {
    linkSpec* spec = nullptr;
    EXPECT_TRUE(RunInNamespace(hostNs_, [&] {
      spec = first ? aDiscovery_FindFirstModule(LINK_TCPIP)
                   : aDiscovery_FindModule(LINK_TCPIP, serial);
    }));
    return spec;
  }

  static std::string hostNs_;
  static std::string moduleNs_;
  static std::string setupError_;
};

std::string DiscoveryNetnsTest::hostNs_;
std::string DiscoveryNetnsTest::moduleNs_;
std::string DiscoveryNetnsTest::setupError_;

// Replies come in arrival order with the sender's address; the datagram
// fields themselves are checked in the discovery tests.
TEST_F(DiscoveryNetnsTest, ModulesComeInArrivalOrderAndShortRepliesReadAsModel255) {
  Bytes shortReply = ReplyDatagram(0x06, 9006, 0x00000002, 7);
  shortReply.resize(12);
  Responder modules(moduleNs_, {{ReplyDatagram(0x04, 9004, 0x00000001, 13), kModuleAddress, 0},
                                {shortReply, kSecondModuleAddress, 50},
                                {ReplyDatagram(0x08, 9008, 0x00000003, 9), kModuleAddress, 50}});
  ASSERT_TRUE(modules.ok()) << "the responder could not join the discovery group";
  Collected collected;
  EXPECT_EQ(Enumerate(&collected), 3);
  ASSERT_EQ(collected.size(), 3u);
  EXPECT_EQ(collected[0].serialNumber, 1u);
  EXPECT_EQ(collected[0].linkAddress, inet_addr(kModuleAddress));
  EXPECT_EQ(collected[1].serialNumber, 2u);
  EXPECT_EQ(collected[1].model, 255u);
  EXPECT_EQ(collected[1].linkAddress, inet_addr(kSecondModuleAddress));
  EXPECT_EQ(collected[2].serialNumber, 3u);
  EXPECT_EQ(collected[2].model, 9u);

  // One request, from the host end of the veth pair only (never loopback).
  std::vector<Request> requests = modules.Requests();
  ASSERT_EQ(requests.size(), 1u);
  Bytes expected(16, 0);
  expected[0] = 0x01;
  EXPECT_EQ(requests[0].datagram, expected);
  EXPECT_EQ(requests[0].from, kHostAddress);
}

TEST_F(DiscoveryNetnsTest, FindModulePassesOverSerialZeroAndUnknownSerials) {
  Responder modules(moduleNs_, {{ReplyDatagram(0x02, 9002, 0, 13), kModuleAddress, 0},
                                {ReplyDatagram(0x06, 9006, 0x00ABCDEF, 21), kModuleAddress, 0}});
  ASSERT_TRUE(modules.ok());
  linkSpec* spec = Find(0, true);
  ASSERT_NE(spec, nullptr);
  EXPECT_EQ(spec->serialNumber, 0x00ABCDEFu) << "serial number 0 is passed over";
  EXPECT_EQ(spec->module, 0x06u);
  aLinkSpec_Destroy(&spec);
  EXPECT_EQ(Find(0x11111111, false), nullptr);
}

TEST_F(DiscoveryNetnsTest, TheCountStopsAt255InsteadOfWrapping) {
  std::vector<Reply> replies;
  for (uint32_t serial = 1; serial <= 300; serial++) {
    replies.push_back({ReplyDatagram(0x02, 9000, serial, 4), kModuleAddress, serial % 20 ? 0 : 2});
  }
  Responder modules(moduleNs_, replies);
  ASSERT_TRUE(modules.ok());
  Collected collected;
  uint8_t count = Enumerate(&collected);
  ASSERT_GT(collected.size(), 255u) << "too many replies were lost to test the limit";
  EXPECT_EQ(count, 255);
}

TEST_F(DiscoveryNetnsTest, NobodyAnsweringGivesNoModules) {
  Collected collected;
  EXPECT_EQ(Enumerate(&collected), 0);
  EXPECT_TRUE(collected.empty());
}

}  // namespace
