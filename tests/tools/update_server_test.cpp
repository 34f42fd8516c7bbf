// The reference update server: its request logic on a temporary firmware
// directory, then the running program on loopback through the update client
// and through the curl command line.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "server/ServerComm.h"
#include "tests/support/TestSupport.h"
#include "tools/qn-update-server/UpdateServer.h"

using Vorlaine::Updater::ServerCommClass;

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

// ---------------------------------------------------------------- logic

class UpdateServerLogicTest : public ::testing::Test {
 protected:
  std::string Ask(const std::map<std::string, std::string>& params,
                  qnserver::ServerOptions options = qnserver::ServerOptions()) {
    options.root = firmware.dir.path();
    return qnserver::UpdateServer(options).Handle(params);
  }
  FirmwareDir firmware;
};

TEST_F(UpdateServerLogicTest, AnswersEveryOperation) {
  EXPECT_EQ(Ask({{"op", "hi"}, {"rv", "2"}}), "ok\nqn-update-server\n");
  EXPECT_EQ(Ask({{"op", "qu"}, {"sn", "40F5849A"}}), "ok\n12\nQN-HUB4\n");
  EXPECT_EQ(Ask({{"op", "qu"}, {"sn", "abcd"}}), "ok\n10\nQN-IO\n")
      << "short lower-case serials name the same device; latest is the highest build";
  EXPECT_EQ(Ask({{"op", "builds"}, {"sn", "40F5849A"}}), "ok\n11;1.2.0\n12;1.3.0\n");
  EXPECT_EQ(Ask({{"op", "builds"}, {"sn", "0000ABCD"}}), "ok\n7;\n10;\n");
  EXPECT_EQ(Ask({{"op", "bird"}, {"sn", "0000ABCD"}, {"fw", "QN-IO"}, {"bld", "7"}}),
            "ok\nA4YJ\n7.bird 3 bytes\n");
  EXPECT_EQ(Ask({{"op", "fix"}, {"fp", "0 0 ABCD 1234"}}), "ok\n0000ABCD\n7\nA4YJ\n");
}

TEST_F(UpdateServerLogicTest, UnknownThingsAreErrorsAndRequestsCannotLeaveTheDeviceFolder) {
  auto status = [](const std::string& reply) { return reply.substr(0, reply.find('\n')); };
  EXPECT_EQ(status(Ask({{"op", "qu"}, {"sn", "12345678"}})), "error unknown device 12345678");
  EXPECT_EQ(status(Ask({{"op", "bird"}, {"sn", "40F5849A"}, {"fw", "QN-IO"}, {"bld", "12"}})),
            "error model mismatch");
  EXPECT_EQ(status(Ask({{"op", "fix"}, {"fp", "1 2 3 4"}})), "error unknown fingerprint");
  EXPECT_EQ(status(Ask({{"op", "nope"}})), "error unknown operation");
  qntest::WriteFile(firmware.dir / "secret.bird", "secret");
  const char* serials[] = {"..",      "../devices/40F5849A", "40F5849A/..", "", "123456789", "-1",
                           "40F5849G"};
  for (const char* sn : serials) {
    EXPECT_EQ(Ask({{"op", "qu"}, {"sn", sn}}), "error invalid serial number\n") << sn;
  }
  const char* builds[] = {"../../secret", "..", "12/../11", "", ".hidden"};
  for (const char* bld : builds) {
    EXPECT_EQ(Ask({{"op", "bird"}, {"sn", "40F5849A"}, {"fw", "QN-HUB4"}, {"bld", bld}}),
              "error invalid build\n")
        << bld;
  }
  // Names such as "1.0" are builds the protocol allows; this one does not exist.
  EXPECT_EQ(Ask({{"op", "bird"}, {"sn", "40F5849A"}, {"fw", "QN-HUB4"}, {"bld", "1.0"}}),
            "error unknown build 1.0\n");
}

// ---------------------------------------------------------------- program

// The server program on an ephemeral loopback port.
class RunningServer {
 public:
  explicit RunningServer(const std::string& root, std::vector<std::string> extra = {}) {
    std::vector<std::string> argv{qntest::ToolPath("qn-update-server"), "--listen", "127.0.0.1:0",
                                  "--root", root};
    argv.insert(argv.end(), extra.begin(), extra.end());
    process_.reset(new qntest::Background(argv));
    ready_ = process_->WaitForLine("qn-update-server: listening on 127.0.0.1:", 10000);
    size_t colon = ready_.rfind(':');
    if (colon != std::string::npos) port_ = atoi(ready_.c_str() + colon + 1);
  }
  bool ok() const { return port_ > 0; }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/cgi/u"; }
  qntest::Background& process() { return *process_; }

 private:
  std::unique_ptr<qntest::Background> process_;
  std::string ready_;
  int port_ = 0;
};

class UpdateServerProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Loopback requests must not be handed to a proxy.
    unsetenv("http_proxy");
    unsetenv("all_proxy");
    unsetenv("ALL_PROXY");
    ASSERT_TRUE(qntest::FileExists(qntest::ToolPath("qn-update-server")))
        << "the qn-update-server tool is not built";
  }
  FirmwareDir firmware;
};

TEST_F(UpdateServerProgramTest, AReplyAsLargeAsTheBufferIsRefused) {
  RunningServer server(firmware.dir.path(), {"--oversize", "1024000"});
  ASSERT_TRUE(server.ok()) << server.process().Output();
  ServerCommClass client(server.Url().c_str(), ServerCommClass::DEFAULT_BUFFER_SIZE);
  EXPECT_FALSE(client.Send("op=qu&sn=40F5849A"));
  EXPECT_TRUE(client.Overflowed());
}

TEST_F(UpdateServerProgramTest, CurlCommandLineGetsPlainTextReplies) {
  const std::string curl = "/usr/bin/curl";
  ASSERT_TRUE(qntest::FileExists(curl)) << "the curl command line (Debian package curl) is missing";
  RunningServer server(firmware.dir.path(), {"--log"});
  ASSERT_TRUE(server.ok()) << server.process().Output();
  auto get = [&](const std::string& query) {
    return qntest::Run({curl, "-s", "--noproxy", "*", "--max-time", "10", server.Url() + query});
  };
  qntest::RunResult r = get("?op=qu&sn=40f5849a");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "ok\n12\nQN-HUB4\n");
  r = get("?op=fix&fp=00000000%2000000000%200000ABCD%2000001234");
  EXPECT_EQ(r.out, "ok\n0000ABCD\n7\nA4YJ\n");
  r = qntest::Run(
      {curl, "-s", "--noproxy", "*", "--max-time", "10", "-o", "/dev/null", "-w", "%{http_code}",
       "http://127.0.0.1:" + server.Url().substr(17, server.Url().find('/', 17) - 17) + "/other"});
  EXPECT_EQ(r.out, "404");
  EXPECT_NE(server.process().WaitForLine("GET /cgi/u?op=qu&sn=40f5849a -> ok", 5000), "");
  EXPECT_NE(server.process().WaitForLine("GET /other -> 404", 5000), "");
  EXPECT_EQ(server.process().Stop(), 0) << "SIGTERM ends the server cleanly";
}

TEST_F(UpdateServerProgramTest, ABusyPortFails) {
  RunningServer first(firmware.dir.path());
  ASSERT_TRUE(first.ok()) << first.process().Output();
  const std::string hostPort = first.Url().substr(7, first.Url().find('/', 7) - 7);
  qntest::RunOptions quick;
  quick.timeoutMs = 10000;
  qntest::RunResult r = qntest::Run(
      {qntest::ToolPath("qn-update-server"), "--listen", hostPort, "--root", firmware.dir.path()},
      quick);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "qn-update-server: cannot listen on " + hostPort + "\n");

}

}  // namespace
