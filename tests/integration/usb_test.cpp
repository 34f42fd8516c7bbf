// The Updater over USB, end to end: the real binary, unmodified, on the
// emulated bus of qn-usbemu (libusb and the kernel-driver node path), with
// simulated modules behind the bulk endpoints.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/Lab.h"
#include "tests/support/TestSupport.h"

namespace {

using qntest::FileExists;
using qntest::Lines;
using qntest::ReadFile;
using qntest::RunResult;
using qntest::TempDir;

const char kUsbTitle[] = "Discovering USB Devices:";
const char kUsbHeader[] =
    "    Device    Module   Router  Model          Firmware Version                   ";
const char kTcpTitle[] = "Discovering TCPIP Devices:";
const char kTcpHeader[] =
    "    Device    Module   Router  Model          Firmware Version    IP address     ";

const char kModuleA[] = "serial=0012ABCD,model=4,version=2.1.3,build=12345";
const char kRowA[] = "    0012ABCD  02       02      Tarlinx        2.1.3 (12345)      ";
const char kModuleB[] = "serial=40F5849A,model=13,addr=04,version=1.0.7,build=7";
const char kRowB[] = "    40F5849A  04       04      Router         1.0.7 (7)          ";

std::vector<std::string> Sorted(std::vector<std::string> lines) {
  std::sort(lines.begin(), lines.end());
  return lines;
}

// What discovery records for a module it found.
std::string Recorded(const std::string& link, const std::string& serial, const std::string& model,
                     int number, int module, const std::string& version) {
  return "LINK_TYPE=" + link + "\nMODEL_NAME=" + model +
         "\nMODEL_NUMBER=" + std::to_string(number) + "\nMODULE_NUMBER=" + std::to_string(module) +
         "\nSERIAL_NUMBER=0x" + serial + "\nVERSIONx=  " + version + "\n";
}

class UsbBusTest : public ::testing::Test {
 protected:
  RunResult RunOnBus(const std::vector<std::string>& bus, const std::vector<std::string>& args) {
    RunResult r = qntest::RunUpdaterOnUsbBus(home_.path(), bus, args);
    EXPECT_FALSE(r.timedOut);
    return r;
  }
  std::string Settings(const std::string& serial) {
    return ReadFile(qntest::DeviceDir(home_.path(), serial) + "/.settings");
  }
  TempDir home_;
};

TEST_F(UsbBusTest, ListsTwoModulesWithTheirRowsSettingsHistoryAndInformation) {
  RunResult r = RunOnBus({"--module", kModuleA, "--module", kModuleB}, {"-D", "-t", "USB"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 4u) << r.out;
  EXPECT_EQ(lines[0], kUsbTitle);
  EXPECT_EQ(lines[1], kUsbHeader);
  // Rows come in libusb's device order; nothing sorts them.
  EXPECT_EQ(Sorted({lines[2], lines[3]}), Sorted({kRowA, kRowB}));

  EXPECT_EQ(Settings("0012ABCD"), Recorded("USB", "0012ABCD", "Tarlinx", 4, 2, "2.1.3"));
  EXPECT_EQ(Settings("40F5849A"), Recorded("USB", "40F5849A", "Router", 13, 4, "1.0.7"));
  // A second discovery finds the entries and adds no creation lines.
  r = RunOnBus({"--module", kModuleA, "--module", kModuleB}, {"-D", "-t", "USB"});
  EXPECT_EQ(r.status, 0);
  std::vector<std::string> history =
      Lines(ReadFile(qntest::DeviceDir(home_.path(), "40F5849A") + "/.history"));
  ASSERT_EQ(history.size(), 2u);
  EXPECT_NE(history[0].find(" | Created device entry"), std::string::npos) << history[0];
  EXPECT_NE(history[1].find(" | Created new device directory for [40F5849A]"), std::string::npos);

  // "-I" marks a device that is on the bus with a star, one that is not with a blank.
  for (const char* mark : {"*", " "}) {
    r = RunOnBus({"--module", *mark == '*' ? kModuleA : kModuleB}, {"-I", "-d", "0012ABCD"});
    EXPECT_EQ(r.status, 0) << r.out;
    const std::string settings = std::string("\n\tSettings for device:\n\t") + mark +
                                 "[0012ABCD]\n\t  Module: 2\n\t  Model: 4 [Tarlinx]\n";
    EXPECT_EQ(r.out.compare(0, settings.size(), settings), 0) << r.out;
  }
}

TEST_F(UsbBusTest, DiscoveryWithoutLinkTypeFindsModulesOnBothTransports) {
  // The test process moves into its own network (a veth pair with the
  // multicast route); a TCP/IP module answers discovery there.
  std::string why;
  ASSERT_TRUE(qntest::EnterPrivateNetwork(&why)) << why;
  qntest::ModuleSim tcp({"serial=11111111,port=0,model=5,addr=06,version=1.0.7,build=99"});
  ASSERT_TRUE(tcp.ready()) << tcp.Output();
  RunResult r = RunOnBus({"--module", kModuleA}, {"-D"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, std::string(kUsbTitle) + "\n" + kUsbHeader + "\n" + kRowA + "\n\n" + kTcpTitle +
                       "\n" + kTcpHeader + "\n" +
                       "    11111111  06       06      Relay8         1.0.7 (99)         [" +
                       qntest::kLabAddress + "]\n\n");
  EXPECT_EQ(Settings("11111111"), Recorded("TCPIP", "11111111", "Relay8", 5, 6, "1.0.7"));
  EXPECT_EQ(Settings("0012ABCD"), Recorded("USB", "0012ABCD", "Tarlinx", 4, 2, "2.1.3"));
}

// Devices without the module identity (the USB serial string must be eight
// upper-case hexadecimal digits, the product id below 0x8000) are not
// reported. Modules that cannot be claimed, or that close their link after
// three host packets (the host sees an unplug, its transfers fail, and
// releasing the interface fails as on a real bus), give error rows and the
// run goes on. Their entries exist (first sight), but only with the link type
// of their creation: nothing the modules did not report is recorded.
TEST_F(UsbBusTest, DevicesThatAreNotModulesOrFailGiveNoRowsOrErrorRows) {
  RunResult r = RunOnBus(
      {"--module", "serial=11111111,usb-serial=1111111", "--module",
       "serial=22222222,usb-serial=222222222", "--module", "serial=3333ABCD,usb-serial=3333abcd",
       "--module", "serial=44444444,usb-serial=4444444G", "--module", "serial=55555555,pid=8000",
       "--module", "serial=66666666,pid=FF04",
       // Just below the limit: the enumeration takes the model from
       // the product id's low byte, the row from the module's answer.
       "--module", "serial=0012ABCD,model=4,pid=7F0D", "--module", "serial=77777777,busy",
       "--module", "serial=88888888,denied", "--module", "serial=99999999,close-after=3",
       "--module", kModuleB},
      {"-D", "-t", "USB"});
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 8u) << r.out;
  EXPECT_EQ(lines[0], kUsbTitle);
  EXPECT_EQ(lines[1], kUsbHeader);
  EXPECT_EQ(Sorted(std::vector<std::string>(lines.begin() + 2, lines.end())),
            Sorted({"    0012ABCD  02       02      Tarlinx        2.1.0 (1)          ",
                    "    77777777  [Error connecting: Resource busy] Device may be in use by "
                    "another process.",
                    "    88888888  [Error connecting: Connection error]",
                    "    99999999  02       FF      unknown        0.0.0 (0)          ",
                    "error release -4", kRowB}))
      << r.out;
  for (const char* serial : {"77777777", "99999999"})
    EXPECT_EQ(Settings(serial), "LINK_TYPE=USB\n");
  for (const char* serial :
       {"11111111", "22222222", "3333ABCD", "44444444", "55555555", "66666666"}) {
    EXPECT_FALSE(FileExists(qntest::DeviceDir(home_.path(), serial) + "/.settings")) << serial;
  }
}

// "-U" over USB, through libusb and through the kernel-driver node (used
// instead of libusb when it exists): discovery makes the device entry, the
// update installs a stamped image, and a discovery on the same bus then shows
// the version the module reports after its reboot.
TEST_F(UsbBusTest, UpdateOverUsb) {
  TempDir work;
  std::string image = work.path() + "/fw.bin", loader = work.path() + "/loader.bin";
  ASSERT_TRUE(qntest::WriteFile(image, std::string(3000, '\x3C')));
  ASSERT_TRUE(qntest::WriteFile(loader, std::string(300, '\x11')));
  std::string bird = work.path() + "/update.bird", log;
  ASSERT_TRUE(qntest::PackBird(
      {"-o", bird, "--loader", "0x10000000:" + loader, "--firmware", "0x0:" + image, "--info",
       "77,2.2.9,0012ABCD,Tarlinx", "--stamp", "2.2.9,77"},
      &log))
      << log;
  const std::string updater = qntest::UpdaterPath();
  const std::string script = "\"" + updater + "\" -D -t USB -d 0012ABCD > /dev/null && \"" +
                             updater + "\" -U -t USB -d 0012ABCD -f \"" + bird + "\" && \"" +
                             updater + "\" -D -t USB -d 0012ABCD";
  for (bool node : {false, true}) {
    TempDir home;
    std::string trace = home / "bus.trace";
    std::vector<std::string> bus{"--trace", trace, "--module", kModuleA};
    if (node) bus.insert(bus.end(), {"--kernel-node", "0012ABCD"});
    RunResult r = qntest::RunOnUsbBus(home.path(), bus, {"/bin/sh", "-c", script});
    ASSERT_FALSE(r.timedOut);
    std::string events = ReadFile(trace);
    EXPECT_EQ(events.find("0012ABCD node OUT") != std::string::npos, node) << events;
    EXPECT_EQ(events.find("0012ABCD claim") == std::string::npos, node) << events;
    EXPECT_EQ(r.status, 0) << (node ? "node: " : "libusb: ") << r.out << r.err;
    EXPECT_NE(r.out.find("Completed updating firmware on device [0012ABCD]\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("END Firmware Update\n"), std::string::npos);
    EXPECT_NE(r.out.find("    0012ABCD  02       02      Tarlinx        2.2.9 (77)         \n"),
              std::string::npos)
        << r.out;
    std::string settings = ReadFile(qntest::DeviceDir(home.path(), "0012ABCD") + "/.settings");
    EXPECT_NE(settings.find("LAST_TRANSFER_VERSION=" + bird), std::string::npos) << settings;
  }
}

}  // namespace
