#include "app/DeviceDisplay.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "tests/support/TestSupport.h"
#include "updater/BirdFile.h"

namespace {

void PutBE32(std::vector<uint8_t>* out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out->push_back((uint8_t)(v >> shift));
}

struct Block {
  uint8_t type;
  std::vector<uint8_t> data;
};

// A BIRD file on disk with the given blocks.
std::string WriteBird(const std::string& path, const std::vector<Block>& blocks) {
  std::vector<uint8_t> body;
  PutBE32(&body, (uint32_t)blocks.size());
  for (const Block& b : blocks) {
    body.push_back(b.type);
    PutBE32(&body, (uint32_t)b.data.size());
    body.insert(body.end(), b.data.begin(), b.data.end());
  }
  PutBE32(&body, 0x12345678);
  uLongf size = compressBound(body.size());
  std::vector<uint8_t> stream(size);
  EXPECT_EQ(compress2(stream.data(), &size, body.data(), body.size(), 1), Z_OK);
  std::string file = "bird";
  file += '\x01';
  file += '\x01';
  file.append((const char*)stream.data(), size);
  EXPECT_TRUE(qntest::WriteFile(path, file));
  return path;
}

std::vector<uint8_t> Bytes(const std::string& s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

std::string Field(const std::string& text, char pad) {
  std::string f = text;
  f.resize(16, pad);
  return f;
}

const std::vector<uint8_t> kFirmware = {0, 0, 0, 0, 0x9A, 0x84, 0xF5, 0x40, 1, 2, 3, 4};

TEST(GetBIRDBuildInfo, IsEmptyWithoutAnInfoBlock) {
  qntest::TempDir dir;
  BirdFileClass file(WriteBird(dir / "a.bird", {{1, kFirmware}}).c_str());
  ASSERT_EQ(file.blockCount, 1u);
  EXPECT_EQ(GetBIRDBuildInfo(file), "");

  BirdFileClass empty(nullptr);
  EXPECT_EQ(GetBIRDBuildInfo(empty), "");
}

TEST(GetBIRDBuildInfo, ListsTheFourFieldsAsStoredUpToAZeroByte) {
  qntest::TempDir dir;
  std::string info =
      Field("99528558", ' ') + Field("1.2.3", '\0') + Field("40F5849A", ' ') + "QN-HubExactly16B";
  BirdFileClass file(WriteBird(dir / "a.bird", {{1, kFirmware}, {4, Bytes(info)}}).c_str());
  ASSERT_EQ(file.blockCount, 2u);
  EXPECT_EQ(GetBIRDBuildInfo(file),
            "\n\t\t\tBuild:   99528558        "
            "\n\t\t\tVersion: 1.2.3"
            "\n\t\t\tSerial#: 40F5849A        "
            "\n\t\t\tModel:   QN-HubExactly16B"
            "\n\t\t\t");
}

TEST(GetBIRDBuildInfo, AShortInfoBlockYieldsOnlyTheFieldsItHolds) {
  // The block claims to be the info block but holds 20 bytes: nothing may be
  // read past them.
  qntest::TempDir dir;
  std::string info = Field("B7", '\0') + "1.0.";
  BirdFileClass file(WriteBird(dir / "a.bird", {{4, Bytes(info)}}).c_str());
  ASSERT_EQ(file.blockCount, 1u);
  EXPECT_EQ(GetBIRDBuildInfo(file),
            "\n\t\t\tBuild:   B7\n\t\t\tVersion: 1.0.\n\t\t\tSerial#: \n\t\t\tModel:   \n\t\t\t");

  BirdFileClass none(WriteBird(dir / "b.bird", {{4, {}}}).c_str());
  EXPECT_EQ(GetBIRDBuildInfo(none),
            "\n\t\t\tBuild:   \n\t\t\tVersion: \n\t\t\tSerial#: \n\t\t\tModel:   \n\t\t\t");
}

}  // namespace
