// Packet debug log ring: dropping the oldest records, wrap-around, overruns.
#include <gtest/gtest.h>

#include <vector>

#include "link/aPacketDebug.h"

namespace {

using Bytes = std::vector<uint8_t>;

class Log {
 public:
  explicit Log(uint32_t size) : log_(aPacketLog_Create(size)) {}
  ~Log() { aPacketLog_Destroy(&log_); }
  aPacketLog* get() const { return log_; }

 private:
  aPacketLog* log_;
};

aErr Put(aPacketLog* log, uint8_t direction, const Bytes& bytes) {
  return aPacketLog_Put(log, direction, static_cast<unsigned>(bytes.size()), bytes.data());
}

struct Record {
  aErr err;
  uint8_t direction;
  unsigned int length;
  Bytes bytes;
};

Record Get(aPacketLog* log, unsigned int capacity = 255) {
  Record r{aErrNone, 0, capacity, Bytes(capacity + 1, 0xEE)};
  r.err = aPacketLog_Get(log, &r.direction, &r.length, r.bytes.data());
  if (r.err == aErrNone) r.bytes.resize(r.length);
  return r;
}

TEST(PacketLogTest, KeepsOnlyTheRecordsThatFit) {
  Log log(16);
  ASSERT_NE(log.get(), nullptr);
  ASSERT_EQ(Put(log.get(), aPACKETLOG_OUTBOUND, {1, 1, 1, 1}), aErrNone);
  ASSERT_EQ(Put(log.get(), aPACKETLOG_INBOUND, {2, 2, 2, 2}), aErrNone);
  ASSERT_EQ(Put(log.get(), aPACKETLOG_OUTBOUND, {3, 3, 3, 3}), aErrNone);
  Record r = Get(log.get());
  EXPECT_EQ(r.err, aErrNone);
  EXPECT_EQ(r.direction, aPACKETLOG_INBOUND);
  EXPECT_EQ(r.bytes, (Bytes{2, 2, 2, 2}));
  r = Get(log.get());
  EXPECT_EQ(r.err, aErrNone);
  EXPECT_EQ(r.direction, aPACKETLOG_OUTBOUND);
  EXPECT_EQ(r.bytes, (Bytes{3, 3, 3, 3}));
  EXPECT_EQ(Get(log.get()).err, aErrNotFound);
}

TEST(PacketLogTest, ShortBufferGivesOverrunAndKeepsTheRecord) {
  Log log(64);
  ASSERT_EQ(Put(log.get(), aPACKETLOG_INBOUND, {9, 8, 7, 6, 5}), aErrNone);
  uint8_t direction = 0;
  unsigned int length = 2;
  uint8_t small[2] = {0, 0};
  EXPECT_EQ(aPacketLog_Get(log.get(), &direction, &length, small), aErrOverrun);
  EXPECT_EQ(length, 5u);
  EXPECT_EQ(small[0], 0);
  Record r = Get(log.get(), 5);
  EXPECT_EQ(r.err, aErrNone);
  EXPECT_EQ(r.bytes, (Bytes{9, 8, 7, 6, 5}));
}

TEST(PacketLogTest, RecordAsLargeAsTheRingIsRefusedWithoutChange) {
  Log log(16);
  ASSERT_EQ(Put(log.get(), aPACKETLOG_OUTBOUND, {1, 2}), aErrNone);
  EXPECT_EQ(Put(log.get(), aPACKETLOG_INBOUND, Bytes(14, 0x55)), aErrOverrun);
  EXPECT_EQ(Put(log.get(), aPACKETLOG_INBOUND, Bytes(20, 0x55)), aErrOverrun);
  Record r = Get(log.get());
  EXPECT_EQ(r.err, aErrNone);
  EXPECT_EQ(r.bytes, (Bytes{1, 2}));
  EXPECT_EQ(Get(log.get()).err, aErrNotFound);
  // The largest record that fits is one byte shorter than the ring.
  EXPECT_EQ(Put(log.get(), aPACKETLOG_INBOUND, Bytes(13, 0x66)), aErrNone);
  r = Get(log.get());
  EXPECT_EQ(r.bytes, Bytes(13, 0x66));
}

TEST(PacketLogTest, RecordsLongerThanTheLengthByteAreRefused) {
  Log log(4096);
  EXPECT_EQ(Put(log.get(), aPACKETLOG_INBOUND, Bytes(256, 1)), aErrOverrun);
  EXPECT_EQ(Put(log.get(), aPACKETLOG_INBOUND, Bytes(255, 2)), aErrNone);
  Record r = Get(log.get());
  EXPECT_EQ(r.length, 255u);
  EXPECT_EQ(r.bytes, Bytes(255, 2));
}

// Records of varying size wrapping many times come back intact and in order:
// the newest ones that fit, oldest first.
TEST(PacketLogTest, WrapsAroundKeepingOrder) {
  Log log(100);
  std::vector<Bytes> all;
  for (int i = 0; i < 200; i++) {
    Bytes bytes(static_cast<size_t>(i % 31), static_cast<uint8_t>(i));
    all.push_back(bytes);
    ASSERT_EQ(Put(log.get(), i % 2 ? aPACKETLOG_INBOUND : aPACKETLOG_OUTBOUND, bytes), aErrNone);
    if (i % 7 == 0) {
      // Read one now and then; it must be the oldest still kept.
      Record r = Get(log.get());
      ASSERT_EQ(r.err, aErrNone);
      ASSERT_FALSE(r.bytes.empty() && r.length != 0);
    }
  }
  std::vector<Bytes> got;
  for (;;) {
    Record r = Get(log.get());
    if (r.err != aErrNone) break;
    got.push_back(r.bytes);
  }
  ASSERT_FALSE(got.empty());
  // What is left is a run of the newest records, ending with the last one.
  size_t start = all.size() - got.size();
  for (size_t i = 0; i < got.size(); i++) EXPECT_EQ(got[i], all[start + i]) << i;
}

TEST(PacketLogTest, EmptyRecordsAndArguments) {
  Log log(8);
  EXPECT_EQ(aPacketLog_Put(log.get(), aPACKETLOG_INBOUND, 0, nullptr), aErrNone);
  Record r = Get(log.get());
  EXPECT_EQ(r.err, aErrNone);
  EXPECT_EQ(r.length, 0u);
  EXPECT_EQ(aPacketLog_Put(nullptr, 1, 0, nullptr), aErrParam);
  EXPECT_EQ(aPacketLog_Put(log.get(), 1, 2, nullptr), aErrParam);
  uint8_t d;
  unsigned int len = 4;
  uint8_t buf[4];
  EXPECT_EQ(aPacketLog_Get(nullptr, &d, &len, buf), aErrParam);
  EXPECT_EQ(aPacketLog_Get(log.get(), nullptr, &len, buf), aErrParam);
  EXPECT_EQ(aPacketLog_Get(log.get(), &d, nullptr, buf), aErrParam);
  EXPECT_EQ(aPacketLog_Create(0), nullptr);
  aPacketLog* none = nullptr;
  EXPECT_EQ(aPacketLog_Destroy(&none), aErrNone);
  EXPECT_EQ(aPacketLog_Destroy(nullptr), aErrNone);
  aPacketLog* made = aPacketLog_Create(32);
  ASSERT_NE(made, nullptr);
  EXPECT_FALSE(made->enabled);
  EXPECT_EQ(made->size, 32u);
  EXPECT_EQ(aPacketLog_Destroy(&made), aErrNone);
  EXPECT_EQ(made, nullptr);
}

}  // namespace
