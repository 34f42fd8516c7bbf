// Getting a chip's recovery file from the update server and storing it:
// against a scripted HTTP server on loopback, so that the replies can be
// anything a server might send.
#include "app/RecoveryFile.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <stdlib.h>

#include <map>
#include <string>

#include "app/Parameters.h"
#include "server/ServerComm.h"
#include "tests/support/Capture.h"
#include "tests/support/HttpServers.h"
#include "tests/support/TestSupport.h"
#include "updater/Updater.h"

namespace {

using qntest::FileExists;
using qntest::ReadFile;
using qntest::ReplyServer;
using Replies = std::map<std::string, std::string>;
using qntest::TempDir;
using Vorlaine::Updater::ServerCommClass;

const unsigned int kFingerprint[4] = {0x0A000001, 0x0B000002, 0x0C000003, 0x0D000004};

std::string Base64(const std::string& data) {
  size_t n = 0;
  char* text = ServerCommClass::Base64Encode((const unsigned char*)data.data(), data.size(), &n);
  std::string out(text, n);
  free(text);
  return out;
}

const std::string kFile = std::string("bird\x01\x01", 6) + "recovery image for the test";

class RecoveryFileTest : public ::testing::Test {
 protected:
  std::string Root() const { return dir_.path() + "/updater"; }
  // Runs the function on a fresh store; its console output in *out.
  bool Get(ReplyServer& server, std::string* out) {
    EXPECT_TRUE(server.ok());
    params_.serverUrl = server.url();
    UpdaterClass store(dir_.path().c_str(), "updater");
    bool ok = false;
    *out = qntest::CaptureStdout(
        [&] { ok = Get_Firmware_Recovery_File(&store, &params_, kFingerprint); });
    return ok;
  }

  TempDir dir_;
  Parameters params_;
};

// A chip the server gives serial number 0: the file goes into the entry
// "RECOVER", never into "00000000" (a chip the store does not know:
// tests/integration/recovery_lpc_test.cpp).
TEST_F(RecoveryFileTest, SerialNumberZeroGoesIntoRecover) {
  ReplyServer server(Replies{{"fix", "ok\n0\n7\n" + Base64(kFile) + "\n"}});
  std::string out;
  ASSERT_TRUE(Get(server, &out)) << out;
  EXPECT_EQ(out, "");
  EXPECT_EQ(params_.birdFile, Root() + "/RECOVER/7.bird");
  EXPECT_EQ(params_.serialNumber, 0u);
  EXPECT_EQ(ReadFile(params_.birdFile), kFile);
  // The four words travel blank-separated.
  ASSERT_EQ(server.Requests(), 1u);
  EXPECT_NE(httplib::detail::decode_url(server.LastTarget(), true)
                .find("fp=0A000001 0B000002 0C000003 0D000004"),
            std::string::npos)
      << server.LastTarget();
  EXPECT_FALSE(FileExists(Root() + "/00000000"));
}

// Unusable answers, and a requested build ("-b") that the server cannot name
// or deliver, or that is not a plain number (it names the file in the
// store), leave the record and the store alone.
TEST_F(RecoveryFileTest, UnusableAnswersOrBuildsLeaveTheRecordAndTheStoreAlone) {
  const std::string fix = "ok\n40F5849A\n12\n" + Base64(kFile);
  const char* invalid = "ERROR ==> The server sent no valid recovery file; nothing stored.\n";
  const char* model = "ok\n12\nQN-HUB4\n";  // the build query's answer
  const struct {
    std::string fix;
    const char* build;
    const char* query;
    bool result;
    const char* out;
    size_t requests;
  } cases[] = {
      {"error no such chip", "", "", false,
       "Invalid Device ID Cannot retreive the information from Vorlaine update server.\n", 1},
      {"ok\n40F5849A\n12\n!!!!", "", "", false, invalid, 1},
      {"ok\n40F5849A\n12\nQUJD=", "", "", false, invalid, 1},
      // No payload at all: the caller goes on with the file it has.
      {"ok\n40F5849A\n12", "", "", true, "", 1},
      {"ok", "", "", true, "", 1},
      {fix, "11", "error", false, "Failed acquiring model string during recovery.\n", 2},
      {fix, "11", model, false, "Failed acquiring specific build during recovery.\n", 3},
      {fix, "../11", model, false, "ERROR ==> Build [../11] is not a build number.\n", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fix + " " + c.build);
    ReplyServer server(Replies{{"fix", c.fix}, {"qu", c.query}});
    params_.build = c.build;
    params_.serialNumber = 0x1234;
    std::string out;
    EXPECT_EQ(Get(server, &out), c.result);
    EXPECT_EQ(out, c.out);
    EXPECT_EQ(server.Requests(), c.requests);
    EXPECT_EQ(params_.birdFile, "");
    EXPECT_EQ(params_.serialNumber, 0x1234u);
    EXPECT_FALSE(FileExists(Root() + "/RECOVER"));
  }
}

}  // namespace
