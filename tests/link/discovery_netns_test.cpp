// TCP/IP discovery end to end inside the test's private network (the lab
// of tests/support/Lab.h), against module responders in the same network.
// Nothing is sent on the machine's own interfaces.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/aDiscovery.h"
#include "tests/support/Lab.h"

namespace {

typedef std::vector<uint8_t> Bytes;

// Replies leave from loopback addresses, so that each module has an address
// of its own while discovery sends on the lab interface alone.
const char* kModuleAddress = "127.0.0.2";
const char* kSecondModuleAddress = "127.0.0.3";

struct Reply {
  Bytes datagram;
  const char* from;  // source address in the module namespace
  int delayMs;       // pause before this reply
};

// A request as the module saw it: the datagram and the sender's address.
typedef std::pair<Bytes, std::string> Request;

// Module side: joins the discovery group on the module end of the veth pair
// and answers each request with the configured replies, sent to port 9889 of
// the requester.
class Responder {
 public:
  explicit Responder(std::vector<Reply> replies) : replies_(std::move(replies)) {
    int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in local = {};  // any address
    local.sin_family = AF_INET;
    local.sin_port = htons(aDISCOVERY_REQUEST_PORT);
    ip_mreq membership = {};
    membership.imr_multiaddr.s_addr = inet_addr(aDISCOVERY_GROUP);
    membership.imr_interface.s_addr = inet_addr(qntest::kLabAddress);
    ok_ = bind(fd_, (sockaddr*)&local, sizeof(local)) == 0 &&
          setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof(membership)) == 0;
    if (ok_) thread_ = std::thread([this] { Serve(); });
  }
  ~Responder() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    close(fd_);
  }
  bool ok() const { return ok_; }
  std::vector<Request> Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  void Serve() {
    while (!stop_) {
      pollfd wait = {fd_, POLLIN, 0};
      if (poll(&wait, 1, 10) <= 0) continue;
      uint8_t buffer[64];
      sockaddr_in sender = {};
      socklen_t size = sizeof(sender);
      ssize_t n = recvfrom(fd_, buffer, sizeof(buffer), 0, (sockaddr*)&sender, &size);
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
  int fd_ = socket(AF_INET, SOCK_DGRAM, 0);
  bool ok_ = false;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<Request> requests_;
  std::thread thread_;
};

// A reply from module `module` with this serial number and model.
Bytes ReplyDatagram(uint8_t module, uint32_t serial, uint8_t model) {
  Bytes d = {0, module, 0x2C, 0x23, 0, 0, 0, 0, 0, 0, 0, 0, model, 0, 0, 0};
  for (int i = 0; i < 4; i++) d[4 + i] = (uint8_t)(serial >> (8 * i));
  return d;
}

typedef std::vector<linkSpec> Collected;

bool Collect(const linkSpec* spec, bool* found, void* ref) {
  ((Collected*)ref)->push_back(*spec);
  *found = true;
  return true;
}

uint8_t Enumerate(Collected* collected) {
  return aDiscovery_EnumerateModules(LINK_TCPIP, Collect, collected);
}

using DiscoveryNetnsTest = qntest::PrivateNetworkTest;

// Replies come in arrival order with the sender's address; the datagram
// fields themselves (a short reply too) are checked in the discovery tests.
TEST_F(DiscoveryNetnsTest, ModulesComeInArrivalOrderWithTheirSendersAddress) {
  Collected collected;
  EXPECT_EQ(Enumerate(&collected), 0) << "nobody answers yet";
  EXPECT_TRUE(collected.empty());
  Responder modules({{ReplyDatagram(0x04, 0x00000001, 13), kModuleAddress, 0},
                     {ReplyDatagram(0x06, 0x00000002, 7), kSecondModuleAddress, 50},
                     {ReplyDatagram(0x08, 0x00000003, 9), kModuleAddress, 50}});
  ASSERT_TRUE(modules.ok()) << "the responder could not join the discovery group";
  EXPECT_EQ(Enumerate(&collected), 3);
  ASSERT_EQ(collected.size(), 3u);
  const char* senders[] = {kModuleAddress, kSecondModuleAddress, kModuleAddress};
  for (uint32_t i = 0; i < 3; i++) {
    EXPECT_EQ(collected[i].serialNumber, i + 1);
    EXPECT_EQ(collected[i].linkAddress, inet_addr(senders[i]));
  }
  // One request, from the lab interface only (never loopback).
  std::vector<Request> requests = modules.Requests();
  ASSERT_EQ(requests.size(), 1u);
  Bytes expected(16, 0);
  expected[0] = 0x01;
  EXPECT_EQ(requests[0], Request(expected, qntest::kLabAddress));
}

// An unknown serial number finds nothing: the search among unrelated replies
// in the integration tests.
TEST_F(DiscoveryNetnsTest, FindFirstModulePassesOverSerialZero) {
  Responder modules({{ReplyDatagram(0x02, 0, 13), kModuleAddress, 0},
                     {ReplyDatagram(0x06, 0x00ABCDEF, 21), kModuleAddress, 0}});
  ASSERT_TRUE(modules.ok());
  linkSpec* spec = aDiscovery_FindFirstModule(LINK_TCPIP);
  ASSERT_NE(spec, nullptr);
  EXPECT_EQ(spec->serialNumber, 0x00ABCDEFu) << "serial number 0 is passed over";
  EXPECT_EQ(spec->module, 0x06u);
  aLinkSpec_Destroy(&spec);
}

TEST_F(DiscoveryNetnsTest, TheCountStopsAt255InsteadOfWrapping) {
  std::vector<Reply> replies;
  for (uint32_t serial = 1; serial <= 300; serial++) {
    replies.push_back({ReplyDatagram(0x02, serial, 4), kModuleAddress, serial % 20 ? 0 : 2});
  }
  Responder modules(replies);
  ASSERT_TRUE(modules.ok());
  Collected collected;
  uint8_t count = Enumerate(&collected);
  ASSERT_GT(collected.size(), 255u) << "too many replies were lost to test the limit";
  EXPECT_EQ(count, 255);
}

}  // namespace
