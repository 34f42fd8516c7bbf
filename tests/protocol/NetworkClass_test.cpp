// The protocol client against a scripted module on loopback: the bytes the
// client sends and how it treats each reply.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
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
  void TearDown() override {
    aLink_Destroy(&net_.linkId);
    Log::package_bitmask = 0;
  }
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
  // Answers the upgrade exchanges like a cooperative module that offers
  // `blockSize` bytes per firmware block.
  void CooperativeUpgrade(uint16_t blockSize) {
    auto sum = std::make_shared<uint32_t>(0);
    SetHandler([=](const Bytes& d) -> std::vector<Bytes> {
      if (d.size() >= 2 && d[0] == 0x03 && d[1] == 0x47)  // version
        return {{0x03, 0xC7, 0x20, 0x21, 0x00, 0x00, 0x00}};
      if (d.size() < 2 || d[0] != 0x5F) return {};
      switch (d[1]) {
        case 0:
          return {{0x5F, 0x00, 0x00, 0x01, 0x00, 0x00}};
        case 1:
          for (size_t i = 2; i < d.size(); ++i) *sum += d[i];
          return {{0x5F, 0x01, (uint8_t)(d.size() - 2)}};
        case 2:
          return {{0x5F, 0x02}};
        case 3:
          return {{0x5F, 0x07, 0x00, (uint8_t)(blockSize >> 8), (uint8_t)blockSize}};
        case 4: {
          uint32_t s = *sum;
          *sum = 0;
          return {{0x5F, 0x07, 0x00, (uint8_t)(s >> 24), (uint8_t)(s >> 16), (uint8_t)(s >> 8),
                   (uint8_t)s}};
        }
        case 5:
          return {{0x5F, 0x07, 0x00}};
        default:
          return {};
      }
    });
  }
  // The lengths of the DATA packets' payloads, and the other requests, in order.
  std::vector<std::string> Trace(size_t from = 0) {
    std::vector<std::string> out;
    for (const Bytes& d : Received(from)) {
      if (d.size() >= 2 && d[0] == 0x5F && d[1] == 0x01) {
        out.push_back("DATA " + std::to_string(d.size() - 2));
      } else if (d.size() >= 2 && d[0] == 0x5F) {
        char buf[64];
        std::string s = "UPG";
        for (size_t i = 1; i < d.size(); ++i) {
          snprintf(buf, sizeof(buf), " %02X", d[i]);
          s += buf;
        }
        out.push_back(s);
      }
    }
    return out;
  }

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
}

// The decoding of every query reaches the device rows of the integration
// tests; here a reply and the two kinds of refusal.
TEST_F(NetworkClassTest, QueriesDecodeRepliesAndRefusals) {
  SetHandler([](const Bytes& d) -> std::vector<Bytes> {
    if (d == Bytes{0x03, 0x48, 0x20}) return {{0x03, 0xC8, 0x20, 0x0D}};
    if (d == Bytes{0x03, 0x42, 0x20}) return {{0x03, 0x02, 0xA0, 0x04}};  // refused
    if (d == Bytes{0x03, 0x47, 0x20}) return {{0x80, 0x47}};
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
}

// Setting the router address, saving and resetting act on the simulated
// device in the integration tests; route-to-me is only ever sent.
TEST_F(NetworkClassTest, RouteToMeSendsItsParameter) {
  SetHandler([](const Bytes&) -> std::vector<Bytes> { return {{0x03, 0xD4, 0x20}}; });
  net_.SetRouteToMe(1);
  EXPECT_EQ(net_.lastError, (aErr)aErrNone);
  EXPECT_EQ(Received(), (std::vector<Bytes>{{0x03, 0x94, 0x20, 0x01}}));
}

TEST_F(NetworkClassTest, LoaderBlockGoesOutIn26ByteChunksThenOneSum) {
  CooperativeUpgrade(512);
  ASSERT_EQ(net_.LoaderInit(), (aErr)aErrNone);
  EXPECT_EQ(net_.firmwareVersion, 0x21000000u);
  Bytes block(64);
  for (size_t i = 0; i < block.size(); ++i) block[i] = (uint8_t)(i * 7);
  size_t before = module_.Packets().size();
  EXPECT_EQ(net_.LoaderTransfer(block.data(), (unsigned)block.size()), (aErr)aErrNone);
  EXPECT_EQ(Trace(before), (std::vector<std::string>{"DATA 26", "DATA 26", "DATA 8", "UPG 04"}));
}

TEST_F(NetworkClassTest, FirmwareBlockIsChunkedByTheModulesBlockSize) {
  CooperativeUpgrade(512);
  Bytes block(4 + 1000, 0x5A);
  unsigned short blockSize = 0;
  ASSERT_EQ(net_.TransferPrepare(block.data(), (unsigned)block.size(), 0x20, &blockSize),
            (aErr)aErrNone);
  EXPECT_EQ(blockSize, 512);
  net_.firmwareVersion = 0x21000000;
  qntest::CaptureStdout([&] {
    EXPECT_EQ(net_.FirmwareTransfer(block.data(), (unsigned)block.size(), blockSize),
              (aErr)aErrNone);
  });
  std::vector<std::string> expected{"UPG 03 20 5A 5A 5A 5A"};
  for (auto chunk : {std::make_pair(19, "DATA 18"), std::make_pair(18, "DATA 20")}) {
    expected.insert(expected.end(), chunk.first, "DATA 26");
    expected.push_back(chunk.second);
    expected.push_back("UPG 04");
    expected.push_back(chunk.first == 19 ? "UPG 05 02 00" : "UPG 05 01 E8");
  }
  EXPECT_EQ(Trace(), expected);
}

// A module that offers blocks of no bytes must not make the transfer loop.
TEST_F(NetworkClassTest, AZeroBlockSizeIsRefused) {
  CooperativeUpgrade(512);
  Bytes block(4 + 10, 0);
  std::string out = qntest::CaptureStdout([&] {
    EXPECT_EQ(net_.FirmwareTransfer(block.data(), (unsigned)block.size(), 0),
              (aErr)aErrInvalidOption);
  });
  EXPECT_NE(out.find("NETWORK: Failed to transfer firmware\n"), std::string::npos);
}

}  // namespace
