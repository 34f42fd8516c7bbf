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

Bytes BytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::string Field(const std::string& text, char pad) {
  std::string f = text;
  f.resize(16, pad);
  return f;
}

const Bytes kFirmware = {0, 0, 0, 0, 0x9A, 0x84, 0xF5, 0x40, 1, 2, 3, 4};

// The info block's four fields as stored, each up to a zero byte; a short
// block yields only the fields it holds, and nothing is read past it.
TEST(GetBIRDBuildInfo, ListsTheInfoBlocksFieldsAsStored) {
  qntest::TempDir dir;
  const std::string full =
      Field("99528558", ' ') + Field("1.2.3", '\0') + Field("40F5849A", ' ') + "QN-HubExactly16B";
  const struct {
    std::vector<Bytes> records;
    std::string info;
  } cases[] = {
      {{Record(1, kFirmware)}, ""},
      {{Record(1, kFirmware), Record(4, BytesOf(full))},
       "\n\t\t\tBuild:   99528558        \n\t\t\tVersion: 1.2.3\n\t\t\tSerial#: 40F5849A        "
       "\n\t\t\tModel:   QN-HubExactly16B\n\t\t\t"},
      {{Record(4, BytesOf(Field("B7", '\0') + "1.0."))},
       "\n\t\t\tBuild:   B7\n\t\t\tVersion: 1.0.\n\t\t\tSerial#: \n\t\t\tModel:   \n\t\t\t"},
      {{Record(4, {})},
       "\n\t\t\tBuild:   \n\t\t\tVersion: \n\t\t\tSerial#: \n\t\t\tModel:   \n\t\t\t"},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(qntest::WriteFile(dir / "f.bird", qntest::BirdFileText(c.records)));
    BirdFileClass file((dir / "f.bird").c_str());
    ASSERT_EQ(file.blockCount, c.records.size());
    EXPECT_EQ(GetBIRDBuildInfo(file), c.info);
  }
  BirdFileClass empty(nullptr);
  EXPECT_EQ(GetBIRDBuildInfo(empty), "");
}

}  // namespace
