// The LPC17xx boot-ROM simulator: its protocol core driven directly, and the
// tool on its pseudo-terminal driven by lpc21isp.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/TestSupport.h"
#include "tools/qn-lpcsim/LpcIsp.h"

namespace {

using lpcsim::Device;

// Feeds `input` and returns everything the ROM sent, echo included.
std::string Feed(Device& device, const std::string& input) {
  for (unsigned char c : input) device.Receive(c);
  std::string out;
  for (const Device::Chunk& chunk : device.TakeOutput()) out += chunk.bytes;
  return out;
}

// A device that has been through the handshake, echo still on.
void Synchronise(Device& device) {
  ASSERT_EQ("Synchronized\r\n", Feed(device, "?"));
  ASSERT_EQ("Synchronized\r\nOK\r\n", Feed(device, "Synchronized\r\n"));
  ASSERT_EQ("14746\r\nOK\r\n", Feed(device, "14746\r\n"));
}

// Where G jumps and the vector checksum are checked through the Updater's
// recoveries (tests/integration/recovery_lpc_test.cpp); after G the ROM does
// not listen, and a reset brings back the handshake and the lock but not the
// erased flash.
TEST(LpcSimGo, GoStopsListeningAndResetReturnsToTheHandshakeKeepingFlash) {
  Device device{lpcsim::Config()};
  Synchronise(device);
  ASSERT_EQ("A 0\r\n0\r\n", Feed(device, "A 0\r\n"));  // echo off: only the return lines
  EXPECT_FALSE(device.VectorsValid());                 // erased flash sums to 8 * 0xFFFFFFFF
  ASSERT_EQ("0\r\n", Feed(device, "U 23130\r\n"));
  ASSERT_EQ("0\r\n", Feed(device, "P 3 3\r\n"));
  ASSERT_EQ("0\r\n", Feed(device, "C 12288 268435456 256\r\n"));  // zero RAM into flash
  ASSERT_EQ("0\r\n", Feed(device, "G 0 T\r\n"));
  EXPECT_EQ("", Feed(device, "J\r\n?"));
  device.Reset();
  EXPECT_FALSE(device.running());
  EXPECT_EQ("", Feed(device, "J\r\n"));
  Synchronise(device);
  EXPECT_TRUE(device.echo());
  EXPECT_EQ("E 3 3\r\n15\r\n", Feed(device, "E 3 3\r\n"));  // locked again
  std::vector<uint8_t> flash;
  ASSERT_TRUE(device.Peek(0x3000, 4, &flash));
  EXPECT_EQ(std::vector<uint8_t>(4, 0), flash);
}

// --- the tool on its pseudo-terminal -------------------------------------

// lpc21isp is an ISP client written outside this project; if it cannot
// program the simulator (through forced RESEND answers and latency), the
// simulator is wrong.
TEST(LpcSimTool, Lpc21ispProgramsABinaryImageThroughResendsAndLatency) {
  ASSERT_EQ(access("/usr/bin/lpc21isp", X_OK), 0) << "scripts/deps.sh installs lpc21isp";
  qntest::TempDir dir;
  std::vector<uint8_t> image(20000);
  for (size_t i = 0; i < image.size(); ++i) image[i] = (uint8_t)(i * 7 + 11 + (i >> 8));
  ASSERT_TRUE(qntest::WriteFile(dir / "image.bin", std::string(image.begin(), image.end())));
  qntest::Background sim({qntest::ToolPath("qn-lpcsim"), "--link", dir / "tty", "--dump",
                          dir / "flash.bin", "--resend-at", "2,5", "--latency-ms", "3"});
  ASSERT_FALSE(sim.WaitForLine("/dev/", 5000).empty()) << sim.Output();
  qntest::RunResult r =
      qntest::Run({"/usr/bin/lpc21isp", "-bin", dir / "image.bin", dir / "tty", "115200", "14746"});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  EXPECT_NE(std::string::npos, r.out.find("LPC1768")) << r.out;
  EXPECT_FALSE(sim.WaitForLine("go to 0x00000000 (Thumb), vector checksum valid").empty())
      << sim.Output();
  EXPECT_NE(std::string::npos, sim.Output().find("checksum 2: RESEND (forced)"));
  // The ROM wants the first eight vector words to sum to zero; lpc21isp
  // patches word 7 to make it so.
  uint32_t sum = 0;
  for (int i = 0; i < 28; ++i) sum += (uint32_t)image[i] << (8 * (i % 4));
  for (int k = 0; k < 4; ++k) image[28 + k] = (uint8_t)((0u - sum) >> (8 * k));
  std::string flash = qntest::ReadFile(dir / "flash.bin");
  ASSERT_EQ(512u * 1024u, flash.size());
  EXPECT_TRUE(std::vector<uint8_t>(flash.begin(), flash.begin() + image.size()) == image)
      << "image differs";
  // Sectors past the image stay erased.
  EXPECT_EQ(std::string(flash.size() - 0x5000, '\xFF'), flash.substr(0x5000));
}

}  // namespace
