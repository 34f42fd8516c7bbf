// The link engine's threads over a socket pair whose other end the test
// plays: the output thread's pace, and the wake-ups of threads that sleep
// without a time limit while the link idles.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "link/aLink.h"
#include "tests/link/FakeModule.h"
#include "tests/support/SocketPair.h"

using qntest::Bytes;
using qntest::FakeModule;
using qntest::WaitUntil;

namespace {

typedef std::chrono::steady_clock Clock;
constexpr auto kGuard = std::chrono::seconds(10);  // no wait here comes near it

bool MatchAll(const aPacket*, void*) { return true; }

class EngineTest : public ::testing::Test {
 protected:
  // A link over one end of a socket pair, the module on the other; without a
  // wait handle its input thread has to poll the stream.
  void Open(bool waitHandle) {
    int peer = -1;
    aStreamRef stream = qntest::SocketPairStream(&peer, waitHandle);
    ASSERT_NE(stream, nullptr);
    module_.reset(new FakeModule(peer));
    id_ = aLink_Create(stream);
    ASSERT_NE(id_, 0u);
    ASSERT_TRUE(WaitUntil([&] { return aLink_GetStatus(id_) == aLINK_STATUS_RUNNING; }));
  }
  ~EngineTest() override {
    if (id_) aLink_Destroy(&id_);
  }
  void Put(uint8_t value) {
    uint8_t data[2] = {0x5F, value};
    aPacketRef packet = aPacket_CreateWithData(0x02, 2, data);
    EXPECT_EQ(aLink_PutPacket(id_, packet), aErrNone);
    aPacket_Destroy(&packet);
  }
  std::unique_ptr<FakeModule> module_;
  uint32_t id_ = 0;
};

TEST_F(EngineTest, QueuedPacketsLeaveAtLeastOneMillisecondApartAndInOrder) {
  Open(true);
  const int kPackets = 40;
  Clock::time_point start = Clock::now();
  for (int i = 0; i < kPackets; ++i) Put((uint8_t)i);
  ASSERT_GE(module_->WaitForPacket({0x02, 0x02, 0x5F, kPackets - 1}), 0);
  // The last packet cannot leave before kPackets - 1 pauses have passed.
  double spanMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  EXPECT_GE(spanMs, kPackets - 1.0);
  std::vector<Bytes> expected{{0xAF, 0x01, 0x01}};  // the start packet, then the queue in order
  for (int i = 0; i < kPackets; ++i) expected.push_back({0x02, 0x02, 0x5F, (uint8_t)i});
  EXPECT_EQ(module_->Packets(), expected);
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
    EXPECT_GE(module_->WaitForPacket({0x02, 0x02, 0x5F, 7}), 0);

    Clock::time_point since = Clock::now();
    auto waiter = std::async(std::launch::async,
                             [&] { return aLink_AwaitFirst(id_, MatchAll, nullptr, 50); });
    ASSERT_EQ(waiter.wait_for(kGuard), std::future_status::ready) << "the deadline passed unseen";
    EXPECT_EQ(waiter.get(), nullptr);
    EXPECT_TRUE(Clock::now() - since >= std::chrono::milliseconds(50)) << "returned early";

    module_->Send({0x04, 0x01, 0x33});
    EXPECT_EQ(qntest::Take(aLink_AwaitPacket(id_, 5000)), (Bytes{0x04, 0x01, 0x33}));

    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto stop = std::async(std::launch::async, [&] { return aLink_Destroy(&id_); });
    ASSERT_EQ(stop.wait_for(kGuard), std::future_status::ready) << "stop did not wake the threads";
    EXPECT_EQ(stop.get(), aErrNone);
    ASSERT_GE(module_->WaitForPacket({0xAF, 0x01, 0x00}), 0);
    EXPECT_EQ(module_->Packets().back(), (Bytes{0xAF, 0x01, 0x00})) << "the stop packet went last";
  }
}

}  // namespace
