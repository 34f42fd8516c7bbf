// Packet records, the byte-by-byte assembler, the packet FIFOs and the packet
// debug log ring.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <random>
#include <thread>
#include <vector>

#include "link/aPacket.h"
#include "link/aPacketDebug.h"
#include "link/aPacketFifo.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct PacketHolder {
  aPacketRef p = aPacket_Create();
  ~PacketHolder() { aPacket_Destroy(&p); }
};

TEST(PacketTest, AssemblerAndCreateAcceptOnlyValidAddressesAndLengths) {
  PacketHolder zero;
  for (uint8_t b : {0x02, 0x00}) EXPECT_EQ(aPacket_AddByte(zero.p, b), aErrNone);
  EXPECT_TRUE(aPacket_IsComplete(zero.p)) << "02 00 is a complete empty packet";
  PacketHolder two;
  for (uint8_t b : {0x10, 0x02, 0xAA, 0xBB}) EXPECT_EQ(aPacket_AddByte(two.p, b), aErrNone);
  EXPECT_TRUE(aPacket_IsComplete(two.p));
  EXPECT_EQ(aPacket_AddByte(two.p, 0xCC), aErrPacket) << "no byte after the end";
  EXPECT_EQ(two.p->data[2], 0);
  for (uint8_t address : {0x00, 0x01, 0xAD, 0xFF}) {
    PacketHolder h;
    EXPECT_EQ(aPacket_AddByte(h.p, address), aErrPacket) << int(address);
  }
  for (int length : {28, 29, 255}) {
    PacketHolder h;
    ASSERT_EQ(aPacket_AddByte(h.p, 0x02), aErrNone);
    EXPECT_EQ(aPacket_AddByte(h.p, (uint8_t)length), length < 29 ? aErrNone : aErrPacket);
  }
  // CreateWithData refuses more than 28 bytes, and a null data pointer.
  EXPECT_EQ(aPacket_CreateWithData(0x02, 29, Bytes(64, 0x55).data()), nullptr);
  EXPECT_EQ(aPacket_CreateWithData(0x02, 1, nullptr), nullptr);

  // The 31st byte overruns, and a long run must not wrap the count.
  PacketHolder h;
  for (int i = 0; i < 30; i++) EXPECT_NE(aPacket_AddByte(h.p, 0x01), aErrOverrun) << i;
  for (int i = 0; i < 1000; i++) ASSERT_EQ(aPacket_AddByte(h.p, 0x02), aErrOverrun) << i;
  EXPECT_EQ(h.p->tag, aPACKET_TAG);
  ASSERT_EQ(aPacket_Reset(h.p), aErrNone);
  for (uint8_t b : {0x08, 0x01, 0x42}) EXPECT_EQ(aPacket_AddByte(h.p, b), aErrNone);
  EXPECT_TRUE(aPacket_IsComplete(h.p)) << "usable again after a reset";
}

// Any byte sequence gives a status and never writes outside the record (the
// sanitizers watch this).
TEST(PacketTest, RandomInputNeverEscapesTheRecord) {
  std::mt19937 rng(12345);
  PacketHolder h;
  for (int round = 0; round < 2000; round++) {
    aPacket_Reset(h.p);
    for (int i = 0, n = 1 + (int)(rng() % 400); i < n; i++) {
      aErr err = aPacket_AddByte(h.p, (uint8_t)rng());
      ASSERT_TRUE(err == aErrNone || err == aErrPacket || err == aErrOverrun) << err;
      ASSERT_LE(h.p->byteCount, aPACKET_MAX_WIRE + 1);
    }
  }
}

// ---- FIFOs -------------------------------------------------------------------

constexpr auto kGuard = std::chrono::seconds(20);  // no wait here comes near it

struct Fifo {
  ~Fifo() { aPacketFifo_Destroy(&id); }
  aPacketFifoId id = aPacketFifo_Create();
};

aErr PutByte(aPacketFifoId id, uint8_t value) {
  aPacketRef p = aPacket_CreateWithData(0x02, 1, &value);
  aErr err = aPacketFifo_Put(id, p);
  aPacket_Destroy(&p);
  return err;
}

std::vector<int> Drain(aPacketFifoId id) {
  std::vector<int> values;
  while (aPacketRef p = aPacketFifo_Get(id)) {
    values.push_back(p->data[0]);
    aPacket_Destroy(&p);
  }
  return values;
}

bool ValueIs(const aPacket* packet, void* ref) { return packet->data[0] == *(int*)ref; }
bool Everything(const aPacket*, void*) { return true; }
bool EvenValue(const aPacket* packet, void*) { return packet->data[0] % 2 == 0; }

TEST(FifoTest, IdentifiersAreNeverReusedEmptyReadsReturnAtOnceAndDestroyedFifosRefusePuts) {
  aPacketFifoId id = aPacketFifo_Create();
  const aPacketFifoId stale = id;
  ASSERT_EQ(aPacketFifo_Destroy(&id), aErrNone);
  EXPECT_EQ(id, 0u);
  Fifo next;
  EXPECT_EQ(next.id, stale + 1);
  EXPECT_EQ(PutByte(stale, 1), aErrParam);
  EXPECT_EQ(aPacketFifo_Get(stale), nullptr);
  aPacketFifoId again = stale;
  EXPECT_EQ(aPacketFifo_Destroy(&again), aErrNotFound);
  // Reads on an empty FIFO return null at once.
  EXPECT_EQ(aPacketFifo_Get(next.id), nullptr);
  EXPECT_EQ(aPacketFifo_Await(next.id, 0), nullptr);
  EXPECT_EQ(aPacketFifo_AwaitFirst(next.id, Everything, nullptr, 0), nullptr);
}

TEST(FifoTest, PutCopiesAndGetFirstTakesFromAnywhereKeepingOrder) {
  Fifo f;
  aPacketRef p = aPacket_CreateWithData(0x02, 1, (const uint8_t*)"\x01");
  ASSERT_EQ(aPacketFifo_Put(f.id, p), aErrNone);
  p->data[0] = 2;  // the FIFO holds its own copy
  ASSERT_EQ(aPacketFifo_Put(f.id, p), aErrNone);
  aPacket_Destroy(&p);
  for (int v = 3; v <= 4; v++) ASSERT_EQ(PutByte(f.id, v), aErrNone);
  for (int wanted : {2, 4}) {  // the middle, then the newest (the tail moves back)
    p = aPacketFifo_GetFirst(f.id, ValueIs, &wanted);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->data[0], wanted);
    aPacket_Destroy(&p);
  }
  int missing = 9;
  EXPECT_EQ(aPacketFifo_GetFirst(f.id, ValueIs, &missing), nullptr);
  ASSERT_EQ(PutByte(f.id, 5), aErrNone);
  EXPECT_EQ(aPacketFifo_GetLength(f.id), 3u);
  EXPECT_EQ(Drain(f.id), (std::vector<int>{1, 3, 5}));

  // Drain removes matches and keeps the rest in order.
  for (int v : {2, 4, 1, 6, 3, 5, 8}) ASSERT_EQ(PutByte(f.id, v), aErrNone);
  EXPECT_EQ(aPacketFifo_DrainPackets(f.id, EvenValue, nullptr), 4u);
  ASSERT_EQ(PutByte(f.id, 7), aErrNone);
  EXPECT_EQ(Drain(f.id), (std::vector<int>{1, 3, 5, 7}));
  for (int v = 0; v < 5; v++) ASSERT_EQ(PutByte(f.id, v), aErrNone);
  EXPECT_EQ(aPacketFifo_DrainPackets(f.id, Everything, nullptr), 5u);
  ASSERT_EQ(PutByte(f.id, 11), aErrNone);
  EXPECT_EQ(Drain(f.id), (std::vector<int>{11}));
}

// Matches 9 and counts its calls in the std::atomic<int> at `ref`.
bool CountedNine(const aPacket* packet, void* ref) {
  ++*(std::atomic<int>*)ref;
  return packet->data[0] == 9;
}

// A waiter for a reply sleeps while unrelated packets sit in the queue and
// takes the reply when another thread puts it; the others stay.
TEST(FifoTest, AwaitFirstSleepsOverNonMatchingPacketsUntilTheReply) {
  Fifo f;
  for (int v : {1, 2}) ASSERT_EQ(PutByte(f.id, v), aErrNone);
  std::atomic<int> calls{0};
  auto waiter = std::async(
      std::launch::async, [&] { return aPacketFifo_AwaitFirst(f.id, CountedNine, &calls, 15000); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_LE(calls.load(), 4) << "the waiter spins";
  for (int v : {3, 9}) ASSERT_EQ(PutByte(f.id, v), aErrNone);
  ASSERT_EQ(waiter.wait_for(kGuard), std::future_status::ready);
  aPacketRef p = waiter.get();
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->data[0], 9);
  aPacket_Destroy(&p);
  EXPECT_EQ(Drain(f.id), (std::vector<int>{1, 2, 3}));
}

// The link's output thread sleeps on its FIFO with no time limit; clearing
// its running flag and waking the FIFO must end that wait.
TEST(FifoTest, AwaitWhileEndsOnceTheFlagIsClearedAndTheFifoWoken) {
  Fifo f;
  std::atomic<bool> keepWaiting{true};
  auto waiter = std::async(std::launch::async, [&] {
    return aPacketFifo_AwaitWhile(f.id, 24ul * 3600 * 1000, &keepWaiting);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  keepWaiting = false;
  ASSERT_EQ(aPacketFifo_Wake(f.id), aErrNone);
  ASSERT_EQ(waiter.wait_for(kGuard), std::future_status::ready) << "the wake-up was lost";
  EXPECT_EQ(waiter.get(), nullptr);
  ASSERT_EQ(PutByte(f.id, 5), aErrNone);  // a queued packet is still taken at once
  aPacketRef p = aPacketFifo_AwaitWhile(f.id, 24ul * 3600 * 1000, &keepWaiting);
  ASSERT_NE(p, nullptr);
  aPacket_Destroy(&p);
  EXPECT_EQ(aPacketFifo_Wake(0), aErrParam);
}

// Destroying a FIFO wakes every waiter at once, and threads inside other
// calls on it must not touch freed memory (the sanitizers watch this).
TEST(FifoTest, DestroyWakesWaitersAndSparesOtherUsers) {
  for (int round = 0; round < 20; round++) {
    aPacketFifoId id = aPacketFifo_Create();
    const aPacketFifoId shared = id;
    std::atomic<bool> stop{false};
    int none = 7;
    std::vector<std::future<aPacketRef>> waiters;
    for (int i = 0; i < 2; i++) {
      waiters.push_back(std::async(std::launch::async, [&] {
        return aPacketFifo_AwaitFirst(shared, ValueIs, &none, 60000);  // longer than kGuard
      }));
    }
    std::vector<std::thread> users;
    users.emplace_back([&] {
      while (!stop) PutByte(shared, 1);
    });
    users.emplace_back([&] {
      while (!stop) {
        aPacketRef p = aPacketFifo_AwaitFirst(shared, ValueIs, &none, 5);
        aPacket_Destroy(&p);
        p = aPacketFifo_Await(shared, 5);
        aPacket_Destroy(&p);
        aPacketFifo_DrainPackets(shared, EvenValue, nullptr);
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(aPacketFifo_Destroy(&id), aErrNone);
    for (auto& w : waiters) {
      EXPECT_EQ(w.wait_for(kGuard), std::future_status::ready) << "destroy did not wake a waiter";
      EXPECT_EQ(w.get(), nullptr);
    }
    stop = true;
    for (auto& u : users) u.join();
  }
}

// ---- packet debug log ----------------------------------------------------------

struct Record {
  aErr err;
  uint8_t direction;
  unsigned int length;
  Bytes bytes;
};

Record Get(aPacketLog* log, unsigned int capacity = 255) {
  Record r{aErrNone, 0, capacity, Bytes(capacity + 1, 0xEE)};
  r.err = aPacketLog_Get(log, &r.direction, &r.length, r.bytes.data());
  r.bytes.resize(r.err == aErrNone ? r.length : 0);
  return r;
}

aErr Put(aPacketLog* log, const Bytes& bytes, uint8_t direction = aPACKETLOG_INBOUND) {
  return aPacketLog_Put(log, direction, (unsigned)bytes.size(), bytes.data());
}

TEST(PacketLogTest, KeepsOnlyTheNewestRecordsThatFitAndOverrunsChangeNothing) {
  aPacketLog* log = aPacketLog_Create(16);
  ASSERT_EQ(Put(log, {1, 1, 1, 1}, aPACKETLOG_OUTBOUND), aErrNone);
  ASSERT_EQ(Put(log, {2, 2, 2, 2}, aPACKETLOG_INBOUND), aErrNone);
  ASSERT_EQ(Put(log, {3, 3, 3, 3}, aPACKETLOG_OUTBOUND), aErrNone);
  for (uint8_t v : {2, 3}) {
    Record r = Get(log);
    EXPECT_EQ(r.direction, v == 2 ? aPACKETLOG_INBOUND : aPACKETLOG_OUTBOUND);
    EXPECT_EQ(r.bytes, Bytes(4, v));
  }
  EXPECT_EQ(Get(log).err, aErrNotFound);

  // Overruns change nothing.
  ASSERT_EQ(Put(log, {9, 8, 7, 6, 5}), aErrNone);
  Record small = Get(log, 2);
  EXPECT_EQ(small.err, aErrOverrun);
  EXPECT_EQ(small.length, 5u);
  EXPECT_EQ(Put(log, Bytes(14, 0x55)), aErrOverrun) << "length + 2 reaches the ring size";
  EXPECT_EQ(Get(log, 5).bytes, (Bytes{9, 8, 7, 6, 5}));
  EXPECT_EQ(Get(log).err, aErrNotFound);
  EXPECT_EQ(Put(log, Bytes(13, 0x66)), aErrNone);
  EXPECT_EQ(Get(log).bytes, Bytes(13, 0x66));

  aPacketLog* big = aPacketLog_Create(4096);
  EXPECT_EQ(Put(big, Bytes(256, 1)), aErrOverrun) << "the length must fit its byte";
  EXPECT_EQ(Put(big, Bytes(255, 2)), aErrNone);
  EXPECT_EQ(Get(big).bytes, Bytes(255, 2));
  aPacketLog_Destroy(&big);
  aPacketLog_Destroy(&log);
}

}  // namespace
