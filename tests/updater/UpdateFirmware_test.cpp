// The steps of the firmware update that need no module: file validation and
// the reports of connections that fail. The transfers, the loader start and
// the clean-up's record keeping are exercised against the module simulator
// by the integration tests.
#include "updater/UpdateFirmware.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/Log.h"
#include "protocol/QuillnodeNetwork.h"
#include "tests/support/Capture.h"
#include "tests/support/TestSupport.h"
#include "tests/updater/UpdaterTestUtil.h"
#include "updater/BirdFile.h"
#include "updater/History.h"
#include "updater/Updater.h"

namespace {

using qntest::Bytes;
using qntest::CaptureStdout;
using qntest::Record;

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
  std::string Write(const std::string& name, const std::string& content) {
    std::string path = dir_ / name;
    EXPECT_TRUE(qntest::WriteFile(path, content));
    return path;
  }
  // Runs the validation with all channels on; returns its output.
  std::string Validate(const std::string& path, bool* ok, BirdFileClass** bird) {
    return CaptureStdout(DEBUG_Updater, [&] {
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

TEST_F(UpdateStepsTest, ValidateModuleTriesToConnectTwiceThenReports) {
  std::string path = Write(
      "device.bird", BirdFile({Record(1, Image(0, 64)), Record(4, Info("40F5849A", "Tarlinx"))}));
  BirdFileClass bird(path.c_str());
  NetworkClass net(LINK_INVALID);
  DeviceHistory history((dir_ / ".history").c_str(), 0);
  bool ok = true;
  // The recovery link type is refused at once, so nothing is looked for.
  std::string out = CaptureStdout(DEBUG_Updater, [&] {
    ok = _UpdateFirmware_ValidateModule(&bird, net, LINK_RECOVER, kSerial, 0, 0, false, history);
  });
  EXPECT_FALSE(ok);
  EXPECT_EQ(out,
            "UpdateFirmware() Connecting to device: [40f5849a]\n"
            "Error connecting to [40F5849A]. Trying to connect again:\n"
            "Error connecting to [40F5849A] ==> [Invalid option code].\n");
  EXPECT_EQ(qntest::ReadFile(dir_ / ".history"), "") << "nothing is recorded before connecting";
}

TEST_F(UpdateStepsTest, RouterThatCannotBeReachedEndsTheAddressResetWithTheConnectionError) {
  aErr status = aErrNone;
  std::string out = CaptureStdout(DEBUG_Updater, [&] {
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
