// The steps of the firmware update that need no module: file validation,
// the connection failure report, the loader start on a dead connection and
// the clean-up's record keeping. The transfers themselves are exercised
// against the module simulator by the integration tests.
#include "updater/UpdateFirmware.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/Log.h"
#include "protocol/QuillnodeNetwork.h"
#include "tests/support/TestSupport.h"
#include "tests/updater/UpdaterTestUtil.h"
#include "updater/BirdFile.h"
#include "updater/History.h"
#include "updater/KeyValueStore.h"
#include "updater/Updater.h"

namespace {

using qntest::Bytes;
using qntest::Record;
// Standard output of `body` with the log channels `mask` active.
std::string CaptureStdoutWithMask(unsigned int mask, const std::function<void()>& body) {
  return qntest::CaptureWithMask(mask, body, /*captureStdout=*/true);
}

Bytes Image(uint32_t address, size_t size) {
  Bytes image;
  for (size_t i = 0; i < size; ++i) image.push_back((uint8_t)(i * 7));
  return qntest::ImageData(address, image);
}

Bytes Info(const std::string& serial, const std::string& model) {
  return qntest::Info("100", "2.1.7", serial, model);
}

std::string BirdFile(const std::vector<Bytes>& records) { return qntest::BirdFileText(records); }

const uint32_t kSerial = 0x40F5849A;

class UpdateStepsTest : public testing::Test {
 protected:
  void TearDown() override { Log::package_bitmask = 0; }
  std::string Write(const std::string& name, const std::string& content) {
    std::string path = dir_ / name;
    EXPECT_TRUE(qntest::WriteFile(path, content));
    return path;
  }
  // Runs the validation with all channels on; returns its output.
  std::string Validate(const std::string& path, bool* ok, BirdFileClass** bird) {
    return CaptureStdoutWithMask(DEBUG_Updater, [&] {
      *ok = _UpdateFirmware_ValidateBirdFile(bird, kSerial, path.empty() ? nullptr : path.c_str());
    });
  }
  qntest::TempDir dir_;
};

TEST_F(UpdateStepsTest, ValidateBirdFileRefusesWhatCannotBeInstalled) {
  struct {
    const char* name;
    std::string content;  // empty: no path at all
    std::string output;
  } cases[] = {
      {"none", "", "UpdateFirmware requires a BIRD filename.\n"},
      {"text.bird", "no firmware here\n",
       "UpdateFirmware: BIRD file [%s] has an invalid file format.\n"},
      {"loader-only.bird",
       BirdFile({Record(0, Image(0x10000000, 40)), Record(4, Info("40F5849A", "Tarlinx"))}),
       "Error:  No valid firmware blocks in the BIRD file.\n"},
      {"empty.bird", BirdFile({}), "Error:  No valid firmware blocks in the BIRD file.\n"},
      // An address and nothing to write, next to a good block, or alone.
      {"address-only.bird",
       BirdFile({Record(1, Image(0, 64)), Record(1, Image(0x4000, 0)),
                 Record(4, Info("40F5849A", "Tarlinx"))}),
       "Error:  No valid firmware blocks in the BIRD file.\n"},
      {"short.bird", BirdFile({Record(1, {0, 0}), Record(4, Info("40F5849A", "Tarlinx"))}),
       "Error:  No valid firmware blocks in the BIRD file.\n"},
      {"other.bird", BirdFile({Record(1, Image(0, 64)), Record(4, Info("11112222", "Tarlinx"))}),
       "Error: Update command must specify an OFFLINE or device specific device BIRD file.\n"
       "Error: Bird serial number [11112222] != [40F5849A]\n"},
      {"no-info.bird", BirdFile({Record(1, Image(0, 64))}),
       "Error: Update command must specify an OFFLINE or device specific device BIRD file.\n"
       "Error: Bird serial number [] != [40F5849A]\n"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = c.content.empty() ? "" : Write(c.name, c.content);
    std::string expected = c.output;
    size_t at = expected.find("%s");
    if (at != std::string::npos) expected.replace(at, 2, path);
    BirdFileClass* bird = reinterpret_cast<BirdFileClass*>(0x1);  // must be cleared
    bool ok = true;
    EXPECT_EQ(Validate(path, &ok, &bird), expected);
    EXPECT_FALSE(ok);
    EXPECT_EQ(bird, nullptr);
  }
}

TEST_F(UpdateStepsTest, ValidateBirdFileHandsOutDeviceSpecificAndOfflineFiles) {
  std::string device =
      Write("device.bird", BirdFile({Record(0, Image(0x10000000, 40)), Record(1, Image(0, 64)),
                                     Record(4, Info("40F5849A", "Tarlinx"))}));
  Bytes offsets = qntest::Offsets(0x10, 0x20);
  std::string offline = Write("offline.bird", BirdFile({Record(1, Image(0, 64)), Record(2, offsets),
                                                        Record(4, Info("00000000", "Tarlinx"))}));

  BirdFileClass* bird = nullptr;
  bool ok = false;
  std::string out = Validate(device, &ok, &bird);
  ASSERT_TRUE(ok);
  ASSERT_NE(bird, nullptr);
  EXPECT_FALSE(bird->offline);
  EXPECT_EQ(bird->filename, device);
  EXPECT_EQ(out, "Valid birdfile [" + device + "] " + std::to_string(bird->dataSize) +
                     " bytes, valid firmware blocks\n");
  delete bird;

  out = Validate(offline, &ok, &bird);
  ASSERT_TRUE(ok);
  ASSERT_NE(bird, nullptr);
  EXPECT_TRUE(bird->offline);
  EXPECT_EQ(out, "Valid birdfile [" + offline + "] " + std::to_string(bird->dataSize) +
                     " bytes, valid firmware blocks, offline compatible\n");
  delete bird;
}

TEST_F(UpdateStepsTest, ValidateModuleTriesToConnectTwiceThenReports) {
  std::string path = Write(
      "device.bird", BirdFile({Record(1, Image(0, 64)), Record(4, Info("40F5849A", "Tarlinx"))}));
  BirdFileClass bird(path.c_str());
  NetworkClass net(LINK_INVALID);
  DeviceHistory history((dir_ / ".history").c_str(), 0);
  bool ok = true;
  // The recovery link type is refused at once, so nothing is looked for.
  std::string out = CaptureStdoutWithMask(DEBUG_Updater, [&] {
    ok = _UpdateFirmware_ValidateModule(&bird, net, LINK_RECOVER, kSerial, 0, 0, false, history);
  });
  EXPECT_FALSE(ok);
  EXPECT_EQ(out,
            "UpdateFirmware() Connecting to device: [40f5849a]\n"
            "Error connecting to [40F5849A]. Trying to connect again:\n"
            "Error connecting to [40F5849A] ==> [Invalid option code].\n");
  EXPECT_EQ(qntest::ReadFile(dir_ / ".history"), "") << "nothing is recorded before connecting";
}

TEST_F(UpdateStepsTest, TransferLoaderOnAConnectionThatIsGoneFailsAtOnce) {
  std::string path =
      Write("device.bird", BirdFile({Record(0, Image(0x10000000, 40)), Record(1, Image(0, 64))}));
  BirdFileClass bird(path.c_str());
  NetworkClass net(LINK_INVALID);
  aErr status = aErrNone;
  std::string out = CaptureStdoutWithMask(
      DEBUG_Updater, [&] { status = _UpdateFirmware_TransferLoader(net, &bird); });
  EXPECT_EQ(status, (aErr)aErrConnection);
  EXPECT_EQ(out, "Error starting loader [25, Connection error].\n");
}

TEST_F(UpdateStepsTest, CleanupRecordsOnlyACompleteTransfer) {
  std::string path = Write("device.bird", BirdFile({Record(1, Image(0, 64))}));
  std::string settingsPath = dir_ / ".settings";

  // A failed transfer: reported, nothing recorded, the file released.
  {
    KeyValueStore settings;
    settings.filename = settingsPath;
    NetworkClass net(LINK_INVALID);
    BirdFileClass* bird = new BirdFileClass(path.c_str());
    aErr status = aErrNone;
    std::string out = CaptureStdoutWithMask(0, [&] {
      status = _UpdateFirmware_Cleanup(&bird, settings, net, kSerial, aErrPacket, LINK_TCPIP, 0);
    });
    EXPECT_EQ(status, (aErr)aErrPacket);
    EXPECT_EQ(bird, nullptr);
    EXPECT_EQ(out, "Device Error [40F5849A] ==> [24, Packet byte invalid].\n");
    EXPECT_FALSE(qntest::FileExists(settingsPath));
  }

  // A complete one: the file's path and the local time, saved at once.
  {
    KeyValueStore settings;
    settings.filename = settingsPath;
    settings.Add("LINK_TYPE", "TCPIP");
    NetworkClass net(LINK_INVALID);
    BirdFileClass* bird = new BirdFileClass(path.c_str());
    aErr status = aErrParam;
    std::string out = CaptureStdoutWithMask(0, [&] {
      status = _UpdateFirmware_Cleanup(&bird, settings, net, kSerial, aErrNone, LINK_TCPIP, 0);
    });
    EXPECT_EQ(status, (aErr)aErrNone);
    EXPECT_EQ(bird, nullptr);
    EXPECT_EQ(out, "");
    KeyValueStore saved(settingsPath.c_str());
    EXPECT_EQ(saved.GetString("LAST_TRANSFER_VERSION"), path);
    EXPECT_EQ(saved.GetString("LINK_TYPE"), "TCPIP");
    std::string date = saved.GetString("LAST_TRANSFER_DATE");
    EXPECT_EQ(date.size(), 24u) << date;
  }
}

TEST_F(UpdateStepsTest, RouterThatCannotBeReachedEndsTheAddressResetWithTheConnectionError) {
  aErr status = aErrNone;
  std::string out = CaptureStdoutWithMask(DEBUG_Updater, [&] {
    status = UpdaterClass::ResetRouterAddress(LINK_RECOVER, 0x40F5849A, 0x11112222, 0x04);
  });
  EXPECT_EQ(status, (aErr)aErrInvalidOption);
  EXPECT_EQ(out,
            "Resetting router number of device:[04:11112222] with module# of router[40F5849A]\n"
            "Device [11112222] may need a physical reset before router number can be reset.\n"
            "Error connecting to router [40F5849A]. Trying to connect again:\n"
            "Error connecting to router [40F5849A] ==> [Invalid option code].\n");
}

}  // namespace
