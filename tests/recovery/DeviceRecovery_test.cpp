// The recovery procedures against the simulated boot ROMs, for what the
// Updater's runs (tests/integration) do not reach: a 4-byte firmware image
// ends the LPC block loop; the i.MX loader step's short block and entry block.
#include <gtest/gtest.h>

#include <stdint.h>

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
const uint8_t kLoader = 0, kFirmware = 1, kLoaderEntry = 5;

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

}  // namespace
