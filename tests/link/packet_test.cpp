// Packet records and the byte-by-byte assembler.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "link/aPacket.h"

namespace {

struct PacketHolder {
  aPacketRef p = aPacket_Create();
  ~PacketHolder() {
    if (p != nullptr) aPacket_Destroy(&p);
  }
};

// Feeds bytes and returns the status of each.
std::vector<aErr> Feed(aPacketRef p, const std::vector<uint8_t>& bytes) {
  std::vector<aErr> out;
  for (uint8_t b : bytes) out.push_back(aPacket_AddByte(p, b));
  return out;
}

TEST(PacketTest, CreateIsEmptyAndValid) {
  PacketHolder h;
  ASSERT_TRUE(aVALIDPACKET(h.p));
  EXPECT_EQ(h.p->byteCount, 0);
  EXPECT_EQ(h.p->address, 0);
  EXPECT_EQ(h.p->length, 0);
  for (uint8_t b : h.p->data) EXPECT_EQ(b, 0);
  EXPECT_FALSE(aPacket_IsComplete(h.p));
}

TEST(PacketTest, CreateWithDataGoesOnTheWireInOrder) {
  const uint8_t data[] = {1, 2, 3};
  aPacketRef p = aPacket_CreateWithData(0x04, 3, data);
  ASSERT_TRUE(aVALIDPACKET(p));
  EXPECT_EQ(p->byteCount, 5);
  EXPECT_TRUE(aPacket_IsComplete(p));
  ASSERT_EQ(aPacket_WireSize(p), 5u);
  std::vector<uint8_t> wire(aPacket_Wire(p), aPacket_Wire(p) + aPacket_WireSize(p));
  EXPECT_EQ(wire, (std::vector<uint8_t>{0x04, 0x03, 0x01, 0x02, 0x03}));
  for (int i = 3; i < aPACKET_MAX_DATA; i++) EXPECT_EQ(p->data[i], 0) << i;
  EXPECT_EQ(aPacket_Destroy(&p), aErrNone);
  EXPECT_EQ(p, nullptr);
}

TEST(PacketTest, CreateWithDataRefusesRunsTheRecordCannotHold) {
  std::vector<uint8_t> data(64, 0x55);
  EXPECT_EQ(aPacket_CreateWithData(0x02, 29, data.data()), nullptr);
  EXPECT_EQ(aPacket_CreateWithData(0x02, 255, data.data()), nullptr);
  EXPECT_EQ(aPacket_CreateWithData(0x02, 1, nullptr), nullptr);
  aPacketRef full = aPacket_CreateWithData(0x02, 28, data.data());
  ASSERT_NE(full, nullptr);
  EXPECT_EQ(full->byteCount, 30);
  aPacket_Destroy(&full);
  aPacketRef empty = aPacket_CreateWithData(0xAF, 0, nullptr);
  ASSERT_NE(empty, nullptr);
  EXPECT_TRUE(aPacket_IsComplete(empty));
  aPacket_Destroy(&empty);
}

TEST(PacketTest, ZeroLengthPacketCompletesOnItsLengthByte) {
  PacketHolder h;
  EXPECT_EQ(Feed(h.p, {0x02, 0x00}), (std::vector<aErr>{aErrNone, aErrNone}));
  EXPECT_TRUE(aPacket_IsComplete(h.p));
  EXPECT_EQ(h.p->address, 0x02);
  EXPECT_EQ(h.p->length, 0);
}

TEST(PacketTest, AssemblesDataAndRefusesTheByteAfterTheEnd) {
  PacketHolder h;
  EXPECT_EQ(Feed(h.p, {0x10, 0x02, 0xAA}), (std::vector<aErr>(3, aErrNone)));
  EXPECT_FALSE(aPacket_IsComplete(h.p));
  EXPECT_EQ(aPacket_AddByte(h.p, 0xBB), aErrNone);
  EXPECT_TRUE(aPacket_IsComplete(h.p));
  EXPECT_EQ(h.p->data[0], 0xAA);
  EXPECT_EQ(h.p->data[1], 0xBB);
  EXPECT_EQ(aPacket_AddByte(h.p, 0xCC), aErrPacket);
  EXPECT_EQ(h.p->data[2], 0);
}

TEST(PacketTest, BadAddressAndLengthBytesAreRefused) {
  for (uint8_t address : {0x00, 0x01, 0xAD, 0xAF, 0xFF}) {
    PacketHolder h;
    EXPECT_EQ(aPacket_AddByte(h.p, address), aErrPacket) << int(address);
    EXPECT_EQ(h.p->address, 0);
  }
  for (uint8_t length : {29, 30, 200, 255}) {
    PacketHolder h;
    ASSERT_EQ(aPacket_AddByte(h.p, 0x02), aErrNone);
    EXPECT_EQ(aPacket_AddByte(h.p, length), aErrPacket) << int(length);
    EXPECT_FALSE(aPacket_IsComplete(h.p));
  }
  PacketHolder h;
  ASSERT_EQ(aPacket_AddByte(h.p, 0x02), aErrNone);
  EXPECT_EQ(aPacket_AddByte(h.p, 28), aErrNone);
}

TEST(PacketTest, ThirtyFirstByteOverruns) {
  PacketHolder h;
  // A bad address byte is still counted.
  for (int i = 0; i < 30; i++) EXPECT_NE(aPacket_AddByte(h.p, 0x01), aErrOverrun) << i;
  EXPECT_EQ(aPacket_AddByte(h.p, 0x02), aErrOverrun);
}

TEST(PacketTest, ResetKeepsTheTagAndClearsEverythingElse) {
  const uint8_t data[] = {9, 8, 7};
  aPacketRef p = aPacket_CreateWithData(0x06, 3, data);
  ASSERT_EQ(aPacket_Reset(p), aErrNone);
  EXPECT_TRUE(aVALIDPACKET(p));
  EXPECT_EQ(p->byteCount, 0);
  EXPECT_EQ(p->address, 0);
  EXPECT_EQ(p->length, 0);
  for (uint8_t b : p->data) EXPECT_EQ(b, 0);
  // Usable again as an assembler.
  EXPECT_EQ(Feed(p, {0x08, 0x01, 0x42}), (std::vector<aErr>(3, aErrNone)));
  EXPECT_TRUE(aPacket_IsComplete(p));
  aPacket_Destroy(&p);
}

TEST(PacketTest, InvalidRecordsAndHandles) {
  EXPECT_EQ(aPacket_AddByte(nullptr, 0x02), aErrParam);
  EXPECT_EQ(aPacket_Reset(nullptr), aErrParam);
  EXPECT_FALSE(aPacket_IsComplete(nullptr));
  aPacket bogus = {0x1234, 2, 2, 0, {0}};
  EXPECT_FALSE(aVALIDPACKET(&bogus));
  EXPECT_EQ(aPacket_AddByte(&bogus, 0x02), aErrParam);
  EXPECT_EQ(aPacket_Reset(&bogus), aErrParam);
  EXPECT_FALSE(aPacket_IsComplete(&bogus));
  EXPECT_EQ(aPacket_Destroy(nullptr), aErrParam);
  aPacketRef none = nullptr;
  EXPECT_EQ(aPacket_Destroy(&none), aErrParam);
}

// Any byte sequence gives statuses, never writes outside the record (the
// sanitizers would report it) and never completes a packet it refused.
TEST(PacketTest, RandomInputNeverEscapesTheRecord) {
  std::mt19937 rng(12345);
  PacketHolder h;
  for (int round = 0; round < 2000; round++) {
    aPacket_Reset(h.p);
    const int count = 1 + static_cast<int>(rng() % 400);
    for (int i = 0; i < count; i++) {
      aErr err = aPacket_AddByte(h.p, static_cast<uint8_t>(rng()));
      ASSERT_TRUE(err == aErrNone || err == aErrPacket || err == aErrOverrun) << err;
      ASSERT_TRUE(aVALIDPACKET(h.p));
      ASSERT_LE(h.p->byteCount, aPACKET_MAX_WIRE + 1);
    }
  }
}

// More than 255 bytes offered to one record: the count must not wrap and let
// bytes in again.
TEST(PacketTest, LongRunsKeepBeingRefused) {
  PacketHolder h;
  ASSERT_EQ(aPacket_AddByte(h.p, 0x02), aErrNone);
  ASSERT_EQ(aPacket_AddByte(h.p, 28), aErrNone);
  for (int i = 0; i < 28; i++) ASSERT_EQ(aPacket_AddByte(h.p, 0x11), aErrNone);
  ASSERT_TRUE(aPacket_IsComplete(h.p));
  for (int i = 0; i < 1000; i++) ASSERT_EQ(aPacket_AddByte(h.p, 0x22), aErrOverrun) << i;
  EXPECT_EQ(h.p->tag, aPACKET_TAG);
  EXPECT_EQ(h.p->address, 0x02);
  EXPECT_EQ(h.p->length, 28);
  for (uint8_t b : h.p->data) EXPECT_EQ(b, 0x11);
}

}  // namespace
