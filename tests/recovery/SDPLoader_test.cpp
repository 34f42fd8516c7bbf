// The serial download protocol client: its packets byte for byte, its reading
// of both reply layouts, its exchanges with the simulated boot ROM in either
// layout, hostile replies, and the serial transport on pseudo-terminals.
#include "recovery/SDPLoader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/Capture.h"
#include "tests/support/TestSupport.h"
#include "tools/qn-sdpsim/SdpRom.h"

typedef std::vector<uint8_t> Bytes;

// Access to the client's packet builders; those that clear their vector
// must leave nothing of what it held.
class SDPLoaderPeer {
 public:
  static Bytes Status() { return Built(SDPLoader::_createStatusPacket); }
  static Bytes ReadRegister(uint32_t address) {
    return Built(SDPLoader::_create4ByteReadRegisterPacket, address);
  }
  static Bytes WriteFile(uint32_t address, uint32_t count) {
    return Built(SDPLoader::_createWriteFilePacket, address, count);
  }
  static Bytes Jump(uint32_t address) {
    Bytes p;
    SDPLoader::_createJumpPacket(p, address);
    return p;
  }

 private:
  template <typename F, typename... Args>
  static Bytes Built(F build, Args... args) {
    Bytes p{9, 9, 9};
    build(p, args...);
    return p;
  }
};

namespace {

Bytes Hex(const std::string& text) {
  Bytes out;
  for (size_t i = 0; i + 1 < text.size();) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    out.push_back((uint8_t)strtoul(text.substr(i, 2).c_str(), nullptr, 16));
    i += 2;
  }
  return out;
}

Bytes Zeros(size_t n) { return Bytes(n, 0); }

std::string Str(const Bytes& b) { return std::string(b.begin(), b.end()); }

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes Le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

// A HID answer: report 3 with the HAB state, then report 4 of 65 bytes.
const uint32_t kHab = 0x56787856;
Bytes HidAnswer(uint32_t word) {
  Bytes report4 = Cat(Bytes{4}, Le32(word));
  report4.resize(65, 0);
  return Cat(Cat(Bytes{3}, Le32(kHab)), report4);
}

enum class Layout { kSerial, kHid };

// A transport in either layout to the simulated boot ROM, in-process. It
// records every write; getDataFromBuffer is the real one of the layout.
class FakeTransport : public SDPLoader_Interface {
 public:
  struct Record {
    std::vector<Bytes> writes;
    int inits = 0;
  };
  FakeTransport(Layout layout, Record* record, const sdpsim::Config& config)
      : layout_(layout), record_(record), rom_(config) {}

  bool init() override {
    ++record_->inits;
    return true;
  }
  ssize_t writeData(const Bytes& packet) override {
    record_->writes.push_back(packet);
    if (layout_ == Layout::kHid) {
      hidRom_.OutputReport(packet.data(), packet.size());
      return (ssize_t)packet.size();
    }
    serialRom_.Receive(packet.data() + 1, packet.size() - 1);
    return (ssize_t)packet.size() - 1;
  }
  ssize_t readData(Bytes& reply, unsigned) override {
    Bytes bytes;
    if (layout_ == Layout::kHid) {
      for (const Bytes& report : hidRom_.TakeInputReports()) bytes = Cat(bytes, report);
    } else {
      std::string out = serialRom_.TakeOutput();
      bytes.assign(out.begin(), out.end());
    }
    reply.insert(reply.end(), bytes.begin(), bytes.end());
    return (ssize_t)bytes.size();
  }
  bool getDataFromBuffer(const Bytes& reply, unsigned offset, unsigned& value) override {
    return layout_ == Layout::kHid ? hid_.getDataFromBuffer(reply, offset, value)
                                   : serial_.getDataFromBuffer(reply, offset, value);
  }

 private:
  Layout layout_;
  Record* record_;
  sdpsim::Device rom_{sdpsim::Config()};
  sdpsim::SerialFramer serialRom_{rom_};
  sdpsim::HidFramer hidRom_{rom_};
  // Unopened transports: only their reply parsing is used.
  HID_SDPLoader hid_{0, 0};
  Serial_SDPLoader serial_{nullptr};
};

// --- packets and reply layouts ----------------------------------------------

TEST(SdpPackets, CommandsHaveTheirBytesAndSeventeenInAll) {
  EXPECT_EQ(SDPLoaderPeer::ReadRegister(0x401F4410),
            Cat(Hex("01 01 01 40 1F 44 10 20 00 00 00 04"), Zeros(5)));
  EXPECT_EQ(SDPLoaderPeer::WriteFile(0x20000000, 4096),
            Cat(Hex("01 04 04 20 00 00 00 20 00 00 10 00"), Zeros(5)));
  EXPECT_EQ(SDPLoaderPeer::Jump(0x20000400), Cat(Hex("01 0B 0B 20 00 04 00"), Zeros(10)));
  EXPECT_EQ(SDPLoaderPeer::Status(), Cat(Hex("01 05 05"), Zeros(14)));
}

// A HID answer is exactly 70 bytes with word n at 6 + 4n; a serial answer
// has word n after four HAB bytes, and may be longer. Words are OR-ed into
// the value; a reply too short for the word is nothing.
TEST(SdpReplies, WordsAreTakenOnlyFromRepliesLongEnoughForThem) {
  HID_SDPLoader hid(0, 0);
  Serial_SDPLoader serial(nullptr);
  Bytes hidAnswer = HidAnswer(0x000000F0);
  hidAnswer[10] = 0x11;  // the first byte of word 1
  Bytes short69(hidAnswer.begin(), hidAnswer.end() - 1);
  struct {
    SDPLoader_Interface* layout;
    Bytes reply;
    unsigned offset;
    unsigned before;
    bool ok;
    unsigned word;
  } cases[] = {
      {&hid, HidAnswer(0x88888888), 0, 0, true, 0x88888888},
      {&hid, hidAnswer, 0, 0x0F, true, 0xFF},
      {&hid, hidAnswer, 4, 0, true, 0x11},
      {&hid, short69, 0, 0, false, 0},
      {&hid, Cat(hidAnswer, Bytes{0}), 0, 0, false, 0},
      {&hid, hidAnswer, 16, 0, false, 0},
      {&serial, Hex("56 78 78 56 12 34 56 78"), 0, 0, true, 0x78563412},
      {&serial, Hex("56 78 78 56 12 34 56"), 0, 0, false, 0},
      {&serial, Bytes(), 0, 0, false, 0},
      {&serial, Bytes(68, 0xAB), 15, 0, true, 0xABABABAB},
      {&serial, Bytes(67, 0xAB), 15, 0, false, 0},
      {&serial, Bytes(68, 0xAB), 16, 0, false, 0},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    unsigned word = cases[i].before;
    EXPECT_EQ(cases[i].layout->getDataFromBuffer(cases[i].reply, cases[i].offset, word),
              cases[i].ok)
        << i;
    EXPECT_EQ(word, cases[i].ok ? cases[i].word : cases[i].before) << i;
  }
}

// --- transport ownership and opening ----------------------------------------

TEST(SdpLoader, TransportIsSetOnceAndOpenedThroughInit) {
  SDPLoader empty;
  EXPECT_EQ(empty.init(), 1u);
  uint64_t value = 0;
  EXPECT_EQ(empty.getFingerprint(value), aErrParam);

  FakeTransport::Record first, second;
  SDPLoader loader;
  EXPECT_FALSE(loader.setLoader(nullptr));
  FakeTransport* secondTransport = new FakeTransport(Layout::kSerial, &second, sdpsim::Config());
  EXPECT_TRUE(loader.setLoader(new FakeTransport(Layout::kSerial, &first, sdpsim::Config())));
  EXPECT_FALSE(loader.setLoader(secondTransport));
  delete secondTransport;  // refused: still the caller's
  EXPECT_EQ(loader.init(), aErrNone);
  EXPECT_EQ(first.inits, 1);
  EXPECT_EQ(second.inits, 0);
}

// --- exchanges with the simulated ROM in either layout ----------------------------------------

class SdpExchange : public ::testing::TestWithParam<Layout> {
 protected:
  // The simulated ROM behind a transport of the test's layout.
  FakeTransport* Rom(FakeTransport::Record* record, const sdpsim::Config& config = {}) {
    return new FakeTransport(GetParam(), record, config);
  }
};

// A ROM that never answers is asked five times per exchange and never gets
// a file write; one that answers in the middle of the data (after two data
// reports went in), or ends the transfer without the completion word, fails
// the transfer.
TEST_P(SdpExchange, SilentInterruptingOrRefusingRomFailsTheTransfer) {
  const struct {
    bool silent;
    uint32_t unsolicitedAt;
    bool writeFail;
    size_t size;
    int result;
    const char* out;
    size_t writes;  // packets sent: status, file write, data reports
  } cases[] = {
      {true, 0, false, 100, 2, "Error: No ack from iMX device\n", 5},
      {false, 2048, false, 5000, 3, "Error while transfering loader. Aborting\n", 4},
      {false, 0, true, 10, 4, "Loader Transfer Unsuccessful\n", 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.result);
    sdpsim::Config config;
    config.silent = c.silent;
    config.unsolicitedAt = c.unsolicitedAt;
    config.writeFail = c.writeFail;
    FakeTransport::Record record;
    SDPLoader loader;
    loader.setLoader(Rom(&record, config));
    std::string out = qntest::CaptureStdout(
        [&] { EXPECT_EQ(loader.writeLoader(Bytes(c.size, 1), 0x20000000), c.result); });
    EXPECT_EQ(out, c.out);
    ASSERT_EQ(record.writes.size(), c.writes);
    if (!c.silent) continue;
    EXPECT_EQ(record.writes, std::vector<Bytes>(5, SDPLoaderPeer::Status()));
    uint64_t value = 0;
    out = qntest::CaptureStdout([&] { EXPECT_EQ(loader.getFingerprint(value), aErrParam); });
    EXPECT_EQ(out, c.out);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(record.writes, std::vector<Bytes>(10, SDPLoaderPeer::Status()));
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, SdpExchange, ::testing::Values(Layout::kSerial, Layout::kHid),
                         [](const ::testing::TestParamInfo<Layout>& info) {
                           return info.param == Layout::kHid ? "Hid" : "Serial";
                         });

// --- the serial transport on pseudo-terminals -------------------------------

// Bytes another program left on the line (the "?" of an LPC attempt, its
// probe lines, any 1 to 15) shift every command for a ROM that keeps a
// partial command: the client gets back in step before its fingerprint read.
// A ROM that drops them after a pause needs nothing of that. When the ROM
// takes the bytes slower than they are written (here at 230400 baud, so that
// a loaded machine does not make the simulator slower than the 115200 baud
// the client reckons with), the final answer of a loader is awaited until
// the line has carried everything.
TEST(SdpSerial, GetsInStepWithBytesLeftOnTheLine) {
  const struct {
    const char* option;
    std::string left;
  } cases[] = {{"--keep-partial", "?"},
               {"--keep-partial", "?\r\nA 1\r\n"},
               {"--keep-partial", std::string(15, 'x')},
               {"--baud=230400", "?"}};
  Bytes image(12000);
  for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i * 13);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.left.size());
    qntest::TempDir dir;
    const std::string tty = dir / "tty";  // the transport keeps a pointer to it
    qntest::Background rom({qntest::ToolPath("qn-sdpsim"), "--link", tty, "--dump", dir / "ram.bin",
                            "--fingerprint", "0x01234567:0x89ABCDEF", c.option});
    ASSERT_FALSE(rom.WaitForLine("/dev/").empty()) << rom.Output();
    int fd = open(tty.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(write(fd, c.left.data(), c.left.size()), (ssize_t)c.left.size());
    close(fd);
    usleep(50000);
    SDPLoader loader;
    loader.setLoader(new Serial_SDPLoader(tty.c_str()));
    ASSERT_EQ(loader.init(), aErrNone);
    uint64_t value = 0;
    EXPECT_EQ(loader.getFingerprint(value), aErrNone);
    EXPECT_EQ(value, 0x0123456789ABCDEFull);
    std::string out =
        qntest::CaptureStdout([&] { EXPECT_EQ(loader.writeLoader(image, 0x20200000), 0); });
    EXPECT_EQ(out, "Loader Transfer Successful\n");
    rom.Stop();
    std::string dump = qntest::ReadFile(dir / "ram.bin");
    EXPECT_TRUE(dump == Str(Cat(Cat(Le32(0x20200000), Le32(12000)), image))) << rom.Output();
  }
}

// A port that is not a terminal is refused; a line that never stops talking
// cannot keep a read going, and one that never takes bytes cannot keep a
// write going.
TEST(SdpSerial, BadBabblingAndStalledLinesAreBounded) {
  Serial_SDPLoader missing("/nonexistent/tty-for-sdp");
  EXPECT_FALSE(missing.init());
  Serial_SDPLoader notTty("/dev/null");
  EXPECT_FALSE(notTty.init());
  EXPECT_EQ(notTty.writeData(SDPLoaderPeer::Status()), -1);

  int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  {
    Serial_SDPLoader port(ptsname(master));
    ASSERT_TRUE(port.init());
    std::atomic<bool> stop{false};
    std::thread babbler([&] {
      const std::string chatter(512, '\x55');
      while (!stop) {
        if (write(master, chatter.data(), chatter.size()) <= 0) usleep(100);
      }
    });
    Bytes reply;
    ssize_t got = port.readData(reply, 50);
    stop = true;
    babbler.join();
    EXPECT_GT(got, 0);
    EXPECT_LE(got, (ssize_t)Serial_SDPLoader::MAX_REPLY_BYTES);
    EXPECT_EQ((size_t)got, reply.size());

    // Nobody reads the far end: the terminal's buffers fill and a write
    // gives up with what went out.
    Bytes report(1025, 0xAA);
    report[0] = 2;
    ssize_t written = 1024;
    int reports = 0;
    for (; reports < 1000 && written == 1024; ++reports) written = port.writeData(report);
    EXPECT_LT(written, 1024) << "after " << reports << " reports";
  }
  close(master);
}

}  // namespace
