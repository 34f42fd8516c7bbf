// The serial ISP recovery procedure against the simulated LPC17xx boot ROM:
// which chunks go where, what ends the block loop, what is refused before
// the chip is touched, and what the flash holds afterwards.
#include <gtest/gtest.h>

#include <stdint.h>
#include <zlib.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "app/Log.h"
#include "recovery/NXPSerial.h"
#include "tests/recovery/PtyPeer.h"
#include "tests/support/TestSupport.h"
#include "updater/Updater.h"

namespace {

using qntest::PtyPeer;
using qntest::TempDir;

const uint32_t kWords[4] = {0x0A000001, 0x0B000002, 0x0C000003, 0x0D000004};

void PutBE32(std::string* out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out->push_back((char)(uint8_t)(v >> shift));
}

std::string RandomImage(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string out(n, '\0');
  for (char& c : out) c = (char)(uint8_t)gen();
  return out;
}

// The image as a recovery file carries it for the chip `words`.
std::string Scrambled(const std::string& plain, const uint32_t words[4]) {
  uint8_t key[16];
  for (int w = 0; w < 4; ++w)
    for (int b = 0; b < 4; ++b) key[4 * w + b] = (uint8_t)(words[w] >> (24 - 8 * b));
  std::string out(plain.size(), '\0');
  uint8_t prev = 0;
  for (size_t i = 0; i < plain.size(); ++i) {
    out[i] = (char)((uint8_t)plain[i] ^ key[i % 16] ^ prev);
    prev = (uint8_t)plain[i];
  }
  return out;
}

struct Block {
  uint8_t type;
  std::string data;
};

Block Firmware(uint32_t address, const std::string& plain) {
  std::string data;
  PutBE32(&data, address);
  return {1, data + Scrambled(plain, kWords)};
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
  uint32_t sum = 0;
  for (char c : body) sum += (uint8_t)c;
  PutBE32(&body, sum);
  uLongf size = compressBound(body.size());
  std::string z(size, '\0');
  compress2((Bytef*)&z[0], &size, (const Bytef*)body.data(), body.size(), 9);
  z.resize(size);
  return std::string("bird\x01\x01", 6) + z;
}

// The image with its vector checksum, as it must land at address 0.
std::string WithVectorChecksum(std::string image) {
  uint32_t sum = 0;
  for (int w = 0; w < 7; ++w) {
    uint32_t word = 0;
    for (int b = 3; b >= 0; --b) word = word << 8 | (uint8_t)image[4 * w + b];
    sum += word;
  }
  uint32_t check = 0u - sum;
  for (int b = 0; b < 4; ++b) image[28 + b] = (char)(uint8_t)(check >> (8 * b));
  return image;
}

std::string FlashAt(const std::vector<uint8_t>& flash, uint32_t address, size_t n) {
  return std::string(flash.begin() + address, flash.begin() + address + n);
}

bool Sent(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

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
    Log::ActivatePackage(DEBUG_Updater);
  }
  void TearDown() override {
    Log::DeactivatePackage(DEBUG_Updater);
    UpdaterClass::echo_bytes = false;
  }
  // Runs the procedure on a file with these blocks; its console output in
  // *out.
  bool Recover(const std::vector<Block>& blocks, std::string* out) {
    std::string path = dir_ / "recovery.bird";
    EXPECT_TRUE(qntest::WriteFile(path, Bird(blocks)));
    testing::internal::CaptureStdout();
    bool ok = UpdaterClass::DeviceRecovery(&isp_, path.c_str());
    *out = testing::internal::GetCapturedStdout();
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
                           "Transferring firmware block: 10000 bytes to address 0x00008000\n",
                           "Transferring firmware 4096 bytes to address 0x00008000\n",
                           "Transferring firmware 4096 bytes to address 0x00009000\n",
                           "Transferring firmware 1808 bytes to address 0x0000A000\n",
                           "\t Write 1808 bytes to address 0x10001000\n",
                           "\t Prepare to copy to sector(s) 10 to 10\n",
                           "\t Copy 4096 bytes from 10001000 to 0000A000\n",
                           "Transferred 2 blocks, 10256 total bytes\nRebooting Device\n"}) {
    EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
  }
  std::vector<std::string> lines = peer_.Lines();
  EXPECT_TRUE(Sent(lines, "C 32768 268439552 4096"));
  EXPECT_TRUE(Sent(lines, "C 36864 268439552 4096"));
  EXPECT_TRUE(Sent(lines, "C 40960 268439552 4096"));
  EXPECT_TRUE(Sent(lines, "P 0 29"));
  EXPECT_TRUE(Sent(lines, "E 0 29"));
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

TEST_F(DeviceRecoveryTest, EchoKeptOnDuringTheTransfer) {
  UpdaterClass::echo_bytes = true;
  std::string image = RandomImage(2000, 5);
  std::string out;
  ASSERT_TRUE(Recover({Firmware(0, image)}, &out)) << out;
  EXPECT_FALSE(Sent(peer_.Lines(), "A 0"));
  EXPECT_TRUE(FlashAt(peer_.Flash(), 0, 2000) == WithVectorChecksum(image));
}

TEST_F(DeviceRecoveryTest, FilesThatCannotBeUsedAreRefusedBeforeTheChipIsTouched) {
  size_t before = peer_.Lines().size();
  std::string out;
  std::string serialOffsets;
  PutBE32(&serialOffsets, 64);
  PutBE32(&serialOffsets, 128);
  EXPECT_FALSE(Recover({Firmware(0, RandomImage(512, 6)), {2, serialOffsets}}, &out));
  EXPECT_EQ(out,
            "Recovery command does not currently support an OFFLINE BIRD file (because it is not "
            "device specific).\n");

  // A firmware block too short to hold its address; no firmware at all.
  EXPECT_FALSE(Recover({Firmware(0, RandomImage(512, 7)), {1, std::string("\x00\x01", 2)}}, &out));
  EXPECT_NE(out.find("has an invalid file format.\n"), std::string::npos) << out;
  EXPECT_FALSE(Recover({{4, std::string(64, ' ')}}, &out));
  EXPECT_NE(out.find("has an invalid file format.\n"), std::string::npos) << out;

  // A header whose body does not inflate.
  std::string broken = dir_ / "broken.bird";
  ASSERT_TRUE(qntest::WriteFile(broken, std::string("bird\x01\x01", 6) + "not a zlib stream"));
  testing::internal::CaptureStdout();
  EXPECT_FALSE(UpdaterClass::DeviceRecovery(&isp_, broken.c_str()));
  EXPECT_NE(testing::internal::GetCapturedStdout().find("has an invalid file format.\n"),
            std::string::npos);

  std::string notBird = dir_ / "not.bird";
  ASSERT_TRUE(qntest::WriteFile(notBird, "this is not firmware"));
  testing::internal::CaptureStdout();
  EXPECT_FALSE(UpdaterClass::DeviceRecovery(&isp_, notBird.c_str()));
  EXPECT_FALSE(UpdaterClass::DeviceRecovery(&isp_, ""));
  EXPECT_FALSE(UpdaterClass::DeviceRecovery(nullptr, notBird.c_str()));
  out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "DeviceRecovery: BIRD file [" + notBird +
                     "] has an invalid file format.\n"
                     "DeviceRecovery requires a serial device and BIRD filename.\n"
                     "DeviceRecovery requires a serial device and BIRD filename.\n");

  usleep(50000);
  EXPECT_EQ(peer_.Lines().size(), before);
}

TEST_F(DeviceRecoveryTest, ImageThatDoesNotFitTheFlashFailsWithoutStarting) {
  // 0x7F000 + 8192 runs past the end of the 512 KB flash: the boot ROM
  // refuses the second copy.
  std::string out;
  EXPECT_FALSE(Recover({Firmware(0x7F000, RandomImage(8192, 8))}, &out));
  EXPECT_NE(out.find("Recovery Error transfering data to device[0A000001] ==> [2, Invalid "
                     "parameter].\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("Rebooting Device"), std::string::npos);
  EXPECT_FALSE(Sent(peer_.Lines(), "G 0 T"));
}

}  // namespace
