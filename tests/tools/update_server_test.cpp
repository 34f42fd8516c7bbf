// The reference update server. The Updater's own requests to it (greeting,
// query, build list, download, fingerprint fix) are exercised by the
// integration tests; here are the answers they do not reach: short serials,
// build lists made from the .bird files, comments in the lists, refusals of
// names that would leave the device folder, 404s, the request log, a clean
// stop and a port that is taken.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "tests/support/Lab.h"
#include "tests/support/TestSupport.h"
#include "tools/qn-update-server/UpdateServer.h"

namespace {

TEST(UpdateServerTest, AnswersRefusalsAndTheProgramOnLoopback) {
  const std::string curl = "/usr/bin/curl";
  ASSERT_TRUE(qntest::FileExists(curl)) << "the curl command line (Debian package curl) is missing";
  qntest::TempDir dir;
  const std::string root = dir / "fw";
  // 40F5849A has model, latest and builds files; 0000ABCD only its .bird files.
  qntest::UpdateServer program(root, {{"40F5849A", "QN-HUB4", "12", {{"12", {"1.3.0", ""}}}}},
                               {"this line is not an entry", "0 0 ABCD 1234 0000ABCD 7"},
                               {"--log"});
  ASSERT_TRUE(program.ready());
  const std::string hub = root + "/devices/40F5849A", io = root + "/devices/0000ABCD";
  mkdir(io.c_str(), 0755);
  qntest::WriteFile(hub + "/builds", "11;1.2.0\n\n# withdrawn: 10;1.1.0\n12;1.3.0\n");
  qntest::WriteFile(io + "/model", "QN-IO\n");
  qntest::WriteFile(io + "/7.bird", "abc");
  qntest::WriteFile(io + "/10.bird", "abcd");
  qntest::WriteFile(io + "/notes.txt", "not a build\n");
  qntest::WriteFile(root + "/secret.bird", "secret");

  const struct {
    std::map<std::string, std::string> params;
    std::string reply;
  } cases[] = {
      // Short lower-case serials name the same device; latest is the highest build.
      {{{"op", "qu"}, {"sn", "abcd"}}, "ok\n10\nQN-IO\n"},
      {{{"op", "builds"}, {"sn", "40F5849A"}}, "ok\n11;1.2.0\n12;1.3.0\n"},
      {{{"op", "builds"}, {"sn", "0000ABCD"}}, "ok\n7;\n10;\n"},
      {{{"op", "fix"}, {"fp", "0 0 ABCD 1234"}}, "ok\n0000ABCD\n7\nYWJj\n"},
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
  options.root = root;
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

  // The program: plain-text replies, 404 off the request path, a log line per
  // request, a port
  // that is taken, a clean stop on SIGTERM.
  const std::string hostPort = program.url().substr(7, program.url().find('/', 7) - 7);
  auto get = [&](const std::vector<std::string>& extra, const std::string& url) {
    std::vector<std::string> argv{curl, "-s", "--noproxy", "*", "--max-time", "10"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back(url);
    return qntest::Run(argv);
  };
  qntest::RunResult r = get({}, program.url() + "?op=qu&sn=40f5849a");
  EXPECT_EQ(r.out, "ok\n12\nQN-HUB4\n") << r.err;
  r = get({"-o", "/dev/null", "-w", "%{http_code}"}, "http://" + hostPort + "/other");
  EXPECT_EQ(r.out, "404");
  EXPECT_NE(program.process().WaitForLine("GET /cgi/u?op=qu&sn=40f5849a -> ok", 5000), "");
  EXPECT_NE(program.process().WaitForLine("GET /other -> 404", 5000), "");
  r = qntest::RunTool("qn-update-server", {"--listen", hostPort, "--root", root});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "qn-update-server: cannot listen on " + hostPort + "\n");
  EXPECT_EQ(program.process().Stop(), 0) << "SIGTERM ends the server cleanly";
}

}  // namespace
