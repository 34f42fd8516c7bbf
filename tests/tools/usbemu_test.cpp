// The emulated USB bus: what its devices look like (descriptors, control
// requests, command-line descriptions), and its plumbing with libusb through
// qn-usbprobe running inside qn-usbemu. The i.MX ROM's HID device, its
// fingerprint and its swap for the loader's module at the jump are exercised
// by the i.MX recovery over HID in the integration tests.
#include "tools/qn-usbemu/UsbEmu.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace {

using qntest::ReadFile;
using qntest::RunResult;
using qntest::TempDir;
using usbemu::UsbModule;

TEST(UsbEmuDescriptors, NoControlAnswerIsLongerThanTheHostAskedFor) {
  UsbModule module;
  std::string error;
  ASSERT_TRUE(usbemu::ParseUsbModuleSpec("serial=0012ABCD,usb-serial=" + std::string(126, 'S'),
                                         &module, &error));
  uint32_t state = 12345;
  auto next = [&state] {
    state = state * 1103515245u + 12345u;
    return uint8_t(state >> 16);
  };
  // String descriptors are UTF-16LE, cut to what one descriptor can hold.
  EXPECT_EQ(usbemu::StringDescriptor("AB"), (std::vector<uint8_t>{6, 3, 'A', 0, 'B', 0}));
  EXPECT_EQ(usbemu::StringDescriptor(std::string(300, 'x')).size(), 254u);
  for (int i = 0; i < 20000; i++) {
    uint8_t setup[8];
    for (uint8_t& b : setup) b = next();
    if (i % 2) {  // half of them GET_DESCRIPTOR, so that answers are common
      setup[0] = 0x80;
      setup[1] = 0x06;
      setup[3] = uint8_t(1 + next() % 3);
    }
    std::vector<uint8_t> data;
    if (usbemu::ModuleControlRequest(module, setup, &data)) {
      EXPECT_LE(data.size(), size_t(setup[6] | (setup[7] << 8))) << i;
    } else {
      EXPECT_TRUE(data.empty()) << i;
    }
  }
}

TEST(UsbEmuSpec, DescriptionsParseWithDefaultsFromTheModuleOrAreRefusedWithAReason) {
  UsbModule module;
  std::string error;
  // Serials, models and the module simulator's keys on the bus are exercised
  // by the integration tests.
  ASSERT_TRUE(usbemu::ParseUsbModuleSpec("serial=1,kernel-node=1", &module, &error)) << error;
  EXPECT_TRUE(module.kernelNode);
  unsigned delay = 99;
  ASSERT_TRUE(usbemu::ParseImxBecomesSpec("delay-ms=250,serial=5A5AC0DE", &module, &delay, &error))
      << error;
  EXPECT_TRUE(module.config.loaderRunning);
  EXPECT_EQ(delay, 250u);
  usbemu::ImxSerial serial;
  ASSERT_TRUE(
      usbemu::ParseImxSerialSpec("/tmp/x/tty,fingerprint=A1234ABCD,baud=115200", &serial, &error))
      << error;
  EXPECT_EQ(serial.baud, 115200u);

  for (const char* bad : {"serial=1,pid=10000", "serial=1,node", "serial=1,port=0", "model=4",
                          "serial=1,stall-out=0", "serial=1,stall-in=1:", "serial=1,colour=red"}) {
    error.clear();
    EXPECT_FALSE(usbemu::ParseUsbModuleSpec(bad, &module, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
  for (const char* bad : {"serial=1,delay-ms=60001", "serial=1,delay-ms=x", "serial=2,behind=1",
                          "serial=1,kernel-node", ""}) {
    error.clear();
    EXPECT_FALSE(usbemu::ParseImxBecomesSpec(bad, &module, &delay, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
  EXPECT_FALSE(usbemu::ParseImxSerialSpec("tty,baud=fast", &serial, &error));
  EXPECT_EQ(error, "bad value for i.MX key \"baud\": \"fast\"");
  EXPECT_FALSE(usbemu::ParseImxSerialSpec("tty,echo", &serial, &error))
      << "the echo responder is HID only";
  EXPECT_FALSE(usbemu::MakeImxResponder("hab=ajar", &error));
  EXPECT_FALSE(usbemu::MakeImxResponder("fingerprint=zz", &error));
}

TEST(UsbEmuSysfs, TheSerialAttributeStaysOnOneLine) {
  UsbModule module;
  std::string error;
  ASSERT_TRUE(
      usbemu::ParseUsbModuleSpec("serial=1,usb-serial=a\x01"
                                 "b\\c",
                                 &module, &error));
  // libusb enumerates the bus from these entries in every bus test; what
  // matters here is one line per attribute whatever the serial string holds.
  std::string text = usbemu::ModuleSysfs(module, 3, 4);
  EXPECT_NE(text.find("A: serial=a_b_c\\n\n"), std::string::npos) << text;
}

// --- the bus with real libusb and hidapi clients ----------------------------

RunResult OnBus(const std::vector<std::string>& bus, const std::vector<std::string>& command) {
  return qntest::RunOnUsbBus("", bus, command, 30000);
}

std::string Probe() { return qntest::ToolPath("qn-usbprobe"); }

TEST(UsbEmuBus, WritesGoOutInBulkTransfersOfFiftyBytesAndAStallSendsTheChunkAgain) {
  const struct {
    const char* module;
    std::string trace;
  } cases[] = {
      {"serial=0012ABCD", "0012ABCD OUT 50\n0012ABCD OUT 50\n"},
      {"serial=0012ABCD,stall-out=2",
       "0012ABCD OUT 50\n0012ABCD OUT 50 stall\n0012ABCD clear halt 02\n0012ABCD OUT 50\n"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    RunResult r = OnBus({"--trace", dir / "trace", "--module", c.module},
                        {Probe(), "write", "0012ABCD", "120"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "write 120: error 0\n");
    EXPECT_EQ(
        ReadFile(dir / "trace"),
        "0012ABCD claim\n" + c.trace + "0012ABCD OUT 20\n0012ABCD release\n0012ABCD link closed\n");
  }
}

TEST(UsbEmuBus, AStalledReadClearsTheHaltAndTheLinkRunsOn) {
  TempDir dir;
  // Heartbeats every 100 ms, so that bytes flow after the stall.
  RunResult r =
      OnBus({"--trace", dir / "trace", "--module", "serial=0012ABCD,stall-in=2,heartbeat=100"},
            {Probe(), "idle", "0012ABCD", "0.5"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  std::string trace = ReadFile(dir / "trace");
  size_t stall = trace.find("0012ABCD IN stall\n");
  ASSERT_NE(stall, std::string::npos) << trace;
  EXPECT_NE(trace.find("0012ABCD clear halt 81\n", stall), std::string::npos) << trace;
  EXPECT_NE(trace.find("0012ABCD IN ", stall + 18), std::string::npos) << "reads go on\n" << trace;
}

// The stream keeps one bulk IN transfer pending, with no time-out: a read
// before anything came is not ready at once, and closing the stream cancels
// the pending transfer (the bus counts it as discarded).
TEST(UsbEmuBus, AReadBeforeAnythingCameIsNotReadyAndClosingCancelsThePendingTransfer) {
  RunResult r = OnBus({"--stats", "--module", "serial=0012ABCD"}, {Probe(), "read", "0012ABCD"});
  EXPECT_EQ(r.out, "read: error 11\n") << r.err;
  EXPECT_NE(r.err.find(" discards=1 "), std::string::npos) << r.err;
}

TEST(UsbEmuBus, AnIdleLinkStaysUpWithoutPollingTheBus) {
  RunResult r =
      OnBus({"--stats", "--module", "serial=0012ABCD"}, {Probe(), "idle", "0012ABCD", "1"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("link status 2"), std::string::npos) << r.out;
  // libusb wakes only when a transfer can be reaped (the module's heartbeats),
  // not for thousands of empty reaps.
  size_t at = r.err.find("empty-reaps=");
  ASSERT_NE(at, std::string::npos) << r.err;
  EXPECT_LT(std::stoul(r.err.substr(at + 12)), 200u) << r.err;
}

TEST(UsbEmuBus, ExitStatusIsTheProgramsAndOptionsAreChecked) {
  // The program's own status comes back as in every integration run.
  RunResult r = OnBus({}, {"/nonexistent/program"});
  EXPECT_EQ(r.status, 127);
  // Bad command lines end with status 2 before anything runs.
  const std::pair<std::vector<std::string>, std::string> bad[] = {
      {{"--module", "serial=1,pid=nope"}, "bad value for module key \"pid\": \"nope\""},
      {{"--module", "serial=1", "--kernel-node", "2"},
       "--kernel-node 00000002 names no module on the bus"},
      {{"--imx-becomes", "serial=1"}, "--imx-becomes needs --imx or --imx-serial"},
      {{"--imx", "--module", "serial=1", "--imx-becomes", "serial=1"},
       "module serial already taken by --imx-becomes"},
  };
  for (const auto& c : bad) {
    r = OnBus(c.first, {"/bin/true"});
    EXPECT_EQ(r.status, 2) << c.second;
    EXPECT_EQ(r.err, "qn-usbemu: " + c.second + "\n");
  }
}

}  // namespace
