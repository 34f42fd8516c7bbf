// The discovery, build and information commands against simulated modules
// and a local update server, all inside the test's private network.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "link/aDiscovery.h"
#include "tests/support/HttpServers.h"
#include "tests/support/Lab.h"
#include "tests/support/TestSupport.h"

namespace {

using qntest::ExpectInOrder;
using qntest::ReadFile;
using qntest::RunResult;
using qntest::TempDir;

const char kHeaderTcp[] =
    "    Device    Module   Router  Model          Firmware Version    IP address     \n";

class CommandsTest : public qntest::PrivateNetworkTest {
 protected:
  std::string Store() const { return qntest::StoreDir(home_.path()); }
  RunResult Updater(const std::vector<std::string>& args) {
    return qntest::RunUpdater(home_.path(), args);
  }
  // A device-specific BIRD file for `serial` and model "Tarlinx".
  std::string MakeBird(const std::string& serial, const std::string& build) {
    std::string image = work_ / ("image-" + build + ".bin");
    qntest::WriteFile(image, std::string(600, '\x5A'));
    std::string out = work_ / (build + ".bird");
    std::string log;
    EXPECT_TRUE(qntest::PackBird({"-o", out, "--firmware", "0x0:" + image, "--info",
                                  build + ",2.2.0," + serial + ",Tarlinx"},
                                 &log))
        << log;
    return out;
  }

  TempDir home_;
  TempDir work_;
};

TEST_F(CommandsTest, DiscoverOneSerialAllModulesAndARoutersNetwork) {
  qntest::ModuleSim sim({"serial=40F5849A,port=0,model=4,version=2.1.3,build=12345",
                         "serial=11111111,port=0,report-serial=22222222",
                         "serial=D272031D,port=0,model=13,addr=02,nak-absent=1",
                         "serial=0A0B0C0D,behind=D272031D,addr=10,model=5,version=1.2.3,build=77",
                         "serial=01020304,behind=D272031D,addr=FC,model=6,build=5"});
  ASSERT_TRUE(sim.ready()) << sim.Output();
  RunResult r = Updater({"-D", "-t", "TCP", "-d", "11111111"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "Discovering Device [11111111] [TCPIP]:\n"
            "    Device    Module   Router  Model          Firmware Version\n"
            "    11111111  [Error connecting: Not found]\n");
  // The entry exists, but nothing learned from the module was recorded.
  EXPECT_EQ(ReadFile(Store() + "/11111111/.settings"), "LINK_TYPE=TCPIP\n");

  r = Updater({"-D", "-t", "TCP"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find(std::string("Discovering TCPIP Devices:\n") + kHeaderTcp), 0u) << r.out;
  for (const char* row :
       {"    40F5849A  02       02      Tarlinx        2.1.3 (12345)      [10.77.0.1]",
        "    D272031D  02       02      Router         2.1.0 (1)          [10.77.0.1]"})
    EXPECT_NE(r.out.find(std::string(row) + "\n"), std::string::npos) << r.out;

  // What discovery records is checked on both transports by the USB tests;
  // "-I" then shows what discovery recorded, and the device is available.
  r = Updater({"-I", "-d", "40F5849A", "-t", "TCP"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(
      r.out.find("\n\tSettings for device:\n\t*[40F5849A]\n\t  Module: 2\n\t  Model: 4 [Tarlinx]\n"
                 "\tHistory for device [40F5849A]:\n\t\t"),
      0u)
      << r.out;

  r = Updater({"-D", "-r", "D272031D", "-t", "TCP"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "Discovering Network Devices from [D272031D] via [TCPIP]:\n"
            "    Device    Module   Router  Model          Firmware Version   [IP address]   \n"
            "\r    D272031D  02       02      Router         2.1.0 (1)          [10.77.0.1]\n"
            "\r    0A0B0C0D  10       02      Relay8         1.2.3 (77)         [10.77.0.1]\n"
            "\r    01020304  FC       02      DigitalIO16    2.1.0 (5)          [10.77.0.1]\n");
  // The scan records nothing.
  EXPECT_FALSE(qntest::FileExists(Store() + "/0A0B0C0D"));

  // Without "-t" only USB is searched.
  r = Updater({"-D", "-d", "40F5849A"});
  EXPECT_EQ(r.out.find("Discovering Device [40F5849A] [USB]:\n"), 0u) << r.out;
  EXPECT_NE(r.out.find("    40F5849A  [Error connecting: Not found]\n"), std::string::npos);
}

TEST_F(CommandsTest, GetLatestAndGivenBuilds) {
  std::string b12 = MakeBird("40F5849A", "12");
  std::string b13 = MakeBird("40F5849A", "13");
  qntest::UpdateServer server(
      work_ / "fw",
      {{"40F5849A", "QN-TARLINX", "13", {{"12", {"1.2.0", b12}}, {"13", {"1.3.0", b13}}}}});
  ASSERT_TRUE(server.ready());

  RunResult r = Updater({"-G", "-d", "40F5849A", "-u", server.url()});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out,
            "Retrieving firmware for device with serial number 40F5849A.\n"
            "\tNo build specified.\n"
            "\tUsing Latest build for QN-TARLINX device.\n"
            "\tFound build: 13.\n"
            "\tRetrieving QN-TARLINX firmware.\n"
            "\tBuild 13 VERIFIED.\n");
  EXPECT_EQ(ReadFile(Store() + "/40F5849A/13.bird"), ReadFile(b13));

  r = Updater({"-G", "-d", "40F5849A", "-b", "12", "-u", server.url()});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("\tValidating build 12 with server.\n\tBuild 12 VALIDATED.\n"),
            std::string::npos);
  EXPECT_EQ(ReadFile(Store() + "/40F5849A/12.bird"), ReadFile(b12));

  // 99 is not on the server's list.
  r = Updater({"-G", "-d", "40F5849A", "-b", "99", "-u", server.url()});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("ERROR ==> -G Invalid build requested.\n"), std::string::npos);

  // With "-OVERRIDE" the list is not consulted; the server has no build 14.
  r = Updater({"-G", "-d", "40F5849A", "-b", "14", "-OVERRIDE", "-u", server.url()});
  EXPECT_EQ(r.status, 1);
  ExpectInOrder(r.out, {"\tOverride specified, skipping validation of build 14.\n",
                        "\nERROR ==> GetBuild failed to retreive a valid BIRD file.\n"});

  // "-I" lists the stored builds with their checks.
  r = Updater({"-I", "-d", "40F5849A", "-t", "TCP"});
  EXPECT_NE(r.out.find("\t  Builds:\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("13.bird ["), std::string::npos);
  EXPECT_NE(r.out.find("verified, valid firmware blocks, SERIAL NUMBER NOT VERIFIED, MODEL NOT "
                       "VERIFIED\n\t\t\tBuild:   13"),
            std::string::npos)
      << r.out;
}

// Servers that answer, fail or lie. Every fault ends in a clear failure (or
// a printable text), never in a silent success, a hang or a lost file.
TEST_F(CommandsTest, ServerFaults) {
  const std::string goodPath = MakeBird("40F5849A", "12");
  const std::string good = ReadFile(goodPath);
  const std::string goodBase64 = qntest::Run({"/usr/bin/base64", "-w0", goodPath}).out;
  const std::string stored = Store() + "/40F5849A/12.bird";
  qntest::SilentServer silent;
  struct Case {
    const char* name;
    std::map<std::string, std::string> replies;  // empty: a silent server
    std::vector<std::string> args;
    int status;
    std::vector<std::string> expected;  // lines in the output, in order
    std::string absent;                 // must not be in the output
  } cases[] = {
      {"silent server: -G gives up with the reason",
       {},
       {"-G"},
       1,
       {"ERROR ==> Update server [" + silent.url() + "] failed: "},
       "Found build"},
      {"unreachable server: -B fails",
       {{"x", ""}},
       {"-B", "-u", "http://127.0.0.1:1/cgi/u"},
       1,
       {"ERROR ==> Update server [http://127.0.0.1:1/cgi/u] failed: ",
        "Error getting build information from the Vorlaine Update Server."},
       "\tBuild "},
      {"a payload that is Base64 but not BIRD keeps the stored build",
       {{"qu", "ok\n12\nQN\n"}, {"bird", "ok\nQUJDREVGR0g=\n"}},
       {"-G"},
       1,
       {"\tRetrieving QN firmware.", "\tERROR ==> Invalid bird file received from server."},
       ""},
      {"an empty build name is refused, not stored as \".bird\"",
       {{"qu", "ok\n"}},
       {"-G"},
       1,
       {"ERROR ==> -G Build name [] is not a build number; nothing stored."},
       ""},
      {"a build name that leaves the directory is refused and shown printable",
       {{"qu", "ok\n../../../x\x01y\nQN\n"}},
       {"-G"},
       1,
       {"ERROR ==> -G Build name [../../../x?y] is not a build number; nothing stored."},
       "\x01"},
      {"control characters from the server are printed as \"?\"",
       {{"qu", "ok\n12\nQN\x1b]0;owned\x07\n"},
        {"bird", "ok\n" + goodBase64 + "\n"},
        {"builds", "ok\n12;1\x1b[2J\n"}},
       {"-G", "-B"},
       0,
       {"\tUsing Latest build for QN?]0;owned? device.", "\tBuild 12 VERIFIED.",
        "\t12             \t1?[2J          "},
       "\x1b"},
      {"no build information ends the run",
       {{"qu", "error unknown device\n"}},
       {"-G", "-B"},
       1,
       {"Retrieving firmware for device with serial number 40F5849A.\n"
        "ERROR ==> -G no build information for device.\n"},
       "Build List"},
      {"-B lists the builds",
       {{"builds", "ok\n12;1.2.0\n19;\n"}},
       {"-B"},
       0,
       {"\nBuild List for device[40F5849A]:\n\tBuild          \tVersion        \n"
        "\t12             \t1.2.0          \n\t19             \t               \n\n\n"},
       ""},
      {"-B for a networked device needs its module number",
       {{"builds", "ok\n12\n"}},
       {"-B", "-r", "11111111"},
       0,
       {"Error: Getting Build list for networked device requires router serial number, device "
        "serial number, and device module number.\n"},
       "Build List"},
      {"-U does not take \".bird\" for an empty latest build",
       {{"qu", "ok\n"}},
       {"-U", "-t", "TCP"},
       1,
       {"Latest release [] is not a build number; ignored."},
       ""},
      {"-U takes no file from outside the device directory",
       {{"qu", "ok\n../12\nQN\n"}},
       {"-U", "-t", "TCP"},
       1,
       {"Latest release [../12] is not a build number; ignored.",
        "Could not locate a valid firmware file."},
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(system(("mkdir -p " + Store() + "/40F5849A").c_str()), 0);
    ASSERT_TRUE(qntest::WriteFile(stored, good));
    ASSERT_TRUE(qntest::WriteFile(Store() + "/40F5849A/.bird", good));
    qntest::ReplyServer scripted(c.replies);
    std::string url = c.replies.empty() ? silent.url() : scripted.url();
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-d", "40F5849A"});
    if (std::find(args.begin(), args.end(), "-u") == args.end())
      args.insert(args.end(), {"-u", url});
    RunResult r = Updater(args);  // bounded: 60 s
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, c.status) << r.out;
    ExpectInOrder(r.out, c.expected);
    if (!c.absent.empty()) {
      EXPECT_EQ(r.out.find(c.absent), std::string::npos) << r.out;
    }
    EXPECT_EQ(ReadFile(stored), good) << "the stored build was damaged";
    EXPECT_FALSE(qntest::FileExists(home_.path() + "/x\x01y.bird"));  // where ../../../ leads
  }
}

// A LAN host that keeps sending replies that are not the module searched for
// must not stretch one search beyond its window of about two seconds.
TEST_F(CommandsTest, UnrelatedDiscoveryRepliesDoNotStretchASearch) {
  std::atomic<bool> stop(false);
  std::thread flood([&] {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(aDISCOVERY_REPLY_PORT);
    inet_pton(AF_INET, qntest::kLabAddress, &to.sin_addr);
    const uint8_t reply[16] = {1, 2, 0x2C, 0x23, 0x11, 0x11, 0x11, 0x11, 0, 0, 0, 0, 4};
    while (!stop) {
      sendto(fd, reply, sizeof(reply), 0, (sockaddr*)&to, sizeof(to));
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    close(fd);
  });
  auto start = std::chrono::steady_clock::now();
  linkSpec* spec = aDiscovery_FindModule(LINK_TCPIP, 0x40F5849A);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  stop = true;
  flood.join();
  EXPECT_EQ(spec, nullptr);
  if (spec) aLinkSpec_Destroy(&spec);
  EXPECT_LT(seconds, 10.0) << "the search went on while unrelated replies kept coming";
}

}  // namespace
