#include "tests/support/Lab.h"

#include <errno.h>
#include <sched.h>
#include <string.h>
#include <sys/stat.h>

namespace qntest {

const char* const kLabAddress = "10.77.0.1";

namespace {

bool sInLab = false;

bool Sh(const std::string& command, std::string* why) {
  RunResult r = Run({"/bin/sh", "-c", command}, RunOptions());
  if (r.status == 0) return true;
  if (why) *why = "'" + command + "' failed: " + r.err;
  return false;
}

}  // namespace

bool EnterPrivateNetwork(std::string* why) {
  if (sInLab) return true;
  if (unshare(CLONE_NEWNET) != 0) {
    if (why)
      *why = "cannot create a network namespace (unshare: needs root): " +
             std::string(strerror(errno));
    return false;
  }
  for (const std::string& command :
       std::vector<std::string>{"ip link set lo up", "ip link add qn0 type veth peer name qn1",
                                "ip addr add " + std::string(kLabAddress) + "/24 dev qn0",
                                "ip link set qn1 up && ip link set qn0 up multicast on",
                                "ip route add 224.0.0.0/4 dev qn0"})
    if (!Sh(command, why)) return false;
  sInLab = true;
  return true;
}

ModuleSim::ModuleSim(const std::vector<std::string>& modules,
                     const std::vector<std::string>& extraArgs) {
  std::vector<std::string> argv{ToolPath("qn-modsim"), "--bind", kLabAddress, "--discovery",
                                kLabAddress};
  for (const std::string& m : modules) {
    argv.push_back("--module");
    argv.push_back(m);
  }
  argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
  process_.reset(new Background(argv));
  ready_ = process_->WaitForLine("qn-modsim: ready", 10000) == "qn-modsim: ready";
}

UpdateServer::UpdateServer(const std::string& root, const std::vector<ServerDevice>& devices,
                           const std::vector<std::string>& fingerprints,
                           const std::vector<std::string>& extraArgs) {
  mkdir(root.c_str(), 0755);
  mkdir((root + "/devices").c_str(), 0755);
  for (const ServerDevice& d : devices) {
    std::string dir = root + "/devices/" + d.serial;
    mkdir(dir.c_str(), 0755);
    WriteFile(dir + "/model", d.model + "\n");
    if (!d.latest.empty()) WriteFile(dir + "/latest", d.latest + "\n");
    std::string list;
    for (const auto& b : d.builds) {
      list += b.first + ";" + b.second.first + "\n";
      if (!b.second.second.empty())
        WriteFile(dir + "/" + b.first + ".bird", ReadFile(b.second.second));
    }
    if (!d.builds.empty()) WriteFile(dir + "/builds", list);
  }
  std::string fp;
  for (const std::string& line : fingerprints) fp += line + "\n";
  WriteFile(root + "/fingerprints", fp);

  std::vector<std::string> argv{ToolPath("qn-update-server"), "--root", root, "--listen",
                                "127.0.0.1:0"};
  argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
  process_.reset(new Background(argv));
  std::string line = process_->WaitForLine("listening on", 10000);
  size_t at = line.find("listening on ");
  if (at != std::string::npos) url_ = "http://" + line.substr(at + 13) + "/cgi/u";
}

bool PackBird(const std::vector<std::string>& args, std::string* output) {
  std::vector<std::string> packArgs{"pack"};
  packArgs.insert(packArgs.end(), args.begin(), args.end());
  RunResult r = RunTool("birdtool", packArgs);
  if (output) *output = r.out + r.err;
  return r.status == 0;
}

}  // namespace qntest
