// The emulated USB bus: what its devices look like (descriptors, control
// requests, command-line descriptions, the HID responders), and its plumbing
// with libusb and hidapi through qn-usbprobe running inside qn-usbemu.
#include "tools/qn-usbemu/UsbEmu.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace {

using qntest::ReadFile;
using qntest::RunResult;
using qntest::TempDir;
using usbemu::UsbModule;

uint16_t Le16(const std::vector<uint8_t>& d, size_t at) {
  return uint16_t(d[at] | (d[at + 1] << 8));
}

// The descriptors after the device descriptor, split by their own lengths;
// fails when a length runs past the end or is zero.
std::vector<std::vector<uint8_t>> SplitConfiguration(const std::vector<uint8_t>& all) {
  std::vector<std::vector<uint8_t>> parts;
  size_t at = 18;
  while (at < all.size()) {
    size_t length = all[at];
    if (length < 2 || at + length > all.size()) {
      ADD_FAILURE() << "descriptor at " << at << " has length " << length;
      break;
    }
    parts.emplace_back(all.begin() + at, all.begin() + at + length);
    at += length;
  }
  return parts;
}

TEST(UsbEmuDescriptors, ModuleHasTheIdentityAndOneLinkInterfaceWithBulkEndpoints) {
  std::vector<uint8_t> all = usbemu::ModuleDescriptors(0x0104);
  ASSERT_GE(all.size(), 18u);
  EXPECT_EQ(all[0], 18);
  EXPECT_EQ(all[1], 0x01);
  EXPECT_EQ(Le16(all, 8), 0x24FF);
  EXPECT_EQ(Le16(all, 10), 0x0104);
  EXPECT_EQ(all[16], usbemu::kSerialIndex);
  EXPECT_EQ(all[17], 1);  // one configuration

  std::vector<std::vector<uint8_t>> parts = SplitConfiguration(all);
  ASSERT_EQ(parts.size(), 4u);
  EXPECT_EQ(parts[0][1], 0x02);
  EXPECT_EQ(Le16(parts[0], 2), all.size() - 18) << "wTotalLength";
  EXPECT_EQ(parts[0][4], 1);  // interfaces
  const std::vector<uint8_t>& interface = parts[1];
  EXPECT_EQ(interface[1], 0x04);
  EXPECT_EQ(interface[4], 2);  // endpoints
  EXPECT_EQ(interface[5], 0xFF);
  EXPECT_EQ(interface[6], 0x88);
  EXPECT_EQ(interface[7], 0x10);
  std::map<uint8_t, uint8_t> endpoints;  // address -> attributes
  for (size_t i = 2; i < parts.size(); i++) {
    EXPECT_EQ(parts[i][1], 0x05);
    endpoints[parts[i][2]] = parts[i][3];
  }
  EXPECT_EQ(endpoints, (std::map<uint8_t, uint8_t>{{0x02, 0x02}, {0x81, 0x02}}));
  // String descriptors are UTF-16LE, cut to what one descriptor can hold.
  EXPECT_EQ(usbemu::StringDescriptor("AB"), (std::vector<uint8_t>{6, 3, 'A', 0, 'B', 0}));
  EXPECT_EQ(usbemu::StringDescriptor(std::string(300, 'x')).size(), 254u);
}


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
  ASSERT_TRUE(usbemu::ParseUsbModuleSpec("serial=abcd,model=13", &module, &error)) << error;
  EXPECT_EQ(module.productId, 13);
  EXPECT_EQ(module.serialString, "0000ABCD");
  ASSERT_TRUE(usbemu::ParseUsbModuleSpec(
      "pid=8004,serial=40F5849A,usb-serial=40f5849a,busy,denied,kernel-node=1,stall-out=2:5",
      &module, &error))
      << error;
  EXPECT_EQ(module.productId, 0x8004);
  EXPECT_EQ(module.serialString, "40f5849a");
  EXPECT_EQ(module.config.faults.maxLinks, 0) << "busy belongs to the module simulator";
  EXPECT_TRUE(module.denied && module.kernelNode);
  EXPECT_EQ(module.stallOut, (std::set<uint64_t>{2, 5}));
  unsigned delay = 99;
  ASSERT_TRUE(usbemu::ParseImxBecomesSpec("delay-ms=250,serial=5A5AC0DE", &module, &delay, &error))
      << error;
  EXPECT_TRUE(module.config.loaderRunning);
  EXPECT_EQ(delay, 250u);
  usbemu::ImxSerial serial;
  ASSERT_TRUE(usbemu::ParseImxSerialSpec("/tmp/x/tty,fingerprint=A1234ABCD,baud=115200", &serial,
                                         &error))
      << error;
  EXPECT_EQ(serial.link, "/tmp/x/tty");
  EXPECT_EQ(serial.config.fingerprint, 0xA1234ABCDull);
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

TEST(UsbEmuSysfs, ModuleEntryCarriesItsDescriptorsAndASafeSerialAttribute) {
  UsbModule module;
  std::string error;
  ASSERT_TRUE(
      usbemu::ParseUsbModuleSpec("serial=1,usb-serial=a\x01"
                                 "b\\c",
                                 &module, &error));
  std::string text = usbemu::ModuleSysfs(module, 3, 4);
  EXPECT_NE(text.find("P: /devices/pci0000:00/0000:00:14.0/usb1/1-3\n"), std::string::npos);
  EXPECT_NE(text.find("N: bus/usb/001/004\n"), std::string::npos);
  EXPECT_NE(text.find("A: devnum=4\\n\n"), std::string::npos);
  EXPECT_NE(text.find("H: descriptors=" + usbemu::Hex(usbemu::ModuleDescriptors(module.productId)) +
                      "\n"),
            std::string::npos);
  // One line per attribute whatever the serial string holds.
  EXPECT_NE(text.find("A: serial=a_b_c\\n\n"), std::string::npos) << text;
  EXPECT_EQ(usbemu::ModuleDevNode(4), "/dev/bus/usb/001/004");
  EXPECT_EQ(usbemu::KernelNodePath(0x12ABCD), "/dev/quillnode.0012ABCD");
}

// --- the bus with real libusb and hidapi clients ----------------------------

RunResult OnBus(const std::vector<std::string>& bus, const std::vector<std::string>& command) {
  std::vector<std::string> argv{qntest::ToolPath("qn-usbemu")};
  argv.insert(argv.end(), bus.begin(), bus.end());
  argv.push_back("--");
  argv.insert(argv.end(), command.begin(), command.end());
  qntest::RunOptions options;
  options.timeoutMs = 30000;
  return qntest::Run(argv, options);
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
    EXPECT_EQ(ReadFile(dir / "trace"), "0012ABCD claim\n" + c.trace +
                                           "0012ABCD OUT 20\n0012ABCD release\n0012ABCD link closed\n");
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

TEST(UsbEmuBus, AReadWithNothingPendingTimesOutAsNotReady) {
  TempDir dir;
  RunResult r = OnBus({"--stats", "--module", "serial=0012ABCD"}, {Probe(), "read", "0012ABCD"});
  EXPECT_EQ(r.out, "read: error 11\n") << r.err;
  // The bulk IN transfer was given up by libusb after its time-out.
  EXPECT_NE(r.err.find(" discards=1 "), std::string::npos) << r.err;
}

TEST(UsbEmuBus, OpeningAMissingModuleFailsAsNotFound) {
  RunResult r = OnBus({"--module", "serial=0012ABCD"}, {Probe(), "write", "0012ABCE", "1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "open: error 3\n");
  // A serial string in lower case is not the module's identity.
  r = OnBus({"--module", "serial=0012ABCD,usb-serial=0012abcd"},
            {Probe(), "write", "0012ABCD", "1"});
  EXPECT_EQ(r.out, "open: error 3\n");
}

TEST(UsbEmuBus, AnIdleLinkStaysUpWithoutPollingTheBus) {
  RunResult r =
      OnBus({"--stats", "--module", "serial=0012ABCD"}, {Probe(), "idle", "0012ABCD", "1"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("link status 2"), std::string::npos) << r.out;
  // libusb wakes only when a transfer can be reaped: ten read time-outs in a
  // second and the module's heartbeats, not thousands of empty reaps.
  size_t at = r.err.find("empty-reaps=");
  ASSERT_NE(at, std::string::npos) << r.err;
  EXPECT_LT(std::stoul(r.err.substr(at + 12)), 200u) << r.err;
}

TEST(UsbEmuBus, RomOverHidReadsTheFingerprintFuses) {
  RunResult r = OnBus({"--imx", "fingerprint=1122334455667788"},
                      {Probe(), "hid", "1FC9", "0130", "010101401F442020000000040000000000",
                       "010101401F441020000000040000000000"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("read 5: 03 56 78 78 56\nread 65: 04 44 33 22 11 00"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("read 65: 04 88 77 66 55 00"), std::string::npos) << r.out;
}

// The i.MX ROM's commands over HID, as hex for qn-usbprobe: a WRITE_FILE of
// 1024 bytes to 0x20000000 with its data report, and a JUMP_ADDRESS to
// 0x20000400.
const char kWriteFile[] = "0104042000000020000004000000000000";
const char kJump[] = "010B0B2000040000000000000000000000";

// Trace lines about the swap and the module, in order (the HID reports left
// out).
std::string SwapEvents(const std::string& trace) {
  std::string out;
  std::stringstream in(trace);
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, 8, "imx OUT ") != 0 && line.compare(0, 7, "imx IN ") != 0)
      out += line + "\n";
  return out;
}

TEST(UsbEmuBus, TheRomsJumpSwapsTheHidDeviceForTheLoadersModule) {
  TempDir dir;
  const std::string probe = Probe();
  // Before the jump the module is not on the bus; at the jump the ROM
  // answers its HAB state and leaves (the open device fails, a new open
  // finds nothing); the module that comes instead takes a link.
  const std::string script = probe + " write 40F5849A 1; " + probe + " hid 1FC9 0130 " +
                             kWriteFile + " 02" + std::string(2048, '0') + " " + kJump +
                             "; sleep 0.3; " + probe + " write 40F5849A 1; " + probe +
                             " hid 1FC9 0130; exit 0";
  RunResult r = OnBus({"--trace", dir / "trace", "--stats", "--imx", "", "--imx-becomes",
                       "serial=40F5849A,model=4"},
                      {"/bin/sh", "-c", script});
  EXPECT_EQ(r.status, 0) << r.err;
  std::string zeros;
  for (int i = 0; i < 60; i++) zeros += " 00";
  EXPECT_EQ(r.out,
            "open: error 3\n"
            "write 17\nwrite 1025\nwrite 17\n"
            "read 5: 03 56 78 78 56\nread 65: 04 88 88 88 88" +
                zeros +
                "\n"
                "read 5: 03 56 78 78 56\n"
                "error\n"
                "write 1: error 0\n"
                "hid_open: no device\n");
  EXPECT_EQ(SwapEvents(ReadFile(dir / "trace")),
            "imx jump to 0x20000400\n"
            "imx unplugged\n"
            "40F5849A plugged\n"
            "40F5849A claim\n40F5849A OUT 1\n40F5849A release\n40F5849A link closed\n");
  EXPECT_NE(r.err.find("qn-usbemu: imx: 1024 bytes written, jumped\n"), std::string::npos) << r.err;
}

TEST(UsbEmuBus, ExitStatusIsTheProgramsAndOptionsAreChecked) {
  RunResult r = OnBus({}, {"/bin/sh", "-c", "exit 7"});
  EXPECT_EQ(r.status, 7);
  r = OnBus({}, {"/nonexistent/program"});
  EXPECT_EQ(r.status, 127);
  r = qntest::Run(
      {qntest::ToolPath("qn-usbemu"), "--module", "serial=1,pid=nope", "--", "/bin/true"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "qn-usbemu: bad value for module key \"pid\": \"nope\"\n");
  r = qntest::Run({qntest::ToolPath("qn-usbemu"), "--module", "serial=1", "--kernel-node", "2",
                   "--", "/bin/true"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "qn-usbemu: --kernel-node 00000002 names no module on the bus\n");
  r = qntest::Run({qntest::ToolPath("qn-usbemu"), "--imx-becomes", "serial=1", "--", "/bin/true"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "qn-usbemu: --imx-becomes needs --imx or --imx-serial\n");
  r = qntest::Run({qntest::ToolPath("qn-usbemu"), "--imx", "--module", "serial=1", "--imx-becomes",
                   "serial=1", "--", "/bin/true"});
  EXPECT_EQ(r.status, 2) << "the module is on the bus already";
  EXPECT_EQ(r.err, "qn-usbemu: module serial already taken by --imx-becomes\n");
}

}  // namespace
