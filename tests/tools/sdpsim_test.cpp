// The i.MX RT serial download boot-ROM simulator: its protocol core over the
// serial and HID framings, and the tool on its pseudo-terminal driven by
// imx_uart.
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/TestSupport.h"
#include "tools/qn-sdpsim/SdpRom.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string Str(const Bytes& b) { return std::string(b.begin(), b.end()); }

// A little-endian word (the host's order).
std::string Le(uint32_t v) { return std::string((const char*)&v, 4); }

const std::string kHab = Le(sdpsim::kHabOpen);

std::string Cmd(uint16_t type, uint32_t address, uint8_t format, uint32_t count) {
  return Str(sdpsim::EncodeCommand({type, address, format, count, 0}));
}

// A serial session: device and framer with a helper that sends bytes and
// returns what came back.
struct Serial {
  explicit Serial(const sdpsim::Config& config = sdpsim::Config())
      : device(config), framer(device) {}
  std::string Send(const std::string& bytes) {
    framer.Receive((const uint8_t*)bytes.data(), bytes.size());
    return framer.TakeOutput();
  }
  sdpsim::Device device;
  sdpsim::SerialFramer framer;
};

// The fuse words, the partial command kept or dropped after a pause, writes
// the ROM interrupts or refuses, and the jump are exercised by the i.MX
// recoveries (tests/integration/recovery_imx_test.cpp) and the SDP loader
// tests; here are the closed HAB state, split commands, over-long reads,
// writes outside RAM, the quiet spell after a failure and a reset.
TEST(SdpSimSerial, StatusSplitCommandsFailuresAndReset) {
  sdpsim::Config config;
  config.hab = sdpsim::kHabClosed;
  Serial s(config);
  const std::string hab = Le(sdpsim::kHabClosed);
  EXPECT_EQ("\x23\x45\x45\x23", s.Send("\x23\x45\x45\x23"));
  // A command split over several reads is answered once complete.
  std::string status = Cmd(sdpsim::kErrorStatus, 0, 0, 0);
  EXPECT_EQ("", s.Send(status.substr(0, 7)));
  EXPECT_EQ(hab + Le(sdpsim::kStatusOk), s.Send(status.substr(7)));
  // A huge count is cut to what the ROM sends.
  EXPECT_EQ(4u + 0x10000u, s.Send(Cmd(sdpsim::kReadRegister, 0x40000000, 0x20, 0xFFFFFFFF)).size());

  // A write outside RAM fails without the completion word.
  Serial outside;
  EXPECT_EQ(kHab + Le(sdpsim::kStatusFailed),
            outside.Send(Cmd(sdpsim::kWriteFile, 0x30000000, 0x20, 8) + "12345678"));
  EXPECT_EQ("", outside.device.DumpWritten());
  // After an interrupted write and a quiet spell the ROM takes commands again.
  config = sdpsim::Config();
  config.unsolicitedAt = 1024;
  Serial w(config);
  EXPECT_EQ("", w.Send(Cmd(sdpsim::kWriteFile, 0x20000000, 0x20, 3000) + std::string(1023, 'x')));
  EXPECT_EQ(kHab + Le(sdpsim::kStatusFailed), w.Send("x"));
  w.framer.Idle(50);
  w.framer.Idle(150);
  EXPECT_FALSE(w.device.WantsData());
  EXPECT_EQ(kHab + Le(sdpsim::kStatusFailed), w.Send(status));
  EXPECT_EQ("", w.device.DumpWritten());

  // After the jump the ROM is silent; a reset brings it back, partial command or not.
  Serial j;
  EXPECT_EQ(kHab, j.Send(Cmd(sdpsim::kJumpAddress, 0x20000400, 0, 0)));
  EXPECT_EQ("", j.Send("\x23\x45\x45\x23" + status));
  j.Send(status.substr(0, 5));
  j.framer.Reset();
  EXPECT_FALSE(j.device.jumped());
  EXPECT_EQ(kHab + Le(sdpsim::kStatusOk), j.Send(status));
}

// --- the tool on its pseudo-terminal -------------------------------------

// imx_uart (from imx-usb-loader) is an SDP client written outside this
// project: it must be able to load an image into the simulator and jump,
// also when the simulator keeps partial commands.
TEST(SdpSimTool, ImxUartLoadsAnImageAndJumps) {
  ASSERT_EQ(access("/usr/bin/imx_uart", X_OK), 0) << "scripts/deps.sh installs imx-usb-loader";
  for (const char* mode : {"--hab=open", "--keep-partial"}) {
    SCOPED_TRACE(mode);
    qntest::TempDir dir;
    // A RAM image for 0x20000000 with its vector table at 0x400 and boot data
    // at 0x420 that says where the image goes and how long it is.
    Bytes image(8192);
    for (size_t i = 0; i < image.size(); ++i) image[i] = (uint8_t)(i * 13 + 5 + (i >> 9));
    const uint32_t ivt[8] = {0x412000D1, 0x20002001, 0, 0, 0x20000420, 0x20000400, 0, 0};
    const uint32_t boot[3] = {0x20000000, 8192, 0};
    memcpy(&image[0x400], ivt, sizeof(ivt));  // the words are little-endian, as on the host
    memcpy(&image[0x420], boot, sizeof(boot));
    ASSERT_TRUE(qntest::WriteFile(dir / "image.bin", Str(image)));
    ASSERT_TRUE(qntest::WriteFile(
        dir / "rt1050.conf", "mx_rt1050\nhid,1024,0x20200000,0x20000000,128K,0x20200000,256K\n"));
    const std::string tty = dir / "tty";
    qntest::Background sim(
        {qntest::ToolPath("qn-sdpsim"), "--link", tty, "--dump", dir / "ram.bin", mode});
    ASSERT_FALSE(sim.WaitForLine("/dev/", 5000).empty()) << sim.Output();
    // -n: a pseudo-terminal has no RTS/CTS lines.
    qntest::Background uart(
        {"/usr/bin/imx_uart", "-d", "-n", tty, dir / "rt1050.conf", dir / "image.bin"});
    // After the jump imx_uart keeps reading the port; it is stopped here.
    EXPECT_EQ("qn-sdpsim: jump to 0x20000400", sim.WaitForLine("jump to", 15000))
        << sim.Output() << uart.Output();
    uart.Stop();
    EXPECT_NE(std::string::npos,
              uart.Output().find("HAB security state: development mode (0x56787856)"))
        << uart.Output();
    EXPECT_NE(std::string::npos, sim.Output().find("qn-sdpsim: write 0x20000000 8192 bytes\n"));
    EXPECT_EQ(Le(0x20000000) + Le(8192) + Str(image), qntest::ReadFile(dir / "ram.bin"));
  }
}

}  // namespace
