// The link engine's threads over a socket pair whose other end the test
// plays: the output thread's pace, and the wake-ups of threads that sleep
// without a time limit while the link idles.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "link/aLink.h"
#include "tests/link/FakeModule.h"
#include "tests/support/SocketPair.h"

using qntest::Bytes;
using qntest::WaitUntil;

namespace {

typedef std::chrono::steady_clock Clock;
constexpr auto kGuard = std::chrono::seconds(10);  // no wait here comes near it

bool MatchAll(const aPacket*, void*) { return true; }

class EngineTest : public ::testing::Test {
 protected:
  // A link over one end of a socket pair; without a wait handle its input
  // thread has to poll the stream.
  void Open(bool waitHandle) {
    aStreamRef stream = qntest::SocketPairStream(&peer_, waitHandle);
    ASSERT_NE(stream, nullptr);
    id_ = aLink_Create(stream);
    ASSERT_NE(id_, 0u);
    ASSERT_TRUE(WaitUntil([&] { return aLink_GetStatus(id_) == aLINK_STATUS_RUNNING; }));
  }
  ~EngineTest() override {
    if (id_) aLink_Destroy(&id_);
    if (peer_ >= 0) close(peer_);
  }
  void Put(uint8_t value) {
    uint8_t data[2] = {0x5F, value};
    aPacketRef packet = aPacket_CreateWithData(0x02, 2, data);
    EXPECT_EQ(aLink_PutPacket(id_, packet), aErrNone);
    aPacket_Destroy(&packet);
  }
  // Reads what the link writes until `count` packets 02 02 5F n have come (or
  // 5 s passed); returns their n and notes when the last one came. The link's
  // control packets are kept in control_.
  std::vector<int> Receive(size_t count, Clock::time_point* last = nullptr) {
    std::vector<int> values;
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(5);
    while (values.size() < count && Clock::now() < deadline) {
      pollfd p = {peer_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      uint8_t buffer[256];
      ssize_t r = read(peer_, buffer, sizeof(buffer));
      if (r <= 0) break;  // the link closed its end
      bytes_.insert(bytes_.end(), buffer, buffer + r);
      while (bytes_.size() >= 2 && bytes_.size() >= 2u + bytes_[1]) {
        Bytes packet(bytes_.begin(), bytes_.begin() + 2 + bytes_[1]);
        bytes_.erase(bytes_.begin(), bytes_.begin() + packet.size());
        if (packet.size() == 4 && packet[2] == 0x5F) {
          values.push_back(packet[3]);
          if (last) *last = Clock::now();
        } else {
          control_.push_back(packet);
        }
      }
    }
    return values;
  }
  int peer_ = -1;  // the module's end
  uint32_t id_ = 0;
  Bytes bytes_;
  std::vector<Bytes> control_;
};

TEST_F(EngineTest, QueuedPacketsLeaveAtLeastOneMillisecondApartAndInOrder) {
  Open(true);
  const int kPackets = 40;
  Clock::time_point start = Clock::now(), last = start;
  for (int i = 0; i < kPackets; ++i) Put((uint8_t)i);
  std::vector<int> order = Receive(kPackets, &last);
  ASSERT_EQ((int)order.size(), kPackets);
  for (int i = 0; i < kPackets; ++i) EXPECT_EQ(order[i], i);
  // The last packet cannot leave before kPackets - 1 pauses have passed.
  double spanMs = std::chrono::duration<double, std::milli>(last - start).count();
  EXPECT_GE(spanMs, kPackets - 1.0);
}

// While the link idles its threads sleep with no time limit: a queued packet,
// the module's bytes, a reply deadline and the stop must each still end the
// sleep, with and without a descriptor to wait on.
TEST_F(EngineTest, IdleThreadsWakeForAPacketBytesADeadlineAndTheStop) {
  for (bool waitHandle : {true, false}) {
    SCOPED_TRACE(waitHandle ? "wait handle" : "polled stream");
    Open(waitHandle);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // both threads asleep
    Put(7);
    EXPECT_EQ(Receive(1), std::vector<int>{7});

    Clock::time_point since = Clock::now();
    auto waiter = std::async(std::launch::async,
                             [&] { return aLink_AwaitFirst(id_, MatchAll, nullptr, 50); });
    ASSERT_EQ(waiter.wait_for(kGuard), std::future_status::ready) << "the deadline passed unseen";
    EXPECT_EQ(waiter.get(), nullptr);
    EXPECT_TRUE(Clock::now() - since >= std::chrono::milliseconds(50)) << "returned early";

    ASSERT_EQ(write(peer_, "\x04\x01\x33", 3), 3);
    aPacketRef packet = aLink_AwaitPacket(id_, 5000);
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(packet->data[0], 0x33);
    aPacket_Destroy(&packet);

    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto stop = std::async(std::launch::async, [&] { return aLink_Destroy(&id_); });
    ASSERT_EQ(stop.wait_for(kGuard), std::future_status::ready) << "stop did not wake the threads";
    EXPECT_EQ(stop.get(), aErrNone);
    Receive(1);  // collects the rest
    EXPECT_EQ(control_.back(), (Bytes{0xAF, 0x01, 0x00})) << "the stop packet went out last";
    close(peer_);
    peer_ = -1;
    bytes_.clear();
    control_.clear();
  }
}

}  // namespace
