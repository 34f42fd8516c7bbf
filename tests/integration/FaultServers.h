// Update servers that misbehave, on loopback: one that answers each
// operation ("op=") with a fixed body, and one that accepts connections and
// never answers.
#ifndef QN_TESTS_INTEGRATION_FAULTSERVERS_H
#define QN_TESTS_INTEGRATION_FAULTSERVERS_H

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>

namespace qntest {

class ScriptedServer {
 public:
  explicit ScriptedServer(const std::map<std::string, std::string>& replies) : replies_(replies) {
    http_.Get(R"(/cgi/u.*)", [this](const httplib::Request& req, httplib::Response& res) {
      auto it = replies_.find(req.get_param_value("op"));
      res.set_content(it == replies_.end() ? "error no such op\n" : it->second, "text/plain");
    });
    port_ = http_.bind_to_any_port("127.0.0.1");
    if (port_ <= 0) return;
    thread_ = std::thread([this] { http_.listen_after_bind(); });
    for (int i = 0; i < 500 && !http_.is_running(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ~ScriptedServer() {
    http_.stop();
    if (thread_.joinable()) thread_.join();
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/cgi/u"; }

 private:
  std::map<std::string, std::string> replies_;
  httplib::Server http_;
  std::thread thread_;
  int port_ = -1;
};

// Listens but never accepts: the kernel completes the connection, and the
// request then waits for an answer that never comes.
class SilentServer {
 public:
  SilentServer() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(a);
    if (fd_ < 0 || bind(fd_, (sockaddr*)&a, sizeof(a)) != 0 || listen(fd_, 8) != 0 ||
        getsockname(fd_, (sockaddr*)&a, &length) != 0)
      return;
    port_ = ntohs(a.sin_port);
  }
  ~SilentServer() {
    if (fd_ >= 0) close(fd_);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/cgi/u"; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

}  // namespace qntest

#endif  // QN_TESTS_INTEGRATION_FAULTSERVERS_H
