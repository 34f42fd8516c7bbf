// The i.MX recovery steps that talk to the boot ROM, against the simulated
// ROM on a pseudo-terminal: where loader blocks go, where the loader is
// started, what ends the loader step, and the fingerprint read.
#include "updater/DeviceRecovery_iMX.h"

#include <gtest/gtest.h>
#include <stdint.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "app/Log.h"
#include "tests/recovery/SdpRomPty.h"
#include "tests/support/TestSupport.h"
#include "updater/BirdFile.h"
#include "updater/Updater.h"

namespace {

using qntest::RomOnPty;
using qntest::TempDir;

void PutBE32(std::string* out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out->push_back((char)(uint8_t)(v >> shift));
}

struct Block {
  uint8_t type;
  std::string data;
};

Block At(uint8_t type, uint32_t address, const std::string& bytes) {
  std::string data;
  PutBE32(&data, address);
  return {type, data + bytes};
}

// Random bytes: a BIRD body may expand at most eightfold.
std::string Pattern(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string out(n, '\0');
  for (char& c : out) c = (char)(uint8_t)gen();
  return out;
}

// A BIRD file: signature, version 1.1, zlib body of count, records, checksum.
std::string Bird(const std::vector<Block>& blocks) {
  std::string body;
  PutBE32(&body, (uint32_t)blocks.size());
  for (const Block& b : blocks) {
    body.push_back((char)b.type);
    PutBE32(&body, (uint32_t)b.data.size());
    body += b.data;
  }
  PutBE32(&body, 0);
  uLongf size = compressBound(body.size());
  std::string z(size, '\0');
  compress2((Bytef*)&z[0], &size, (const Bytef*)body.data(), body.size(), 9);
  z.resize(size);
  return std::string("bird\x01\x01", 6) + z;
}

const uint8_t kLoader = 0;
const uint8_t kFirmware = 1;
const uint8_t kLoaderEntry = 5;

class ImxLoaderStep : public ::testing::Test {
 protected:
  // Runs the loader step on a file of these blocks against `rom`; the
  // console output in *out.
  aErr Transfer(RomOnPty& rom, const std::vector<Block>& blocks, std::string* out,
                const std::string& port = std::string()) {
    std::string path = dir_ / "recovery.bird";
    EXPECT_TRUE(qntest::WriteFile(path, Bird(blocks)));
    BirdFileClass bird(path.c_str());
    EXPECT_GT(bird.blockCount, 0u);
    Log::ActivatePackage(DEBUG_Updater);
    testing::internal::CaptureStdout();
    aErr status = _UpdateFirmware_TransferLoader_iMX(&bird, port.empty() ? rom.path() : port);
    *out = testing::internal::GetCapturedStdout();
    Log::DeactivatePackage(DEBUG_Updater);
    return status;
  }
  // The address the ROM jumped to, waiting (bounded) for the jump to arrive.
  static bool Jumped(RomOnPty& rom, uint32_t* address) {
    for (int i = 0; i < 100; ++i) {
      if (rom.With([&](sdpsim::Device& d) { return d.TakeJump(address); })) return true;
      usleep(10000);
    }
    return false;
  }
  static std::string Ram(RomOnPty& rom, uint32_t address, size_t n) {
    std::vector<uint8_t> bytes;
    rom.With([&](sdpsim::Device& d) { return d.Peek(address, n, &bytes); });
    return std::string(bytes.begin(), bytes.end());
  }

  TempDir dir_;
};

TEST_F(ImxLoaderStep, BlocksGoToTheirAddressesAndTheEntryBlockIsTheJump) {
  RomOnPty rom((sdpsim::Config()));
  ASSERT_TRUE(rom.ok());
  std::string first = Pattern(1000, 1), second = Pattern(3000, 2);
  std::string out;
  // The firmware block is not the loader step's business; a block shorter
  // than its address field goes whole to the previous block's address.
  EXPECT_EQ(Transfer(rom,
                     {At(kLoader, 0x20002000, first),
                      At(kFirmware, 0x60000000, Pattern(64, 3)),
                      At(kLoader, 0x20200000, second),
                      {kLoader, "\x11\x22"},
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
  EXPECT_TRUE(Ram(rom, 0x20002000, 1000) == first);
  second.replace(0, 2, "\x11\x22");
  EXPECT_TRUE(Ram(rom, 0x20200000, 3000) == second);
}

TEST_F(ImxLoaderStep, FailedBlockEndsTheStepWithoutAJump) {
  sdpsim::Config config;
  config.writeFail = true;
  RomOnPty rom(config);
  ASSERT_TRUE(rom.ok());
  std::string out;
  EXPECT_EQ(
      Transfer(rom,
               {At(kLoader, 0x20002000, Pattern(100, 5)), At(kLoader, 0x20003000, Pattern(100, 6))},
               &out),
      aErrConnection);
  EXPECT_EQ(out,
            "Firmware_Recovery via Serial Interface (iMX):\n"
            "Writting Block: 0, size 100, address: 536879104\n"
            "Loader Transfer Unsuccessful\n");
  uint32_t jump = 0;
  EXPECT_FALSE(rom.With([&](sdpsim::Device& d) { return d.TakeJump(&jump); }));
}

TEST_F(ImxLoaderStep, PortThatCannotBeOpenedWritesNothing) {
  RomOnPty rom((sdpsim::Config()));
  std::string out;
  EXPECT_EQ(Transfer(rom, {At(kLoader, 0x20002000, Pattern(100, 5))}, &out, (dir_ / "no-such-tty")),
            aErrIO);
  EXPECT_EQ(out, "Firmware_Recovery via Serial Interface (iMX):\n");
}

TEST(ImxFingerprint, PrintedAsTwoHexWordsWithoutLeadingZeros) {
  sdpsim::Config config;
  config.fingerprint = 0x0000000100000002ull;
  RomOnPty rom(config);
  ASSERT_TRUE(rom.ok());
  testing::internal::CaptureStdout();
  uint64_t value = UpdaterClass::GetFingerPrint_iMX(rom.path());
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(value, 0x0000000100000002ull);
  EXPECT_EQ(out, "Fetching Fingerprint via Serial Interface (iMX):\nFingerprint: 0x12\n");

  testing::internal::CaptureStdout();
  value = UpdaterClass::GetFingerPrint_iMX("/nonexistent/tty-for-sdp");
  out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(value, 0u);
  EXPECT_EQ(out, "Fetching Fingerprint via Serial Interface (iMX):\nError initializing Loader");
}

}  // namespace
