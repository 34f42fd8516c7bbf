// The LPC17xx boot-ROM simulator: its protocol core driven directly, and the
// tool on its pseudo-terminal driven by lpc21isp.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/TestSupport.h"
#include "tools/qn-lpcsim/LpcIsp.h"

namespace {

using lpcsim::Config;
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

// A synchronised device with echo off, so replies are the return lines only.
void Ready(Device& device) {
  Synchronise(device);
  ASSERT_EQ("A 0\r\n0\r\n", Feed(device, "A 0\r\n"));
}

std::vector<uint8_t> Pattern(size_t n, unsigned seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = (uint8_t)(i * 7 + seed + (i >> 8));
  return v;
}

TEST(LpcSimGo, GoStopsListeningAndResetReturnsToTheHandshakeKeepingFlash) {
  Device device{Config()};
  Ready(device);
  EXPECT_FALSE(device.VectorsValid());  // erased flash sums to 8 * 0xFFFFFFFF
  ASSERT_EQ("0\r\n", Feed(device, "U 23130\r\n"));
  ASSERT_EQ("0\r\n", Feed(device, "P 3 3\r\n"));
  ASSERT_EQ("0\r\n", Feed(device, "C 12288 268435456 256\r\n"));  // zero RAM into flash
  ASSERT_EQ("0\r\n", Feed(device, "G 0 T\r\n"));
  uint32_t address = 1;
  char mode = 0;
  ASSERT_TRUE(device.TakeGo(&address, &mode));
  EXPECT_EQ(0u, address);
  EXPECT_EQ('T', mode);
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

class LpcSimTool : public ::testing::Test {
 protected:
  // Starts the simulator with extra options; returns the terminal path.
  std::string Start(std::vector<std::string> options) {
    std::vector<std::string> argv = {qntest::ToolPath("qn-lpcsim"), "--link", dir_ / "tty",
                                     "--dump", dir_ / "flash.bin"};
    argv.insert(argv.end(), options.begin(), options.end());
    sim_.reset(new qntest::Background(argv));
    std::string path = sim_->WaitForLine("/dev/", 5000);
    EXPECT_FALSE(path.empty()) << "simulator did not start: " << sim_->Output();
    return dir_ / "tty";
  }

  qntest::TempDir dir_;
  std::unique_ptr<qntest::Background> sim_;
};

// lpc21isp is an ISP client written outside this project; if it cannot
// program the simulator, the simulator is wrong.
class LpcSimPeer : public LpcSimTool {
 protected:
  void SetUp() override {
    if (access("/usr/bin/lpc21isp", X_OK) != 0)
      FAIL() << "lpc21isp is not installed (scripts/deps.sh installs it)";
  }

  // Programs `image` with lpc21isp and checks the flash dump.
  void ProgramAndCheck(const std::vector<std::string>& simOptions) {
    std::vector<uint8_t> image = Pattern(20000, 11);
    ASSERT_TRUE(qntest::WriteFile(dir_ / "image.bin", std::string(image.begin(), image.end())));
    std::string tty = Start(simOptions);
    qntest::RunOptions options;
    options.timeoutMs = 60000;
    qntest::RunResult r = qntest::Run(
        {"/usr/bin/lpc21isp", "-bin", dir_ / "image.bin", tty, "115200", "14746"}, options);
    ASSERT_EQ(0, r.status) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("LPC1768")) << r.out;
    EXPECT_FALSE(sim_->WaitForLine("go to 0x00000000 (Thumb), vector checksum valid").empty())
        << sim_->Output();
    // The ROM wants the first eight vector words to sum to zero; lpc21isp
    // patches word 7 to make it so.
    uint32_t sum = 0;
    for (int i = 0; i < 7; ++i) {
      sum += (uint32_t)image[i * 4] | (uint32_t)image[i * 4 + 1] << 8 |
             (uint32_t)image[i * 4 + 2] << 16 | (uint32_t)image[i * 4 + 3] << 24;
    }
    uint32_t word7 = 0u - sum;
    for (int k = 0; k < 4; ++k) image[28 + k] = (uint8_t)(word7 >> (8 * k));
    std::string flash = qntest::ReadFile(dir_ / "flash.bin");
    ASSERT_EQ(512u * 1024u, flash.size());
    EXPECT_TRUE(std::vector<uint8_t>(flash.begin(), flash.begin() + image.size()) == image)
        << "image differs";
    // Sectors past the image stay erased.
    EXPECT_EQ(std::string(flash.size() - 0x5000, '\xFF'), flash.substr(0x5000));
  }
};

// Forced RESEND answers and latency on top of a plain programming run.
TEST_F(LpcSimPeer, Lpc21ispProgramsABinaryImageThroughResendsAndLatency) {
  ProgramAndCheck({"--resend-at", "2,5", "--latency-ms", "3"});
  EXPECT_NE(std::string::npos, sim_->Output().find("checksum 2: RESEND (forced)"));
}

// lpcisp (lpctools) opens an ISP session in one run and uses it in later
// runs: the simulator keeps the part's state across opens of its terminal.
TEST_F(LpcSimPeer, LpcispSplitsOneSessionOverSeveralRuns) {
  std::string tty = Start({"--serial", "1,2,3,4"});
  const std::vector<std::vector<std::string>> runs = {
      {"-s"}, {"unlock"}, {"prepare-for-write", "1", "1"}, {"erase", "1", "1"},
      {"blank-check", "1", "1"}, {"read-uid"}};
  qntest::RunResult r;
  for (const auto& run : runs) {
    std::vector<std::string> argv{"/usr/bin/lpcisp", tty};
    argv.insert(argv.end(), run.begin(), run.end());
    r = qntest::Run(argv);
    ASSERT_EQ(0, r.status) << run[0] << r.out << r.err;
  }
  EXPECT_NE(std::string::npos, r.out.find("0x00000001")) << r.out;
}

}  // namespace
