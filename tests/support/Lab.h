// A private test lab for tests that run the Updater against simulated
// modules and a local update server.
//
// EnterPrivateNetwork moves the test process into a network namespace of its
// own: loopback, and a veth pair qn0 (10.77.0.1/24) / qn1 with the multicast
// route on qn0, so that the Updater's TCP/IP discovery (which skips the
// loopback interface) has an interface to send on, and nothing ever leaves
// the machine. Every process started afterwards lives in that namespace,
// and each test process gets its own, so tests may run in parallel even
// though discovery uses fixed UDP ports.
#ifndef QN_TESTS_SUPPORT_LAB_H
#define QN_TESTS_SUPPORT_LAB_H

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace qntest {

extern const char* const kLabAddress;  // "10.77.0.1"

// True once the process is in its private network (idempotent); false with
// the reason when the namespace cannot be made (for example without root).
bool EnterPrivateNetwork(std::string* why);

// A fixture whose tests run in the private network; a test fails when it
// cannot be entered. A derived SetUp calls this one first.
class PrivateNetworkTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(EnterPrivateNetwork(&why)) << "no private network namespace: " << why;
  }
};

// qn-modsim with the given "--module" specs (and any extra options), bound
// to the lab address and answering discovery there.
class ModuleSim {
 public:
  explicit ModuleSim(const std::vector<std::string>& modules,
                     const std::vector<std::string>& extraArgs = {});
  bool ready() const { return ready_; }
  // Everything the simulator printed so far (events included).
  std::string Output() { return process_->Output(); }
  // Waits for a line of its standard output that contains `needle`.
  std::string WaitForLine(const std::string& needle, int timeoutMs = 10000) {
    return process_->WaitForLine(needle, timeoutMs);
  }

 private:
  std::unique_ptr<Background> process_;
  bool ready_ = false;
};

// One device as the update server knows it.
struct ServerDevice {
  std::string serial;  // "%08X"
  std::string model;   // the server's firmware name for it
  std::string latest;  // latest build, empty for none
  // build -> (version, path of a BIRD file to serve)
  std::vector<std::pair<std::string, std::pair<std::string, std::string>>> builds;
};

// qn-update-server on a free loopback port, serving a firmware directory
// made from `devices` (and `fingerprints` lines, if any).
class UpdateServer {
 public:
  UpdateServer(const std::string& root, const std::vector<ServerDevice>& devices,
               const std::vector<std::string>& fingerprints = {},
               const std::vector<std::string>& extraArgs = {});
  bool ready() const { return !url_.empty(); }
  // The "-u" value: http://127.0.0.1:PORT/cgi/u
  const std::string& url() const { return url_; }
  // The running server (its "--log" lines, Stop).
  Background& process() { return *process_; }

 private:
  std::unique_ptr<Background> process_;
  std::string url_;
};

// birdtool pack with the given arguments (without "pack"); true on success.
bool PackBird(const std::vector<std::string>& args, std::string* output = nullptr);

}  // namespace qntest

#endif  // QN_TESTS_SUPPORT_LAB_H
