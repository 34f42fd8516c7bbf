// Packet FIFOs: queue order, first-match takes, drains, waits across threads
// and destroy waking its waiters.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "link/aPacketFifo.h"

namespace {

// Every wait in these tests ends long before this; a test that reaches it fails.
constexpr auto kGuard = std::chrono::seconds(20);

class Fifo {
 public:
  Fifo() : id_(aPacketFifo_Create()) {}
  ~Fifo() {
    if (id_ != 0) aPacketFifo_Destroy(&id_);
  }
  aPacketFifoId id() const { return id_; }
  aPacketFifoId* handle() { return &id_; }

 private:
  aPacketFifoId id_;
};

aErr PutByte(aPacketFifoId id, uint8_t address, uint8_t value) {
  aPacketRef p = aPacket_CreateWithData(address, 1, &value);
  aErr err = aPacketFifo_Put(id, p);
  aPacket_Destroy(&p);
  return err;
}

// Takes every packet and returns its first data bytes in order.
std::vector<int> Drain(aPacketFifoId id) {
  std::vector<int> values;
  while (aPacketRef p = aPacketFifo_Get(id)) {
    values.push_back(p->data[0]);
    aPacket_Destroy(&p);
  }
  return values;
}

bool ValueIs(const aPacket* packet, void* ref) {
  return packet->data[0] == *static_cast<int*>(ref);
}

bool Everything(const aPacket*, void*) { return true; }

bool EvenValue(const aPacket* packet, void*) { return packet->data[0] % 2 == 0; }

TEST(FifoTest, IdentifiersAreConsecutiveAndNeverReused) {
  aPacketFifoId first = aPacketFifo_Create();
  ASSERT_NE(first, 0u);
  aPacketFifoId kept = first;
  ASSERT_EQ(aPacketFifo_Destroy(&first), aErrNone);
  EXPECT_EQ(first, 0u);
  aPacketFifoId second = aPacketFifo_Create();
  EXPECT_EQ(second, kept + 1);
  aPacketFifo_Destroy(&second);
}

TEST(FifoTest, UnknownOrDestroyedFifoAnswersNullZeroOrParam) {
  aPacketFifoId id = aPacketFifo_Create();
  const aPacketFifoId stale = id;
  ASSERT_EQ(PutByte(id, 2, 1), aErrNone);
  ASSERT_EQ(aPacketFifo_Destroy(&id), aErrNone);
  aPacketFifoId again = stale;
  EXPECT_EQ(aPacketFifo_Destroy(&again), aErrNotFound);
  EXPECT_EQ(again, stale);
  EXPECT_EQ(aPacketFifo_Destroy(nullptr), aErrNotFound);
  EXPECT_EQ(PutByte(stale, 2, 2), aErrParam);
  EXPECT_EQ(aPacketFifo_Get(stale), nullptr);
  EXPECT_EQ(aPacketFifo_Await(stale, 10), nullptr);
  EXPECT_EQ(aPacketFifo_GetFirst(stale, Everything, nullptr), nullptr);
  EXPECT_EQ(aPacketFifo_AwaitFirst(stale, Everything, nullptr, 10), nullptr);
  EXPECT_EQ(aPacketFifo_DrainPackets(stale, Everything, nullptr), 0u);
  EXPECT_EQ(aPacketFifo_GetLength(stale), 0u);
  EXPECT_EQ(aPacketFifo_GetLength(0), 0u);
}

TEST(FifoTest, PutCopiesAndGetKeepsOrder) {
  Fifo f;
  aPacketRef p = aPacket_CreateWithData(0x04, 1, reinterpret_cast<const uint8_t*>("\x01"));
  ASSERT_EQ(aPacketFifo_Put(f.id(), p), aErrNone);
  p->data[0] = 2;  // the FIFO holds its own copy
  ASSERT_EQ(aPacketFifo_Put(f.id(), p), aErrNone);
  aPacket_Destroy(&p);
  ASSERT_EQ(PutByte(f.id(), 0x04, 3), aErrNone);
  EXPECT_EQ(aPacketFifo_GetLength(f.id()), 3u);

  aPacketRef got = aPacketFifo_Get(f.id());
  ASSERT_TRUE(aVALIDPACKET(got));
  EXPECT_EQ(got->address, 0x04);
  EXPECT_EQ(got->length, 1);
  EXPECT_EQ(got->byteCount, 3);
  EXPECT_EQ(got->data[0], 1);
  aPacket_Destroy(&got);
  EXPECT_EQ(Drain(f.id()), (std::vector<int>{2, 3}));
  EXPECT_EQ(aPacketFifo_GetLength(f.id()), 0u);
}

TEST(FifoTest, EmptyFifoReadsReturnNullAtOnce) {
  Fifo f;
  EXPECT_EQ(aPacketFifo_Get(f.id()), nullptr);
  EXPECT_EQ(aPacketFifo_Await(f.id(), 0), nullptr);
  EXPECT_EQ(aPacketFifo_GetFirst(f.id(), Everything, nullptr), nullptr);
  EXPECT_EQ(aPacketFifo_AwaitFirst(f.id(), Everything, nullptr, 0), nullptr);
  EXPECT_EQ(aPacketFifo_Await(f.id(), 20), nullptr);
  EXPECT_EQ(aPacketFifo_AwaitFirst(f.id(), Everything, nullptr, 20), nullptr);
}

TEST(FifoTest, GetFirstTakesFromTheMiddleAndTheTailStaysRight) {
  Fifo f;
  for (int v = 1; v <= 4; v++) ASSERT_EQ(PutByte(f.id(), 2, v), aErrNone);
  int wanted = 2;
  aPacketRef p = aPacketFifo_GetFirst(f.id(), ValueIs, &wanted);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->data[0], 2);
  aPacket_Destroy(&p);
  // Taking the newest packet must move the tail back.
  wanted = 4;
  p = aPacketFifo_GetFirst(f.id(), ValueIs, &wanted);
  ASSERT_NE(p, nullptr);
  aPacket_Destroy(&p);
  wanted = 9;
  EXPECT_EQ(aPacketFifo_GetFirst(f.id(), ValueIs, &wanted), nullptr);
  EXPECT_EQ(aPacketFifo_GetFirst(f.id(), nullptr, nullptr), nullptr);
  ASSERT_EQ(PutByte(f.id(), 2, 5), aErrNone);
  EXPECT_EQ(aPacketFifo_GetLength(f.id()), 3u);
  EXPECT_EQ(Drain(f.id()), (std::vector<int>{1, 3, 5}));
}

TEST(FifoTest, DrainRemovesMatchesAndKeepsTheRestInOrder) {
  Fifo f;
  // Matches at the head (two in a row), in the middle and at the tail.
  for (int v : {2, 4, 1, 6, 3, 5, 8}) ASSERT_EQ(PutByte(f.id(), 2, v), aErrNone);
  EXPECT_EQ(aPacketFifo_DrainPackets(f.id(), EvenValue, nullptr), 4u);
  EXPECT_EQ(aPacketFifo_GetLength(f.id()), 3u);
  ASSERT_EQ(PutByte(f.id(), 2, 7), aErrNone);
  EXPECT_EQ(Drain(f.id()), (std::vector<int>{1, 3, 5, 7}));

  for (int v = 0; v < 5; v++) ASSERT_EQ(PutByte(f.id(), 2, v), aErrNone);
  EXPECT_EQ(aPacketFifo_DrainPackets(f.id(), nullptr, nullptr), 0u);
  EXPECT_EQ(aPacketFifo_DrainPackets(f.id(), Everything, nullptr), 5u);
  EXPECT_EQ(aPacketFifo_GetLength(f.id()), 0u);
  EXPECT_EQ(aPacketFifo_Get(f.id()), nullptr);
  ASSERT_EQ(PutByte(f.id(), 2, 11), aErrNone);
  EXPECT_EQ(Drain(f.id()), (std::vector<int>{11}));
}

TEST(FifoTest, AwaitWakesOnAPutFromAnotherThread) {
  Fifo f;
  auto waiter = std::async(std::launch::async, [&] { return aPacketFifo_Await(f.id(), 15000); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(PutByte(f.id(), 2, 42), aErrNone);
  ASSERT_EQ(waiter.wait_for(kGuard), std::future_status::ready);
  aPacketRef p = waiter.get();
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->data[0], 42);
  aPacket_Destroy(&p);
}

struct CountingMatch {
  std::atomic<int> calls{0};
  int wanted = 0;
  static bool Match(const aPacket* packet, void* ref) {
    CountingMatch* self = static_cast<CountingMatch*>(ref);
    self->calls++;
    return packet->data[0] == self->wanted;
  }
};

// A waiter for a reply sleeps while unrelated packets sit in the queue and
// takes the reply when it arrives; the unrelated packets stay.
TEST(FifoTest, AwaitFirstSleepsOverNonMatchingPacketsUntilTheReply) {
  Fifo f;
  ASSERT_EQ(PutByte(f.id(), 2, 1), aErrNone);
  ASSERT_EQ(PutByte(f.id(), 2, 2), aErrNone);
  CountingMatch match;
  match.wanted = 9;
  auto waiter = std::async(std::launch::async, [&] {
    return aPacketFifo_AwaitFirst(f.id(), CountingMatch::Match, &match, 15000);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  // One pass over the two queued packets; a spinning waiter would have made
  // thousands of calls by now.
  EXPECT_LE(match.calls.load(), 4);
  ASSERT_EQ(PutByte(f.id(), 2, 3), aErrNone);
  ASSERT_EQ(PutByte(f.id(), 2, 9), aErrNone);
  ASSERT_EQ(waiter.wait_for(kGuard), std::future_status::ready);
  aPacketRef p = waiter.get();
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->data[0], 9);
  aPacket_Destroy(&p);
  EXPECT_EQ(Drain(f.id()), (std::vector<int>{1, 2, 3}));
}

TEST(FifoTest, AwaitFirstTimesOutWithNonMatchingPacketsQueued) {
  Fifo f;
  ASSERT_EQ(PutByte(f.id(), 2, 1), aErrNone);
  int wanted = 5;
  EXPECT_EQ(aPacketFifo_AwaitFirst(f.id(), ValueIs, &wanted, 30), nullptr);
  EXPECT_EQ(aPacketFifo_GetLength(f.id()), 1u);
  wanted = 1;
  aPacketRef p = aPacketFifo_AwaitFirst(f.id(), ValueIs, &wanted, 30);
  ASSERT_NE(p, nullptr);
  aPacket_Destroy(&p);
}

TEST(FifoTest, DestroyWakesEveryWaiter) {
  aPacketFifoId id = aPacketFifo_Create();
  ASSERT_EQ(PutByte(id, 2, 1), aErrNone);  // queued, matched by nobody
  std::atomic<int> started{0};
  int nothing = 99;
  std::vector<std::future<aPacketRef>> waiters;
  for (int i = 0; i < 3; i++) {
    waiters.push_back(std::async(std::launch::async, [&, i] {
      started++;
      if (i == 0) {
        // Only waits while empty: let the queued packet go first.
        int one = 1;
        aPacketRef first = aPacketFifo_GetFirst(id, ValueIs, &one);
        aPacket_Destroy(&first);
        return aPacketFifo_Await(id, 15000);
      }
      return aPacketFifo_AwaitFirst(id, ValueIs, &nothing, 15000);
    }));
  }
  while (started.load() < 3) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(aPacketFifo_Destroy(&id), aErrNone);
  for (auto& w : waiters) {
    ASSERT_EQ(w.wait_for(kGuard), std::future_status::ready) << "destroy did not wake a waiter";
    EXPECT_EQ(w.get(), nullptr);
  }
}

// Producers and a consumer hammer one FIFO; every packet arrives once and each
// producer's packets keep their order.
TEST(FifoTest, ManyProducersOneConsumer) {
  Fifo f;
  constexpr int kProducers = 4;
  constexpr int kEach = 500;
  std::vector<std::thread> producers;
  for (int t = 0; t < kProducers; t++) {
    producers.emplace_back([&, t] {
      for (int i = 0; i < kEach; i++) {
        uint8_t data[2] = {static_cast<uint8_t>(i & 0xFF), static_cast<uint8_t>(i >> 8)};
        aPacketRef p = aPacket_CreateWithData(static_cast<uint8_t>(2 * (t + 1)), 2, data);
        ASSERT_EQ(aPacketFifo_Put(f.id(), p), aErrNone);
        aPacket_Destroy(&p);
      }
    });
  }
  std::vector<int> next(kProducers, 0);
  int received = 0;
  const auto giveUp = std::chrono::steady_clock::now() + kGuard;
  while (received < kProducers * kEach && std::chrono::steady_clock::now() < giveUp) {
    aPacketRef p = aPacketFifo_Await(f.id(), 100);
    if (p == nullptr) continue;
    int t = p->address / 2 - 1;
    int i = p->data[0] | (p->data[1] << 8);
    ASSERT_GE(t, 0);
    ASSERT_LT(t, kProducers);
    EXPECT_EQ(i, next[t]);
    next[t] = i + 1;
    received++;
    aPacket_Destroy(&p);
  }
  for (auto& th : producers) th.join();
  EXPECT_EQ(received, kProducers * kEach);
}

// Destroying a FIFO while other threads are inside calls on it must not let
// them touch freed memory (the sanitizers watch this one).
TEST(FifoTest, DestroyWhileOthersUseTheFifo) {
  for (int round = 0; round < 20; round++) {
    aPacketFifoId id = aPacketFifo_Create();
    const aPacketFifoId shared = id;
    std::atomic<bool> stop{false};
    std::vector<std::thread> users;
    users.emplace_back([&] {
      while (!stop) PutByte(shared, 2, 1);
    });
    users.emplace_back([&] {
      while (!stop) {
        aPacketRef p = aPacketFifo_Await(shared, 5);
        aPacket_Destroy(&p);
      }
    });
    users.emplace_back([&] {
      int none = 7;
      while (!stop) {
        aPacketRef p = aPacketFifo_AwaitFirst(shared, ValueIs, &none, 5);
        aPacket_Destroy(&p);
        aPacketFifo_DrainPackets(shared, EvenValue, nullptr);
        aPacketFifo_GetLength(shared);
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(aPacketFifo_Destroy(&id), aErrNone);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    stop = true;
    for (auto& u : users) u.join();
    EXPECT_EQ(PutByte(shared, 2, 1), aErrParam);
  }
}

}  // namespace
