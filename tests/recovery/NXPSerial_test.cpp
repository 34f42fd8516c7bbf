// The LPC17xx ISP client against a peer on the far side of a pseudo-terminal:
// either a scripted boot loader (exact traffic, forced verdicts, garbage) or
// the boot-ROM simulator's core (real command semantics, flash and RAM).
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "recovery/NXPSerial.h"
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

TEST(NXPSerialTables, EveryReturnCodeHasItsText) {
  const char* expected[] = {"CMD_SUCCESS",
                            "INVALID_COMMAND",
                            "SRC_ADDR_ERROR",
                            "DST_ADDR_ERROR",
                            "SRC_ADDR_NOT_MAPPED",
                            "DST_ADDR_NOT_MAPPED",
                            "COUNT_ERROR",
                            "INVALID_SECTOR",
                            "SECTOR_NOT_BLANK",
                            "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION",
                            "COMPARE_ERROR",
                            "BUSY",
                            "PARAM_ERROR",
                            "ADDR_ERROR",
                            "ADDR_NOT_MAPPED",
                            "CMD_LOCKED",
                            "INVALID_CODE",
                            "INVALID_BAUD_RATE",
                            "INVALID_STOP_BIT",
                            "CODE_READ_PROTECTION_ENABLED",
                            "Unknown error"};
  ASSERT_EQ(sizeof(expected) / sizeof(expected[0]), (size_t)NXPSerialClass::MAX_ERROR + 1);
  for (int i = 0; i <= NXPSerialClass::MAX_ERROR; ++i) {
    ASSERT_NE(NXPSerialClass::ERROR_TEXT[i], nullptr) << i;
    EXPECT_STREQ(NXPSerialClass::ERROR_TEXT[i], expected[i]) << i;
    EXPECT_STREQ(NXPSerialClass::GetErrorText(std::to_string(i).c_str()), expected[i]) << i;
  }
  EXPECT_STREQ(NXPSerialClass::GetErrorText("19\r\n"), "CODE_READ_PROTECTION_ENABLED");
  EXPECT_STREQ(NXPSerialClass::GetErrorText("21\r\n"), "Unknown error");
  EXPECT_STREQ(NXPSerialClass::GetErrorText("-1\r\n"), "Unknown error");
  EXPECT_STREQ(NXPSerialClass::GetErrorText("99999999999999999999"), "Unknown error");
  EXPECT_STREQ(NXPSerialClass::GetErrorText(nullptr), "Unknown error");
}

TEST(NXPSerialTables, WaitTimeAndCopyLength) {
  EXPECT_EQ(NXPSerialClass::WAIT_TIME_MS(14, 9600), 16);
  EXPECT_EQ(NXPSerialClass::WAIT_TIME_MS(4, 115200), 1);
  EXPECT_EQ(NXPSerialClass::WAIT_TIME_MS(100, 0), 1);

  EXPECT_EQ(NXPSerialClass::CopyLength(0), 256u);
  EXPECT_EQ(NXPSerialClass::CopyLength(1), 256u);
  EXPECT_EQ(NXPSerialClass::CopyLength(256), 256u);
  EXPECT_EQ(NXPSerialClass::CopyLength(257), 512u);
  EXPECT_EQ(NXPSerialClass::CopyLength(1024), 1024u);
  EXPECT_EQ(NXPSerialClass::CopyLength(1025), 4096u);
  EXPECT_EQ(NXPSerialClass::CopyLength(1808), 4096u);
  EXPECT_EQ(NXPSerialClass::CopyLength(4096), 4096u);
  EXPECT_EQ(NXPSerialClass::CopyLength(5000), 5000u);
}

TEST(NXPSerialTables, SectorsCoverTheFlashWithoutGaps) {
  EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x0), 0);
  EXPECT_EQ(NXPSerialClass::SectorFromAddress(0xFFFF), 15);
  EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x10000), 16);
  EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x7FFFF), 29);
  EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x80000), 30);
  EXPECT_EQ(NXPSerialClass::SectorFromAddress(0xFFFFFFFF), 30);
  // Every sector starts where the one before it ends, and agrees with the
  // simulated part's layout.
  for (int s = 0; s < 30; ++s) {
    uint32_t start = lpcsim::SectorStart((unsigned)s);
    uint32_t size = lpcsim::SectorSize((unsigned)s);
    EXPECT_EQ(NXPSerialClass::SectorFromAddress(start), s);
    EXPECT_EQ(NXPSerialClass::SectorFromAddress(start + size - 1), s);
  }
  EXPECT_EQ(NXPSerialClass::NXP_LPC17XX_sectors[30].start, 0xFFFFFFFFu);
}

TEST(NXPSerialUU, EncodingMatchesTheBootRomsAndRoundTrips) {
  const uint8_t zeros[3] = {0, 0, 0};
  EXPECT_EQ(Encoded(zeros, 3), "#````");
  EXPECT_EQ(NXPSerialClass::uuchar(0), '`');
  EXPECT_EQ(NXPSerialClass::uuchar(64), '`');
  EXPECT_EQ(NXPSerialClass::uuchar(63), '_');

  std::vector<uint8_t> data = RandomBytes(45, 1);
  for (int n = 0; n <= 45; ++n) {
    std::string line = Encoded(data.data(), n);
    // The simulated boot ROM encodes the same way.
    EXPECT_EQ(line, lpcsim::UuEncode(data.data(), (size_t)n)) << n;
    std::vector<uint8_t> back(45, 0xAA);
    ASSERT_EQ(NXPSerialClass::uudecode(back.data(), 45, line.c_str()), n);
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + n, back.begin())) << n;
    EXPECT_EQ(back[n < 45 ? n : 44], n < 45 ? 0xAA : data[44]) << "wrote past the count";
  }
}

TEST(NXPSerialUU, DecodingNeverWritesPastTheRoomOrReadsPastTheLine) {
  uint8_t room[45];
  memset(room, 0x55, sizeof(room));
  // Count character 'N' announces 46 bytes.
  std::string line = "N" + std::string(64, 'A');
  EXPECT_EQ(NXPSerialClass::uudecode(room, 45, line.c_str()), 0);
  for (uint8_t b : room) EXPECT_EQ(b, 0x55);

  // A short line: the count comes back, the missing bytes are zero.
  std::vector<uint8_t> data = RandomBytes(30, 2);
  std::string full = Encoded(data.data(), 30);
  std::string cut = full.substr(0, 1 + 4 * 3 + 2);  // three whole groups and a piece
  std::vector<uint8_t> out(30, 0x77);
  EXPECT_EQ(NXPSerialClass::uudecode(out.data(), 30, cut.c_str()), 30);
  EXPECT_TRUE(std::equal(data.begin(), data.begin() + 9, out.begin()));
  for (size_t i = 9; i < 30; ++i) EXPECT_EQ(out[i], 0) << i;

  // An empty line announces nothing.
  EXPECT_EQ(NXPSerialClass::uudecode(out.data(), 30, ""), 0);
  EXPECT_EQ(NXPSerialClass::uudecode(out.data(), 30, nullptr), 0);
}

// ---------------------------------------------------------------------------
// Connection.

TEST(NXPSerialConnect, PicksTheNextTableRate) {
  PtyPeer peer([](const std::string&) { return std::string(); });
  ASSERT_TRUE(peer.ok());
  struct {
    unsigned requested, rate;
  } cases[] = {{10000, 19200}, {115200, 115200}, {1000000, 9600}, {0, 2400}, {230400, 230400}};
  NXPSerialClass isp;
  for (const auto& c : cases) {
    ASSERT_EQ(isp.Connect(peer.path().c_str(), c.requested), aErrNone) << c.requested;
    EXPECT_EQ(isp.baud(), c.rate) << c.requested;
    EXPECT_TRUE(isp.connected());
  }
  EXPECT_EQ(isp.Disconnect(), aErrNone);
  EXPECT_FALSE(isp.connected());
}

TEST(NXPSerialConnect, MissingPortAndUnconnectedUse) {
  NXPSerialClass isp;
  EXPECT_EQ(isp.Connect("/nonexistent/tty-for-test", 115200), aErrNotFound);
  EXPECT_FALSE(isp.connected());
  // Nothing to talk to: every exchange fails cleanly.
  EXPECT_NE(isp.Sync(), aErrNone);
  EXPECT_NE(isp.Unlock(), aErrNone);
  EXPECT_NE(isp.GetDeviceID(), aErrNone);
  uint8_t data[8] = {0};
  EXPECT_NE(isp.Write(NXPSerialClass::WRITE_ADDRESS, 8, data), aErrNone);
  EXPECT_NE(isp.ExecuteFrom(0), aErrNone);
}

// ---------------------------------------------------------------------------
// Return codes, refusals and the write protocol against a scripted peer.

// Answers every command with the code text given for its letter ("0" when
// none is given).
PtyPeer::Handler Codes(std::map<char, std::string> codes) {
  return [codes](const std::string& line) {
    auto it = line.empty() ? codes.end() : codes.find(line[0]);
    return (it == codes.end() ? std::string("0") : it->second) + "\r\n";
  };
}

TEST(NXPSerialReturnCode, TestedAtTheIndexForTheEchoState) {
  for (bool echo : {true, false}) {
    SCOPED_TRACE(echo ? "echo on" : "echo off");
    PtyPeer peer(Codes({{'U', "0"}, {'P', "19"}, {'E', "10"}, {'B', "1"}}));
    ASSERT_TRUE(peer.ok());
    NXPSerialClass isp;
    ASSERT_EQ(isp.Connect(peer.path().c_str(), 115200), aErrNone);
    if (!echo) {
      ASSERT_EQ(isp.SetEcho(false), aErrNone);
    }
    EXPECT_EQ(isp.echo(), echo);
    EXPECT_EQ(isp.GetErrorIndex(3), 0);
    EXPECT_EQ(isp.GetErrorIndex(4), echo ? 1 : 0);
    EXPECT_EQ(isp.GetErrorIndex(2), 0);

    EXPECT_EQ(isp.Unlock(), aErrNone);
    EXPECT_EQ(isp.Prepare(0, 1), aErrParam);     // 19
    EXPECT_EQ(isp.Erase(0, 1), aErrParam);       // 10: its last digit is a 0
    EXPECT_EQ(isp.SetBaudRate(9600), aErrParam);  // 1
    // The local line keeps its rate.
    EXPECT_EQ(isp.baud(), 115200u);
  }
}

TEST(NXPSerialReturnCode, RefusedArgumentsSendNothing) {
  PtyPeer peer(Codes({}));
  ASSERT_TRUE(peer.ok());
  NXPSerialClass isp;
  ASSERT_EQ(isp.Connect(peer.path().c_str(), 115200), aErrNone);
  uint8_t data[16] = {0};
  EXPECT_EQ(isp.Prepare(5, 4), aErrParam);
  EXPECT_EQ(isp.Erase(5, 4), aErrParam);
  EXPECT_EQ(isp.CopyToFlash(0x1080, NXPSerialClass::WRITE_ADDRESS, 256), aErrParam);
  EXPECT_EQ(isp.CopyToFlash(0x1000, NXPSerialClass::WRITE_ADDRESS, 2048), aErrParam);
  EXPECT_EQ(isp.CopyToFlash(0x1000, NXPSerialClass::WRITE_ADDRESS, 0), aErrParam);
  EXPECT_EQ(isp.Write(NXPSerialClass::WRITE_ADDRESS, 0, data), aErrParam);
  EXPECT_EQ(isp.Write(NXPSerialClass::WRITE_ADDRESS, 6, data), aErrParam);
  EXPECT_EQ(isp.Read(0, 6, data), aErrParam);
  usleep(50000);
  EXPECT_EQ(peer.ReceivedBytes(), 0u);
}

// A scripted write: answers "0" to the command and the given verdicts, in
// turn, to the checksum lines (the last verdict repeats). A checksum is the
// line of decimal digits; a data line starts with its count character, which
// is a digit only for lines of 16 to 25 bytes, which these tests do not send.
struct WriteScript {
  std::vector<std::string> verdicts;
  size_t verdict = 0;
  std::string operator()(const std::string& line) {
    if (line[0] == 'W') return "0\r\n";
    if (line.empty() || line.find_first_not_of("0123456789") != std::string::npos) return "";
    std::string v = verdicts[verdict < verdicts.size() ? verdict : verdicts.size() - 1];
    ++verdict;
    return v + "\r\n";
  }
};

TEST(NXPSerialWrite, TwoLinesThenAChecksumAndAResentBlock) {
  for (bool echo : {false, true}) {
    SCOPED_TRACE(echo ? "echo on" : "echo off");
    WriteScript script{{"RESEND", "OK"}};
    PtyPeer peer([&script](const std::string& line) { return script(line); });
    ASSERT_TRUE(peer.ok());
    NXPSerialClass isp;
    ASSERT_EQ(isp.Connect(peer.path().c_str(), 230400), aErrNone);
    if (!echo) {
      ASSERT_EQ(isp.SetEcho(false), aErrNone);
    }
    std::vector<uint8_t> data = RandomBytes(88, 3);
    ASSERT_EQ(isp.Write(NXPSerialClass::WRITE_ADDRESS, 88, data.data()), aErrNone);

    std::vector<std::string> lines = peer.Lines();
    if (!echo) lines.erase(lines.begin());  // "A 0"
    std::string l1 = Encoded(data.data(), 45), l2 = Encoded(data.data() + 45, 43);
    std::string sum = std::to_string(NXPSerialClass::sum(data.data(), 88));
    std::vector<std::string> expected = {"W 268439552 88", l1, l2, sum, l1, l2, sum};
    EXPECT_EQ(lines, expected);
  }
}

TEST(NXPSerialWrite, ThirdResendOfOneCallTimesOut) {
  WriteScript script{{"RESEND"}};
  PtyPeer peer([&script](const std::string& line) { return script(line); });
  ASSERT_TRUE(peer.ok());
  NXPSerialClass isp;
  ASSERT_EQ(isp.Connect(peer.path().c_str(), 230400), aErrNone);
  ASSERT_EQ(isp.SetEcho(false), aErrNone);
  std::vector<uint8_t> data = RandomBytes(88, 4);
  EXPECT_EQ(isp.Write(NXPSerialClass::WRITE_ADDRESS, 88, data.data()), aErrTimeout);
  // "A 0", the command, and the block three times.
  EXPECT_EQ(peer.Lines().size(), 2u + 3u * 3u);
}

TEST(NXPSerialWrite, BlocksOfTwentyLinesAndBadVerdicts) {
  {
    // 1000 bytes: a block of 20 lines (900 bytes), then one of 3 lines.
    WriteScript script{{"OK"}};
    PtyPeer peer([&script](const std::string& line) { return script(line); });
    ASSERT_TRUE(peer.ok());
    NXPSerialClass isp;
    ASSERT_EQ(isp.Connect(peer.path().c_str(), 230400), aErrNone);
    ASSERT_EQ(isp.SetEcho(false), aErrNone);
    std::vector<uint8_t> data = RandomBytes(1000, 5);
    ASSERT_EQ(isp.Write(NXPSerialClass::WRITE_ADDRESS, 1000, data.data()), aErrNone);
    std::vector<std::string> lines = peer.Lines();
    ASSERT_EQ(lines.size(), 2u + 20u + 1u + 3u + 1u);
    EXPECT_EQ(lines[22], std::to_string(NXPSerialClass::sum(data.data(), 900)));
    EXPECT_EQ(lines[26], std::to_string(NXPSerialClass::sum(data.data() + 900, 100)));
  }
  for (const char* verdict : {"BUSY", "OK ", "", "RESEND\rOK"}) {
    SCOPED_TRACE(verdict);
    WriteScript script{{verdict}};
    PtyPeer peer([&script](const std::string& line) { return script(line); });
    ASSERT_TRUE(peer.ok());
    NXPSerialClass isp;
    ASSERT_EQ(isp.Connect(peer.path().c_str(), 230400), aErrNone);
    ASSERT_EQ(isp.SetEcho(false), aErrNone);
    uint8_t data[4] = {1, 2, 3, 4};
    EXPECT_EQ(isp.Write(NXPSerialClass::WRITE_ADDRESS, 4, data), aErrIO);
  }
  {
    // A refused command sends no data.
    PtyPeer peer(Codes({{'W', "19"}}));
    ASSERT_TRUE(peer.ok());
    NXPSerialClass isp;
    ASSERT_EQ(isp.Connect(peer.path().c_str(), 230400), aErrNone);
    ASSERT_EQ(isp.SetEcho(false), aErrNone);
    uint8_t data[4] = {1, 2, 3, 4};
    EXPECT_EQ(isp.Write(NXPSerialClass::WRITE_ADDRESS, 4, data), aErrParam);
    usleep(30000);
    EXPECT_EQ(peer.Lines().size(), 2u);
  }
}

// ---------------------------------------------------------------------------
// Untrusted replies.

TEST(NXPSerialRobust, GarbageRepliesFailCleanly) {
  const std::string replies[] = {
      std::string(5000, 'x'),                  // no terminator, longer than a line
      std::string(3000, '\0') + "0\r\n",       // NULs
      std::string(2000, '\n'),                 // only line feeds
      "0\r\n12\r\n",                           // too few lines
      "0\r\nabc\r\n1\r\n2\r\n3\r\n",           // not a number
  };
  for (const std::string& reply : replies) {
    PtyPeer peer([&reply](const std::string& line) {
      return line == "N" ? reply : std::string("0\r\n");
    });
    ASSERT_TRUE(peer.ok());
    NXPSerialClass isp;
    ASSERT_EQ(isp.Connect(peer.path().c_str(), 230400), aErrNone);
    isp.deviceID[0] = 0x1234;
    EXPECT_NE(isp.GetDeviceID(), aErrNone) << reply.substr(0, 20);
    EXPECT_EQ(isp.deviceID[0], 0x1234u) << "identification changed by a failed read";
  }
}

TEST(NXPSerialRobust, ABabblingPeerCannotHoldACommand) {
  // Every command is answered with a flood of bytes that are neither its
  // echo nor a return code.
  PtyPeer peer([](const std::string&) { return std::string(20000, 'z'); });
  ASSERT_TRUE(peer.ok());
  NXPSerialClass isp;
  ASSERT_EQ(isp.Connect(peer.path().c_str(), 230400), aErrNone);
  EXPECT_EQ(isp.Unlock(), aErrParam);
  EXPECT_EQ(isp.Erase(0, 29), aErrParam);
}

TEST(NXPSerialRobust, RandomRepliesToEveryCommand) {
  // Random replies, rich in the bytes the parsers look at, to every command
  // of the client; run under the address sanitizer this finds any read or
  // write outside the buffers. The results do not matter, only that every
  // call returns.
  std::mt19937 gen(20261206);
  const char alphabet[] = "\r\n\r\n0123456789 OKRESEND`!MZ\x00\xFF";
  for (int round = 0; round < 4; ++round) {
    std::vector<std::string> replies;
    for (int i = 0; i < 16; ++i) {
      std::string reply(gen() % 1500, '\0');
      for (char& c : reply)
        c = gen() % 4 ? alphabet[gen() % (sizeof(alphabet) - 1)] : (char)(uint8_t)gen();
      replies.push_back(reply);
    }
    size_t next = 0;
    std::mutex m;
    PtyPeer peer([&](const std::string&) {
      std::lock_guard<std::mutex> lock(m);
      return replies[next++ % replies.size()];
    });
    ASSERT_TRUE(peer.ok());
    peer.SetEcho(round % 2 == 0);
    NXPSerialClass isp;
    ASSERT_EQ(isp.Connect(peer.path().c_str(), 230400), aErrNone);
    uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint8_t back[8];
    int64_t part = 0;
    uint8_t major = 0, minor = 0;
    isp.Sync();
    isp.GetDeviceID();
    isp.GetPartNumber(part);
    isp.GetBootLoaderVersion(major, minor);
    isp.Unlock();
    isp.Prepare(0, 1);
    isp.Write(NXPSerialClass::WRITE_ADDRESS, 8, data);
    isp.Read(0, 8, back);
    isp.CopyToFlash(0, NXPSerialClass::WRITE_ADDRESS, 256);
  }
}

// ---------------------------------------------------------------------------
// Against the simulated boot ROM.

TEST(NXPSerialDevice, SynchronisesAndIdentifiesThePart) {
  lpcsim::Config config;
  config.serial[0] = 0x11111111;
  config.serial[3] = 0xFEDCBA98;
  config.bootMajor = 4;
  config.bootMinor = 7;
  PtyPeer peer(config);
  ASSERT_TRUE(peer.ok());
  NXPSerialClass isp;
  ASSERT_EQ(isp.Connect(peer.path().c_str(), 115200), aErrNone);
  ASSERT_EQ(isp.Sync(), aErrNone);
  ASSERT_EQ(isp.GetDeviceID(), aErrNone);
  EXPECT_EQ(isp.deviceID[0], 0x11111111u);
  EXPECT_EQ(isp.deviceID[1], config.serial[1]);
  EXPECT_EQ(isp.deviceID[2], config.serial[2]);
  EXPECT_EQ(isp.deviceID[3], 0xFEDCBA98u);
  int64_t part = 0;
  ASSERT_EQ(isp.GetPartNumber(part), aErrNone);
  EXPECT_EQ(part, (int64_t)lpcsim::kLpc1768PartId);
  uint8_t major = 0, minor = 0;
  ASSERT_EQ(isp.GetBootLoaderVersion(major, minor), aErrNone);
  EXPECT_EQ(major, 4);
  EXPECT_EQ(minor, 7);
  // Flash commands are refused until unlocked.
  EXPECT_EQ(isp.Prepare(0, 29), aErrNone);
  EXPECT_EQ(isp.Erase(0, 29), aErrParam);
  EXPECT_EQ(isp.Unlock(), aErrNone);
  EXPECT_EQ(isp.Prepare(0, 29), aErrNone);
  EXPECT_EQ(isp.Erase(0, 29), aErrNone);
  EXPECT_EQ(isp.Prepare(0, 30), aErrParam);
}

TEST(NXPSerialDevice, SilentPartFailsTheSync) {
  lpcsim::Config config;
  config.noSync = true;
  PtyPeer peer(config);
  ASSERT_TRUE(peer.ok());
  NXPSerialClass isp;
  ASSERT_EQ(isp.Connect(peer.path().c_str(), 115200), aErrNone);
  EXPECT_NE(isp.Sync(), aErrNone);
}

TEST(NXPSerialDevice, WriteCopyAndReadBackWithEchoOnAndOff) {
  for (bool echo : {true, false}) {
    SCOPED_TRACE(echo ? "echo on" : "echo off");
    PtyPeer peer{lpcsim::Config()};
    ASSERT_TRUE(peer.ok());
    NXPSerialClass isp;
    ASSERT_EQ(isp.Connect(peer.path().c_str(), 230400), aErrNone);
    ASSERT_EQ(isp.Sync(), aErrNone);
    ASSERT_EQ(isp.Unlock(), aErrNone);
    ASSERT_EQ(isp.SetEcho(echo), aErrNone);
    ASSERT_EQ(isp.Prepare(0, 29), aErrNone);
    ASSERT_EQ(isp.Erase(0, 29), aErrNone);

    std::vector<uint8_t> data = RandomBytes(4096, echo ? 6 : 7);
    ASSERT_EQ(isp.Write(NXPSerialClass::WRITE_ADDRESS, 4096, data.data()), aErrNone);
    ASSERT_EQ(isp.Prepare(16, 16), aErrNone);
    ASSERT_EQ(isp.CopyToFlash(0x10000, NXPSerialClass::WRITE_ADDRESS, 4096), aErrNone);
    std::vector<uint8_t> flash = peer.Flash();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin() + 0x10000));

    // Several read blocks, each acknowledged.
    std::vector<uint8_t> back(4096, 0);
    ASSERT_EQ(isp.Read(0x10000, 4096, back.data()), aErrNone);
    EXPECT_EQ(back, data);
    // The line is still in step afterwards.
    EXPECT_EQ(isp.Prepare(1, 1), aErrNone);
  }
}

}  // namespace
