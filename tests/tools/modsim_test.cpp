// Tests of the module simulator: the state machine driven byte by byte with
// a virtual clock, and the qn-modsim command line. The binary serving TCP,
// discovery and kernel nodes, the answers to queries, modules behind a
// router, busy modules, the upgrade sequence, reply faults (drop, close,
// report-serial) and LOAD with a restart are exercised through the Updater
// by the integration tests.
#include "tools/qn-modsim/ModSim.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;
using modsim::Link;
using modsim::ModuleConfig;
using modsim::Simulator;

// "04 02 00 00"
std::string Hex(const Bytes& b) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (uint8_t x : b)
    out += std::string(out.empty() ? "" : " ") + kDigits[x >> 4] + kDigits[x & 15];
  return out;
}

// One simulator with a virtual clock and a started link to its first module.
class SimTest : public ::testing::Test {
 protected:
  // Modules as qn-modsim --module takes them; the link goes to the first.
  void Start(const std::vector<std::string>& specs) {
    std::string error;
    uint32_t first = 0;
    for (const auto& spec : specs) {
      ModuleConfig cfg;
      ASSERT_TRUE(modsim::ParseModuleSpec(spec + ",model=4", &cfg, &error)) << error;
      if (!first) first = cfg.serial;
      ASSERT_TRUE(sim.AddModule(cfg, &error)) << error;
    }
    ASSERT_TRUE(sim.Validate(&error)) << error;
    link = sim.OpenLink(first, now);
    ASSERT_TRUE(link);
    Send({0xAF, 0x01, 0x01});
    EXPECT_EQ("", Hex(Out()));
  }
  void Send(const Bytes& b) { link->Receive(b.data(), b.size(), now); }
  Bytes Out() { return link->TakeOutput(now); }
  // Sends a request and returns everything due once the query window passed.
  std::string Ask(const Bytes& b) {
    Send(b);
    now += 5;
    return Hex(Out());
  }
  // Packet to `address` with `data`.
  static Bytes Packet(uint8_t address, const Bytes& data) {
    Bytes p{address, uint8_t(data.size())};
    p.insert(p.end(), data.begin(), data.end());
    return p;
  }

  Simulator sim;
  std::unique_ptr<Link> link;
  uint64_t now = 1000;
};

TEST_F(SimTest, HeartbeatsAlternatePhasesEveryHalfSecondAndCountAnswers) {
  Start({"serial=40F5849A,addr=04,port=0"});
  now += 499;
  EXPECT_EQ("", Hex(Out()));
  now += 1;
  EXPECT_EQ("04 02 00 00", Hex(Out()));
  EXPECT_EQ(2000u, link->NextEventMs());
  Send({0x04, 0x02, 0x00, 0x02});
  now += 500;
  EXPECT_EQ("04 02 00 01", Hex(Out()));
  // A wrong-phase answer is not counted; the next heartbeat records a miss.
  Send({0x04, 0x02, 0x00, 0x02});
  now += 500;
  EXPECT_EQ("04 02 00 00", Hex(Out()));
  EXPECT_EQ(1u, link->Stats().heartbeatsMissed);
  // Stop: no more heartbeats.
  Send({0xAF, 0x01, 0x00});
  now += 2000;
  EXPECT_EQ("", Hex(Out()));
}

TEST_F(SimTest, AddressQueryAndSyncRequestAreTellApartByBurstLength) {
  Start({"serial=40F5849A,addr=04,port=0"});
  EXPECT_EQ("04 00", Ask({0xAD, 0x00}));
  // Six zero-length packets to AD in one burst: the two-packet sync answer.
  EXPECT_EQ("04 00 04 00", Ask({0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0}));
  // Garbage ahead of the sync request (odd bytes, zero, an over-long length)
  // is thrown away and the request still realigns the module.
  EXPECT_EQ("04 00 04 00",
            Ask({0x01, 0x00, 0x04, 0x40, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0}));
  // A burst split across reads within the window is still one sync.
  Send({0xAD, 0, 0xAD, 0, 0xAD});
  now += 1;
  EXPECT_EQ("", Hex(Out()));
  EXPECT_EQ("04 00 04 00", Ask({0x00, 0xAD, 0, 0xAD, 0, 0xAD, 0}));
  modsim::LinkStats st = link->Stats();
  EXPECT_EQ(3u, st.syncsAnswered);
  EXPECT_EQ(1u, st.addressQueries);
  EXPECT_EQ(4u, st.badBytes);  // 01, 00, and the lengths 40 and AD
}

// The answers to well-formed queries reach the Updater's device rows in the
// integration tests; these are the requests a strict module refuses or
// ignores, and its fault of a stray byte after a reply.
TEST_F(SimTest, RequestsItCannotServeAreRefusedOrIgnored) {
  Start({"serial=12345678,addr=04,port=0,stray-after=1"});
  EXPECT_EQ("04 04 03 C8 20 04 01", Ask(Packet(0x04, {0x03, 0x48, 0x20})));
  // Unknown value: refused through the status bit; unknown command: 0x80.
  EXPECT_EQ("04 03 03 FF A0", Ask(Packet(0x04, {0x03, 0x7F, 0x20})));
  EXPECT_EQ("04 03 80 77 01", Ask(Packet(0x04, {0x77, 0x01})));
  EXPECT_EQ("04 02 80 03", Ask(Packet(0x04, {0x03})));
  // Upgrade commands other than INIT are refused before INIT.
  EXPECT_EQ("04 03 80 5F 01", Ask(Packet(0x04, {0x5F, 0x01, 0xAA})));
  // Packets for other addresses get no answer from a module without a network.
  EXPECT_EQ("", Ask(Packet(0x06, {0x03, 0x48, 0x20})));
}

// A router that requires route-to-me keeps its network's replies back until
// then; a device behind a router cannot be opened directly.
TEST_F(SimTest, ARouterThatRequiresRouteToMeHoldsNetworkRepliesBack) {
  Start(
      {"serial=40F5849A,addr=02,port=0,route-required", "serial=11112222,addr=06,behind=40F5849A"});
  Simulator::OpenResult why;
  EXPECT_FALSE(sim.OpenLink(0x11112222, now, &why));
  EXPECT_EQ(Simulator::OpenResult::kNotDirect, why);
  EXPECT_EQ("", Ask(Packet(0x06, {0x03, 0x49, 0x20})));
  EXPECT_EQ("02 03 03 D4 20", Ask(Packet(0x02, {0x03, 0x94, 0x20, 0x01})));
  EXPECT_EQ("06 07 03 C9 20 11 11 22 22", Ask(Packet(0x06, {0x03, 0x49, 0x20})));
}

TEST(ModSimConfig, ModuleSpecsVersionsAndFiles) {
  ModuleConfig cfg;
  std::string error;
  ASSERT_TRUE(modsim::ParseModuleSpec(
      "serial=40f5849a,addr=0A router=02 version=2.1.5 build=0x10 port=0 node drop=2:5 "
      "data-count=always load=restart reset=silent busy",
      &cfg, &error))
      << error;
  EXPECT_EQ(0x02, cfg.routerAddress);
  EXPECT_EQ(16u, cfg.build);
  EXPECT_EQ((std::set<uint64_t>{2, 5}), cfg.faults.dropReplies);
  EXPECT_FALSE(modsim::ParseModuleSpec("addr=04", &cfg, &error));
  EXPECT_FALSE(modsim::ParseModuleSpec("serial=1,colour=red", &cfg, &error));
  EXPECT_EQ("unknown module key \"colour\"", error);
  // Leading zeros are decimal, not octal.
  ASSERT_TRUE(modsim::ParseModuleSpec("serial=1,build=0099,model=010", &cfg, &error)) << error;
  EXPECT_EQ(99u, cfg.build);
  EXPECT_EQ(10, cfg.model);

  qntest::TempDir dir;
  ASSERT_TRUE(qntest::WriteFile(dir / "sim.conf",
                                "# a router and a device behind it\n"
                                "module serial=40F5849A addr=02 port=0\n"
                                "\n"
                                "  module serial=11112222 addr=06 behind=40F5849A\n"));
  std::vector<ModuleConfig> configs;
  ASSERT_TRUE(modsim::ParseConfigFile(dir / "sim.conf", &configs, &error)) << error;
  ASSERT_EQ(2u, configs.size());
  EXPECT_EQ(0x40F5849Au, configs[1].behind);
}

// --- The qn-modsim binary -------------------------------------------------

TEST(ModSimBinary, CommandLineErrorsAndHelp) {
  qntest::RunResult help = qntest::RunTool("qn-modsim", {"--help"});
  EXPECT_EQ(0, help.status);
  EXPECT_NE(std::string::npos, help.out.find("--module SPEC")) << help.out;
  // Bad command lines end with status 2, endpoints that cannot be set up with 1.
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{}, 2, "qn-modsim: no modules given (use --module or --config; see --help)\n"},
      {{"--module", "serial=1,addr=3"}, 2, "qn-modsim: bad value for module key \"addr\": \"3\"\n"},
      {{"--module", "serial=2,addr=04,behind=3"},
       2,
       "qn-modsim: module 00000002: behind 00000003, which is not a direct module\n"},
      {{"--bind", "192.0.2.1", "--module", "serial=2,port=0"},
       1,
       "qn-modsim: module 00000002: tcp 192.0.2.1:0: "},
  };
  for (const auto& c : cases) {
    qntest::RunResult r = qntest::RunTool("qn-modsim", c.args);
    EXPECT_EQ(c.status, r.status) << r.err;
    EXPECT_EQ(c.err, r.err.substr(0, c.err.size()));
  }
}

}  // namespace
