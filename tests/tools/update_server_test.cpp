// The reference update server: its request logic on a temporary firmware
// directory, then the running program on loopback through the curl command
// line. The Updater's own requests to it are exercised by the integration
// tests.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "tests/support/Lab.h"
#include "tests/support/TestSupport.h"
#include "tools/qn-update-server/UpdateServer.h"

namespace {

std::string Bytes(size_t n, unsigned seed) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>((i * 131 + seed) & 0xFF));
  return s;
}

// A firmware directory with two devices and a fingerprint table:
// 40F5849A has model, latest and builds files; 0000ABCD only its .bird files.
class FirmwareDir {
 public:
  FirmwareDir() {
    mkdir((dir / "devices").c_str(), 0755);
    const std::string hub = dir / "devices/40F5849A";
    const std::string io = dir / "devices/0000ABCD";
    mkdir(hub.c_str(), 0755);
    mkdir(io.c_str(), 0755);
    qntest::WriteFile(hub + "/model", "QN-HUB4\n");
    qntest::WriteFile(hub + "/latest", "12\n");
    qntest::WriteFile(hub + "/builds", "11;1.2.0\n\n# withdrawn: 10;1.1.0\n12;1.3.0\n");
    qntest::WriteFile(hub + "/11.bird", hub11);
    qntest::WriteFile(hub + "/12.bird", hub12);
    qntest::WriteFile(io + "/model", "QN-IO\n");
    qntest::WriteFile(io + "/7.bird", io7);
    qntest::WriteFile(io + "/10.bird", io10);
    qntest::WriteFile(io + "/notes.txt", "not a build\n");
    qntest::WriteFile(dir / "fingerprints",
                      "# LPC: part id, boot code, two serial words\n"
                      "1A2B3C4D 00000000 11111111 22222222 40F5849A 12\n"
                      "this line is not an entry\n"
                      "# i.MX: 0 0 HIGH LOW\n"
                      "0 0 ABCD 1234 0000ABCD 7\n");
  }
  qntest::TempDir dir;
  const std::string hub11 = Bytes(1000, 1);
  const std::string hub12 = Bytes(70001, 2);  // several HTTP chunks
  const std::string io7 = Bytes(3, 3);
  const std::string io10 = Bytes(4, 4);
};

// One request per row, answered from the firmware directory: every
// operation, unknown things, and names that would leave the device folder.
TEST(UpdateServerLogicTest, AnswersAndRefusals) {
  FirmwareDir firmware;
  qntest::WriteFile(firmware.dir / "secret.bird", "secret");
  const struct {
    std::map<std::string, std::string> params;
    std::string reply;
  } cases[] = {
      {{{"op", "hi"}, {"rv", "2"}}, "ok\nqn-update-server\n"},
      {{{"op", "qu"}, {"sn", "40F5849A"}}, "ok\n12\nQN-HUB4\n"},
      // Short lower-case serials name the same device; latest is the highest build.
      {{{"op", "qu"}, {"sn", "abcd"}}, "ok\n10\nQN-IO\n"},
      {{{"op", "builds"}, {"sn", "40F5849A"}}, "ok\n11;1.2.0\n12;1.3.0\n"},
      {{{"op", "builds"}, {"sn", "0000ABCD"}}, "ok\n7;\n10;\n"},
      {{{"op", "bird"}, {"sn", "0000ABCD"}, {"fw", "QN-IO"}, {"bld", "7"}},
       "ok\nA4YJ\n7.bird 3 bytes\n"},
      {{{"op", "fix"}, {"fp", "0 0 ABCD 1234"}}, "ok\n0000ABCD\n7\nA4YJ\n"},
      {{{"op", "qu"}, {"sn", "12345678"}}, "error unknown device 12345678\n"},
      {{{"op", "bird"}, {"sn", "40F5849A"}, {"fw", "QN-IO"}, {"bld", "12"}},
       "error model mismatch\n"},
      {{{"op", "fix"}, {"fp", "1 2 3 4"}}, "error unknown fingerprint\n"},
      {{{"op", "nope"}}, "error unknown operation\n"},
      // Names such as "1.0" are builds the protocol allows; this one does not exist.
      {{{"op", "bird"}, {"sn", "40F5849A"}, {"fw", "QN-HUB4"}, {"bld", "1.0"}},
       "error unknown build 1.0\n"},
  };
  qnserver::ServerOptions options;
  options.root = firmware.dir.path();
  qnserver::UpdateServer server(options);
  for (const auto& c : cases) {
    std::string reply = server.Handle(c.params);
    EXPECT_EQ(reply.substr(0, c.reply.size()), c.reply) << c.params.at("op");
  }
  for (const char* sn :
       {"..", "../devices/40F5849A", "40F5849A/..", "", "123456789", "-1", "40F5849G"}) {
    EXPECT_EQ(server.Handle({{"op", "qu"}, {"sn", sn}}), "error invalid serial number\n") << sn;
  }
  for (const char* bld : {"../../secret", "..", "12/../11", "", ".hidden"}) {
    EXPECT_EQ(server.Handle({{"op", "bird"}, {"sn", "40F5849A"}, {"fw", "QN-HUB4"}, {"bld", bld}}),
              "error invalid build\n")
        << bld;
  }
}

// The program on loopback, through the curl command line: plain-text
// replies, 404 elsewhere, a log line per request, a clean stop on SIGTERM,
// and a port that is taken.
TEST(UpdateServerProgramTest, ServesOverHttpLogsStopsCleanlyAndRefusesABusyPort) {
  const std::string curl = "/usr/bin/curl";
  ASSERT_TRUE(qntest::FileExists(curl)) << "the curl command line (Debian package curl) is missing";
  qntest::TempDir dir;
  qntest::UpdateServer server(dir / "fw", {{"40F5849A", "QN-HUB4", "12", {{"12", {"1.3.0", ""}}}}},
                              {}, {"--log"});
  ASSERT_TRUE(server.ready());
  const std::string hostPort = server.url().substr(7, server.url().find('/', 7) - 7);
  auto get = [&](const std::vector<std::string>& extra, const std::string& url) {
    std::vector<std::string> argv{curl, "-s", "--noproxy", "*", "--max-time", "10"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back(url);
    return qntest::Run(argv);
  };
  qntest::RunResult r = get({}, server.url() + "?op=qu&sn=40f5849a");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "ok\n12\nQN-HUB4\n");
  r = get({"-o", "/dev/null", "-w", "%{http_code}"}, "http://" + hostPort + "/other");
  EXPECT_EQ(r.out, "404");
  EXPECT_NE(server.process().WaitForLine("GET /cgi/u?op=qu&sn=40f5849a -> ok", 5000), "");
  EXPECT_NE(server.process().WaitForLine("GET /other -> 404", 5000), "");

  qntest::RunOptions quick;
  quick.timeoutMs = 10000;
  r = qntest::RunTool("qn-update-server", {"--listen", hostPort, "--root", dir / "fw"}, quick);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "qn-update-server: cannot listen on " + hostPort + "\n");
  EXPECT_EQ(server.process().Stop(), 0) << "SIGTERM ends the server cleanly";
}

}  // namespace
