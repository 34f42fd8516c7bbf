// Build names as the update server protocol uses them ("b12", "1.0"): "-G"
// stores them, "-I" lists them, "-U" installs the latest of them; names that
// are not safe as a file name in the device directory are refused and nothing
// is written.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/Lab.h"
#include "tests/support/TestSupport.h"

namespace {

using qntest::ReadFile;
using qntest::RunResult;
using qntest::TempDir;

const char kDevice[] = "40F5849A";

class BuildNames : public testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(qntest::EnterPrivateNetwork(&why)) << why;
    RunResult r = qntest::Run({qntest::ToolPath("birdtool"), "gen-image", "--size", "600", "--seed",
                               "3", "-o", work_ / "image.bin"});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(qntest::PackBird(
        {"-o", bird_, "--loader", "0x10000000:" + (work_ / "image.bin"), "--firmware",
         "0:" + (work_ / "image.bin"), "--info", std::string("4242,2.1.7,") + kDevice + ",Tarlinx"},
        &why))
        << why;
  }
  RunResult Updater(const std::vector<std::string>& args) {
    qntest::RunOptions options;
    options.timeoutMs = 30000;
    return qntest::RunUpdater(work_ / "home", args, options);
  }

  TempDir work_;
  std::string bird_ = work_ / "dev.bird";
};

// "-b" takes numbers only, so each name comes as the server's latest build.
TEST_F(BuildNames, ServerNamesAreStoredListedAndInstalled) {
  qntest::UpdateServer server(
      work_ / "server",
      {{kDevice,
        "Tarlinx",
        "b12",
        {{"1.0", {"1.0", bird_}}, {"2.0", {"2.0", bird_}}, {"b12", {"12", bird_}}}}});
  ASSERT_TRUE(server.ready());
  qntest::ModuleSim sim({std::string("serial=") + kDevice + ",port=0"});
  ASSERT_TRUE(sim.ready()) << sim.Output();
  const std::string dir = work_ / "home/.vorlaine/updater/40F5849A/";
  for (const std::string name : {"b12", "1.0", "2.0"}) {
    ASSERT_TRUE(qntest::WriteFile(work_ / "server/devices/40F5849A/latest", name + "\n"));
    RunResult r = Updater({"-G", "-d", kDevice, "-u", server.url()});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("\tBuild " + name + " VERIFIED.\n"), std::string::npos) << r.out;
    EXPECT_EQ(ReadFile(dir + name + ".bird"), ReadFile(bird_)) << name;
    r = Updater({"-U", "-d", kDevice, "-t", "TCP", "-u", server.url()});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(ReadFile(dir + ".settings").find("LAST_TRANSFER_VERSION=" + dir + name + ".bird\n"),
              std::string::npos);
  }
  RunResult info = Updater({"-I", "-d", kDevice});
  for (const char* name : {"b12.bird", "1.0.bird", "2.0.bird"})
    EXPECT_NE(info.out.find(std::string("\t\t") + name + " ["), std::string::npos) << info.out;
}

TEST_F(BuildNames, UnsafeNamesAreRefusedWithNothingWritten) {
  const std::string names[] = {".",       "..",     "../evil",           "a/b",
                               ".hidden", "x\x01y", std::string(65, 'a')};
  // Control characters are printed as "?".
  const std::string shown[] = {".", "..", "../evil", "a/b", ".hidden", "x?y", std::string(65, 'a')};
  std::vector<qntest::ServerDevice> devices;
  for (size_t i = 0; i < sizeof(names) / sizeof(names[0]); ++i)
    devices.push_back({"0000000" + std::to_string(i + 1), "Tarlinx", names[i], {}});
  qntest::UpdateServer server(work_ / "server", devices);
  ASSERT_TRUE(server.ready());
  for (size_t i = 0; i < devices.size(); ++i) {
    RunResult r = Updater({"-G", "-d", devices[i].serial, "-u", server.url()});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("ERROR ==> -G Build name [" + shown[i] +
                         "] is not a build number; nothing stored.\n"),
              std::string::npos)
        << r.out;
  }
  EXPECT_EQ(qntest::Run({"/usr/bin/find", work_ / "home", "-name", "*.bird"}).out, "");
}

}  // namespace
