// The link engine against an in-process fake module on loopback TCP.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <thread>

#include "link/aLink.h"
#include "link/aStreamSocket.h"
#include "tests/link/FakeModule.h"

using qntest::Bytes;
using qntest::FakeModule;
using qntest::WaitUntil;

namespace {

const Bytes kStart = {0xAF, 0x01, 0x01};
const Bytes kStop = {0xAF, 0x01, 0x00};

bool MatchAll(const aPacket*, void*) { return true; }
bool MatchAddress(const aPacket* packet, void* ref) {
  return packet->address == *(const uint8_t*)ref;
}

Bytes Wire(const aPacket* packet) {
  return Bytes(aPacket_Wire(packet), aPacket_Wire(packet) + aPacket_WireSize(packet));
}

long long ElapsedMs(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               since)
      .count();
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

TEST_F(LinkTest, StartsWithTheStartPacketAndStopsWithTheStopPacket) {
  Open();
  EXPECT_EQ(module_.CountOf(kStart), 1);
  EXPECT_EQ(module_.CountOf(kStop), 0);
  EXPECT_EQ(aLink_Destroy(&id_), aErrNone);
  EXPECT_EQ(id_, 0u);
  EXPECT_GE(module_.WaitForPacket(kStop), 1);
}

TEST_F(LinkTest, ModulePacketsReachTheClientAndClientPacketsTheModule) {
  Open();
  module_.Send({0x04, 0x03, 0x01, 0x02, 0x03, 0x06, 0x00});
  aPacketRef first = aLink_AwaitPacket(id_, 2000);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(Wire(first), (Bytes{0x04, 0x03, 0x01, 0x02, 0x03}));
  aPacket_Destroy(&first);
  aPacketRef empty = aLink_AwaitPacket(id_, 2000);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(Wire(empty), (Bytes{0x06, 0x00}));
  aPacket_Destroy(&empty);

  const uint8_t data[] = {0x10, 0x20};
  aPacketRef out = aPacket_CreateWithData(0x04, 2, data);
  EXPECT_EQ(aLink_PutPacket(id_, out), aErrNone);
  aPacket_Destroy(&out);
  EXPECT_GE(module_.WaitForPacket({0x04, 0x02, 0x10, 0x20}), 1);
}

TEST_F(LinkTest, AwaitFirstPicksTheMatchingPacketAndLeavesTheOthers) {
  Open();
  module_.Send({0x02, 0x01, 0xAA, 0x04, 0x01, 0xBB});
  uint8_t wanted = 0x04;
  aPacketRef packet = aLink_AwaitFirst(id_, MatchAddress, &wanted, 2000);
  ASSERT_NE(packet, nullptr);
  EXPECT_EQ(Wire(packet), (Bytes{0x04, 0x01, 0xBB}));
  aPacket_Destroy(&packet);
  packet = aLink_GetPacket(id_);
  ASSERT_NE(packet, nullptr);
  EXPECT_EQ(Wire(packet), (Bytes{0x02, 0x01, 0xAA}));
  aPacket_Destroy(&packet);
  EXPECT_EQ(aLink_GetPacket(id_), nullptr);
}

TEST_F(LinkTest, HeartbeatsAreAnsweredInPhaseAndNeverQueued) {
  Open();
  module_.Send({0x02, 0x02, 0x00, 0x00});
  int first = module_.WaitForPacket({0x02, 0x02, 0x00, 0x02});
  ASSERT_GE(first, 1);
  // A second phase-0 heartbeat in a row gets no answer; a marker packet
  // sent after it shows when it has been handled.
  module_.Send({0x02, 0x02, 0x00, 0x00, 0x08, 0x00});
  aPacketRef marker = aLink_AwaitPacket(id_, 2000);
  ASSERT_NE(marker, nullptr);
  EXPECT_EQ(Wire(marker), (Bytes{0x08, 0x00}));
  aPacket_Destroy(&marker);
  module_.Send({0x02, 0x02, 0x00, 0x01});
  ASSERT_GE(module_.WaitForPacket({0x02, 0x02, 0x00, 0x03}, first + 1), first + 1);
  // And phase 0 again.
  module_.Send({0x02, 0x02, 0x00, 0x00});
  ASSERT_GE(module_.WaitForPacket({0x02, 0x02, 0x00, 0x02}, first + 1), first + 1);
  EXPECT_EQ(module_.CountOf({0x02, 0x02, 0x00, 0x02}), 2);
  EXPECT_EQ(module_.CountOf({0x02, 0x02, 0x00, 0x03}), 1);
  EXPECT_EQ(aLink_DrainPackets(id_, MatchAll, nullptr), 0u) << "no heartbeat reached the client";
}

TEST_F(LinkTest, AStrayByteStartsASyncThatTheModuleAnswerEnds) {
  Open();
  module_.Send({0x01});
  ASSERT_TRUE(WaitUntil([&] { return module_.SyncRequests() == 1; }));
  EXPECT_EQ(aLink_GetStatus(id_), (uint32_t)aLINK_STATUS_SYNCING);

  // While syncing, AwaitFirst does not wait.
  auto since = std::chrono::steady_clock::now();
  EXPECT_EQ(aLink_AwaitFirst(id_, MatchAll, nullptr, 10000), nullptr);
  EXPECT_LT(ElapsedMs(since), 5000);

  module_.Send({0x04, 0x00, 0x04, 0x00});
  ASSERT_TRUE(WaitUntil([&] { return aLink_GetStatus(id_) == aLINK_STATUS_RUNNING; }));
  EXPECT_EQ(module_.SyncRequests(), 1);
  module_.Send({0x04, 0x01, 0x55});
  aPacketRef packet = aLink_AwaitPacket(id_, 2000);
  ASSERT_NE(packet, nullptr);
  EXPECT_EQ(Wire(packet), (Bytes{0x04, 0x01, 0x55}));
  aPacket_Destroy(&packet);
}

TEST_F(LinkTest, ASyncAnswerFromTwoAddressesRestartsTheSync) {
  Open();
  module_.Send({0x03});
  ASSERT_TRUE(WaitUntil([&] { return module_.SyncRequests() == 1; }));
  module_.Send({0x04, 0x00, 0x06, 0x00});
  ASSERT_TRUE(WaitUntil([&] { return module_.SyncRequests() >= 2; }));
  EXPECT_EQ(aLink_GetStatus(id_), (uint32_t)aLINK_STATUS_SYNCING);
}

TEST_F(LinkTest, RandomBytesEndInASyncAndTheLinkWorksAfterwards) {
  Open();
  module_.SetSyncAnswerAddress(0x04);
  std::mt19937 random(1234);
  Bytes noise(1000);
  for (uint8_t& byte : noise) byte = (uint8_t)random();
  module_.Send(noise);
  // Whatever the noise left behind, a stray byte forces one more sync that
  // the module answers.
  ASSERT_TRUE(WaitUntil([&] { return module_.SyncRequests() >= 1; }, 10000));
  module_.Send({0x01});
  ASSERT_TRUE(WaitUntil(
      [&] { return aLink_GetStatus(id_) == aLINK_STATUS_RUNNING && module_.SyncRequests() >= 2; },
      10000));
  ASSERT_TRUE(WaitUntil([&] {
    aLink_DrainPackets(id_, MatchAll, nullptr);
    return aLink_GetStatus(id_) == aLINK_STATUS_RUNNING;
  }));
  aLink_DrainPackets(id_, MatchAll, nullptr);
  module_.Send({0x0A, 0x02, 0x11, 0x22});
  uint8_t wanted = 0x0A;
  aPacketRef packet = aLink_AwaitFirst(id_, MatchAddress, &wanted, 3000);
  ASSERT_NE(packet, nullptr);
  EXPECT_EQ(Wire(packet), (Bytes{0x0A, 0x02, 0x11, 0x22}));
  aPacket_Destroy(&packet);
}

TEST_F(LinkTest, SameModuleSharesOneLinkUntilTheLastDestroy) {
  Open();
  uint32_t second = aLink_CreateTCPIP(FakeModule::LoopbackAddress(), module_.port());
  EXPECT_EQ(second, id_);
  EXPECT_EQ(module_.Connections(), 1);
  EXPECT_EQ(aLink_Destroy(&second), aErrNone);
  EXPECT_EQ(second, 0u);
  EXPECT_EQ(aLink_GetStatus(id_), (uint32_t)aLINK_STATUS_RUNNING);
  module_.Send({0x04, 0x00});
  aPacketRef packet = aLink_AwaitPacket(id_, 2000);
  EXPECT_NE(packet, nullptr);
  aPacket_Destroy(&packet);
  EXPECT_EQ(module_.CountOf(kStop), 0);
  EXPECT_EQ(aLink_Destroy(&id_), aErrNone);
  EXPECT_GE(module_.WaitForPacket(kStop), 1);
  EXPECT_EQ(aLink_GetStatus(second), (uint32_t)aLINK_STATUS_NO_STREAM);
}

TEST_F(LinkTest, CallersOpeningTheSameModuleAtOnceGetOneLink) {
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
  for (uint32_t& id : ids) EXPECT_EQ(aLink_Destroy(&id), aErrNone);
  EXPECT_GE(module_.WaitForPacket(kStop), 1);
  EXPECT_EQ(module_.CountOf(kStop), 1);
}

TEST_F(LinkTest, AVanishingModuleGivesStatus6AndDestroyStillJoins) {
  Open();
  module_.Vanish();
  EXPECT_TRUE(WaitUntil([&] { return aLink_GetStatus(id_) == aLINK_STATUS_READ_ERROR; }, 10000))
      << "status " << aLink_GetStatus(id_);
  EXPECT_EQ(aLink_AwaitFirst(id_, MatchAll, nullptr, 10000), nullptr);
  EXPECT_EQ(aLink_Destroy(&id_), aErrNone);
}

TEST_F(LinkTest, APeerThatClosesItsSideLeavesTheLinkUpAndDestroyJoins) {
  Open();
  module_.CloseGracefully();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(aLink_GetStatus(id_), (uint32_t)aLINK_STATUS_RUNNING);
  EXPECT_EQ(aLink_Destroy(&id_), aErrNone);
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
  aPacketRef last = aLink_AwaitFirst(id_, MatchAddress, &marker, 10000);
  ASSERT_NE(last, nullptr) << "the newest packet survives the flood";
  aPacket_Destroy(&last);
  EXPECT_EQ(aLink_GetStatus(id_), (uint32_t)aLINK_STATUS_RUNNING);
  aPacketRef oldest = aLink_GetPacket(id_);
  ASSERT_NE(oldest, nullptr);
  // The queue held the limit, the marker included: the oldest kept is the
  // flood packet numbered extra + 1.
  EXPECT_EQ(Wire(oldest),
            (Bytes{0x04, 0x03, 0x01, (uint8_t)((extra + 1) >> 8), (uint8_t)(extra + 1)}));
  aPacket_Destroy(&oldest);
  EXPECT_EQ(aLink_DrainPackets(id_, MatchAll, nullptr), (size_t)aLINK_MAX_INPUT_PACKETS - 2);
}

TEST_F(LinkTest, ResetReconnectsAndStartsAgain) {
  Open();
  EXPECT_EQ(aLink_Reset(id_), aErrNone);
  ASSERT_TRUE(WaitUntil([&] { return module_.Connections() == 2; }));
  ASSERT_TRUE(WaitUntil([&] { return aLink_GetStatus(id_) == aLINK_STATUS_RUNNING; }));
  EXPECT_GE(module_.WaitForPacket(kStart, 1), 1);
  module_.Send({0x04, 0x00});
  aPacketRef packet = aLink_AwaitPacket(id_, 2000);
  EXPECT_NE(packet, nullptr);
  aPacket_Destroy(&packet);
}

TEST_F(LinkTest, ResetWhileTheTableIsBusyGivesBusyAtOnce) {
  Open();
  FakeModule gone;
  uint32_t other = aLink_CreateTCPIP(FakeModule::LoopbackAddress(), gone.port());
  ASSERT_NE(other, 0u);
  gone.Vanish();
  // Resetting a link whose module is gone keeps the table for about two
  // seconds (20 attempts 100 ms apart).
  std::atomic<bool> resetDone{false};
  std::thread slow([&] {
    aLink_Reset(other);
    resetDone = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  if (!resetDone) {
    EXPECT_EQ(aLink_Reset(id_), aErrBusy);
  }
  slow.join();
  EXPECT_TRUE(WaitUntil([&] { return aLink_GetStatus(other) == aLINK_STATUS_READ_ERROR; }));
  EXPECT_EQ(aLink_Destroy(&other), aErrNone);
}

TEST_F(LinkTest, PacketLogRecordsBothDirections) {
  Open();
  uint8_t direction = 0;
  unsigned int length = 30;
  uint8_t buffer[30];
  EXPECT_EQ(aLink_PacketDebug_Read(id_, &direction, &length, buffer), aErrNotReady);
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(id_, 0x4000001), aErrParam);
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
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].first, aPACKETLOG_INBOUND);
  EXPECT_EQ(records[0].second, (Bytes{0x02, 0x02, 0x00, 0x00}));
  EXPECT_EQ(records[1].first, aPACKETLOG_OUTBOUND);
  EXPECT_EQ(records[1].second, (Bytes{0x02, 0x02, 0x00, 0x02}));

  const uint8_t note[] = {0x01, 0x02};
  EXPECT_EQ(aLink_PacketDebug_Write(id_, aPACKETLOG_OUTBOUND, 2, note), aErrNone);
  length = sizeof(buffer);
  EXPECT_EQ(aLink_PacketDebug_Read(id_, &direction, &length, buffer), aErrNone);
  EXPECT_EQ(length, 2u);
  EXPECT_EQ(aLink_PacketDebug_Disable(id_), aErrNone);
}

TEST(LinkTableTest, UnknownLinksAreRefused) {
  uint32_t id = 0x7FFFFFF0;
  EXPECT_EQ(aLink_GetStatus(id), (uint32_t)aLINK_STATUS_NO_STREAM);
  EXPECT_EQ(aLink_GetPacket(id), nullptr);
  EXPECT_EQ(aLink_AwaitPacket(id, 10), nullptr);
  EXPECT_EQ(aLink_AwaitFirst(id, MatchAll, nullptr, 10), nullptr);
  EXPECT_EQ(aLink_DrainPackets(id, MatchAll, nullptr), 0u);
  aPacketRef packet = aPacket_CreateWithData(0x04, 0, nullptr);
  EXPECT_EQ(aLink_PutPacket(id, packet), aErrParam);
  aPacket_Destroy(&packet);
  EXPECT_EQ(aLink_Reset(id), aErrParam);
  EXPECT_EQ(aLink_PacketDebug_Enable(id), aErrParam);
  EXPECT_EQ(aLink_Destroy(&id), aErrParam);
  EXPECT_EQ(id, 0u);
  EXPECT_EQ(aLink_Destroy(nullptr), aErrParam);
}

TEST(LinkTableTest, ATCPIPLinkWithoutAConnectionReportsAReadError) {
  // A loopback port nobody listens on.
  int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof(address);
  ASSERT_EQ(bind(probe, (sockaddr*)&address, sizeof(address)), 0);
  getsockname(probe, (sockaddr*)&address, &size);
  uint32_t id = aLink_CreateTCPIP(htonl(INADDR_LOOPBACK), ntohs(address.sin_port));
  close(probe);
  ASSERT_NE(id, 0u);
  EXPECT_TRUE(WaitUntil([&] { return aLink_GetStatus(id) == aLINK_STATUS_READ_ERROR; }));
  aPacketRef packet = aPacket_CreateWithData(0x04, 0, nullptr);
  EXPECT_EQ(aLink_PutPacket(id, packet), aErrNone) << "packets to it are accepted and lost";
  aPacket_Destroy(&packet);
  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

TEST(LinkTableTest, IdentifiersAreNeverReused) {
  uint32_t first = aLink_Create(nullptr);
  ASSERT_NE(first, 0u);
  uint32_t kept = first;
  EXPECT_EQ(aLink_Destroy(&first), aErrNone);
  uint32_t second = aLink_Create(nullptr);
  ASSERT_NE(second, 0u);
  EXPECT_GT(second, kept);
  EXPECT_EQ(aLink_Destroy(&second), aErrNone);
}

// A caller-supplied stream over one end of a socket pair, without a wait
// handle, so the input thread paces itself with short sleeps.
struct PairStream {
  int fd;
  bool failReads;
};

aErr PairGet(uint8_t* byte, void* ref) {
  PairStream* pair = (PairStream*)ref;
  if (pair->failReads) return aErrIO;
  ssize_t n = recv(pair->fd, byte, 1, MSG_DONTWAIT);
  return n == 1 ? aErrNone : aErrNotReady;
}
aErr PairWrite(const uint8_t* data, size_t length, void* ref) {
  PairStream* pair = (PairStream*)ref;
  return send(pair->fd, data, length, MSG_NOSIGNAL) == (ssize_t)length ? aErrNone : aErrIO;
}
aErr PairPut(uint8_t byte, void* ref) { return PairWrite(&byte, 1, ref); }
aErr PairDelete(void* ref) {
  PairStream* pair = (PairStream*)ref;
  close(pair->fd);
  delete pair;
  return aErrNone;
}

TEST(LinkTableTest, ALinkOverACallerStreamIsNeverShared) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  FakeModule module(fds[1]);
  aStreamRef stream = aStream_Create(PairGet, PairPut, PairWrite, PairDelete,
                                     new PairStream{fds[0], false});
  uint32_t id = aLink_Create(stream);
  ASSERT_NE(id, 0u);
  EXPECT_EQ(module.WaitForPacket(kStart), 0);
  module.Send({0x02, 0x02, 0x00, 0x00, 0x04, 0x01, 0x99});
  EXPECT_GE(module.WaitForPacket({0x02, 0x02, 0x00, 0x02}), 1);
  aPacketRef packet = aLink_AwaitPacket(id, 2000);
  ASSERT_NE(packet, nullptr);
  EXPECT_EQ(Wire(packet), (Bytes{0x04, 0x01, 0x99}));
  aPacket_Destroy(&packet);
  EXPECT_EQ(aLink_Reset(id), aErrParam) << "a caller stream cannot be opened again";
  EXPECT_EQ(aLink_GetStatus(id), (uint32_t)aLINK_STATUS_RUNNING);
  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
  EXPECT_GE(module.WaitForPacket(kStop), 1);
}

TEST(LinkTableTest, AFailingStreamGivesStatus6) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  aStreamRef stream = aStream_Create(PairGet, PairPut, PairWrite, PairDelete,
                                     new PairStream{fds[0], true});
  uint32_t id = aLink_Create(stream);
  ASSERT_NE(id, 0u);
  EXPECT_TRUE(WaitUntil([&] { return aLink_GetStatus(id) == aLINK_STATUS_READ_ERROR; }));
  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
  close(fds[1]);
}

}  // namespace
