// qn-modsim: stands in for Quillnode modules. Serves each simulated module
// over a TCP port and/or a kernel-driver-style node (a pseudo-terminal), and
// answers TCP/IP discovery requests. The module behaviour itself lives in
// qn_modsim_core (ModSim.h); this file only moves bytes and keeps time.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "tools/qn-modsim/ModSim.h"
#include "tools/qn-modsim/ModSimWire.h"

namespace {

volatile sig_atomic_t gStop = 0;

// Bytes kept for a host that does not read.
constexpr size_t kMaxPendingOutput = 64 * 1024;

void OnSignal(int) { gStop = 1; }

uint64_t NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
}

std::string Hex8(uint32_t x) {
  char buf[16];
  snprintf(buf, sizeof buf, "%08X", x);
  return buf;
}

struct Options {
  std::vector<std::string> moduleSpecs;
  std::vector<std::string> configFiles;
  std::string bind = "127.0.0.1";
  std::string discoveryIf;
  int discoveryPort = modsim::wire::kDiscoveryPort;
  int replyPort = modsim::wire::kDiscoveryReplyPort;
  std::string devDir;
  std::string dumpDir;
  bool verbose = false;
};

const char* kUsage =
    "Usage: qn-modsim [options]\n"
    "Simulates Quillnode modules for tests: each module is served over a TCP port\n"
    "and/or a kernel-driver-style node, and answers TCP/IP discovery.\n"
    "\n"
    "Options:\n"
    "  --module SPEC        add a module (see the keys below); repeatable\n"
    "  --config FILE        add the modules of FILE: one \"module SPEC\" per line,\n"
    "                       '#' starts a comment line; repeatable\n"
    "  --bind ADDR          IPv4 address the TCP ports listen on and discovery\n"
    "                       replies come from (default 127.0.0.1); with --discovery\n"
    "                       use the interface's own address\n"
    "  --discovery IFADDR   answer discovery: join 232.2.2.2 on the interface with\n"
    "                       this IPv4 address, listen on UDP port 9888 and reply to\n"
    "                       the requester's port 9889\n"
    "  --discovery-port N   UDP port for discovery requests (default 9888)\n"
    "  --reply-port N       UDP port discovery replies go to (default 9889)\n"
    "  --dev-dir DIR        create DIR/quillnode.%08X symlinks to the nodes\n"
    "  --dump-dir DIR       write firmware and loader images there at each reboot\n"
    "                       and at exit (SERIAL-fw-ADDRESS.bin, SERIAL-loader-ADDRESS.bin)\n"
    "  --verbose            trace every byte in and out on standard error\n"
    "  --help               show this text\n"
    "\n"
    "Standard output, one line each (for scripts and tests):\n"
    "  module SERIAL tcp ADDR:PORT\n"
    "  module SERIAL node PATH [-> PTY]\n"
    "  discovery udp 0.0.0.0:PORT group 232.2.2.2 if IFADDR\n"
    "  qn-modsim: ready                 (all endpoints are up)\n"
    "  event: module SERIAL ...         (reset, save, load, reboot, link closed)\n"
    "\n"
    "A module behind a router (behind=SERIAL) has no endpoint: it answers at its\n"
    "module address through the router's link. Firmware images carry the stamp\n"
    "\"QNFWSTMP\" + version (u32 big-endian) + build (u32 big-endian); after a\n"
    "reboot the module reports the last stamp found in the written image.\n"
    "\n"
    "Exit status: 0 after SIGTERM or SIGINT, 1 when an endpoint cannot be set up,\n"
    "2 for a bad command line or configuration.\n"
    "\n";

bool ParseOptions(int argc, char** argv, Options* o, bool* help, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) {
        *error = "option " + arg + " needs a value";
        return false;
      }
      *out = argv[++i];
      return true;
    };
    auto number = [&](int* out) {
      std::string text;
      if (!value(&text)) return false;
      char* end = nullptr;
      long n = strtol(text.c_str(), &end, 10);
      if (text.empty() || *end || n < 0 || n > 65535) {
        *error = "bad number for " + arg + ": " + text;
        return false;
      }
      *out = int(n);
      return true;
    };
    std::string v;
    if (arg == "--help" || arg == "-h") {
      *help = true;
    } else if (arg == "--module") {
      if (!value(&v)) return false;
      o->moduleSpecs.push_back(v);
    } else if (arg == "--config") {
      if (!value(&v)) return false;
      o->configFiles.push_back(v);
    } else if (arg == "--bind") {
      if (!value(&o->bind)) return false;
    } else if (arg == "--discovery") {
      if (!value(&o->discoveryIf)) return false;
    } else if (arg == "--discovery-port") {
      if (!number(&o->discoveryPort)) return false;
    } else if (arg == "--reply-port") {
      if (!number(&o->replyPort)) return false;
    } else if (arg == "--dev-dir") {
      if (!value(&o->devDir)) return false;
    } else if (arg == "--dump-dir") {
      if (!value(&o->dumpDir)) return false;
    } else if (arg == "--verbose") {
      o->verbose = true;
    } else {
      *error = "unknown option " + arg;
      return false;
    }
  }
  return true;
}

void SetNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

void Trace(bool on, const char* dir, uint32_t serial, const uint8_t* data, size_t n) {
  if (!on || n == 0) return;
  fprintf(stderr, "%s %08X:", dir, serial);
  for (size_t i = 0; i < n; ++i) fprintf(stderr, " %02X", data[i]);
  fprintf(stderr, "\n");
}

// Writes as much of buf as the descriptor takes; false on a hard error.
bool Flush(int fd, std::vector<uint8_t>* buf) {
  while (!buf->empty()) {
    ssize_t n = write(fd, buf->data(), buf->size());
    if (n > 0) {
      buf->erase(buf->begin(), buf->begin() + n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    return false;
  }
  return true;
}

struct Listener {
  uint32_t serial;
  int fd;
};

struct Connection {
  uint32_t serial;
  int fd;
  std::unique_ptr<modsim::Link> link;
  std::vector<uint8_t> out;
};

struct Node {
  uint32_t serial;
  int master = -1;
  std::string pty;
  std::string path;  // symlink in the dev dir, empty without one
  std::unique_ptr<modsim::Link> link;
  std::vector<uint8_t> out;
  uint64_t quietUntil = 0;  // no host has the pty open: poll it again then
};

// Resets the connection on close so the host sees the drop at once.
void CloseHard(int fd) {
  struct linger lg = {1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  close(fd);
}

bool OpenPty(Node* node, std::string* error) {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    *error = std::string("pseudo-terminal: ") + strerror(errno);
    if (master >= 0) close(master);
    return false;
  }
  char name[128];
  if (ptsname_r(master, name, sizeof name) != 0) {
    *error = std::string("ptsname: ") + strerror(errno);
    close(master);
    return false;
  }
  // Raw mode is kept by the pair while the master lives, so hosts that open
  // the slave later see a plain byte pipe.
  int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  struct termios t;
  if (slave < 0 || tcgetattr(slave, &t) != 0) {
    *error = std::string("open ") + name + ": " + strerror(errno);
    if (slave >= 0) close(slave);
    close(master);
    return false;
  }
  cfmakeraw(&t);
  tcsetattr(slave, TCSANOW, &t);
  close(slave);
  node->master = master;
  node->pty = name;
  return true;
}

bool LinkNode(const Options& o, Node* node, std::string* error) {
  if (o.devDir.empty()) return true;
  char name[64];
  snprintf(name, sizeof name, modsim::wire::kNodeNameFormat, node->serial);
  node->path = o.devDir + "/" + name;
  std::string temp = node->path + ".new";
  unlink(temp.c_str());
  if (symlink(node->pty.c_str(), temp.c_str()) != 0 ||
      rename(temp.c_str(), node->path.c_str()) != 0) {
    *error = node->path + ": " + strerror(errno);
    return false;
  }
  return true;
}

void PrintNode(const Node& node) {
  if (node.path.empty()) {
    printf("module %08X node %s\n", node.serial, node.pty.c_str());
  } else {
    printf("module %08X node %s -> %s\n", node.serial, node.path.c_str(), node.pty.c_str());
  }
  fflush(stdout);
}

class Server {
 public:
  Server(const Options& o, modsim::Simulator* sim) : o_(o), sim_(sim) {}
  ~Server();
  bool Start(std::string* error);
  void Run();

 private:
  void AcceptOn(const Listener& l, uint64_t now);
  void ServeNode(Node& node, short revents, uint64_t now);
  void AnswerDiscovery(uint64_t now);
  void Pump(uint64_t now);

  const Options& o_;
  modsim::Simulator* sim_;
  std::vector<Listener> listeners_;
  std::vector<Connection> connections_;
  std::vector<Node> nodes_;
  int udp_ = -1;
  int replyFd_ = -1;
  in_addr bindAddr_{};
};

Server::~Server() {
  for (auto& l : listeners_) close(l.fd);
  for (auto& c : connections_) CloseHard(c.fd);
  for (auto& n : nodes_) {
    if (!n.path.empty()) unlink(n.path.c_str());
    if (n.master >= 0) close(n.master);
  }
  if (udp_ >= 0) close(udp_);
  if (replyFd_ >= 0) close(replyFd_);
}

bool Server::Start(std::string* error) {
  if (inet_pton(AF_INET, o_.bind.c_str(), &bindAddr_) != 1) {
    *error = "bad --bind address " + o_.bind;
    return false;
  }
  for (uint32_t serial : sim_->Serials()) {
    modsim::ModuleConfig cfg;
    sim_->GetConfig(serial, &cfg);
    if (cfg.tcpPort >= 0) {
      int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      int one = 1;
      setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
      sockaddr_in sa{};
      sa.sin_family = AF_INET;
      sa.sin_addr = bindAddr_;
      sa.sin_port = htons(uint16_t(cfg.tcpPort));
      if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
          listen(fd, 16) != 0) {
        *error = "module " + Hex8(serial) + ": tcp " + o_.bind + ":" + std::to_string(cfg.tcpPort) +
                 ": " + strerror(errno);
        if (fd >= 0) close(fd);
        return false;
      }
      socklen_t len = sizeof sa;
      getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
      SetNonBlocking(fd);
      sim_->SetTcpPort(serial, ntohs(sa.sin_port));
      listeners_.push_back(Listener{serial, fd});
      printf("module %08X tcp %s:%u\n", serial, o_.bind.c_str(), ntohs(sa.sin_port));
    }
    if (cfg.node) {
      Node node;
      node.serial = serial;
      if (!OpenPty(&node, error) || !LinkNode(o_, &node, error)) {
        if (node.master >= 0) close(node.master);
        return false;
      }
      PrintNode(node);
      nodes_.push_back(std::move(node));
    }
  }
  if (!o_.discoveryIf.empty()) {
    in_addr ifAddr;
    if (inet_pton(AF_INET, o_.discoveryIf.c_str(), &ifAddr) != 1) {
      *error = "bad --discovery address " + o_.discoveryIf;
      return false;
    }
    udp_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(udp_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    sa.sin_port = htons(uint16_t(o_.discoveryPort));
    ip_mreq mreq{};
    inet_pton(AF_INET, modsim::wire::kDiscoveryGroup, &mreq.imr_multiaddr);
    mreq.imr_interface = ifAddr;
    if (udp_ < 0 || bind(udp_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        setsockopt(udp_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0) {
      *error = "discovery on " + o_.discoveryIf + ": " + strerror(errno);
      return false;
    }
    SetNonBlocking(udp_);
    replyFd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr = bindAddr_;
    if (replyFd_ < 0 || bind(replyFd_, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
      *error = "discovery reply socket on " + o_.bind + ": " + strerror(errno);
      return false;
    }
    printf("discovery udp 0.0.0.0:%d group %s if %s\n", o_.discoveryPort,
           modsim::wire::kDiscoveryGroup, o_.discoveryIf.c_str());
  }
  printf("qn-modsim: ready\n");
  fflush(stdout);
  return true;
}

void Server::AcceptOn(const Listener& l, uint64_t now) {
  for (;;) {
    int fd = accept4(l.fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    modsim::Simulator::OpenResult why;
    std::unique_ptr<modsim::Link> link = sim_->OpenLink(l.serial, now, &why);
    if (!link) {
      // A module that is restarting or busy drops the connection at once.
      if (o_.verbose) fprintf(stderr, "module %08X refuses a connection\n", l.serial);
      CloseHard(fd);
      continue;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    connections_.push_back(Connection{l.serial, fd, std::move(link), {}});
  }
}

void Server::ServeNode(Node& node, short revents, uint64_t now) {
  if (revents & POLLIN) {
    uint8_t buf[512];
    ssize_t n = read(node.master, buf, sizeof buf);
    if (n > 0) {
      Trace(o_.verbose, "in ", node.serial, buf, size_t(n));
      if (!node.link) node.link = sim_->OpenLink(node.serial, now);
      // A module away in a restart loses what the host writes meanwhile.
      if (node.link) node.link->Receive(buf, size_t(n), now);
      return;
    }
  }
  if (revents & (POLLHUP | POLLERR)) {
    // The host closed the node: the link is over; forget what was in flight.
    node.link.reset();
    node.out.clear();
    tcflush(node.master, TCIOFLUSH);
    node.quietUntil = now + 20;
  }
}

void Server::AnswerDiscovery(uint64_t now) {
  for (;;) {
    uint8_t req[64];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = recvfrom(udp_, req, sizeof req, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return;
    if (n < 1 || req[0] != modsim::wire::kDiscoveryRequest) continue;
    sockaddr_in to = from;
    to.sin_port = htons(uint16_t(o_.replyPort));
    for (uint32_t serial : sim_->Serials()) {
      modsim::ModuleConfig cfg;
      sim_->GetConfig(serial, &cfg);
      if (cfg.behind != 0 || cfg.tcpPort < 0 || !sim_->IsUp(serial, now)) continue;
      modsim::ModuleStatus st = sim_->Status(serial);
      uint8_t reply[modsim::wire::kDiscoverySize] = {};
      reply[0] = modsim::wire::kDiscoveryReplyMarker;
      reply[1] = cfg.address;
      reply[2] = uint8_t(cfg.tcpPort);
      reply[3] = uint8_t(cfg.tcpPort >> 8);
      for (int i = 0; i < 4; ++i) reply[4 + i] = uint8_t(serial >> (8 * i));
      memcpy(reply + 8, &bindAddr_, 4);
      reply[12] = cfg.model;
      reply[13] = st.routerAddress;
      sendto(replyFd_, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
      if (o_.verbose) fprintf(stderr, "discovery reply for %08X\n", serial);
    }
  }
}

// Moves due output to the hosts and retires links the modules ended.
void Server::Pump(uint64_t now) {
  for (size_t i = 0; i < connections_.size();) {
    Connection& c = connections_[i];
    std::vector<uint8_t> bytes = c.link->TakeOutput(now);
    Trace(o_.verbose, "out", c.serial, bytes.data(), bytes.size());
    c.out.insert(c.out.end(), bytes.begin(), bytes.end());
    // A host that stops reading is dropped rather than buffered without end.
    bool ok = Flush(c.fd, &c.out) && c.out.size() <= kMaxPendingOutput;
    if (!ok || (c.link->Closed() && c.out.empty())) {
      CloseHard(c.fd);
      connections_.erase(connections_.begin() + i);
      continue;
    }
    ++i;
  }
  for (Node& node : nodes_) {
    if (!node.link) continue;
    std::vector<uint8_t> bytes = node.link->TakeOutput(now);
    Trace(o_.verbose, "out", node.serial, bytes.data(), bytes.size());
    node.out.insert(node.out.end(), bytes.begin(), bytes.end());
    Flush(node.master, &node.out);
    if (node.out.size() > kMaxPendingOutput) node.out.clear();
    if (node.link->Closed()) {
      // The module dropped the link: the node goes away (hosts holding it
      // see it hang up) and a new one appears once the module is back, as
      // when a restarted device enumerates again.
      node.link.reset();
      node.out.clear();
      close(node.master);
      node.master = -1;
      if (!node.path.empty()) unlink(node.path.c_str());
    }
  }
  for (Node& node : nodes_) {
    if (node.master >= 0 || !sim_->IsUp(node.serial, now)) continue;
    std::string error;
    if (!OpenPty(&node, &error) || !LinkNode(o_, &node, &error)) {
      fprintf(stderr, "qn-modsim: module %08X node: %s\n", node.serial, error.c_str());
      gStop = 1;
      return;
    }
    node.quietUntil = 0;
    PrintNode(node);
  }
  for (const std::string& e : sim_->TakeEvents()) printf("event: %s\n", e.c_str());
  fflush(stdout);
}

void Server::Run() {
  while (!gStop) {
    uint64_t now = NowMs();
    std::vector<pollfd> fds;
    for (const auto& l : listeners_) fds.push_back(pollfd{l.fd, POLLIN, 0});
    // Connections accepted below are appended, so these indexes stay valid.
    const size_t connectionCount = connections_.size();
    for (const auto& c : connections_) {
      fds.push_back(pollfd{c.fd, short(POLLIN | (c.out.empty() ? 0 : POLLOUT)), 0});
    }
    uint64_t wake = now + 100;
    for (const auto& n : nodes_) {
      // A pty nobody holds open reports a hang-up continuously; look again later.
      bool quiet = n.master < 0 || now < n.quietUntil;
      fds.push_back(pollfd{quiet ? -1 : n.master, POLLIN, 0});
      if (n.master < 0)
        wake = std::min(wake, now + 10);
      else if (quiet)
        wake = std::min(wake, n.quietUntil);
    }
    if (udp_ >= 0) fds.push_back(pollfd{udp_, POLLIN, 0});
    for (const auto& c : connections_) wake = std::min(wake, c.link->NextEventMs());
    for (const auto& n : nodes_) {
      if (n.link) wake = std::min(wake, n.link->NextEventMs());
    }
    int timeout = wake > now ? int(wake - now) : 0;
    int ready = poll(fds.data(), fds.size(), timeout);
    if (ready < 0 && errno != EINTR) {
      perror("qn-modsim: poll");
      return;
    }
    now = NowMs();
    size_t k = 0;
    std::vector<Listener> listeners = listeners_;
    for (const auto& l : listeners) {
      if (fds[k++].revents & POLLIN) AcceptOn(l, now);
    }
    for (size_t i = 0; i < connectionCount; ++i) {
      short rev = fds[k + i].revents;
      Connection& c = connections_[i];
      if (rev & (POLLIN | POLLHUP | POLLERR)) {
        uint8_t buf[512];
        ssize_t n = read(c.fd, buf, sizeof buf);
        if (n > 0) {
          Trace(o_.verbose, "in ", c.serial, buf, size_t(n));
          c.link->Receive(buf, size_t(n), now);
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
          c.fd = -c.fd - 1;  // marked: the host went away
        }
      }
    }
    k += connectionCount;
    for (auto& node : nodes_) {
      short rev = fds[k++].revents;
      if (node.master >= 0 && rev) ServeNode(node, rev, now);
    }
    if (udp_ >= 0 && (fds[k++].revents & POLLIN)) AnswerDiscovery(now);
    for (size_t i = 0; i < connections_.size();) {
      if (connections_[i].fd < 0) {
        close(-connections_[i].fd - 1);
        connections_.erase(connections_.begin() + i);
      } else {
        ++i;
      }
    }
    Pump(NowMs());
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  bool help = false;
  std::string error;
  if (!ParseOptions(argc, argv, &o, &help, &error)) {
    fprintf(stderr, "qn-modsim: %s\n(try --help)\n", error.c_str());
    return 2;
  }
  if (help) {
    fputs(kUsage, stdout);
    fputs(modsim::ModuleSpecHelp(), stdout);
    return 0;
  }
  std::vector<modsim::ModuleConfig> configs;
  for (const auto& file : o.configFiles) {
    if (!modsim::ParseConfigFile(file, &configs, &error)) {
      fprintf(stderr, "qn-modsim: %s\n", error.c_str());
      return 2;
    }
  }
  for (const auto& spec : o.moduleSpecs) {
    modsim::ModuleConfig cfg;
    if (!modsim::ParseModuleSpec(spec, &cfg, &error)) {
      fprintf(stderr, "qn-modsim: %s\n", error.c_str());
      return 2;
    }
    configs.push_back(cfg);
  }
  if (configs.empty()) {
    fprintf(stderr, "qn-modsim: no modules given (use --module or --config; see --help)\n");
    return 2;
  }
  modsim::Simulator sim;
  for (const auto& cfg : configs) {
    if (!sim.AddModule(cfg, &error)) {
      fprintf(stderr, "qn-modsim: %s\n", error.c_str());
      return 2;
    }
  }
  if (!sim.Validate(&error)) {
    fprintf(stderr, "qn-modsim: %s\n", error.c_str());
    return 2;
  }
  sim.SetDumpDir(o.dumpDir);

  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  int status = 0;
  {
    Server server(o, &sim);
    if (!server.Start(&error)) {
      fprintf(stderr, "qn-modsim: %s\n", error.c_str());
      status = 1;
    } else {
      server.Run();
    }
  }
  if (!o.dumpDir.empty()) {
    for (uint32_t serial : sim.Serials()) {
      modsim::ModuleStatus st = sim.Status(serial);
      if (st.firmware.empty() && st.loader.empty()) continue;
      if (!sim.DumpImages(serial, o.dumpDir, &error)) {
        fprintf(stderr, "qn-modsim: dump: %s\n", error.c_str());
        status = 1;
      }
    }
  }
  printf("qn-modsim: stopped\n");
  return status;
}
