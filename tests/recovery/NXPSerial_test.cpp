// The LPC17xx ISP client against a peer on the far side of a pseudo-terminal:
// either a scripted boot loader (exact traffic, forced verdicts, garbage) or
// the boot-ROM simulator's core (real command semantics, flash and RAM).
#include "recovery/NXPSerial.h"

#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "tests/recovery/PtyPeer.h"
#include "tools/qn-lpcsim/LpcIsp.h"

namespace {

using qntest::PtyPeer;

std::vector<uint8_t> RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::vector<uint8_t> out(n);
  for (uint8_t& b : out) b = (uint8_t)gen();
  return out;
}

std::string Encoded(const uint8_t* data, int count) {
  char line[80];
  NXPSerialClass::uuencode(line, data, count);
  return line;
}

// ---------------------------------------------------------------------------
// Tables, timing and encodings.

// Codes past the table, and replies that are not a code, have no name.
TEST(NXPSerialTables, ReturnCodeTexts) {
  const char* cases[][2] = {{"0", "CMD_SUCCESS"},
                            {"10", "COMPARE_ERROR"},
                            {"19", "CODE_READ_PROTECTION_ENABLED"},
                            {"20", "Unknown error"},
                            {"21\r\n", "Unknown error"},
                            {"-1\r\n", "Unknown error"},
                            {"99999999999999999999", "Unknown error"},
                            {nullptr, "Unknown error"}};
  for (const auto& c : cases) EXPECT_STREQ(NXPSerialClass::GetErrorText(c[0]), c[1]) << c[1];
}

TEST(NXPSerialTables, WaitTimeCopyLengthAndSectors) {
  EXPECT_EQ(NXPSerialClass::WAIT_TIME_MS(14, 9600), 16);
  EXPECT_EQ(NXPSerialClass::WAIT_TIME_MS(4, 115200), 1);
  EXPECT_EQ(NXPSerialClass::WAIT_TIME_MS(100, 0), 1);
  const unsigned copies[][2] = {{0, 256},     {1, 256},     {256, 256},  {257, 512},
                                {1025, 4096}, {1808, 4096}, {5000, 5000}};
  for (const auto& c : copies) EXPECT_EQ(NXPSerialClass::CopyLength(c[0]), c[1]) << c[0];

  const uint32_t sectors[][2] = {{0x0, 0},      {0xFFFF, 15},  {0x10000, 16},
                                 {0x7FFFF, 29}, {0x80000, 30}, {0xFFFFFFFF, 30}};
  for (const auto& s : sectors) EXPECT_EQ(NXPSerialClass::SectorFromAddress(s[0]), (int)s[1]);
}

TEST(NXPSerialUU, DecodingNeverWritesPastTheRoomOrReadsPastTheLine) {
  uint8_t room[45];
  memset(room, 0x55, sizeof(room));
  // Count character 'N' announces 46 bytes.
  EXPECT_EQ(NXPSerialClass::uudecode(room, 45, ("N" + std::string(64, 'A')).c_str()), 0);
  for (uint8_t b : room) EXPECT_EQ(b, 0x55);

  // A short line: the count comes back, the missing bytes are zero.
  std::vector<uint8_t> data = RandomBytes(30, 2);
  std::string cut = Encoded(data.data(), 30).substr(0, 1 + 4 * 3 + 2);
  std::vector<uint8_t> out(30, 0x77);
  EXPECT_EQ(NXPSerialClass::uudecode(out.data(), 30, cut.c_str()), 30);
  EXPECT_TRUE(std::equal(data.begin(), data.begin() + 9, out.begin()));
  for (size_t i = 9; i < 30; ++i) EXPECT_EQ(out[i], 0) << i;
  EXPECT_EQ(NXPSerialClass::uudecode(out.data(), 30, ""), 0);
  EXPECT_EQ(NXPSerialClass::uudecode(out.data(), 30, nullptr), 0);
}

// ---------------------------------------------------------------------------
// Connection, return codes and the write protocol against a scripted peer.

// Answers every command with the code text given for its letter ("0" when
// none is given).
PtyPeer::Handler Codes(std::map<char, std::string> codes) {
  return [codes](const std::string& line) {
    auto it = line.empty() ? codes.end() : codes.find(line[0]);
    return (it == codes.end() ? std::string("0") : it->second) + "\r\n";
  };
}

TEST(NXPSerialConnect, PicksTheNextTableRateOrFailsCleanly) {
  PtyPeer peer(Codes({}));
  ASSERT_TRUE(peer.ok());
  const unsigned cases[][2] = {
      {10000, 19200}, {115200, 115200}, {1000000, 9600}, {0, 2400}, {230400, 230400}};
  NXPSerialClass isp;
  for (const auto& c : cases) {
    ASSERT_EQ(isp.Connect(peer.path().c_str(), c[0]), aErrNone) << c[0];
    EXPECT_EQ(isp.baud(), c[1]) << c[0];
  }
  EXPECT_EQ(isp.Disconnect(), aErrNone);
  EXPECT_FALSE(isp.connected());

  NXPSerialClass missing;
  EXPECT_EQ(missing.Connect("/nonexistent/tty-for-test", 115200), aErrNotFound);
  uint8_t data[8] = {0};
  EXPECT_NE(missing.Sync(), aErrNone);
  EXPECT_NE(missing.Write(NXPSerialClass::WRITE_ADDRESS, 8, data), aErrNone);
}

TEST(NXPSerialReturnCode, TestedAtTheIndexForTheEchoStateAndRefusalsSendNothing) {
  for (bool echo : {true, false}) {
    SCOPED_TRACE(echo ? "echo on" : "echo off");
    PtyPeer peer(Codes({{'U', "0"}, {'P', "19"}, {'E', "10"}, {'B', "1"}}));
    ASSERT_TRUE(peer.ok());
    NXPSerialClass isp;
    ASSERT_EQ(isp.Connect(peer.path().c_str(), 115200), aErrNone);
    ASSERT_EQ(isp.SetEcho(echo), aErrNone);
    EXPECT_EQ(isp.GetErrorIndex(3), 0);
    EXPECT_EQ(isp.GetErrorIndex(4), echo ? 1 : 0);
    EXPECT_EQ(isp.Unlock(), aErrNone);
    EXPECT_EQ(isp.Prepare(0, 1), aErrParam);      // 19
    EXPECT_EQ(isp.Erase(0, 1), aErrParam);        // 10: its last digit is a 0
    EXPECT_EQ(isp.SetBaudRate(9600), aErrParam);  // 1
    EXPECT_EQ(isp.baud(), 115200u);
  }

  PtyPeer peer(Codes({}));
  ASSERT_TRUE(peer.ok());
  NXPSerialClass isp;
  ASSERT_EQ(isp.Connect(peer.path().c_str(), 115200), aErrNone);
  uint8_t data[16] = {0};
  EXPECT_EQ(isp.Prepare(5, 4), aErrParam);
  EXPECT_EQ(isp.Erase(5, 4), aErrParam);
  EXPECT_EQ(isp.CopyToFlash(0x1080, NXPSerialClass::WRITE_ADDRESS, 256), aErrParam);
  EXPECT_EQ(isp.CopyToFlash(0x1000, NXPSerialClass::WRITE_ADDRESS, 2048), aErrParam);
  EXPECT_EQ(isp.Write(NXPSerialClass::WRITE_ADDRESS, 6, data), aErrParam);
  EXPECT_EQ(isp.Read(0, 6, data), aErrParam);
  usleep(50000);
  EXPECT_EQ(peer.ReceivedBytes(), 0u);
}

// A checksum verdict other than "OK" or "RESEND" fails the write, and a
// refused command sends no data.
TEST(NXPSerialWrite, UnexpectedVerdictsOrARefusalFail) {
  for (std::string verdict : {"BUSY", "OK ", "", "RESEND\rOK", "19"}) {
    SCOPED_TRACE(verdict);
    PtyPeer peer([verdict](const std::string& line) {
      if (line.empty()) return std::string();
      if (line[0] == 'W') return std::string(verdict == "19" ? "19\r\n" : "0\r\n");
      bool checksum = line.find_first_not_of("0123456789") == std::string::npos;
      return checksum ? verdict + "\r\n" : std::string();
    });
    ASSERT_TRUE(peer.ok());
    NXPSerialClass isp;
    ASSERT_EQ(isp.Connect(peer.path().c_str(), 230400), aErrNone);
    ASSERT_EQ(isp.SetEcho(false), aErrNone);
    std::vector<uint8_t> data = RandomBytes(88, 4);
    EXPECT_EQ(isp.Write(NXPSerialClass::WRITE_ADDRESS, 88, data.data()),
              verdict == "19" ? aErrParam : aErrIO);
    usleep(30000);
    if (verdict == "19") {
      EXPECT_EQ(peer.Lines().size(), 2u);
    }
  }
}

// ---------------------------------------------------------------------------
// Untrusted replies.

TEST(NXPSerialRobust, GarbageRepliesFailCleanly) {
  const std::string replies[] = {
      std::string(5000, 'x'),             // no terminator, longer than a line
      std::string(3000, '\0') + "0\r\n",  // NULs
      std::string(2000, '\n'),            // only line feeds
      "0\r\n12\r\n",                      // too few lines
      "0\r\nabc\r\n1\r\n2\r\n3\r\n",      // not a number
  };
  for (const std::string& reply : replies) {
    PtyPeer peer(
        [&reply](const std::string& line) { return line == "N" ? reply : std::string("0\r\n"); });
    ASSERT_TRUE(peer.ok());
    NXPSerialClass isp;
    ASSERT_EQ(isp.Connect(peer.path().c_str(), 230400), aErrNone);
    isp.deviceID[0] = 0x1234;
    EXPECT_NE(isp.GetDeviceID(), aErrNone) << reply.substr(0, 20);
    EXPECT_EQ(isp.deviceID[0], 0x1234u) << "identification changed by a failed read";
  }
  // A flood of bytes that are neither an echo nor a return code cannot hold
  // a command.
  PtyPeer babbler([](const std::string&) { return std::string(20000, 'z'); });
  NXPSerialClass isp;
  ASSERT_EQ(isp.Connect(babbler.path().c_str(), 230400), aErrNone);
  EXPECT_EQ(isp.Erase(0, 29), aErrParam);
}

// A chip that was not reset since an earlier client: its boot loader is found
// where that client left it (even inside a "W" transfer, in the middle of a
// line) and brought back to commands with its echo on.
// A freshly reset one sees exactly the handshake.
TEST(NXPSerialDevice, SyncFindsWhereAnEarlierClientLeftTheBootLoader) {
  const std::function<void(NXPSerialClass&)> earlier[] = {
      [](NXPSerialClass&) {},
      [](NXPSerialClass& isp) { isp.Send("?", false); },
      [](NXPSerialClass& isp) { isp.Sync(); },
      [](NXPSerialClass& isp) { EXPECT_EQ(isp.Sync() + isp.SetEcho(false), 0); },
      [](NXPSerialClass& isp) {
        EXPECT_EQ(isp.Sync() + isp.SetEcho(false), 0);
        isp.SendCommand("W 268439552 4096\r\n", 0);
        std::vector<uint8_t> data = RandomBytes(45, 8);
        for (int i = 0; i < 30; ++i) isp.Send((Encoded(data.data(), 45) + "\r\n").c_str(), false);
        isp.Send(Encoded(data.data(), 45).substr(0, 20).c_str(), false);  // and half a line
      },
  };
  for (size_t i = 0; i < sizeof(earlier) / sizeof(earlier[0]); ++i) {
    SCOPED_TRACE(i);
    PtyPeer peer{lpcsim::Config()};
    ASSERT_TRUE(peer.ok());
    {
      NXPSerialClass first;
      ASSERT_EQ(first.Connect(peer.path().c_str(), 230400), aErrNone);
      earlier[i](first);
    }
    usleep(30000);
    NXPSerialClass isp;
    ASSERT_EQ(isp.Connect(peer.path().c_str(), 230400), aErrNone);
    ASSERT_EQ(isp.Sync(), aErrNone);
    if (i == 0) {
      EXPECT_EQ(peer.Lines(), (std::vector<std::string>{"?Synchronized", "14746"}));
      EXPECT_EQ(peer.ReceivedBytes(), 22u);
    }
    EXPECT_TRUE(isp.echo());
    ASSERT_EQ(isp.GetDeviceID(), aErrNone);
    EXPECT_EQ(isp.deviceID[3], 0x0D000004u);
    EXPECT_EQ(isp.Prepare(1, 1), aErrNone);
  }
}

}  // namespace
