// "-U" for working modules, run as a user would: the Updater binary against
// simulated modules (qn-modsim) over TCP inside a private network, with the
// console output, the store and the firmware that reached the module checked.
#include <gtest/gtest.h>
#include <stdint.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/Lab.h"
#include "tests/support/TestSupport.h"

namespace {

using qntest::ExpectInOrder;
using qntest::ModuleSim;
using qntest::ReadFile;
using qntest::RunResult;
using qntest::TempDir;

const char kDevice[] = "40F5849A";
const char kNetworkDevice[] = "11112222";
// A closed port on the lab's loopback: the server cannot be reached.
const char kNoServer[] = "http://127.0.0.1:9/cgi/u";

const uint32_t kSerialOffset = 0x100;
const uint32_t kDescriptorOffset = 0x200;

// The lines a failed direct update ends with, after its own report.
const char kNoFileHint[] =
    "Could not locate a valid firmware file.\n"
    "Use either -G to get current firmware or -f option to use specific file.\n";
const std::string kNoFileTail =
    std::string(kNoFileHint) + "Firmware Update Unsuccessful\nEND Firmware Update\n";

// Progress bars (drawn and erased with carriage returns) become "<bar>", the
// elapsed time "<t>", so that the rest can be compared byte for byte.
std::string Normalize(const std::string& out) {
  std::string bars =
      qntest::ReplaceAll(out, "(\r\\[[=> ]*\\] \\( *[0-9]+% \\) )+\r {85}\r", "<bar>");
  return qntest::ReplaceAll(bars, "Update time: [0-9]+\\.[0-9]{4} sec\n", "Update time: <t> sec\n");
}

// What birdtool's "--stamp 2.1.7,4242" leaves in the last 16 image bytes.
std::string Stamped(std::string image) {
  std::string stamp = "QNFWSTMP";
  for (uint32_t v : {0x21000007u, 4242u})
    for (int shift = 24; shift >= 0; shift -= 8) stamp.push_back((char)(uint8_t)(v >> shift));
  image.replace(image.size() - 16, 16, stamp);
  return image;
}

class UpdateTest : public qntest::PrivateNetworkTest {
 protected:
  void SetUp() override {
    PrivateNetworkTest::SetUp();
    if (HasFatalFailure()) return;
    mkdir(home_.c_str(), 0755);
    mkdir(dump_.c_str(), 0755);
    firmware_ = GenImage("fw.bin", 4096, 1);
    GenImage("loader.bin", 300, 2);
  }

  std::string GenImage(const std::string& name, size_t size, int seed) {
    std::string path = work_ / name;
    RunResult r = qntest::RunTool("birdtool", {"gen-image", "--size", std::to_string(size),
                                               "--seed", std::to_string(seed), "-o", path});
    EXPECT_EQ(r.status, 0) << r.err;
    return ReadFile(path);
  }

  // A BIRD file with the loader and firmware images, the stamp and `extra`.
  std::string Bird(const std::string& name, const std::vector<std::string>& extra) {
    std::string path = work_ / name;
    std::vector<std::string> args{"-o",         path,
                                  "--loader",   "0x10000000:" + (work_ / "loader.bin"),
                                  "--firmware", "0:" + (work_ / "fw.bin"),
                                  "--stamp",    "2.1.7,4242"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::string output;
    EXPECT_TRUE(qntest::PackBird(args, &output)) << output;
    return path;
  }
  std::string DeviceBird(const std::string& serial = kDevice,
                         const std::string& model = "Tarlinx") {
    return Bird("dev-" + serial + "-" + model + ".bird",
                {"--info", "4242,2.1.7," + serial + "," + model});
  }

  void StartModules(const std::vector<std::string>& modules) {
    sim_.reset(new ModuleSim(modules, {"--dump-dir", dump_}));
    ASSERT_TRUE(sim_->ready()) << "qn-modsim did not start: " << sim_->Output();
  }
  // One module over TCP with the given extra keys.
  void StartDevice(const std::string& keys = "") {
    StartModules({"serial=" + std::string(kDevice) + ",port=0" + (keys.empty() ? "" : "," + keys)});
  }

  std::string DeviceDir(const std::string& serial = kDevice) const {
    return qntest::DeviceDir(home_, serial);
  }
  // A device directory as an earlier "-D" would have left it.
  void AddDevice(const std::string& serial = kDevice, const std::string& settings = "") {
    ASSERT_EQ(system(("mkdir -p " + DeviceDir(serial)).c_str()), 0);
    if (!settings.empty()) qntest::WriteFile(DeviceDir(serial) + "/.settings", settings);
  }
  std::string Settings(const std::string& serial = kDevice) const {
    return ReadFile(DeviceDir(serial) + "/.settings");
  }
  std::string DumpedFirmware(const std::string& serial = kDevice) const {
    return ReadFile(dump_ + "/" + serial + "-fw-00000000.bin");
  }

  // The Updater with the given arguments; the server is unreachable unless
  // "-u" is among them. Every run is bounded (a minute).
  RunResult Updater(std::vector<std::string> args) {
    if (std::find(args.begin(), args.end(), "-u") == args.end())
      args.insert(args.end(), {"-u", kNoServer});
    RunResult r = qntest::RunUpdater(home_, args);
    EXPECT_FALSE(r.timedOut) << "the Updater hung";
    return r;
  }

  void ExpectNothingRecorded() {
    EXPECT_EQ(Settings().find("LAST_TRANSFER"), std::string::npos) << Settings();
    EXPECT_EQ(ReadFile(DeviceDir() + "/.history").find("Update successful"), std::string::npos);
  }

  TempDir work_;
  std::string home_ = work_ / "home", dump_ = work_ / "dump";
  std::string firmware_;
  std::unique_ptr<ModuleSim> sim_;
};

const char kSuccessfulUpdate[] =
    "Transferring loader to device\n"
    "Transferring loader block 0, 304 bytes\n"
    "Transferred 1 blocks, 304 total bytes\n"
    "Starting Load on Device\n"
    "Transferring firmware block 0, 4100 bytes\n"
    "<bar>NETWORK: transferred 4100 of 4100 bytes\n"
    "Transferred 1 blocks, 4100 total bytes\n";

// ---- Direct updates ----------------------------------------------------------

// Discoveries run back to back while the update runs: the update record
// survives their saves, and what they learned survives the update's.
TEST_F(UpdateTest, DeviceSpecificFileIsWrittenAndRecorded) {
  StartDevice();
  AddDevice();
  std::string bird = DeviceBird();
  auto update = std::async(std::launch::async, [&] {
    return Updater({"-U", "-d", kDevice, "-t", "TCP", "-f", bird});
  });
  int discoveries = 0;
  do {
    Updater({"-D", "-d", kDevice, "-t", "TCP"});
    ++discoveries;
  } while (update.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready);
  Updater({"-D", "-d", kDevice, "-t", "TCP"});
  RunResult r = update.get();
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_GT(discoveries, 1);
  EXPECT_NE(Settings().find("MODEL_NAME=Tarlinx\n"), std::string::npos) << Settings();
  EXPECT_EQ(Normalize(r.out), std::string(kSuccessfulUpdate) +
                                  "Completed updating firmware on device [40F5849A]\n"
                                  "Update time: <t> sec\n"
                                  "END Firmware Update\n");
  EXPECT_EQ(DumpedFirmware(), Stamped(firmware_));
  EXPECT_NE(sim_->WaitForLine("reboot into new firmware version 2.1.7 build 4242", 2000), "");

  std::string settings = Settings();
  EXPECT_NE(settings.find("LAST_TRANSFER_VERSION=" + bird + "\n"), std::string::npos) << settings;
  // ctime's form: "Sun Dec  6 17:25:41 2026".
  EXPECT_TRUE(qntest::Search(settings,
                             "(^|\n)LAST_TRANSFER_DATE=[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] "
                             "[0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}\n"))
      << settings;

  ExpectInOrder(
      ReadFile(DeviceDir() + "/.history"),
      {" | Current settings:\n", " | \tSerial#:[40F5849A, 1089832090]\n", " | \tModule#:[02]\n",
       " | \tModel#:[04, Tarlinx]\n", " | \tFirmware Version:  2.1.0\n",
       " | Updating device from BIRD file: [" + bird + "]\n",
       " | Update successful. Transferred 1 blocks, 4100 total bytes\n"});
}

TEST_F(UpdateTest, OfflineFileGetsTheModulesSerialNumberInserted) {
  StartDevice("load=restart");  // the loader start needs a reconnection: not a fault
  AddDevice();
  // Without "-t" the device is looked for on USB first (there is none here),
  // then found over TCP/IP.
  std::string bird = Bird(
      "offline.bird", {"--info", "4242,2.1.7,00000000,Tarlinx", "--serial-offsets",
                       std::to_string(kSerialOffset) + "," + std::to_string(kDescriptorOffset)});
  RunResult r = Updater({"-U", "-d", kDevice, "-f", bird});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out.find("Error could not discover"), std::string::npos) << r.out;
  ExpectInOrder(r.out, {"Completed updating firmware on device [40F5849A]\n"});

  std::string expected = Stamped(firmware_);
  for (int k = 0; k < 8; ++k) {
    if (k < 4) expected[kSerialOffset + k] = (char)(uint8_t)(0x40F5849Au >> (8 * k));
    expected[kDescriptorOffset + 2 * k] = kDevice[k];
  }
  std::string dumped = DumpedFirmware();
  ASSERT_EQ(dumped.size(), expected.size());
  EXPECT_TRUE(dumped == expected) << "the image the module wrote differs from the patched image";
  EXPECT_NE(Settings().find("LAST_TRANSFER_VERSION="), std::string::npos);
  // The file on disk is left as it was.
  EXPECT_EQ(ReadFile(work_ / "fw.bin"), firmware_);
}

// Build names as the server gives them ("b12", "1.0"): "-U -G" stores the
// latest under its name and installs it, "-b" takes a stored build again and
// "-I" lists them.
TEST_F(UpdateTest, GetThenUpdateInOneRunInstallsTheLatestBuildByName) {
  std::string bird = DeviceBird();
  qntest::UpdateServer server(
      work_ / "server",
      {{kDevice,
        "Tarlinx",
        "",
        {{"4242", {"2.1.7", bird}}, {"b12", {"12", bird}}, {"1.0", {"1", bird}}}}});
  ASSERT_TRUE(server.ready());
  StartDevice();
  for (const std::string name : {"b12", "1.0", "4242"}) {
    ASSERT_TRUE(qntest::WriteFile(work_ / "server/devices/40F5849A/latest", name + "\n"));
    RunResult r = Updater({"-U", "-G", "-d", kDevice, "-t", "TCP", "-u", server.url()});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    ExpectInOrder(r.out,
                  {"\tBuild " + name + " VERIFIED.\n", "Transferring loader to device\n",
                   "Completed updating firmware on device [40F5849A]\n", "END Firmware Update\n"});
    EXPECT_EQ(ReadFile(DeviceDir() + "/" + name + ".bird"), ReadFile(bird));
    EXPECT_NE(Settings().find("LAST_TRANSFER_VERSION=" + DeviceDir() + "/" + name + ".bird\n"),
              std::string::npos)
        << Settings();
  }
  EXPECT_EQ(DumpedFirmware(), Stamped(firmware_));

  RunResult r = Updater({"-U", "-d", kDevice, "-t", "TCP", "-b", "4242"});
  EXPECT_EQ(r.status, 0) << r.out;
  ExpectInOrder(r.out, {"Completed updating firmware on device [40F5849A]\n"});
  r = Updater({"-I", "-d", kDevice});
  for (const char* name : {"b12.bird", "1.0.bird", "4242.bird"})
    EXPECT_NE(r.out.find(std::string("\t\t") + name + " ["), std::string::npos) << r.out;
}

TEST_F(UpdateTest, ModelMismatchFailsUnlessOverriddenAndALostRecordFailsTheRun) {
  StartDevice();
  AddDevice();
  std::string bird = DeviceBird(kDevice, "Relay8");

  RunResult refused = Updater({"-U", "-d", kDevice, "-t", "TCP", "-f", bird});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(Normalize(refused.out),
            "Connected device model and Bird file model do not match [Tarlinx]\n"
            "Error updating firmware on device [40F5849A]\n"
            "Update time: <t> sec\n"
            "Firmware Update Unsuccessful\n"
            "END Firmware Update\n");
  ExpectNothingRecorded();
  EXPECT_EQ(sim_->Output().find("load:"), std::string::npos) << "nothing may be transferred";

  RunResult forced = Updater({"-U", "-d", kDevice, "-t", "TCP", "-f", bird, "-OVERRIDE"});
  EXPECT_EQ(forced.status, 0) << forced.out;
  EXPECT_EQ(forced.out.find(
                "Connected device model and Bird file model do not match [Tarlinx]\n"
                "****\n***** OVERRIDING INVALID BIRD MODEL [Tarlinx] for device [40F5849A].\n****\n"
                "Transferring loader to device\n"),
            0u)
      << forced.out;
  ExpectInOrder(forced.out, {"Completed updating firmware on device [40F5849A]\n"});

  // A directory where the settings file belongs: the save cannot replace it.
  unlink((DeviceDir() + "/.settings").c_str());
  mkdir((DeviceDir() + "/.settings").c_str(), 0755);
  RunResult r = Updater({"-U", "-d", kDevice, "-t", "TCP", "-f", DeviceBird()});
  // The firmware is in the module; the lost record is reported and fails the run.
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_EQ(Normalize(r.out), std::string(kSuccessfulUpdate) +
                                  "Error: Could not save the update record in the device "
                                  "settings [" +
                                  DeviceDir() +
                                  "/.settings]: Is a directory.\n"
                                  "Completed updating firmware on device [40F5849A]\n"
                                  "Update time: <t> sec\n"
                                  "END Firmware Update\n");
}

// ---- Choosing the file -------------------------------------------------------

TEST_F(UpdateTest, MissingFilesAndUnknownDevicesAreReportedWithoutConnecting) {
  const std::string gone = work_ / "gone.bird", store = qntest::StoreDir(home_);
  const struct {
    bool known;  // the device has an entry, whose last installed file has gone
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {false,
       {"-U", "-t", "TCP"},
       "\nERROR ==> Must specify the specific device to be updated.\n\n"},
      {false,
       {"-U", "-d", kDevice, "-t", "TCP"},
       "Device is unknown. Try -D to discover device, then -U to Update firmware.\n"
       "BIRD firmware file does not exist [].\n" +
           kNoFileTail},
      {true,
       {"-U", "-d", kDevice, "-t", "TCP", "-f", gone},
       "BIRD firmware file does not exist [" + gone + "].\n" + kNoFileTail},
      {true,
       {"-U", "-d", kDevice, "-t", "TCP", "-b", "123"},
       "Given build firmware file not found [" + store + "][40F5849A][123].\n" + kNoFileTail},
      // No server: that is reported, then the last installed file is tried.
      {true,
       {"-U", "-d", kDevice, "-t", "TCP"},
       "ERROR ==> Update server [" + std::string(kNoServer) + "] failed: <why>\n" +
           "Last downloaded firmware file not found [" + gone + "].\n" +
           "Error - Invalid BIRD formmated file [" + gone + "].\n" + kNoFileTail},
  };
  for (const auto& c : cases) {
    if (c.known) AddDevice(kDevice, "LAST_TRANSFER_VERSION=" + gone + "\n");
    RunResult r = Updater(c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(qntest::ReplaceAll(r.out, "failed: [^\n]*", "failed: <why>"), c.out);
  }
}

// ---- Through a router ------------------------------------------------------

TEST_F(UpdateTest, NetworkDeviceIsUpdatedThroughItsRouterAndGetsItsRouterAddressBack) {
  // After its new firmware starts the device has router address 08; setting
  // it back works from the second attempt on.
  StartModules({"serial=40F5849A,port=0,addr=02",
                "serial=11112222,addr=04,behind=40F5849A,reboot-router=08,router-take-at=2"});
  AddDevice(kNetworkDevice);
  std::string bird = DeviceBird(kNetworkDevice);
  RunResult r = Updater({"-U", "-d", kNetworkDevice, "-r", kDevice, "-t", "TCP", "-f", bird});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(Normalize(r.out),
            "Network Update of device [11112222] via [40F5849A][00]\n"
            "Discovering Module # of Network Device [11112222] thru [40F5849A]\n"
            "Using Module #[04] for Network Device\n" +
                std::string(kSuccessfulUpdate) +
                "Resetting router number of device:[04:11112222] with module# of router[40F5849A]\n"
                "Device [11112222] may need a physical reset before router number can be reset.\n"
                "Resetting router number for network device\n"
                "Error resetting the router number for device[11112222].  8 retries remaining.\n"
                "Device [11112222] may need a physical reset before router number can be reset.\n"
                "Resetting router number for network device\n"
                "Completed updating firmware on device [11112222]\n"
                "Rebooting Device\n"
                "END Firmware Update\n");
  EXPECT_EQ(DumpedFirmware(kNetworkDevice), Stamped(firmware_));
  EXPECT_NE(Settings(kNetworkDevice).find("LAST_TRANSFER_VERSION=" + bird + "\n"),
            std::string::npos);

  // The router address was set and saved in the device at each of the two
  // attempts; the second one took (the Updater read it back).
  std::string events = sim_->Output();
  size_t firstSave = events.find("event: module 11112222 save");
  ASSERT_NE(firstSave, std::string::npos) << events;
  EXPECT_NE(events.find("event: module 11112222 save", firstSave + 1), std::string::npos) << events;
}

// A network update reports its file problems on standard error. A device
// that restarts quickly answers with the right router address when it is
// read back, and is left alone (a device still restarting does not answer,
// which counts as a wrong address and costs one reset cycle).
TEST_F(UpdateTest, NetworkUpdateFileProblemsAndARightRouterAddress) {
  StartModules(
      {"serial=40F5849A,port=0,addr=02", "serial=11112222,addr=04,behind=40F5849A,reset-ms=20"});
  AddDevice(kNetworkDevice);
  std::string gone = work_ / "gone.bird";
  RunResult r = Updater({"-U", "-d", kNetworkDevice, "-r", kDevice, "-t", "TCP", "-f", gone});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "Network Update of device [11112222] via [40F5849A][00]\n"
            "Discovering Module # of Network Device [11112222] thru [40F5849A]\n"
            "Using Module #[04] for Network Device\n"
            "END Firmware Update\n");
  EXPECT_EQ(r.err, "BIRD firmware file does not exist [" + gone + "].\n" + kNoFileHint);

  r = Updater(
      {"-U", "-d", kNetworkDevice, "-r", kDevice, "-t", "TCP", "-f", DeviceBird(kNetworkDevice)});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  ExpectInOrder(
      r.out, {"Resetting router number of device:[04:11112222] with module# of router[40F5849A]\n"
              "Device [11112222] may need a physical reset before router number can be reset.\n"
              "Completed updating firmware on device [11112222]\n"
              "Rebooting Device\n"
              "END Firmware Update\n"});
  EXPECT_EQ(sim_->Output().find("event: module 11112222 save"), std::string::npos);
}

// ---- Faults: exit status 1, the error lines, nothing recorded, no hang -------

// Module faults (simulator keys) make the update fail with status 1 and these
// lines, record nothing and never hang; the quirks a module may show are
// overcome. Replies are counted by the simulator from the connection on: 11
// is the loader block's PREPARE, 26 the firmware block's, 40 a firmware DATA.
TEST_F(UpdateTest, ModuleFaultsFailTheUpdateAndQuirksDoNot) {
  const struct {
    const char* keys;
    bool fails;
    std::vector<std::string> lines;
  } cases[] = {
      {"bad-sum,version=2.2.0",
       true,  // from version 2.1.0 on transfers are checked by sum
       {"\nNETWORK: Unable to validate loader transfer [00] [",
        "Transferred 0 blocks, 0 total bytes\n",
        "Device Error [40F5849A] ==> [29, Invalid option code].\n"}},
      {"data-count=always",
       true,
       {"\nNETWORK: Module keeps acknowledging a wrong byte count; giving up after 5 repeats.\n",
        "Device Error [40F5849A] ==> [24, Packet byte invalid].\n"}},
      {"prepare-status=1", true, {"Device Error [40F5849A] ==> [29, Invalid option code].\n"}},
      {"load=restart,never-back",
       true,
       {"Starting Load on Device\n", "Error starting loader [18, Timeout occurred].\n",
        "Device Error [40F5849A] ==> [18, Timeout occurred].\n"}},
      {"drop=26",
       true,  // a firmware PREPARE without a reply ends the transfer
       {"Transferring firmware block 0, 4100 bytes\n", "Transferred 0 blocks, 0 total bytes\n",
        "Device Error [40F5849A] ==> [18, Timeout occurred].\n"}},
      {"drop=40",
       true,  // a DATA reply of the firmware transfer never comes
       {"NETWORK: Failed to transfer firmware\n", "Transferred 0 blocks, 0 total bytes\n",
        "Device Error [40F5849A] ==> [24, Packet byte invalid].\n"}},
      {"close-after=60",
       true,  // the connection goes in the middle of the firmware
       {"Transferring firmware block 0, 4100 bytes\n", "NETWORK: Failed to transfer firmware\n",
        "Device Error [40F5849A] ==> [24, Packet byte invalid].\n"}},
      {"drop=11",
       false,
       {"Transferred 1 blocks, 304 total bytes\n"}},  // a loader PREPARE may time out
      {"data-count=once", false, {}},                 // the packet is sent again
      {"bad-sum,version=2.0.5",
       false,
       {"\nNETWORK: Unable to validate loader transfer to older software versions [2.0.5]\n"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.keys);
    unlink((DeviceDir() + "/.settings").c_str());
    unlink((dump_ + "/40F5849A-fw-00000000.bin").c_str());
    StartDevice(c.keys);
    AddDevice();
    RunResult r = Updater({"-U", "-d", kDevice, "-t", "TCP", "-f", DeviceBird()});
    std::vector<std::string> expected = c.lines;
    if (c.fails) {
      EXPECT_EQ(r.status, 1);
      expected.insert(expected.end(),
                      {"Error updating firmware on device [40F5849A]\n",
                       "Update time: ", "Firmware Update Unsuccessful\nEND Firmware Update\n"});
      EXPECT_EQ(r.out.find("Completed updating"), std::string::npos);
      ExpectNothingRecorded();
    } else {
      EXPECT_EQ(r.status, 0) << r.out;
      expected.push_back("Completed updating firmware on device [40F5849A]\n");
      EXPECT_EQ(DumpedFirmware(), Stamped(firmware_));
      EXPECT_NE(Settings().find("LAST_TRANSFER_VERSION="), std::string::npos);
    }
    ExpectInOrder(r.out, expected);
    sim_.reset();
  }
}

}  // namespace
