// The recovery procedures against the simulated boot ROMs: for the serial
// ISP (LPC17xx) which chunks go where, what ends the block loop and what is
// refused before the chip is touched; for the i.MX RT the loader step (block
// addresses, entry, failures) and the fingerprint read.
#include <gtest/gtest.h>

#include <stdint.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "app/Log.h"
#include "recovery/NXPSerial.h"
#include "tests/recovery/PtyPeer.h"
#include "tests/support/TestSupport.h"
#include "tools/birdtool/BirdPack.h"
#include "updater/BirdFile.h"
#include "updater/DeviceRecovery_iMX.h"
#include "updater/Updater.h"

namespace {

using qntest::PtyPeer;
using qntest::RomOnPty;
using qntest::TempDir;

const uint32_t kWords[4] = {0x0A000001, 0x0B000002, 0x0C000003, 0x0D000004};
const uint8_t kLoader = 0, kFirmware = 1, kSerialOffsets = 2, kLoaderEntry = 5;

std::string RandomImage(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string out(n, '\0');
  for (char& c : out) c = (char)(uint8_t)gen();
  return out;
}

using Block = birdpack::Block;

Block Raw(uint8_t type, const std::string& bytes) {
  Block block;
  block.type = type;
  block.data.assign(bytes.begin(), bytes.end());
  return block;
}

Block At(uint8_t type, uint32_t address, const std::string& bytes) {
  Block block = Raw(type, "");
  block.data = birdpack::ImageBlockData(address, std::vector<uint8_t>(bytes.begin(), bytes.end()));
  return block;
}

// A firmware block as a recovery file carries it for the LPC chip `kWords`.
Block Firmware(uint32_t address, std::string plain) {
  birdpack::ScrambleImage((uint8_t*)&plain[0], plain.size(), kWords);
  return At(kFirmware, address, plain);
}

std::string Bird(const std::vector<Block>& blocks) {
  std::vector<uint8_t> stream;
  std::string error;
  EXPECT_TRUE(birdpack::CompressBody(birdpack::BuildBody(blocks), &stream, &error)) << error;
  std::vector<uint8_t> file = birdpack::BuildFile(stream);
  return std::string(file.begin(), file.end());
}

// The image with its vector checksum, as it must land at address 0.
std::string WithVectorChecksum(std::string image) {
  birdpack::SetVectorChecksum((uint8_t*)&image[0], image.size());
  return image;
}

std::string FlashAt(const std::vector<uint8_t>& flash, uint32_t address, size_t n) {
  return std::string(flash.begin() + address, flash.begin() + address + n);
}

bool Sent(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// Captures standard output (with the procedures' log channel on) while alive.
class Console {
 public:
  Console() {
    Log::ActivatePackage(DEBUG_Updater);
    testing::internal::CaptureStdout();
  }
  std::string Take() {
    Log::DeactivatePackage(DEBUG_Updater);
    return testing::internal::GetCapturedStdout();
  }
};

class DeviceRecoveryTest : public ::testing::Test {
 protected:
  DeviceRecoveryTest() : peer_(Config()) {}
  static lpcsim::Config Config() {
    lpcsim::Config config;
    std::copy(kWords, kWords + 4, config.serial);
    return config;
  }
  void SetUp() override {
    ASSERT_TRUE(peer_.ok());
    // What the recovery command has done before it calls the procedure.
    ASSERT_EQ(isp_.Connect(peer_.path().c_str(), 230400), aErrNone);
    ASSERT_EQ(isp_.Sync(), aErrNone);
    ASSERT_EQ(isp_.GetDeviceID(), aErrNone);
    ASSERT_EQ(isp_.Unlock(), aErrNone);
    UpdaterClass::echo_bytes = false;
  }
  // Runs the procedure on a file with these blocks; its console output in
  // *out.
  bool Recover(const std::vector<Block>& blocks, std::string* out) {
    std::string path = dir_ / "recovery.bird";
    EXPECT_TRUE(qntest::WriteFile(path, Bird(blocks)));
    Console console;
    bool ok = UpdaterClass::DeviceRecovery(&isp_, path.c_str());
    *out = console.Take();
    return ok;
  }

  TempDir dir_;
  PtyPeer peer_;
  NXPSerialClass isp_;
};

TEST_F(DeviceRecoveryTest, BlockIsWrittenInChunksOfAtMost4096Bytes) {
  std::string vectors = RandomImage(256, 1);
  std::string image = RandomImage(10000, 2);
  std::string out;
  ASSERT_TRUE(Recover({Firmware(0, vectors), Firmware(0x8000, image)}, &out)) << out;

  for (const char* line : {"Transferring firmware block 1, 10004 bytes\n",
                           "Transferring firmware 4096 bytes to address 0x00008000\n",
                           "Transferring firmware 4096 bytes to address 0x00009000\n",
                           "Transferring firmware 1808 bytes to address 0x0000A000\n",
                           "\t Copy 4096 bytes from 10001000 to 0000A000\n",
                           "Transferred 2 blocks, 10256 total bytes\nRebooting Device\n"}) {
    EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
  }
  std::vector<std::string> lines = peer_.Lines();
  for (const char* line : {"P 0 29", "E 0 29", "C 32768 268439552 4096", "C 36864 268439552 4096",
                           "C 40960 268439552 4096"})
    EXPECT_TRUE(Sent(lines, line)) << line;
  EXPECT_EQ(lines.back(), "G 0 T");

  std::vector<uint8_t> flash = peer_.Flash();
  EXPECT_TRUE(FlashAt(flash, 0, 256) == WithVectorChecksum(vectors));
  EXPECT_TRUE(FlashAt(flash, 0x8000, 10000) == image);
  // The last copy carries erased bytes past the image, not the RAM left over
  // from the chunk before it.
  EXPECT_TRUE(FlashAt(flash, 0x8000 + 10000, 0xB000 - 0x8000 - 10000) ==
              std::string(0xB000 - 0x8000 - 10000, '\xFF'));
}

TEST_F(DeviceRecoveryTest, FourByteImageEndsTheBlockLoop) {
  std::string first = RandomImage(3000, 3);
  std::string out;
  ASSERT_TRUE(Recover({Firmware(0, first), Firmware(0x4000, "\x01\x02\x03\x04"),
                       Firmware(0x5000, RandomImage(1000, 4))},
                      &out))
      << out;
  EXPECT_NE(out.find("Transferring firmware block 1, 8 bytes\nTransferred 1 blocks, 3000 total "
                     "bytes\nRebooting Device\n"),
            std::string::npos)
      << out;
  std::vector<uint8_t> flash = peer_.Flash();
  EXPECT_TRUE(FlashAt(flash, 0, 3000) == WithVectorChecksum(first));
  EXPECT_TRUE(FlashAt(flash, 0x4000, 0x2000) == std::string(0x2000, '\xFF'));
  EXPECT_EQ(peer_.Lines().back(), "G 0 T");
}

TEST_F(DeviceRecoveryTest, FilesThatCannotBeUsedAreRefusedBeforeTheChipIsTouched) {
  size_t before = peer_.Lines().size();
  std::string out;
  std::string offsets("\0\0\0\x40\0\0\0\x80", 8);
  EXPECT_FALSE(Recover({Firmware(0, RandomImage(512, 6)), Raw(kSerialOffsets, offsets)}, &out));
  EXPECT_EQ(out,
            "Recovery command does not currently support an OFFLINE BIRD file (because it is not "
            "device specific).\n");

  // A firmware block too short to hold its address; no firmware at all.
  for (const std::vector<Block>& blocks :
       {std::vector<Block>{Firmware(0, RandomImage(512, 7)), Raw(kFirmware, std::string(2, '\0'))},
        std::vector<Block>{Raw(4, std::string(64, ' '))}}) {
    EXPECT_FALSE(Recover(blocks, &out));
    EXPECT_NE(out.find("has an invalid file format.\n"), std::string::npos) << out;
  }

  // A header whose body does not inflate; not a BIRD file; no file or chip.
  std::string broken = dir_ / "broken.bird", notBird = dir_ / "not.bird";
  ASSERT_TRUE(qntest::WriteFile(broken, std::string("bird\x01\x01", 6) + "not a zlib stream"));
  ASSERT_TRUE(qntest::WriteFile(notBird, "this is not firmware"));
  Console console;
  EXPECT_FALSE(UpdaterClass::DeviceRecovery(&isp_, broken.c_str()));
  EXPECT_FALSE(UpdaterClass::DeviceRecovery(&isp_, notBird.c_str()));
  EXPECT_FALSE(UpdaterClass::DeviceRecovery(&isp_, ""));
  EXPECT_FALSE(UpdaterClass::DeviceRecovery(nullptr, notBird.c_str()));
  EXPECT_EQ(console.Take(), "DeviceRecovery: BIRD file [" + broken +
                                "] has an invalid file format.\n"
                                "DeviceRecovery: BIRD file [" +
                                notBird +
                                "] has an invalid file format.\n"
                                "DeviceRecovery requires a serial device and BIRD filename.\n"
                                "DeviceRecovery requires a serial device and BIRD filename.\n");
  usleep(50000);
  EXPECT_EQ(peer_.Lines().size(), before);
}

// ---------------------------------------------------------------------------
// i.MX RT

class ImxLoaderStep : public ::testing::Test {
 protected:
  // Runs the loader step on a file of these blocks on `port`; the console
  // output in *out.
  aErr Transfer(const std::string& port, const std::vector<Block>& blocks, std::string* out) {
    std::string path = dir_ / "recovery.bird";
    EXPECT_TRUE(qntest::WriteFile(path, Bird(blocks)));
    BirdFileClass bird(path.c_str());
    EXPECT_GT(bird.blockCount, 0u);
    Console console;
    aErr status = _UpdateFirmware_TransferLoader_iMX(&bird, port);
    *out = console.Take();
    return status;
  }
  // The address the ROM jumped to, waiting (bounded) for the jump to arrive.
  static bool Jumped(RomOnPty& rom, uint32_t* address, int tries = 100) {
    for (int i = 0; i < tries; ++i) {
      if (rom.With([&](sdpsim::Device& d) { return d.TakeJump(address); })) return true;
      usleep(10000);
    }
    return false;
  }

  TempDir dir_;
};

TEST_F(ImxLoaderStep, BlocksGoToTheirAddressesAndTheEntryBlockIsTheJump) {
  RomOnPty rom((sdpsim::Config()));
  ASSERT_TRUE(rom.ok());
  std::string first = RandomImage(1000, 1), second = RandomImage(3000, 2);
  std::string out;
  // The firmware block is not the loader step's business; a block shorter
  // than its address field goes whole to the previous block's address.
  EXPECT_EQ(Transfer(rom.path(),
                     {At(kLoader, 0x20002000, first), At(kFirmware, 0x60000000, RandomImage(64, 3)),
                      At(kLoader, 0x20200000, second), Raw(kLoader, "\x11\x22"),
                      At(kLoaderEntry, 0x20002000, "")},
                     &out),
            aErrNone);
  EXPECT_EQ(out,
            "Firmware_Recovery via Serial Interface (iMX):\n"
            "Writting Block: 0, size 1000, address: 536879104\n"
            "Loader Transfer Successful\n"
            "Writting Block: 1, size 3000, address: 538968064\n"
            "Loader Transfer Successful\n"
            "Writting Block: 2, size 2, address: 538968064\n"
            "Loader Transfer Successful\n");
  uint32_t jump = 0;
  ASSERT_TRUE(Jumped(rom, &jump));
  EXPECT_EQ(jump, 0x20002000u);
  std::vector<uint8_t> ram;
  rom.With([&](sdpsim::Device& d) { return d.Peek(0x20002000, 1000, &ram); });
  EXPECT_TRUE(std::string(ram.begin(), ram.end()) == first);
  second.replace(0, 2, "\x11\x22");
  rom.With([&](sdpsim::Device& d) { return d.Peek(0x20200000, 3000, &ram); });
  EXPECT_TRUE(std::string(ram.begin(), ram.end()) == second);
}

TEST_F(ImxLoaderStep, FailedBlockOrPortEndsTheStepWithoutAJump) {
  sdpsim::Config config;
  config.writeFail = true;
  RomOnPty rom(config);
  ASSERT_TRUE(rom.ok());
  std::vector<Block> blocks{At(kLoader, 0x20002000, RandomImage(100, 5)),
                            At(kLoader, 0x20003000, RandomImage(100, 6))};
  std::string out;
  EXPECT_EQ(Transfer(rom.path(), blocks, &out), aErrConnection);
  EXPECT_EQ(out,
            "Firmware_Recovery via Serial Interface (iMX):\n"
            "Writting Block: 0, size 100, address: 536879104\n"
            "Loader Transfer Unsuccessful\n");
  uint32_t jump = 0;
  EXPECT_FALSE(Jumped(rom, &jump, 1));

  EXPECT_EQ(Transfer(dir_ / "no-such-tty", blocks, &out), aErrIO);
  EXPECT_EQ(out, "Firmware_Recovery via Serial Interface (iMX):\n");
}

TEST(ImxFingerprint, PrintedAsTwoHexWordsWithoutLeadingZeros) {
  sdpsim::Config config;
  config.fingerprint = 0x0000000100000002ull;
  RomOnPty rom(config);
  ASSERT_TRUE(rom.ok());
  testing::internal::CaptureStdout();
  EXPECT_EQ(UpdaterClass::GetFingerPrint_iMX(rom.path()), 0x0000000100000002ull);
  EXPECT_EQ(UpdaterClass::GetFingerPrint_iMX("/nonexistent/tty-for-sdp"), 0u);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Fetching Fingerprint via Serial Interface (iMX):\nFingerprint: 0x12\n"
            "Fetching Fingerprint via Serial Interface (iMX):\nError initializing Loader");
}

}  // namespace
