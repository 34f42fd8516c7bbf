// The LPC17xx ISP client against a peer on the far side of a pseudo-terminal:
// either a scripted boot loader (exact traffic, forced verdicts, garbage) or
// the boot-ROM simulator's core (real command semantics, flash and RAM).
#include "recovery/NXPSerial.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tools/qn-lpcsim/LpcIsp.h"

namespace {

// An LPC boot loader on the far side of a pseudo-terminal, served by a thread
// of the test: scripted (a handler answers each received line) or the
// simulated LPC17xx boot ROM's core. Every received line is recorded.
// The near end of the terminal is held open (raw) so that the line stays up
// between the client's opens.
class PtyPeer {
 public:
  // Gets each received line without its CR/LF; returns the bytes to answer.
  using Handler = std::function<std::string(const std::string& line)>;

  explicit PtyPeer(Handler handler) : handler_(std::move(handler)) { Start(); }
  explicit PtyPeer(const lpcsim::Config& config) : device_(new lpcsim::Device(config)) { Start(); }
  ~PtyPeer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
  }

  const std::string& path() const { return path_; }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  size_t ReceivedBytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }

 private:
  void Start() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) {
      path_ = ptsname(master_);
      slave_ = open(path_.c_str(), O_RDWR | O_NOCTTY);
    }
    if (slave_ < 0) FAIL() << "no pseudo-terminal";
    struct termios t;
    tcgetattr(slave_, &t);
    cfmakeraw(&t);
    tcsetattr(slave_, TCSANOW, &t);
    thread_ = std::thread([this] { Serve(); });
  }

  void WriteAll(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size() && !stop_) {
      ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += (size_t)n;
      } else {
        struct pollfd p = {master_, POLLOUT, 0};
        poll(&p, 1, 10);
      }
    }
  }

  void FlushDevice() {
    for (const lpcsim::Device::Chunk& chunk : device_->TakeOutput()) WriteAll(chunk.bytes);
  }

  void Serve() {
    while (!stop_) {
      struct pollfd p = {master_, POLLIN, 0};
      if (poll(&p, 1, 10) <= 0 || !(p.revents & POLLIN)) {
        if (device_) {
          std::lock_guard<std::mutex> lock(mutex_);
          device_->Idle();
          FlushDevice();
        }
        continue;
      }
      char buffer[512];
      ssize_t n = read(master_, buffer, sizeof(buffer));
      if (n <= 0) {
        usleep(5000);
        continue;
      }
      std::lock_guard<std::mutex> lock(mutex_);
      received_ += (size_t)n;
      if (!device_ && echo_) WriteAll(std::string(buffer, (size_t)n));
      for (ssize_t i = 0; i < n; ++i) {
        if (device_) device_->Receive((uint8_t)buffer[i]);
        if (!Collect(buffer[i]) || device_) continue;
        const std::string& line = lines_.back();
        if (line == "A 0" || line == "A 1") {
          WriteAll("0\r\n");
          echo_ = line == "A 1";
        } else {
          WriteAll(handler_(line));
        }
      }
      if (device_) FlushDevice();
    }
  }

  // Adds a byte to the line being received; true when it completed a line,
  // which is then recorded (without CR/LF).
  bool Collect(char byte) {
    if (byte != '\n') {
      line_ += byte;
      return false;
    }
    if (!line_.empty() && line_.back() == '\r') line_.pop_back();
    lines_.push_back(line_);
    line_.clear();
    return true;
  }

  int master_ = -1;
  int slave_ = -1;
  std::string path_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  Handler handler_;
  std::unique_ptr<lpcsim::Device> device_;
  std::atomic<bool> echo_{true};
  std::string line_;
  std::vector<std::string> lines_;
  size_t received_ = 0;
};

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

    const size_t sent = peer.ReceivedBytes();
    uint8_t data[16] = {0};
    EXPECT_EQ(isp.Prepare(5, 4), aErrParam);
    EXPECT_EQ(isp.Erase(5, 4), aErrParam);
    EXPECT_EQ(isp.CopyToFlash(0x1080, NXPSerialClass::WRITE_ADDRESS, 256), aErrParam);
    EXPECT_EQ(isp.CopyToFlash(0x1000, NXPSerialClass::WRITE_ADDRESS, 2048), aErrParam);
    EXPECT_EQ(isp.Write(NXPSerialClass::WRITE_ADDRESS, 6, data), aErrParam);
    EXPECT_EQ(isp.Read(0, 6, data), aErrParam);
    usleep(50000);
    EXPECT_EQ(peer.ReceivedBytes(), sent);
  }
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
// where that client left it (inside a "W" transfer, in the middle of a line)
// and brought back to commands with its echo on. A freshly reset one sees
// exactly the handshake. (A session left in command mode, echo on or off, is
// found by the "-N" runs after lpcisp in tests/integration/recovery_lpc_test.cpp.)
TEST(NXPSerialDevice, SyncFindsWhereAnEarlierClientLeftTheBootLoader) {
  const std::function<void(NXPSerialClass&)> earlier[] = {
      [](NXPSerialClass&) {},
      [](NXPSerialClass& isp) { isp.Send("?", false); },
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
