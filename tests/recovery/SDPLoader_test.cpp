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

// Access to the client's packet builders. They build into vectors holding
// junk: those that clear it must leave nothing of it.
class SDPLoaderPeer {
 public:
  static Bytes Status() {
    Bytes p{9, 9, 9};
    SDPLoader::_createStatusPacket(p);
    return p;
  }
  // Read register 0x401F4410, write 4096 bytes to 0x20000000, jump to
  // 0x20000400 (built into an empty vector).
  static std::vector<Bytes> Commands() {
    std::vector<Bytes> p{{9, 9, 9}, {9, 9, 9}, {}};
    SDPLoader::_create4ByteReadRegisterPacket(p[0], 0x401F4410);
    SDPLoader::_createWriteFilePacket(p[1], 0x20000000, 4096);
    SDPLoader::_createJumpPacket(p[2], 0x20000400);
    return p;
  }
};

namespace {

// A command packet: its bytes, then zeros up to 17 in all.
Bytes Packet(Bytes bytes) {
  bytes.resize(17, 0);
  return bytes;
}

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
  FakeTransport(Layout layout, Record* record, const sdpsim::Config& config = {})
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
    size_t before = reply.size();
    if (layout_ == Layout::kHid) {
      for (const Bytes& report : hidRom_.TakeInputReports()) reply = Cat(reply, report);
    } else {
      std::string out = serialRom_.TakeOutput();
      reply.insert(reply.end(), out.begin(), out.end());
    }
    return (ssize_t)(reply.size() - before);
  }
  bool getDataFromBuffer(const Bytes& reply, unsigned offset, unsigned& value) override {
    return layout_ == Layout::kHid ? hid_.getDataFromBuffer(reply, offset, value)
                                   : serial_.getDataFromBuffer(reply, offset, value);
  }

 private:
  Layout layout_;
  Record* record_;
  sdpsim::Device rom_;
  sdpsim::SerialFramer serialRom_{rom_};
  sdpsim::HidFramer hidRom_{rom_};
  // Unopened transports: only their reply parsing is used.
  HID_SDPLoader hid_{0, 0};
  Serial_SDPLoader serial_{nullptr};
};

// --- packets and reply layouts ----------------------------------------------

TEST(SdpPackets, CommandsHaveTheirBytesAndSeventeenInAll) {
  EXPECT_EQ(SDPLoaderPeer::Commands(),
            (std::vector<Bytes>{Packet({1, 1, 1, 0x40, 0x1F, 0x44, 0x10, 0x20, 0, 0, 0, 4}),
                                Packet({1, 4, 4, 0x20, 0, 0, 0, 0x20, 0, 0, 0x10, 0}),
                                Packet({1, 0x0B, 0x0B, 0x20, 0, 4, 0})}));
  EXPECT_EQ(SDPLoaderPeer::Status(), Packet({1, 5, 5}));
}

// A HID answer is exactly 70 bytes with word n at 6 + 4n; a serial answer
// has word n after four HAB bytes, and may be longer. Words are OR-ed into
// the value; a reply too short for the word is nothing.
TEST(SdpReplies, WordsAreTakenOnlyFromRepliesLongEnoughForThem) {
  HID_SDPLoader hid(0, 0);
  Serial_SDPLoader serial(nullptr);
  Bytes hidAnswer = HidAnswer(0x000000F0);
  hidAnswer[10] = 0x11;  // the first byte of word 1
  const Bytes serialAnswer = Cat(Le32(kHab), Le32(0x78563412));
  auto cut = [](const Bytes& b) { return Bytes(b.begin(), b.end() - 1); };
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
      {&hid, cut(hidAnswer), 0, 0, false, 0},
      {&hid, Cat(hidAnswer, Bytes{0}), 0, 0, false, 0},
      {&hid, hidAnswer, 16, 0, false, 0},
      {&serial, serialAnswer, 0, 0, true, 0x78563412},
      {&serial, cut(serialAnswer), 0, 0, false, 0},
      {&serial, Bytes(), 0, 0, false, 0},
      {&serial, Bytes(68, 0xAB), 15, 0, true, 0xABABABAB},
      {&serial, Bytes(67, 0xAB), 15, 0, false, 0},
      {&serial, Bytes(68, 0xAB), 16, 0, false, 0},
  };
  for (const auto& c : cases) {
    unsigned word = c.before;
    EXPECT_EQ(c.layout->getDataFromBuffer(c.reply, c.offset, word), c.ok) << &c - cases;
    EXPECT_EQ(word, c.ok ? c.word : c.before) << &c - cases;
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
  FakeTransport* secondTransport = new FakeTransport(Layout::kSerial, &second);
  EXPECT_TRUE(loader.setLoader(new FakeTransport(Layout::kSerial, &first)));
  EXPECT_FALSE(loader.setLoader(secondTransport));
  delete secondTransport;  // refused: still the caller's
  EXPECT_EQ(loader.init(), aErrNone);
  EXPECT_EQ(first.inits, 1);
  EXPECT_EQ(second.inits, 0);
}

// --- exchanges with the simulated ROM in either layout ----------------------

// A ROM that never answers is asked five times per exchange and never gets
// a file write; one that answers in the middle of the data (after two data
// reports went in), or ends the transfer without the completion word, fails
// the transfer.
TEST(SdpExchange, SilentInterruptingOrRefusingRomFailsTheTransferInEitherLayout) {
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
  for (Layout layout : {Layout::kSerial, Layout::kHid})
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(layout == Layout::kHid ? "HID: " : "serial: ") + c.out);
      sdpsim::Config config;
      config.silent = c.silent;
      config.unsolicitedAt = c.unsolicitedAt;
      config.writeFail = c.writeFail;
      FakeTransport::Record record;
      SDPLoader loader;
      loader.setLoader(new FakeTransport(layout, &record, config));
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
    EXPECT_TRUE(Bytes(dump.begin(), dump.end()) == Cat(Cat(Le32(0x20200000), Le32(12000)), image))
        << rom.Output();
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
