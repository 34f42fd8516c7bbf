// The link engine and the TCP socket stream under it, against an in-process
// fake module on loopback TCP.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <future>
#include <thread>

#include "link/aLink.h"
#include "link/aStreamsocket.h"
#include "tests/link/FakeModule.h"

using qntest::Bytes;
using qntest::FakeModule;
using qntest::Take;
using qntest::WaitUntil;

namespace {

const Bytes kStart = {0xAF, 0x01, 0x01};
const Bytes kStop = {0xAF, 0x01, 0x00};
const Bytes kSyncPart = {0xAD, 0x00};  // a sync request is six of them

bool MatchAll(const aPacket*, void*) { return true; }
bool MatchAddress(const aPacket* packet, void* ref) {
  return packet->address == *(const uint8_t*)ref;
}

class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(module_.port(), 0) << "the fake module could not listen on loopback";
  }
  void TearDown() override {
    if (id_) aLink_Destroy(&id_);
  }
  // Opens a link to the fake module and waits for it to run and for the
  // start packet to arrive.
  void Open() {
    id_ = aLink_CreateTCPIP(FakeModule::LoopbackAddress(), module_.port());
    ASSERT_NE(id_, 0u);
    ASSERT_TRUE(WaitUntil([&] { return aLink_GetStatus(id_) == aLINK_STATUS_RUNNING; }));
    ASSERT_EQ(module_.WaitForPacket(kStart), 0) << "the first packet is the start packet";
  }
  FakeModule module_;
  uint32_t id_ = 0;
};

TEST_F(LinkTest, HeartbeatsAreAnsweredInPhaseAndNeverQueued) {
  Open();
  module_.Send({0x02, 0x02, 0x00, 0x00});
  int first = module_.WaitForPacket({0x02, 0x02, 0x00, 0x02});
  ASSERT_GE(first, 1);
  // A second phase-0 heartbeat in a row gets no answer; a marker packet
  // sent after it shows when it has been handled.
  module_.Send({0x02, 0x02, 0x00, 0x00, 0x08, 0x00});
  EXPECT_EQ(Take(aLink_AwaitPacket(id_, 2000)), (Bytes{0x08, 0x00}));
  module_.Send({0x02, 0x02, 0x00, 0x01});
  ASSERT_GE(module_.WaitForPacket({0x02, 0x02, 0x00, 0x03}, first + 1), first + 1);
  // And phase 0 again.
  module_.Send({0x02, 0x02, 0x00, 0x00});
  ASSERT_GE(module_.WaitForPacket({0x02, 0x02, 0x00, 0x02}, first + 1), first + 1);
  EXPECT_EQ(module_.CountOf({0x02, 0x02, 0x00, 0x02}), 2);
  EXPECT_EQ(module_.CountOf({0x02, 0x02, 0x00, 0x03}), 1);
  EXPECT_EQ(aLink_DrainPackets(id_, MatchAll, nullptr), 0u) << "no heartbeat reached the client";
}

// A stray byte starts a sync; an answer from two addresses restarts it and
// the module's own answer ends it.
TEST_F(LinkTest, AStrayByteStartsASyncThatOnlyTheModulesAnswerEnds) {
  Open();
  module_.Send({0x01});
  ASSERT_TRUE(WaitUntil([&] { return module_.CountOf(kSyncPart) == 6; }));
  EXPECT_EQ(aLink_GetStatus(id_), (uint32_t)aLINK_STATUS_SYNCING);
  auto since = std::chrono::steady_clock::now();
  EXPECT_EQ(aLink_AwaitFirst(id_, MatchAll, nullptr, 10000), nullptr);
  EXPECT_TRUE(std::chrono::steady_clock::now() - since < std::chrono::seconds(5))
      << "AwaitFirst waits while syncing";
  // 06 restarts the sync, and so does the zero after it (no address).
  module_.Send({0x04, 0x00, 0x06, 0x00});
  ASSERT_TRUE(WaitUntil([&] { return module_.CountOf(kSyncPart) == 18; }));
  EXPECT_EQ(aLink_GetStatus(id_), (uint32_t)aLINK_STATUS_SYNCING);
  module_.Send({0x04, 0x00, 0x04, 0x00});
  ASSERT_TRUE(WaitUntil([&] { return aLink_GetStatus(id_) == aLINK_STATUS_RUNNING; }));
  EXPECT_EQ(module_.CountOf(kSyncPart), 18);
  module_.Send({0x04, 0x01, 0x55});
  EXPECT_EQ(Take(aLink_AwaitPacket(id_, 2000)), (Bytes{0x04, 0x01, 0x55}));
}

// Callers opening one module at once share a single connection; the link
// keeps running until the last of them destroys it.
TEST_F(LinkTest, CallersOpeningTheSameModuleShareOneLinkUntilTheLastDestroy) {
  uint32_t ids[4] = {0, 0, 0, 0};
  std::vector<std::thread> openers;
  for (uint32_t& id : ids) {
    openers.emplace_back(
        [&id, this] { id = aLink_CreateTCPIP(FakeModule::LoopbackAddress(), module_.port()); });
  }
  for (std::thread& opener : openers) opener.join();
  for (uint32_t id : ids) EXPECT_EQ(id, ids[0]);
  ASSERT_NE(ids[0], 0u);
  EXPECT_EQ(module_.WaitForPacket(kStart), 0);
  EXPECT_EQ(module_.Connections(), 1);
  for (int i = 0; i < 3; i++) EXPECT_EQ(aLink_Destroy(&ids[i]), aErrNone);
  EXPECT_EQ(ids[0], 0u);
  EXPECT_EQ(aLink_GetStatus(ids[3]), (uint32_t)aLINK_STATUS_RUNNING);
  module_.Send({0x04, 0x00});
  EXPECT_EQ(Take(aLink_AwaitPacket(ids[3], 2000)), (Bytes{0x04, 0x00}));
  EXPECT_EQ(module_.CountOf(kStop), 0);
  uint32_t last = ids[3];
  EXPECT_EQ(aLink_Destroy(&ids[3]), aErrNone);
  EXPECT_GE(module_.WaitForPacket(kStop), 1);
  EXPECT_EQ(module_.CountOf(kStop), 1);
  EXPECT_EQ(aLink_GetStatus(last), (uint32_t)aLINK_STATUS_NO_STREAM);
}

TEST_F(LinkTest, AFloodKeepsOnlyTheNewestPacketsAndTheLinkUsable) {
  Open();
  const int extra = 200;
  Bytes flood;
  for (int i = 0; i < aLINK_MAX_INPUT_PACKETS + extra; i++) {
    flood.insert(flood.end(), {0x04, 0x03, 0x01, (uint8_t)(i >> 8), (uint8_t)i});
  }
  flood.insert(flood.end(), {0x06, 0x00});  // marks the end of the flood
  module_.Send(flood);
  uint8_t marker = 0x06;
  ASSERT_EQ(Take(aLink_AwaitFirst(id_, MatchAddress, &marker, 10000)), (Bytes{0x06, 0x00}))
      << "the newest packet survives the flood";
  EXPECT_EQ(aLink_GetStatus(id_), (uint32_t)aLINK_STATUS_RUNNING);
  // The queue held the limit, the marker included: the oldest kept is the
  // flood packet numbered extra + 1.
  EXPECT_EQ(Take(aLink_GetPacket(id_)),
            (Bytes{0x04, 0x03, 0x01, (uint8_t)((extra + 1) >> 8), (uint8_t)(extra + 1)}));
  EXPECT_EQ(aLink_DrainPackets(id_, MatchAll, nullptr), (size_t)aLINK_MAX_INPUT_PACKETS - 2);
}

// The reset stops a link whose input thread sleeps with no time limit.
TEST_F(LinkTest, ResetReconnectsAndStartsAgain) {
  Open();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(aLink_Reset(id_), aErrNone);
  ASSERT_TRUE(WaitUntil([&] { return module_.Connections() == 2; }));
  ASSERT_TRUE(WaitUntil([&] { return aLink_GetStatus(id_) == aLINK_STATUS_RUNNING; }));
  EXPECT_GE(module_.WaitForPacket(kStart, 1), 1);
  module_.Send({0x04, 0x00});
  EXPECT_EQ(Take(aLink_AwaitPacket(id_, 2000)), (Bytes{0x04, 0x00}));

  // A reset while the table is busy gives busy at once.
  FakeModule gone;
  uint32_t other = aLink_CreateTCPIP(FakeModule::LoopbackAddress(), gone.port());
  ASSERT_NE(other, 0u);
  gone.Vanish();
  // Resetting a link whose module is gone keeps the table for about two
  // seconds (20 attempts 100 ms apart).
  auto slow = std::async(std::launch::async, [&] { return aLink_Reset(other); });
  if (slow.wait_for(std::chrono::milliseconds(300)) == std::future_status::timeout) {
    EXPECT_EQ(aLink_Reset(id_), aErrBusy);
  }
  slow.get();
  EXPECT_TRUE(WaitUntil([&] { return aLink_GetStatus(other) == aLINK_STATUS_READ_ERROR; }));
  EXPECT_EQ(aLink_Destroy(&other), aErrNone);
}

TEST_F(LinkTest, PacketLogRecordsBothDirections) {
  Open();
  uint8_t direction = 0;
  unsigned int length = 30;
  uint8_t buffer[30];
  EXPECT_EQ(aLink_PacketDebug_Read(id_, &direction, &length, buffer), aErrNotReady);
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(id_, 1024), aErrNone);
  EXPECT_EQ(aLink_PacketDebug_Enable(id_), aErrNone);
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(id_, 2048), aErrBusy);

  module_.Send({0x02, 0x02, 0x00, 0x00});
  ASSERT_GE(module_.WaitForPacket({0x02, 0x02, 0x00, 0x02}), 1);
  // The answer is recorded after it was written; give the output thread its
  // pause.
  std::vector<std::pair<uint8_t, Bytes>> records;
  ASSERT_TRUE(WaitUntil([&] {
    length = sizeof(buffer);
    while (aLink_PacketDebug_Read(id_, &direction, &length, buffer) == aErrNone) {
      // The start packet is recorded too when the log came within the
      // output thread's pause after writing it.
      Bytes bytes(buffer, buffer + length);
      length = sizeof(buffer);
      if (bytes == kStart) continue;
      records.push_back({direction, bytes});
    }
    return records.size() >= 2;
  }));
  EXPECT_EQ(records, (decltype(records){{aPACKETLOG_INBOUND, {0x02, 0x02, 0x00, 0x00}},
                                        {aPACKETLOG_OUTBOUND, {0x02, 0x02, 0x00, 0x02}}}));
}

// ---- the socket stream ---------------------------------------------------------

class SocketStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(server_.port(), 0);
    ASSERT_EQ(aStream_CreateSocket(FakeModule::LoopbackAddress(), server_.port(), &stream_),
              aErrNone);
    ASSERT_TRUE(WaitUntil([&] { return server_.Connections() == 1; }));
  }
  void TearDown() override {
    EXPECT_EQ(stream_ ? aStream_Destroy(&stream_) : (aErr)aErrNone, aErrNone);
  }
  FakeModule server_;
  aStreamRef stream_ = nullptr;
};

TEST_F(SocketStreamTest, APeerThatClosesReadsAsNotReady) {
  server_.CloseGracefully();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  uint8_t byte;
  EXPECT_EQ(aStream_Read(stream_, &byte, 1), aErrNotReady);
  EXPECT_EQ(aStream_Read(stream_, &byte, 1), aErrNotReady);
}

TEST_F(SocketStreamTest, AResetConnectionIsReopenedInPlace) {
  int fd = aStream_GetWaitHandle(stream_);
  server_.ResetConnection();
  ASSERT_TRUE(WaitUntil([&] {
    uint8_t byte;
    aStream_Read(stream_, &byte, 1);
    return server_.Connections() == 2;
  }));
  EXPECT_EQ(aStream_GetWaitHandle(stream_), fd) << "the descriptor number is kept";
  server_.Send({0x0C, 0x00});
  uint8_t two[2];
  ASSERT_TRUE(WaitUntil([&] { return aStream_Read(stream_, two, 2) == aErrNone; }));
  EXPECT_EQ(Bytes(two, two + 2), (Bytes{0x0C, 0x00}));
  const uint8_t bytes[] = {0x0E, 0x01, 0x07};
  EXPECT_EQ(aStream_Write(stream_, bytes, 3), aErrNone);
  EXPECT_GE(server_.WaitForPacket({0x0E, 0x01, 0x07}), 0);
}

TEST_F(SocketStreamTest, AVanishedPeerGivesConnectionErrorsFromThenOn) {
  server_.Vanish();
  uint8_t byte;
  aErr result = aErrNotReady;
  ASSERT_TRUE(WaitUntil([&] {
    result = aStream_Read(stream_, &byte, 1);
    return result != aErrNotReady;
  }));
  EXPECT_EQ(result, aErrConnection);
  EXPECT_EQ(aStream_Read(stream_, &byte, 1), aErrConnection);
  const uint8_t bytes[] = {0x04, 0x00};
  EXPECT_EQ(aStream_Write(stream_, bytes, 2), aErrConnection);
  // The descriptor still names a socket, so a waiting reader wakes at once.
  EXPECT_EQ(aStream_WaitReadable(stream_, 5000), aErrNone);
}

TEST_F(SocketStreamTest, AWriteThatCannotGoOutGivesUpAfterItsRetries) {
  // The server never reads; with small buffers the write meets EAGAIN until
  // its retries run out.
  int fd = aStream_GetWaitHandle(stream_);
  int small = 4096;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
  server_.StopReading();
  Bytes big(8 * 1024 * 1024, 0x5A);
  EXPECT_EQ(aStream_Write(stream_, big.data(), big.size()), aErrWrite);
}

TEST(LinkTableTest, UnknownLinksAndMissingListenersAreRefused) {
  FakeModule gone;
  gone.Vanish();  // nobody listens on its port any more
  aStreamRef stream = (aStreamRef)0x1;
  EXPECT_EQ(aStream_CreateSocket(FakeModule::LoopbackAddress(), gone.port(), &stream),
            aErrResource);
  EXPECT_EQ(stream, nullptr);

  // Unknown links are refused.
  uint32_t id = 0x7FFFFFF0;
  EXPECT_EQ(aLink_GetStatus(id), (uint32_t)aLINK_STATUS_NO_STREAM);
  EXPECT_EQ(aLink_AwaitFirst(id, MatchAll, nullptr, 10), nullptr);
  EXPECT_EQ(aLink_Reset(id), aErrParam);
  EXPECT_EQ(aLink_Destroy(&id), aErrParam);
  EXPECT_EQ(id, 0u);
}

}  // namespace
