// The protocol client against a scripted module on loopback: the bytes the
// client sends and how it treats each reply.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "link/aLink.h"
#include "protocol/QuillnodeNetwork.h"
#include "tests/link/FakeModule.h"
#include "tests/support/Capture.h"

namespace {

using qntest::Bytes;
using qntest::FakeModule;

class NetworkClassTest : public testing::Test {
 protected:
  typedef std::function<std::vector<Bytes>(const Bytes& data)> Handler;

  void SetUp() override {
    SetHandler(nullptr);
    net_.linkId = aLink_CreateTCPIP(FakeModule::LoopbackAddress(), module_.port());
    ASSERT_TRUE(
        qntest::WaitUntil([&] { return aLink_GetStatus(net_.linkId) == aLINK_STATUS_RUNNING; }));
    net_.moduleAddress = 0x02;
    net_.serialNumber = 0x40F5849A;
  }
  void TearDown() override { aLink_Destroy(&net_.linkId); }
  // The module at address 2 answers the address query, and the command
  // packets with the packets `h` gives for their data.
  void SetHandler(Handler h) {
    module_.SetHandler([h](const Bytes& p) {
      Bytes out;
      if (p == Bytes{0xAD, 0x00}) return Bytes{0x02, 0x00};
      if (p[0] == 0xAD || p[0] == 0xAF || !h) return out;
      for (const Bytes& reply : h(Bytes(p.begin() + 2, p.end()))) {
        out.push_back(0x02);
        out.push_back((uint8_t)reply.size());
        out.insert(out.end(), reply.begin(), reply.end());
      }
      return out;
    });
  }
  // The data of every command packet received after the first `from` packets.
  std::vector<Bytes> Received(size_t from = 0) {
    std::vector<Bytes> out, all = module_.Packets();
    for (size_t i = from; i < all.size(); ++i)
      if (all[i][0] != 0xAD && all[i][0] != 0xAF)
        out.emplace_back(all[i].begin() + 2, all[i].end());
    return out;
  }
  // Answers the upgrade exchanges like a cooperative module with firmware
  // 2.1.0 that offers `blockSize` bytes per firmware block.
  void CooperativeUpgrade(uint16_t blockSize) {
    SetHandler([this, blockSize](const Bytes& d) -> std::vector<Bytes> {
      if (d.size() < 2) return {};
      if (d[0] == 0x03 && d[1] == 0x47) return {{0x03, 0xC7, 0x20, 0x21, 0x00, 0x00, 0x00}};
      if (d[0] != 0x5F) return {};
      uint32_t s = sum_;
      switch (d[1]) {
        case 0:
          return {{0x5F, 0x00, 0x00, 0x01, 0x00, 0x00}};
        case 1:
          for (size_t i = 2; i < d.size(); ++i) sum_ += d[i];
          return {{0x5F, 0x01, (uint8_t)(d.size() - 2)}};
        case 3:
          return {{0x5F, 0x07, 0x00, (uint8_t)(blockSize >> 8), (uint8_t)blockSize}};
        case 4:
          sum_ = 0;
          return {{0x5F, 0x07, 0x00, (uint8_t)(s >> 24), (uint8_t)(s >> 16), (uint8_t)(s >> 8),
                   (uint8_t)s}};
        default:
          return {{0x5F, 0x07, 0x00}};
      }
    });
  }
  // The upgrade requests after the first `from` packets: a DATA packet as its
  // payload's length, the others as "<value and data in hex>".
  std::string Trace(size_t from) {
    std::string out;
    char hex[3];
    for (const Bytes& d : Received(from)) {
      if (d[0] != 0x5F) continue;
      std::string item = "<";
      for (size_t i = 1; i < d.size(); ++i) {
        snprintf(hex, sizeof(hex), "%02X", d[i]);
        item += hex;
      }
      out += (out.empty() ? "" : " ") + (d[1] == 0x01 ? std::to_string(d.size() - 2) : item + ">");
    }
    return out;
  }

  uint32_t sum_ = 0;
  FakeModule module_;
  NetworkClass net_{0};
};

TEST(NetworkNames, TablesAreCompleteAndLookupsClamp) {
  for (int i = 0; i <= NetworkClass::MAX_ERROR; ++i)
    ASSERT_NE(NetworkClass::ERROR_TEXT[i], nullptr);
  for (int i = 0; i <= NetworkClass::MAX_COMMAND; ++i)
    ASSERT_NE(NetworkClass::COMMAND_NAMES[i], nullptr);
  for (int i = 0; i <= NetworkClass::N_MODELS; ++i) {
    ASSERT_NE(NetworkClass::MODEL_NAMES[i], nullptr);
    EXPECT_LE(strlen(NetworkClass::MODEL_NAMES[i]), 12u) << i;  // fits the device rows
  }
  EXPECT_STREQ(NetworkClass::MODEL_NAMES[25], "MODEL LIMIT");
  EXPECT_STREQ(NetworkClass::GetErrorText(27), "Quillnode command to short");
  EXPECT_STREQ(NetworkClass::GetErrorText(34), "Unknown error");
  EXPECT_STREQ(NetworkClass::GetErrorText((aErr)-1), "Unknown error");
  EXPECT_STREQ(NetworkClass::GetModelName(25), "unknown");
  EXPECT_STREQ(NetworkClass::GetModelName(200), "unknown");
  EXPECT_STREQ(NetworkClass::GetCommandName(20), "unknown");
  EXPECT_STREQ(NetworkClass::GetCommandName(16), "module-router-addr-setting");
  EXPECT_STREQ(NetworkClass::GetLinkName(255), "RECOVER");
  EXPECT_STREQ(NetworkClass::GetLinkName(7), "INVALID");
}

TEST(NetworkUnconnected, QueriesFailWithoutALink) {
  NetworkClass net(0);
  EXPECT_EQ(net.GetModuleAddress(), 0);
  EXPECT_EQ(net.lastError, (aErr)aErrConnection);
  EXPECT_EQ(net.GetModel(), 255);
  EXPECT_EQ(net.lastError, (aErr)aErrTimeout);
  EXPECT_EQ(net.Connect(LINK_RECOVER, 0x1234, false), (aErr)aErrInvalidOption);
  // Every upgrade exchange stops at its request and returns the send's error.
  const unsigned char block[8] = {};
  unsigned short size = 0;
  unsigned counter = 0;
  EXPECT_EQ(net.LoaderInit(), (aErr)aErrConnection);
  EXPECT_EQ(net.LoaderBlockTransfer(block, 8, &counter), (aErr)aErrConnection);
  EXPECT_EQ(net.LoaderStart(), (aErr)aErrConnection);
  EXPECT_EQ(net.TransferPrepare(block, 8, 0, &size), (aErr)aErrConnection);
  EXPECT_EQ(net.FirmwareWrite(4), (aErr)aErrConnection);
  EXPECT_EQ(net.lastError, (aErr)aErrConnection);
  // A module that offers blocks of no bytes must not make the transfer loop;
  // that is refused before anything is sent.
  std::string out = qntest::CaptureStdout(
      [&] { EXPECT_EQ(net.FirmwareTransfer(block, 8, 0), (aErr)aErrInvalidOption); });
  EXPECT_NE(out.find("NETWORK: Failed to transfer firmware\n"), std::string::npos);
}

// The decoding of every query reaches the device rows of the integration
// tests; here a reply and the two kinds of refusal. Setting the router
// address, saving and resetting act on the simulated device there too;
// route-to-me is only ever sent.
TEST_F(NetworkClassTest, QueriesDecodeRepliesAndRefusals) {
  SetHandler([](const Bytes& d) -> std::vector<Bytes> {
    if (d == Bytes{0x03, 0x48, 0x20}) return {{0x03, 0xC8, 0x20, 0x0D}};
    if (d == Bytes{0x03, 0x42, 0x20}) return {{0x03, 0x02, 0xA0, 0x04}};  // refused
    if (d == Bytes{0x03, 0x47, 0x20}) return {{0x80, 0x47}};
    if (d == Bytes{0x03, 0x94, 0x20, 0x01}) return {{0x03, 0xD4, 0x20}};
    return {};
  });
  EXPECT_EQ(net_.GetModuleAddress(), 0x02);
  EXPECT_EQ(net_.GetModel(), 13);
  EXPECT_EQ(net_.lastError, (aErr)aErrNone);
  EXPECT_EQ(net_.GetRouterAddress(), 255);
  EXPECT_EQ(net_.lastError, (aErr)aErrPacket);
  // An error reply ends the wait at once rather than after the time-out.
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(net_.GetVersion(), 0u);
  EXPECT_EQ(net_.lastError, (aErr)aErrTimeout);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  net_.SetRouteToMe(1);
  EXPECT_EQ(net_.lastError, (aErr)aErrNone);
}

// A loader block goes out in DATA packets of up to 26 bytes and one SUM; a
// firmware block in chunks of the module's block size, each chunk's packets
// followed by a SUM and a WRITE of its size.
TEST_F(NetworkClassTest, BlocksAreChunkedIntoPacketsAndTheModulesBlockSize) {
  CooperativeUpgrade(512);
  ASSERT_EQ(net_.LoaderInit(), (aErr)aErrNone);
  EXPECT_EQ(net_.firmwareVersion, 0x21000000u);
  Bytes block(4 + 60);
  for (size_t i = 0; i < block.size(); ++i) block[i] = (uint8_t)(i * 7);
  size_t before = module_.Packets().size();
  EXPECT_EQ(net_.LoaderTransfer(block.data(), (unsigned)block.size()), (aErr)aErrNone);
  EXPECT_EQ(Trace(before), "26 26 8 <04>");

  block.assign(4 + 1000, 0x5A);
  unsigned short blockSize = 0;
  before = module_.Packets().size();
  ASSERT_EQ(net_.TransferPrepare(block.data(), (unsigned)block.size(), 0x20, &blockSize),
            (aErr)aErrNone);
  EXPECT_EQ(blockSize, 512);
  qntest::CaptureStdout([&] {
    EXPECT_EQ(net_.FirmwareTransfer(block.data(), (unsigned)block.size(), blockSize),
              (aErr)aErrNone);
  });
  std::string expected = "<03205A5A5A5A>";
  for (int i = 0; i < 19; ++i) expected += " 26";
  expected += " 18 <04> <050200>";
  for (int i = 0; i < 18; ++i) expected += " 26";
  EXPECT_EQ(Trace(before), expected + " 20 <04> <0501E8>");
}

}  // namespace
