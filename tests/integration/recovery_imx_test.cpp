// "-U -t RECOVER" on the i.MX RT path: the real Updater against the simulated
// serial download boot ROM, on a pseudo-terminal (qn-usbemu --imx-serial)
// or as the HID device of the emulated USB bus (qn-usbemu
// --imx), with the update server on loopback, all inside a private network
// namespace. In the complete recoveries the device turns into a USB module
// running the loader when the ROM starts it (qn-usbemu --imx-becomes).
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/Lab.h"
#include "tests/support/TestSupport.h"

namespace {

using qntest::FileExists;
using qntest::ReadFile;
using qntest::RunResult;
using qntest::ServerDevice;
using qntest::TempDir;
using qntest::ToolPath;
using qntest::UpdateServer;

const char kSerial[] = "5A5AC0DE";
const char kBuild[] = "77";
// The simulated chip's fuse words: CFG1 (high) and CFG0 (low).
const char kFuseHigh[] = "A";
const char kFuseLow[] = "1234ABCD";
const char kFingerprintOut[] = "Fingerprint: 0xA1234ABCD\n";
const char kFingerprintWords[] =
    "\tGot device fingerprint [ 00000000 00000000 0000000A 1234ABCD ]\n";
const char kZeroWords[] = "\tGot device fingerprint [ 00000000 00000000 00000000 00000000 ]\n";
// "-D -t USB" on a bus without modules.
const char kEmptyUsbDiscovery[] =
    "Discovering USB Devices:\n"
    "    Device    Module   Router  Model          Firmware Version                   \n";

// The "Update time" line varies; everything else is compared byte for byte.
std::string WithoutUpdateTime(const std::string& out) {
  static const std::regex time("Update time: [0-9.]+ sec\n");
  return std::regex_replace(out, time, "Update time: T sec\n");
}

class RecoveryImx : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!qntest::EnterPrivateNetwork(&why)) GTEST_SKIP() << "no private network: " << why;
    for (const char* tool : {"qn-usbemu", "qn-update-server", "birdtool"})
      if (!FileExists(ToolPath(tool))) FAIL() << tool << " is not built";
    loader1_ = Image("loader1", 1000, 1);
    loader2_ = Image("loader2", 3000, 2);
    firmware_ = Image("firmware", 5000, 3);
  }

  std::string Image(const std::string& name, int size, int seed) {
    std::string path = work_ / (name + ".bin");
    RunResult r = qntest::Run({ToolPath("birdtool"), "gen-image", "--size", std::to_string(size),
                               "--seed", std::to_string(seed), "-o", path});
    EXPECT_EQ(r.status, 0) << r.err;
    return path;
  }

  // A recovery file for the device: two loader blocks, a block too short to
  // hold an address (it goes whole to the address before it), a firmware
  // block and the loader's entry.
  std::string Pack(const std::string& name) {
    std::string out = work_ / name;
    EXPECT_TRUE(qntest::WriteFile(work_ / "short.bin", "\x11\x22"));
    std::vector<std::string> args{
        "-o",         out,
        "--loader",   "0x20002000:" + loader1_,
        "--loader",   "0x20004000:" + loader2_,
        "--block",    "0:" + (work_ / "short.bin"),
        "--firmware", "0x60000000:" + firmware_,
        "--loader-entry", "0x20002000",
        "--info",     std::string(kBuild) + ",1.2.3," + kSerial + ",QN-RT",
        "--stamp",    "1.2.3,77"};
    std::string why;
    EXPECT_TRUE(qntest::PackBird(args, &why)) << why;
    return out;
  }

  // The update server knows the chip's fingerprint (0 0 HIGH LOW) as build
  // 77 of the device.
  std::unique_ptr<UpdateServer> Server(const std::string& bird) {
    ServerDevice device;
    device.serial = kSerial;
    device.model = "QN-RT";
    device.latest = kBuild;
    device.builds.push_back({kBuild, {"1.2.3", bird}});
    std::unique_ptr<UpdateServer> server(new UpdateServer(
        work_ / "fw", {device},
        {std::string("0 0 ") + kFuseHigh + " " + kFuseLow + " " + kSerial + " " + kBuild}));
    EXPECT_TRUE(server->ready());
    return server;
  }

  // `command` on an emulated USB bus described by `bus` (qn-usbemu options;
  // empty for a bus without devices), so that the connection to the started
  // loader never looks at the machine's real USB devices.
  RunResult OnBus(const std::vector<std::string>& bus, const std::vector<std::string>& command) {
    std::vector<std::string> argv{ToolPath("qn-usbemu")};
    argv.insert(argv.end(), bus.begin(), bus.end());
    argv.push_back("--");
    argv.insert(argv.end(), command.begin(), command.end());
    qntest::RunOptions options;
    options.env["QUILLNODE_HOME"] = home_.path();
    options.timeoutMs = 60000;
    return qntest::Run(argv, options);
  }
  RunResult Run(const std::vector<std::string>& bus, std::vector<std::string> args) {
    args.insert(args.begin(), qntest::UpdaterPath());
    return OnBus(bus, args);
  }
  // On the same bus: a USB discovery that shows what is there before the
  // recovery (its output ends with "== before\n"), the Updater with `args`
  // (its output ends with "== exit N\n"), and a USB discovery that shows
  // what the module runs afterwards.
  RunResult DiscoverRunDiscover(const std::vector<std::string>& bus,
                                const std::vector<std::string>& args) {
    std::vector<std::string> script{"/bin/sh", "-c",
                                    "\"$0\" -D -t USB; echo \"== before\"; \"$0\" \"$@\"; "
                                    "echo \"== exit $?\"; sleep 0.5; \"$0\" -D -t USB",
                                    qntest::UpdaterPath()};
    script.insert(script.end(), args.begin(), args.end());
    return OnBus(bus, script);
  }

  // The checks of a complete recovery of the device with build 77: no
  // module was on the bus before it, the recovery's output, the module's
  // firmware afterwards, settings and history of the store on which the
  // procedure ran.
  void ExpectRecovered(const RunResult& r, const std::string& start, const std::string& port) {
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const std::string before = kEmptyUsbDiscovery + std::string("== before\n");
    ASSERT_EQ(r.out.substr(0, before.size()), before) << r.out;
    std::string out = WithoutUpdateTime(r.out.substr(before.size()));
    EXPECT_EQ(out.substr(0, start.size()), start) << out;
    std::string end = std::string("Transferred 1 blocks, 5004 total bytes\n");
    EXPECT_NE(out.find(end), std::string::npos) << out;
    std::string tail = std::string("Completed updating firmware on device [") + kSerial +
                       "]\nUpdate time: T sec\nEND of Firmware_Recovery via Serial Interface(" +
                       port + ")\n== exit 0\n";
    EXPECT_NE(out.find(tail), std::string::npos) << out;
    // The new firmware runs: the module reports the version and build
    // stamped into the transferred image.
    EXPECT_NE(out.find(std::string("    ") + kSerial +
                       "  02       02      Tarlinx        1.2.3 (77)         \n"),
              std::string::npos)
        << out;

    std::string settings = ReadFile(Store() + "/.settings");
    EXPECT_NE(settings.find("LAST_TRANSFER_VERSION=" + Store() + "/RECOVER/77.bird\n"),
              std::string::npos)
        << settings;
    EXPECT_NE(ReadFile(Store() + "/.history")
                  .find("Update successful. Transferred 1 blocks, 5004 total bytes"),
              std::string::npos);
  }

  std::string Store() const { return home_.path() + "/.vorlaine/updater"; }

  TempDir home_;
  TempDir work_;
  std::string loader1_, loader2_, firmware_;
};

TEST_F(RecoveryImx, SilentRomEndsWithTheCleanupErrorLine) {
  // The user's file, no server: the recovery goes ahead with "-f" and the
  // device named with "-d".
  std::string bird = Pack("mine.bird");
  const std::string tty = work_ / "tty", trace = work_ / "trace";
  RunResult r = Run({"--imx-serial", tty + ",silent", "--trace", trace},
                    {"-U", "-t", "RECOVER", "-s", tty, "-f", bird, "-d", kSerial, "-u",
                     "http://127.0.0.1:1/cgi/u"});
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_EQ(WithoutUpdateTime(r.out),
            std::string("Firmware_Recovery via Serial Interface:\n"
                        "ERROR ==> Syncing Failed. Is this board provisioned?\n"
                        "Fetching Fingerprint via Serial Interface (iMX):\n"
                        "Error: No ack from iMX device\n") +
                kZeroWords +
                "Firmware_Recovery via Serial Interface (iMX):\n"
                "Error: No ack from iMX device\n"
                "Device Error [" +
                kSerial +
                "] ==> [25, Connection error].\n"
                "Error transfering firmware on device [" +
                kSerial +
                "]\n"
                "Update time: T sec\n"
                "END of Firmware_Recovery via Serial Interface(" +
                tty + ")\n");
  EXPECT_EQ(ReadFile(trace).find("write"), std::string::npos) << ReadFile(trace);
}

// The started loader answers as a USB module with the device's serial
// number: the emulated bus plugs it in when the ROM jumps to the loader.
const char kLoaderModule[] = "serial=5A5AC0DE,model=4";

// The LPC attempt first leaves its bytes on the line; a ROM that drops a
// partial command after a pause and one that keeps it for ever both get the
// fingerprint read and the loaders.
TEST_F(RecoveryImx, SerialRecoveryEndsWithTheModuleRunningTheNewFirmware) {
  auto server = Server(Pack("77.bird"));
  for (const char* mode : {"", ",keep-partial"}) {
  SCOPED_TRACE(mode);
  qntest::Run({"/bin/rm", "-rf", home_.path() + "/.vorlaine"});
  TempDir dir;
  // The ROM on a terminal of the emulator itself, so that its jump can put
  // the loader's module on the bus.
  const std::string tty = dir / "tty";
  const std::string trace = dir / "trace";
  RunResult r = DiscoverRunDiscover(
      {"--imx-serial", tty + ",fingerprint=0000000" + kFuseHigh + kFuseLow + mode,
       "--imx-becomes", kLoaderModule, "--trace", trace},
      {"-U", "-t", "RECOVER", "-s", tty, "-u", server->url()});
  ExpectRecovered(r,
                  std::string("Firmware_Recovery via Serial Interface:\n"
                              "ERROR ==> Syncing Failed. Is this board provisioned?\n"
                              "Fetching Fingerprint via Serial Interface (iMX):\n") +
                      kFingerprintOut + kFingerprintWords +
                      "Firmware_Recovery via Serial Interface (iMX):\n"
                      "Loader Transfer Successful\n"
                      "Loader Transfer Successful\n"
                      "Loader Transfer Successful\n"
                      "Transferring firmware block 0, 5004 bytes\n",
                  tty);
  EXPECT_NE(ReadFile(trace).find("imx serial write 0x20002000 1000 bytes\n"
                                 "imx serial write 0x20004000 3000 bytes\n"
                                 "imx serial write 0x20004000 2 bytes\n"
                                 "imx jump to 0x20002000\n"
                                 "5A5AC0DE plugged\n"),
            std::string::npos)
      << ReadFile(trace);
  }
}

TEST_F(RecoveryImx, HidRecoveryEndsWithTheModuleRunningTheNewFirmware) {
  auto server = Server(Pack("77.bird"));
  RunResult r =
      DiscoverRunDiscover({"--imx", std::string("fingerprint=0000000") + kFuseHigh + kFuseLow,
                           "--imx-becomes", kLoaderModule},
                          {"-U", "-t", "RECOVER", "-s", "USB", "-u", server->url()});
  ExpectRecovered(r,
                  std::string("Fetching Fingerprint via Serial Interface (iMX):\n") +
                      kFingerprintOut + kFingerprintWords +
                      "Firmware_Recovery via Serial Interface (iMX):\n"
                      "Loader Transfer Successful\n"
                      "Loader Transfer Successful\n"
                      "Loader Transfer Successful\n"
                      "Transferring firmware block 0, 5004 bytes\n",
                  "USB");
}

TEST_F(RecoveryImx, LowerCaseUsbIsASerialPortName) {
  auto server = Server(Pack("77.bird"));
  // The HID ROM is on the bus, but "usb" names a serial port (that does
  // not exist), so the ROM is never asked.
  RunResult r = Run({"--imx", std::string("fingerprint=0000000") + kFuseHigh + kFuseLow, "--stats"},
                    {"-U", "-t", "RECOVER", "-s", "usb", "-u", server->url()});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_EQ(r.out, std::string("Firmware_Recovery via Serial Interface:\n"
                               "ERROR ==> Could not open serial port.\n"
                               "Fetching Fingerprint via Serial Interface (iMX):\n"
                               "Error initializing Loader") +
                       kZeroWords +
                       "ERROR ==> Could not read the chip fingerprint through [usb]; nothing "
                       "recovered.\n");
  EXPECT_NE(r.err.find("hid-reports=0"), std::string::npos) << r.err;
}

}  // namespace
