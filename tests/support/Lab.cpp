#include "tests/support/Lab.h"

#include <errno.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <sstream>

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
  std::string ip = "ip";
  if (!Sh(ip + " link set lo up", why)) return false;
  if (!Sh(ip + " link add qn0 type veth peer name qn1", why)) return false;
  if (!Sh(ip + " addr add " + kLabAddress + "/24 dev qn0", why)) return false;
  if (!Sh(ip + " link set qn1 up && " + ip + " link set qn0 up multicast on", why)) return false;
  if (!Sh(ip + " route add 224.0.0.0/4 dev qn0", why)) return false;
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
  for (;;) {
    std::string line = process_->WaitForLine("", 10000);
    if (line.empty()) break;
    if (line == "qn-modsim: ready") {
      ready_ = true;
      break;
    }
    std::istringstream in(line);
    std::string word, serial, kind, where;
    in >> word >> serial >> kind >> where;
    if (word == "module" && kind == "tcp") {
      size_t colon = where.rfind(':');
      if (colon != std::string::npos) ports_[serial] = atoi(where.c_str() + colon + 1);
    }
  }
}

int ModuleSim::Port(const std::string& serial) const {
  auto it = ports_.find(serial);
  return it == ports_.end() ? 0 : it->second;
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
