#include "app/BirdStatus.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/TestSupport.h"
#include "tests/updater/UpdaterTestUtil.h"
#include "updater/BirdFile.h"

namespace {

using qntest::Bytes;
using qntest::Record;

// A BIRD file on disk with the given block records.
std::string WriteBird(const std::string& path, const std::vector<Bytes>& records) {
  EXPECT_TRUE(qntest::WriteFile(path, qntest::BirdFileText(records)));
  return path;
}

Bytes BytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::string Field(const std::string& text, char pad) {
  std::string f = text;
  f.resize(16, pad);
  return f;
}

const Bytes kFirmware = {0, 0, 0, 0, 0x9A, 0x84, 0xF5, 0x40, 1, 2, 3, 4};

TEST(GetBIRDBuildInfo, IsEmptyWithoutAnInfoBlock) {
  qntest::TempDir dir;
  BirdFileClass file(WriteBird(dir / "a.bird", {Record(1, kFirmware)}).c_str());
  ASSERT_EQ(file.blockCount, 1u);
  EXPECT_EQ(GetBIRDBuildInfo(file), "");

  BirdFileClass empty(nullptr);
  EXPECT_EQ(GetBIRDBuildInfo(empty), "");
}

TEST(GetBIRDBuildInfo, ListsTheFourFieldsAsStoredUpToAZeroByte) {
  qntest::TempDir dir;
  std::string info =
      Field("99528558", ' ') + Field("1.2.3", '\0') + Field("40F5849A", ' ') + "QN-HubExactly16B";
  BirdFileClass file(
      WriteBird(dir / "a.bird", {Record(1, kFirmware), Record(4, BytesOf(info))}).c_str());
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
  BirdFileClass file(WriteBird(dir / "a.bird", {Record(4, BytesOf(info))}).c_str());
  ASSERT_EQ(file.blockCount, 1u);
  EXPECT_EQ(GetBIRDBuildInfo(file),
            "\n\t\t\tBuild:   B7\n\t\t\tVersion: 1.0.\n\t\t\tSerial#: \n\t\t\tModel:   \n\t\t\t");

  BirdFileClass none(WriteBird(dir / "b.bird", {Record(4, {})}).c_str());
  EXPECT_EQ(GetBIRDBuildInfo(none),
            "\n\t\t\tBuild:   \n\t\t\tVersion: \n\t\t\tSerial#: \n\t\t\tModel:   \n\t\t\t");
}

}  // namespace
