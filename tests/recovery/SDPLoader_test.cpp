// The serial download protocol client: its packets byte for byte, its reading
// of both reply layouts, its behaviour against scripted and hostile
// transports, and the serial transport against the simulated boot ROM on a
// pseudo-terminal.
#include "recovery/SDPLoader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/Log.h"
#include "tests/recovery/SdpRomPty.h"
#include "tools/qn-sdpsim/SdpRom.h"

typedef std::vector<uint8_t> Bytes;

// Access to the client's packet builders.
class SDPLoaderPeer {
 public:
  static Bytes Status() {
    Bytes p{9, 9, 9};
    SDPLoader::_createStatusPacket(p);
    return p;
  }
  static Bytes ReadRegister(uint32_t address) {
    Bytes p{9, 9, 9};
    SDPLoader::_create4ByteReadRegisterPacket(p, address);
    return p;
  }
  static Bytes WriteFile(uint32_t address, uint32_t count) {
    Bytes p{9, 9, 9};
    SDPLoader::_createWriteFilePacket(p, address, count);
    return p;
  }
  static Bytes Jump(uint32_t address) {
    Bytes p;
    SDPLoader::_createJumpPacket(p, address);
    return p;
  }
};

namespace {

using qntest::RomOnPty;

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

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes Le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

// Answers in the two layouts: serial (4 HAB bytes, then the word) and HID
// (report 3 with the HAB state, then report 4 of 65 bytes).
const uint32_t kHab = 0x56787856;
Bytes SerialAnswer(uint32_t word) { return Cat(Le32(kHab), Le32(word)); }
Bytes HidAnswer(uint32_t word) {
  Bytes report4 = Cat(Bytes{4}, Le32(word));
  report4.resize(65, 0);
  return Cat(Cat(Bytes{3}, Le32(kHab)), report4);
}

enum class Layout { kSerial, kHid };

// A transport whose replies are scripted per read, recording every write.
// getDataFromBuffer is the real one of the chosen layout.
class FakeTransport : public SDPLoader_Interface {
 public:
  struct Record {
    std::vector<Bytes> writes;
    std::vector<unsigned> readWaits;
    int inits = 0;
  };
  // `reply` gives the bytes of each read (by read number and wait).
  typedef std::function<Bytes(size_t readIndex, unsigned waitMs)> Replies;

  FakeTransport(Layout layout, Record* record, Replies replies, bool initResult = true)
      : layout_(layout), record_(record), replies_(std::move(replies)), initResult_(initResult) {}

  bool init() override {
    ++record_->inits;
    return initResult_;
  }
  ssize_t writeData(const Bytes& packet) override {
    record_->writes.push_back(packet);
    return layout_ == Layout::kHid ? (ssize_t)packet.size() : (ssize_t)packet.size() - 1;
  }
  ssize_t readData(Bytes& reply, unsigned waitMs) override {
    size_t index = record_->readWaits.size();
    record_->readWaits.push_back(waitMs);
    Bytes bytes = replies_(index, waitMs);
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
  Replies replies_;
  bool initResult_;
  // Unopened transports: only their reply parsing is used.
  HID_SDPLoader hid_{0, 0};
  Serial_SDPLoader serial_{nullptr};
};

// A ROM that answers every command at once in the chosen layout, with the
// fuse words and a final WRITE_FILE word; the polls during a transfer get
// nothing unless `unsolicitedAtPoll` says which poll gets an answer.
struct ScriptedRom {
  Layout layout = Layout::kSerial;
  uint32_t cfg0 = 0;
  uint32_t cfg1 = 0;
  uint32_t writeFileWord = 0x88888888;
  int unsolicitedAtPoll = -1;
  bool silent = false;

  FakeTransport* Make(FakeTransport::Record* record) {
    ScriptedRom rom = *this;
    return new FakeTransport(layout, record, [rom, record](size_t, unsigned waitMs) -> Bytes {
      if (rom.silent) return {};
      const Bytes& last = record->writes.back();
      auto answer = [&](uint32_t w) {
        return rom.layout == Layout::kHid ? HidAnswer(w) : SerialAnswer(w);
      };
      if (waitMs == 0) {
        int polls = 0;
        for (const Bytes& w : record->writes) polls += w[0] == 2;
        return polls == rom.unsolicitedAtPoll ? answer(0x33333333) : Bytes();
      }
      if (last[0] == 2) return answer(rom.writeFileWord);
      uint16_t type = uint16_t(last[1] << 8 | last[2]);
      uint32_t address =
          uint32_t(last[3]) << 24 | uint32_t(last[4]) << 16 | uint32_t(last[5]) << 8 | last[6];
      if (type == 0x0505) return answer(0xF0F0F0F0);
      if (type == 0x0101) return answer(address == 0x401F4410 ? rom.cfg0 : rom.cfg1);
      if (type == 0x0404) return answer(rom.writeFileWord);  // an empty file
      return Le32(kHab);
    });
  }
};

class Console {
 public:
  Console() { testing::internal::CaptureStdout(); }
  std::string Take() { return testing::internal::GetCapturedStdout(); }
};

// --- packets ----------------------------------------------------------------

TEST(SdpPackets, CommandsHaveTheirBytesAndSeventeenInAll) {
  EXPECT_EQ(SDPLoaderPeer::ReadRegister(0x401F4410),
            Cat(Hex("01 01 01 40 1F 44 10 20 00 00 00 04"), Zeros(5)));
  EXPECT_EQ(SDPLoaderPeer::WriteFile(0x20000000, 4096),
            Cat(Hex("01 04 04 20 00 00 00 20 00 00 10 00"), Zeros(5)));
  EXPECT_EQ(SDPLoaderPeer::Jump(0x20000400), Cat(Hex("01 0B 0B 20 00 04 00"), Zeros(10)));
  EXPECT_EQ(SDPLoaderPeer::Status(), Cat(Hex("01 05 05"), Zeros(14)));
  // The builders that clear their vector leave nothing of what it held.
  EXPECT_EQ(SDPLoaderPeer::WriteFile(0xA1B2C3D4, 0x01020304),
            Cat(Hex("01 04 04 A1 B2 C3 D4 20 01 02 03 04"), Zeros(5)));
}

// --- reply layouts ----------------------------------------------------------

TEST(SdpReplies, HidAnswerIsExactlySeventyBytesWithTheWordAtSix) {
  HID_SDPLoader hid(0, 0);
  unsigned word = 0;
  EXPECT_TRUE(hid.getDataFromBuffer(HidAnswer(0x88888888), 0, word));
  EXPECT_EQ(word, 0x88888888u);

  Bytes short69 = HidAnswer(0x88888888);
  short69.pop_back();
  Bytes long71 = Cat(HidAnswer(0x88888888), Bytes{0});
  for (const Bytes& bad : {short69, long71, Bytes(), Bytes(5, 3)}) {
    word = 0;
    EXPECT_FALSE(hid.getDataFromBuffer(bad, 0, word)) << bad.size();
    EXPECT_EQ(word, 0u);
  }
  word = 0;
  EXPECT_FALSE(hid.getDataFromBuffer(HidAnswer(1), 16, word));
  // The word is OR-ed into the value, and later words sit further on.
  Bytes answer = HidAnswer(0x000000F0);
  answer[10] = 0x11;  // the first byte of word 4, outside word 0
  word = 0x0F;
  EXPECT_TRUE(hid.getDataFromBuffer(answer, 0, word));
  EXPECT_EQ(word, 0xFFu);
  word = 0;
  EXPECT_TRUE(hid.getDataFromBuffer(answer, 4, word));
  EXPECT_EQ(word, 0x11u);
}

TEST(SdpReplies, SerialAnswerHasTheWordAfterFourHabBytes) {
  Serial_SDPLoader serial(nullptr);
  unsigned word = 0;
  EXPECT_TRUE(serial.getDataFromBuffer(Hex("56 78 78 56 12 34 56 78"), 0, word));
  EXPECT_EQ(word, 0x78563412u);
  for (const Bytes& bad : {Bytes(), Hex("56 78 78 56"), Hex("56 78 78 56 12 34 56")}) {
    word = 0;
    EXPECT_FALSE(serial.getDataFromBuffer(bad, 0, word)) << bad.size();
    EXPECT_EQ(word, 0u);
  }
  // Longer replies are fine; word n needs (n + 2) * 4 bytes; 15 is the last.
  Bytes big(68, 0xAB);
  word = 0;
  EXPECT_TRUE(serial.getDataFromBuffer(big, 15, word));
  EXPECT_EQ(word, 0xABABABABu);
  EXPECT_FALSE(serial.getDataFromBuffer(Bytes(67, 0), 15, word));
  EXPECT_FALSE(serial.getDataFromBuffer(big, 16, word));
  EXPECT_FALSE(serial.getDataFromBuffer(Bytes(11, 0), 1, word));
  EXPECT_TRUE(serial.getDataFromBuffer(Bytes(12, 0), 1, word));
}

// --- transport ownership and opening ----------------------------------------

TEST(SdpLoader, TransportIsSetOnceAndOpenedThroughInit) {
  SDPLoader empty;
  EXPECT_EQ(empty.init(), 1u);
  uint64_t value = 0;
  EXPECT_EQ(empty.getFingerprint(value), aErrParam);
  Console console;
  EXPECT_EQ(empty.writeLoader(Bytes(10, 1), 0x20000000), 2);
  empty.startLoader(0x20000400);  // nothing to talk to: nothing happens
  console.Take();

  FakeTransport::Record first, second;
  SDPLoader loader;
  EXPECT_FALSE(loader.setLoader(nullptr));
  FakeTransport* firstTransport = ScriptedRom().Make(&first);
  FakeTransport* secondTransport = ScriptedRom().Make(&second);
  EXPECT_TRUE(loader.setLoader(firstTransport));
  EXPECT_FALSE(loader.setLoader(secondTransport));
  delete secondTransport;  // refused: still the caller's
  EXPECT_EQ(loader.init(), aErrNone);
  EXPECT_EQ(first.inits, 1);
  EXPECT_EQ(second.inits, 0);

  FakeTransport::Record failing;
  SDPLoader closed;
  closed.setLoader(new FakeTransport(Layout::kSerial, &failing, nullptr, false));
  EXPECT_EQ(closed.init(), aErrIO);
}

// --- exchanges against scripted ROMs ----------------------------------------

class SdpExchange : public ::testing::TestWithParam<Layout> {
 protected:
  ScriptedRom Rom() {
    ScriptedRom rom;
    rom.layout = GetParam();
    return rom;
  }
};

TEST_P(SdpExchange, FingerprintIsBothFuseWordsAfterTheStatusCheck) {
  ScriptedRom rom = Rom();
  rom.cfg0 = 0x89ABCDEF;
  rom.cfg1 = 0x01234567;
  FakeTransport::Record record;
  SDPLoader loader;
  loader.setLoader(rom.Make(&record));
  uint64_t value = 0x100000000000ull;  // OR-ed into, not replaced
  EXPECT_EQ(loader.getFingerprint(value), aErrNone);
  EXPECT_EQ(value, 0x0123456789ABCDEFull | 0x100000000000ull);
  ASSERT_EQ(record.writes.size(), 3u);
  EXPECT_EQ(record.writes[0], SDPLoaderPeer::Status());
  EXPECT_EQ(record.writes[1], SDPLoaderPeer::ReadRegister(0x401F4410));
  EXPECT_EQ(record.writes[2], SDPLoaderPeer::ReadRegister(0x401F4420));
  EXPECT_EQ(record.readWaits, (std::vector<unsigned>{100, 100, 100}));
}

TEST_P(SdpExchange, SilentRomIsAskedFiveTimesThenReported) {
  ScriptedRom rom = Rom();
  rom.silent = true;
  FakeTransport::Record record;
  SDPLoader loader;
  loader.setLoader(rom.Make(&record));
  uint64_t value = 0;
  Console console;
  EXPECT_EQ(loader.getFingerprint(value), aErrParam);
  EXPECT_EQ(loader.writeLoader(Bytes(100, 7), 0x20000000), 2);
  EXPECT_EQ(console.Take(), "Error: No ack from iMX device\nError: No ack from iMX device\n");
  EXPECT_EQ(value, 0u);
  // Status packets only: the silent ROM never gets a file write.
  ASSERT_EQ(record.writes.size(), 10u);
  for (const Bytes& w : record.writes) EXPECT_EQ(w, SDPLoaderPeer::Status());
}

TEST_P(SdpExchange, FuseReadWithoutProperReplyIsAModeError) {
  FakeTransport::Record record;
  SDPLoader loader;
  Layout layout = GetParam();
  // The status check is answered; the fuse reads get a short answer.
  loader.setLoader(new FakeTransport(layout, &record, [layout](size_t index, unsigned) {
    Bytes ok = layout == Layout::kHid ? HidAnswer(0xF0F0F0F0) : SerialAnswer(0xF0F0F0F0);
    if (index == 0) return ok;
    ok.resize(ok.size() - 1);
    return ok;
  }));
  uint64_t value = 0;
  EXPECT_EQ(loader.getFingerprint(value), aErrMode);
  EXPECT_EQ(value, 0u);
}

TEST_P(SdpExchange, LoaderGoesOutInReportsOfAtMost1024DataBytes) {
  Bytes data(2500);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7 + 3);
  FakeTransport::Record record;
  SDPLoader loader;
  loader.setLoader(Rom().Make(&record));
  Console console;
  EXPECT_EQ(loader.writeLoader(data, 0x20002000), 0);
  EXPECT_EQ(console.Take(), "Loader Transfer Successful\n");

  ASSERT_EQ(record.writes.size(), 5u);
  EXPECT_EQ(record.writes[0], SDPLoaderPeer::Status());
  EXPECT_EQ(record.writes[1], SDPLoaderPeer::WriteFile(0x20002000, 2500));
  const size_t sizes[3] = {1024, 1024, 452};
  Bytes carried;
  for (int i = 0; i < 3; ++i) {
    const Bytes& report = record.writes[2 + i];
    ASSERT_EQ(report.size(), sizes[i] + 1);
    EXPECT_EQ(report[0], 2);
    carried.insert(carried.end(), report.begin() + 1, report.end());
  }
  EXPECT_EQ(carried, data);
  // Status read, a non-waiting poll before every report, the final read.
  EXPECT_EQ(record.readWaits, (std::vector<unsigned>{100, 0, 0, 0, 100}));
}

TEST_P(SdpExchange, EmptyLoaderIsAFileWriteWithoutData) {
  FakeTransport::Record record;
  SDPLoader loader;
  loader.setLoader(Rom().Make(&record));
  Console console;
  EXPECT_EQ(loader.writeLoader(Bytes(), 0x20000000), 0);
  console.Take();
  ASSERT_EQ(record.writes.size(), 2u);
  EXPECT_EQ(record.writes[1], SDPLoaderPeer::WriteFile(0x20000000, 0));
}

TEST_P(SdpExchange, AnswerInTheMiddleOfTheTransferAbortsIt) {
  ScriptedRom rom = Rom();
  rom.unsolicitedAtPoll = 2;  // after two data reports went out
  FakeTransport::Record record;
  SDPLoader loader;
  loader.setLoader(rom.Make(&record));
  Console console;
  EXPECT_EQ(loader.writeLoader(Bytes(5000, 1), 0x20000000), 3);
  EXPECT_EQ(console.Take(), "Error while transfering loader. Aborting\n");
  EXPECT_EQ(record.writes.size(), 4u);  // status, file write, two reports
}

TEST_P(SdpExchange, FinalWordOtherThanCompletionFailsTheTransfer) {
  ScriptedRom rom = Rom();
  rom.writeFileWord = 0x33333333;
  FakeTransport::Record record;
  SDPLoader loader;
  loader.setLoader(rom.Make(&record));
  Console console;
  EXPECT_EQ(loader.writeLoader(Bytes(10, 1), 0x20000000), 4);
  EXPECT_EQ(console.Take(), "Loader Transfer Unsuccessful\n");
}

INSTANTIATE_TEST_SUITE_P(Layouts, SdpExchange, ::testing::Values(Layout::kSerial, Layout::kHid),
                         [](const ::testing::TestParamInfo<Layout>& info) {
                           return info.param == Layout::kHid ? "Hid" : "Serial";
                         });

// --- hostile replies --------------------------------------------------------

// Replies of every wrong size, garbage and stray bytes never make the client
// read or write outside its buffers (the sanitizers watch) and never pass
// for a proper answer.
TEST(SdpHostile, RepliesOfWrongSizeAreNeverTakenForAnswers) {
  for (Layout layout : {Layout::kSerial, Layout::kHid}) {
    size_t full = layout == Layout::kHid ? 70 : 8;
    for (size_t size :
         {size_t(0), size_t(1), size_t(4), size_t(5), full - 1, full + 1, size_t(4096)}) {
      if (layout == Layout::kSerial && size > full) continue;  // longer serial replies are fine
      FakeTransport::Record record;
      SDPLoader loader;
      loader.setLoader(new FakeTransport(layout, &record,
                                         [size](size_t, unsigned) { return Bytes(size, 0x88); }));
      Console console;
      uint64_t value = 0;
      EXPECT_EQ(loader.getFingerprint(value), aErrParam) << size;
      EXPECT_EQ(loader.writeLoader(Bytes(3000, 1), 0x20000000), 2) << size;
      console.Take();
    }
  }
}

TEST(SdpHostile, RandomTrafficNeverCrashesTheClient) {
  std::mt19937 random(20261206);
  for (int round = 0; round < 300; ++round) {
    Layout layout = round % 2 ? Layout::kHid : Layout::kSerial;
    FakeTransport::Record record;
    SDPLoader loader;
    std::mt19937 seed(random());
    loader.setLoader(new FakeTransport(layout, &record, [seed](size_t index, unsigned) mutable {
      std::mt19937 r(seed() + (uint32_t)index);
      size_t size = r() % 4 == 0 ? 70 : r() % 4 == 1 ? 8 : r() % 200;
      Bytes bytes(size);
      for (uint8_t& b : bytes) b = uint8_t(r() % 3 == 0 ? 0x88 : r());
      return bytes;
    }));
    Console console;
    uint64_t value = 0;
    aErr fingerprint = loader.getFingerprint(value);
    EXPECT_TRUE(fingerprint == aErrNone || fingerprint == aErrParam || fingerprint == aErrMode);
    int written = loader.writeLoader(Bytes(random() % 3000), random());
    EXPECT_TRUE(written >= 0 && written <= 4);
    loader.startLoader(random());
    console.Take();
  }
}

// --- the serial transport against the simulated ROM -------------------------

TEST(SdpSerial, PortThatIsMissingOrNotATerminalIsRefused) {
  Serial_SDPLoader missing("/nonexistent/tty-for-sdp");
  EXPECT_FALSE(missing.init());
  Serial_SDPLoader notTty("/dev/null");
  EXPECT_FALSE(notTty.init());
  Bytes reply;
  EXPECT_EQ(notTty.readData(reply, 0), 0);
  EXPECT_EQ(notTty.writeData(SDPLoaderPeer::Status()), -1);
  EXPECT_TRUE(reply.empty());
}

// The ROM's error report in the middle of a transfer, seen by a later poll.
TEST(SdpSerial, AnswerDuringTheTransferIsSeenByAPoll) {
  sdpsim::Config config;
  config.unsolicitedAt = 2048;
  RomOnPty rom(config);
  ASSERT_TRUE(rom.ok());
  SDPLoader loader;
  loader.setLoader(new Serial_SDPLoader(rom.path().c_str()));
  ASSERT_EQ(loader.init(), aErrNone);
  Console console;
  int result = loader.writeLoader(Bytes(64 * 1024, 5), 0x20200000);
  std::string out = console.Take();
  EXPECT_EQ(result, 3) << out;
  EXPECT_EQ(out, "Error while transfering loader. Aborting\n");
}

TEST(SdpSerial, FinalAnswerIsAwaitedUntilASlowLineHasCarriedEverything) {
  RomOnPty rom(sdpsim::Config(), 11520);
  ASSERT_TRUE(rom.ok());
  SDPLoader loader;
  loader.setLoader(new Serial_SDPLoader(rom.path().c_str()));
  ASSERT_EQ(loader.init(), aErrNone);
  Bytes image(12000);
  for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i * 13);
  Console console;
  EXPECT_EQ(loader.writeLoader(image, 0x20200000), 0);
  EXPECT_EQ(console.Take(), "Loader Transfer Successful\n");
  Bytes stored;
  EXPECT_TRUE(rom.With([&](sdpsim::Device& d) { return d.Peek(0x20200000, 12000, &stored); }));
  EXPECT_EQ(stored, image);
}

// A line that never stops talking cannot keep a read going, and one that
// never takes bytes cannot keep a write going.
TEST(SdpSerial, BabblingAndStalledLinesAreBounded) {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  std::string path = ptsname(master);
  {
    Serial_SDPLoader port(path.c_str());
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

// Serial traces go to the i.MX channel and show every packet byte.
TEST(SdpTrace, PacketsAreTracedOnTheImxChannelOnly) {
  FakeTransport::Record record;
  SDPLoader loader;
  loader.setLoader(ScriptedRom().Make(&record));
  Console quiet;
  loader.startLoader(0x20000400);
  EXPECT_EQ(quiet.Take(), "");
  Log::ActivatePackage(DEBUG_iMXSerial);
  Console traced;
  loader.startLoader(0x20000400);
  std::string out = traced.Take();
  Log::DeactivatePackage(DEBUG_iMXSerial);
  EXPECT_EQ(out, "Write Res: 16\n1 B B 20 0 4 0 0 0 0 0 0 0 0 0 0 0 \n");
}

}  // namespace
