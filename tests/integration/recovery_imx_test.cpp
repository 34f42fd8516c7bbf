// "-U -t RECOVER" on the i.MX RT path: the real Updater against the simulated
// serial download boot ROM, on a pseudo-terminal (qn-usbemu --imx-serial)
// or as the HID device of the emulated USB bus (qn-usbemu
// --imx), with the update server on loopback, all inside a private network
// namespace. In the complete recoveries the device turns into a USB module
// running the loader when the ROM starts it (qn-usbemu --imx-becomes).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/Lab.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace qntest;

const char kSerial[] = "5A5AC0DE";
const char kBuild[] = "77";
// The simulated chip's fingerprint: fuse words CFG1 (high) and CFG0 (low).
const char kFingerprint[] = "fingerprint=0000000A1234ABCD";
const char kFingerprintWords[] =
    "\tGot device fingerprint [ 00000000 00000000 0000000A 1234ABCD ]\n";
const char kZeroWords[] = "\tGot device fingerprint [ 00000000 00000000 00000000 00000000 ]\n";
const char kNoSync[] =
    "Firmware_Recovery via Serial Interface:\n"
    "ERROR ==> Syncing Failed. Is this board provisioned?\n";
const char kFetching[] = "Fetching Fingerprint via Serial Interface (iMX):\n";
const char kLoaderStep[] = "Firmware_Recovery via Serial Interface (iMX):\n";
// The started loader answers as a USB module with the device's serial
// number: the emulated bus plugs it in when the ROM jumps to the loader.
const char kLoaderModule[] = "serial=5A5AC0DE,model=4";

// The "Update time" line varies; everything else is compared byte for byte.
std::string WithoutUpdateTime(const std::string& out) {
  return ReplaceAll(out, "Update time: [0-9.]+ sec\n", "Update time: T sec\n");
}

class RecoveryImx : public PrivateNetworkTest {
 protected:
  std::string Image(const std::string& name, int size, int seed) {
    std::string path = work_ / (name + ".bin");
    RunResult r = RunTool("birdtool", {"gen-image", "--size", std::to_string(size), "--seed",
                                       std::to_string(seed), "-o", path});
    EXPECT_EQ(r.status, 0) << r.err;
    return path;
  }

  // A recovery file for the device: two loader blocks, a block too short to
  // hold an address (it goes whole to the address before it), a firmware
  // block and the loader's entry.
  std::string Pack(const std::string& name) {
    std::string out = work_ / name;
    EXPECT_TRUE(WriteFile(work_ / "short.bin", "\x11\x22"));
    std::string why;
    EXPECT_TRUE(PackBird(
        {"-o", out, "--loader", "0x20002000:" + Image("loader1", 1000, 1), "--loader",
         "0x20004000:" + Image("loader2", 3000, 2), "--block", "0:" + (work_ / "short.bin"),
         "--firmware", "0x60000000:" + Image("firmware", 5000, 3), "--loader-entry", "0x20002000",
         "--info", std::string(kBuild) + ",1.2.3," + kSerial + ",QN-RT", "--stamp", "1.2.3,77"},
        &why))
        << why;
    return out;
  }

  // The update server knows the chip's fingerprint (0 0 HIGH LOW) as build
  // 77 of the device.
  std::unique_ptr<UpdateServer> Server(const std::string& bird) {
    ServerDevice device{kSerial, "QN-RT", kBuild, {{kBuild, {"1.2.3", bird}}}};
    std::unique_ptr<UpdateServer> server(new UpdateServer(
        work_ / "fw", {device}, {std::string("0 0 A 1234ABCD ") + kSerial + " " + kBuild}));
    EXPECT_TRUE(server->ready());
    return server;
  }

  std::string Store() const { return StoreDir(home_.path()); }

  TempDir home_;
  TempDir work_;
};

// The user's file, no server: the recovery goes ahead with "-f" and the
// device named with "-d". A silent ROM gets no write; a ROM that refuses a
// block ends the loader step there: the next block is not sent and there is
// no jump. Either way the run ends with the cleanup's error line.
TEST_F(RecoveryImx, FailedLoaderStepEndsWithTheCleanupErrorLine) {
  std::string bird = Pack("mine.bird");
  const struct {
    const char* rom;
    std::string middle;
    std::string writes;  // the writes the ROM saw
  } cases[] = {
      {",silent",
       "Error: No ack from iMX device\n" + std::string(kZeroWords) + kLoaderStep +
           "Error: No ack from iMX device\n",
       ""},
      {",write-fail",
       "Fingerprint: 0x00\n" + std::string(kZeroWords) + kLoaderStep +
           "Loader Transfer Unsuccessful\n",
       "imx serial write 0x20002000 1000 bytes (not stored)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rom);
    TempDir dir;
    const std::string tty = dir / "tty", trace = dir / "trace";
    RunResult r = RunUpdaterOnUsbBus(home_.path(), {"--imx-serial", tty + c.rom, "--trace", trace},
                                     {"-U", "-t", "RECOVER", "-s", tty, "-f", bird, "-d", kSerial,
                                      "-u", "http://127.0.0.1:1/cgi/u"});
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_EQ(
        WithoutUpdateTime(r.out),
        kNoSync + std::string(kFetching) + c.middle + "Device Error [" + kSerial +
            "] ==> [25, Connection error].\nError transfering firmware on device [" + kSerial +
            "]\nUpdate time: T sec\nEND of Firmware_Recovery via Serial Interface(" + tty + ")\n");
    std::string seen = ReadFile(trace), writes;
    for (const std::string& line : Lines(seen))
      if (line.find("imx serial write") != std::string::npos) writes += line + "\n";
    EXPECT_EQ(writes, c.writes) << seen;
    EXPECT_EQ(seen.find("jump"), std::string::npos) << seen;
  }
}

// Complete recoveries: on a pseudo-terminal of the emulator itself (so that
// the ROM's jump can put the loader's module on the bus), where the LPC
// attempt first leaves its bytes on the line, with a ROM that drops a partial
// command after a pause and one that keeps it for ever; and on the HID ROM.
// A USB discovery afterwards shows the module running the firmware stamped
// into the transferred image.
TEST_F(RecoveryImx, RecoveryEndsWithTheModuleRunningTheNewFirmware) {
  auto server = Server(Pack("77.bird"));
  for (const char* rom : {"serial", "serial,keep-partial", "USB"}) {
    SCOPED_TRACE(rom);
    qntest::Run({"/bin/rm", "-rf", home_.path() + "/.vorlaine"});
    TempDir dir;
    const bool hid = std::string(rom) == "USB";
    const std::string port = hid ? "USB" : dir / "tty", trace = dir / "trace";
    std::vector<std::string> bus{"--imx-becomes", kLoaderModule, "--trace", trace};
    if (hid) {
      bus.insert(bus.begin(), {"--imx", kFingerprint});
    } else {
      std::string mode = std::string(rom).substr(6);
      bus.insert(bus.begin(), {"--imx-serial", port + "," + kFingerprint + mode});
    }
    // The Updater (its output ends with "== exit N\n"), then a USB discovery.
    RunResult r = RunOnUsbBus(
        home_.path(), bus,
        {"/bin/sh", "-c", "\"$0\" \"$@\"; echo \"== exit $?\"; sleep 0.5; \"$0\" -D -t USB",
         UpdaterPath(), "-U", "-t", "RECOVER", "-s", port, "-u", server->url()});
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    std::string out = WithoutUpdateTime(r.out);
    const std::string start = (hid ? "" : kNoSync) + std::string(kFetching) +
                              "Fingerprint: 0xA1234ABCD\n" + kFingerprintWords + kLoaderStep +
                              "Loader Transfer Successful\nLoader Transfer Successful\n"
                              "Loader Transfer Successful\n"
                              "Transferring firmware block 0, 5004 bytes\n";
    EXPECT_EQ(out.substr(0, start.size()), start) << out;
    for (const std::string& line :
         {std::string("Transferred 1 blocks, 5004 total bytes\n"),
          std::string("Completed updating firmware on device [") + kSerial +
              "]\nUpdate time: T sec\nEND of Firmware_Recovery via Serial Interface(" + port +
              ")\n== exit 0\n",
          std::string("    ") + kSerial +
              "  02       02      Tarlinx        1.2.3 (77)         \n"})
      EXPECT_NE(out.find(line), std::string::npos) << line << out;
    // The module appears when the ROM jumps to the loader.
    std::string seen = ReadFile(trace);
    size_t jump = seen.find((hid ? ""
                                 : "imx serial write 0x20002000 1000 bytes\n"
                                   "imx serial write 0x20004000 3000 bytes\n"
                                   "imx serial write 0x20004000 2 bytes\n") +
                            std::string("imx jump to 0x20002000\n"));
    EXPECT_NE(jump, std::string::npos) << seen;
    EXPECT_NE(seen.find("5A5AC0DE plugged\n", jump), std::string::npos) << seen;
    EXPECT_NE(ReadFile(Store() + "/.settings")
                  .find("LAST_TRANSFER_VERSION=" + Store() + "/RECOVER/77.bird\n"),
              std::string::npos);
    EXPECT_NE(ReadFile(Store() + "/.history")
                  .find("Update successful. Transferred 1 blocks, 5004 total bytes"),
              std::string::npos);
  }
}

TEST_F(RecoveryImx, LowerCaseUsbIsASerialPortName) {
  auto server = Server(Pack("77.bird"));
  // The HID ROM is on the bus, but "usb" names a serial port (that does
  // not exist), so the ROM is never asked.
  RunResult r = RunUpdaterOnUsbBus(home_.path(), {"--imx", kFingerprint, "--stats"},
                                   {"-U", "-t", "RECOVER", "-s", "usb", "-u", server->url()});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_EQ(r.out, std::string("Firmware_Recovery via Serial Interface:\n"
                               "ERROR ==> Could not open serial port.\n") +
                       kFetching + "Error initializing Loader" + kZeroWords +
                       "ERROR ==> Could not read the chip fingerprint through [usb]; nothing "
                       "recovered.\n");
  EXPECT_NE(r.err.find("hid-reports=0"), std::string::npos) << r.err;
}

}  // namespace
