// "-N" and "-U -t RECOVER -s PORT" against the simulated LPC17xx boot ROM
// (qn-lpcsim on a pseudo-terminal) and the update server on loopback.
#include <gtest/gtest.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/Lab.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace qntest;

// The simulator's default chip identification.
const char kChipWords[] = "0A000001,0B000002,0C000003,0D000004";
const char kFingerprintLine[] = "0A000001 0B000002 0C000003 0D000004";
const char kSerial[] = "40F5849A";
const uint32_t kFlashSize = 0x80000;

// One simulated chip with its flash dump.
class Chip {
 public:
  Chip(const TempDir& dir, const std::vector<std::string>& extra = {})
      : tty_(dir / "tty"), dump_(dir / "flash.bin") {
    std::vector<std::string> argv{ToolPath("qn-lpcsim"), "--link", tty_, "--dump", dump_};
    argv.insert(argv.end(), extra.begin(), extra.end());
    sim_.reset(new Background(argv));
    EXPECT_FALSE(sim_->WaitForLine("/dev/", 10000).empty()) << "qn-lpcsim: " << sim_->Output();
  }
  const std::string& tty() const { return tty_; }
  std::string Flash() const { return ReadFile(dump_); }
  // Lines the simulator printed after its first one.
  std::string Events() { return sim_->Output(); }
  // Waits (bounded) for the start the simulator reports after a "G": the
  // Updater may exit before the simulator has taken the command in.
  bool Started(int timeoutMs = 3000) {
    return !sim_->WaitForLine("qn-lpcsim: go to 0x00000000 (Thumb), vector checksum valid",
                              timeoutMs)
                .empty();
  }

 private:
  std::string tty_, dump_;
  std::unique_ptr<Background> sim_;
};

// A firmware image and what the flash holds once it is recovered: the image
// with its vector checksum (word 7 makes words 0 to 7 sum to 0), then erased
// flash.
struct Image {
  std::string path;
  std::string plain;
  std::string Flash(size_t limit = kFlashSize) const {
    std::string flash = plain;
    uint32_t sum = 0;
    for (int i = 0; i < 28; ++i) sum += (uint32_t)(uint8_t)flash[i] << (8 * (i % 4));
    for (int b = 0; b < 4; ++b) flash[28 + b] = (char)(uint8_t)((0u - sum) >> (8 * b));
    if (flash.size() > limit) flash.resize(limit);
    flash.resize(kFlashSize, '\xFF');
    return flash;
  }
};

Image MakeImage(const TempDir& dir, const std::string& name, int size, int seed) {
  Image image;
  image.path = dir / (name + ".bin");
  RunResult r = RunTool("birdtool", {"gen-image", "--size", std::to_string(size), "--seed",
                                     std::to_string(seed), "-o", image.path});
  EXPECT_EQ(r.status, 0) << r.err;
  image.plain = ReadFile(image.path);
  return image;
}

// A recovery BIRD file of `image` for the simulated chip.
std::string PackRecovery(const TempDir& dir, const std::string& build, const Image& image,
                         const std::vector<std::string>& extra = {}) {
  std::string out = dir / (build + ".bird");
  std::vector<std::string> args{
      "-o",         out,        "--firmware", "0:" + image.path, "--vector-checksum",
      "--scramble", kChipWords, "--info"};
  args.push_back(build + ",1.0.0," + kSerial + ",QN-HUB4");
  args.insert(args.end(), extra.begin(), extra.end());
  std::string why;
  EXPECT_TRUE(PackBird(args, &why)) << why;
  return out;
}

class RecoveryLpc : public ::testing::Test {
 protected:
  std::string Home() const { return home_.path(); }
  std::string Store() const { return StoreDir(home_.path()); }
  // An update server that maps the simulated chip to build 12 of the
  // device, and serves the given builds.
  std::unique_ptr<UpdateServer> Server(
      const std::vector<std::pair<std::string, std::string>>& builds) {
    ServerDevice device{kSerial, "QN-HUB4", builds.back().first, {}};
    for (const auto& b : builds) device.builds.push_back({b.first, {"1.0.0", b.second}});
    std::unique_ptr<UpdateServer> server(new UpdateServer(
        work_ / "fw", {device}, {std::string(kFingerprintLine) + " " + kSerial + " 12"}));
    EXPECT_TRUE(server->ready());
    return server;
  }
  // "-U -t RECOVER" of `chip` with the update server `server`, and `extra`.
  RunResult Recover(const Chip& chip, const UpdateServer& server,
                    std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"-U", "-t", "RECOVER", "-s", chip.tty(), "-u", server.url()};
    args.insert(args.end(), extra.begin(), extra.end());
    return RunUpdater(Home(), args);
  }

  TempDir home_;
  TempDir work_;
};

// ---------------------------------------------------------------------------
// "-N"

// "-N" prints the chip's identification. A port that cannot be opened, or a
// chip that does not answer, ends the run before the store is opened; no
// port at all is reported and the other commands still run.
TEST_F(RecoveryLpc, FingerprintCommand) {
  TempDir dir;
  Chip silent(dir, {"--no-sync"});
  const std::string head = "Getting NXP device fingerprint:\n";
  const std::pair<std::string, std::string> failures[] = {
      {work_ / "no-such-tty", head + "ERROR ==> Could not open serial port\n"},
      {silent.tty(), head + "ERROR ==> Could not communicate with device over serial port\n"}};
  for (const auto& f : failures) {
    RunResult r = RunUpdater(Home(), {"-N", "-s", f.first, "-D"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, f.second);
    EXPECT_FALSE(FileExists(Home() + "/.vorlaine"));
  }

  RunResult r = RunUpdater(Home(), {"-N", "-l", "note"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(
      r.out,
      head + "\tERROR ==> Must specify the serial port used for connecting\n\nLOGGING ==> note\n");
  EXPECT_TRUE(FileExists(Store()));
}

// ---------------------------------------------------------------------------
// "-U -t RECOVER -s PORT"

// The chip is not reset between runs, as with an adapter that does not reset
// the board: lpcisp (an ISP client written outside this project) opens a
// session (echo off) and uses it in later runs, then both "-N" and the
// recovery find the boot loader already synchronised (with its echo off, then
// on).
TEST_F(RecoveryLpc, RecoversAChipWithTheFileTheServerHasForItsFingerprint) {
  Image image = MakeImage(work_, "img12", 6000, 12);
  auto server = Server({{"12", PackRecovery(work_, "12", image)}});
  // The second block of the transfer is refused once and sent again.
  Chip chip(work_, {"--resend-at", "2"});
  auto lpcisp = [&](const std::string& step) {
    return qntest::Run({"/bin/sh", "-c", "/usr/bin/lpcisp \"$0\" " + step, chip.tty()});
  };
  for (const char* step :
       {"-s", "unlock", "prepare-for-write 1 1", "erase 1 1", "blank-check 1 1"}) {
    RunResult isp = lpcisp(step);
    EXPECT_EQ(isp.status, 0) << step << isp.out << isp.err;
  }
  // lpcisp's own reply time-out is short for a loaded machine: its read is
  // tried up to three times.
  std::string uid;
  for (int i = 0; i < 3 && uid.find("UID: 0x0a000001 - 0x0b000002") == std::string::npos; ++i)
    uid = lpcisp("read-uid").out;
  EXPECT_NE(uid.find("UID: 0x0a000001 - 0x0b000002"), std::string::npos) << uid;
  for (int i = 0; i < 2; ++i) {
    RunResult n = RunUpdater(Home(), {"-N", "-s", chip.tty()});
    EXPECT_EQ(n.status, 0) << n.out << n.err;
    EXPECT_EQ(n.out,
              std::string("Getting NXP device fingerprint:\n\t[ ") + kFingerprintLine + " ]\n");
  }

  RunResult r = Recover(chip, *server);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  const std::string head =
      "Firmware_Recovery via Serial Interface:\n"
      "\tGot device fingerprint [ 0A000001 0B000002 0C000003 0D000004 ]\n"
      "Transferring firmware block 0, 6004 bytes\n";
  EXPECT_EQ(r.out.compare(0, head.size(), head), 0) << r.out;
  EXPECT_NE(r.out.find("Transferred 1 blocks, 6000 total bytes\nRebooting Device\nUpdate time: "),
            std::string::npos)
      << r.out;
  const std::string tail = "END of Firmware_Recovery via Serial Interface\n";
  EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);

  EXPECT_TRUE(chip.Started()) << chip.Events();
  EXPECT_TRUE(chip.Flash() == image.Flash()) << "flash differs from the recovered image";

  // The store knew no such device: the file went into "RECOVER".
  EXPECT_EQ(ReadFile(Store() + "/RECOVER/12.bird"), ReadFile(work_ / "12.bird"));
  EXPECT_NE(ReadFile(Store() + "/RECOVER/.history")
                .find("Recovering device, serial#: 40F5849A, filename: 12.bird"),
            std::string::npos);
}

// "-b 11" for a device the store knows: build 11 is fetched into the
// device's own entry and flashed. "-f": the given file is flashed and
// nothing more is stored.
TEST_F(RecoveryLpc, RequestedBuildOrGivenFile) {
  Image old = MakeImage(work_, "img11", 5000, 11);
  Image mine = MakeImage(work_, "mine", 3000, 99);
  auto server = Server({{"11", PackRecovery(work_, "11", old)},
                        {"12", PackRecovery(work_, "12", MakeImage(work_, "img12", 5000, 12))}});
  // A 4-byte image ends the block loop: the blocks after it are not written.
  ASSERT_TRUE(WriteFile(work_ / "four.bin", "\x01\x02\x03\x04"));
  std::string given = PackRecovery(
      work_, "77", mine,
      {"--firmware", "0x40000:" + (work_ / "four.bin"), "--firmware", "0x50000:" + old.path});
  ASSERT_EQ(qntest::Run({"/bin/mkdir", "-p", DeviceDir(Home(), kSerial)}).status, 0);
  const struct {
    const char* option;
    std::string value;
    const Image& image;
  } cases[] = {{"-b", "11", old}, {"-f", given, mine}};
  // "-e": the first run keeps the boot ROM's echo on during the transfer.
  for (const auto& c : cases) {
    SCOPED_TRACE(c.option);
    TempDir dir;
    Chip chip(dir);
    bool echo = c.image.path == old.path;
    RunResult r =
        Recover(chip, *server, {c.option, c.value, echo ? "-e" : "-o", echo ? "1" : "115200"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(chip.Started()) << chip.Events();
    EXPECT_TRUE(chip.Flash() == c.image.Flash()) << "flash does not hold the file";
    if (c.image.path == mine.path) {
      EXPECT_NE(r.out.find("block 1, 8 bytes\nTransferred 1 blocks, 3000 total bytes\n"),
                std::string::npos)
          << r.out;
    }
  }
  EXPECT_EQ(ReadFile(Store() + "/" + kSerial + "/11.bird"), ReadFile(work_ / "11.bird"));
  EXPECT_FALSE(FileExists(Store() + "/" + kSerial + "/77.bird"));
  EXPECT_FALSE(FileExists(Store() + "/" + kSerial + "/12.bird"));
  EXPECT_FALSE(FileExists(Store() + "/RECOVER"));
}

// An offline file is refused before the chip is touched. A failing erase, or
// a block the chip refuses three times in the middle of the image (10000
// bytes: the first 4096-byte chunk takes checksums 1 to 5, the second
// chunk's first block is refused), stops with the error line and without
// starting the chip; a recovery that ran and failed fails the run (and does
// not try the other boot ROM). The refused block leaves the chip inside its
// "W" transfer; a second recovery, without a reset, gets it out of there and
// succeeds.
TEST_F(RecoveryLpc, RefusedFileOrFailedEraseOrWriteStopsWithTheErrorLineAndNoStart) {
  Image image = MakeImage(work_, "img12", 10000, 12);
  auto server = Server({{"12", PackRecovery(work_, "12", image)}});
  const std::string offline = PackRecovery(work_, "13", image, {"--serial-offsets", "64,128"});
  const std::string error = "Recovery Error transfering data to device[0A000001] ==> ";
  const struct {
    std::vector<std::string> chip;
    std::vector<std::string> file;
    std::string message;
    std::vector<std::string> absent;
    size_t flashed;
  } cases[] = {
      {{},
       {"-f", offline},
       "Recovery command does not currently support an OFFLINE BIRD file (because it is not "
       "device specific).",
       {"[P ", "[E ", "[W "},
       0},
      {{"--fail-command", "E=11"}, {}, error + "[2, Invalid parameter].", {"[W "}, 0},
      {{"--resend-at", "6,7,8"}, {}, error + "[18, Timeout occurred].", {}, 4096}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    TempDir dir;
    Chip chip(dir, c.chip);
    // 0x4001: the procedure's messages and the byte traces of every command.
    std::vector<std::string> args{"-X", "0x4001"};
    args.insert(args.end(), c.file.begin(), c.file.end());
    RunResult r = Recover(chip, *server, args);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find(c.message + "\nError in Recovery process:\n\n"), std::string::npos)
        << r.out;
    for (const char* absent : {"Rebooting Device", "[G 0 T"})
      EXPECT_EQ(r.out.find(absent), std::string::npos) << absent;
    for (const std::string& absent : c.absent)
      EXPECT_EQ(r.out.find(absent), std::string::npos) << absent;
    EXPECT_FALSE(chip.Started(300));
    EXPECT_TRUE(chip.Flash() ==
                (c.flashed ? image.Flash(c.flashed) : std::string(kFlashSize, '\xFF')));
    if (c.flashed == 0) continue;
    r = Recover(chip, *server, {"-X", "0x1000"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Boot loader already synchronised"), std::string::npos) << r.out;
    EXPECT_TRUE(chip.Started()) << chip.Events();
    EXPECT_TRUE(chip.Flash() == image.Flash());
  }
}

}  // namespace
