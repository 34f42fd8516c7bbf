// Update servers on loopback for the client and command tests: one that
// answers each operation ("op=") with the body a test sets and records the
// request targets, and one that accepts connections and never answers.
// Header only; a target that includes it links cpp-httplib and pthreads.
#ifndef QN_TESTS_SUPPORT_HTTPSERVERS_H
#define QN_TESTS_SUPPORT_HTTPSERVERS_H

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qntest {

class ReplyServer {
 public:
  // Replies by operation; the reply under "" answers every other operation.
  explicit ReplyServer(const std::map<std::string, std::string>& replies = {}) : replies_(replies) {
    http_.set_keep_alive_timeout(1);
    http_.Get(R"(/cgi/u.*)", [this](const httplib::Request& req, httplib::Response& res) {
      std::string body = "error no such op\n";
      int delayMs;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        targets_.push_back(req.target);
        auto it = replies_.find(req.get_param_value("op"));
        if (it == replies_.end()) it = replies_.find("");
        if (it != replies_.end()) body = it->second;
        delayMs = delayMs_;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
      res.set_content(body, "text/plain");
    });
    port_ = http_.bind_to_any_port("127.0.0.1");
    if (port_ <= 0) return;
    thread_ = std::thread([this] { http_.listen_after_bind(); });
    // stop() is only heard once the accept loop runs.
    for (int i = 0; i < 500 && !http_.is_running(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ~ReplyServer() {
    http_.stop();
    if (thread_.joinable()) thread_.join();
  }
  bool ok() const { return port_ > 0 && http_.is_running(); }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/cgi/u"; }
  // One body for every operation.
  void SetBody(const std::string& body) {
    std::lock_guard<std::mutex> lock(mutex_);
    replies_ = {{"", body}};
  }
  void SetDelay(int ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    delayMs_ = ms;
  }
  size_t Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return targets_.size();
  }
  std::string LastTarget() {
    std::lock_guard<std::mutex> lock(mutex_);
    return targets_.empty() ? std::string() : targets_.back();
  }

 private:
  httplib::Server http_;
  std::thread thread_;
  int port_ = -1;
  std::mutex mutex_;
  std::map<std::string, std::string> replies_;
  int delayMs_ = 0;
  std::vector<std::string> targets_;
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
  SilentServer(const SilentServer&) = delete;
  SilentServer& operator=(const SilentServer&) = delete;
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/cgi/u"; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

}  // namespace qntest

#endif  // QN_TESTS_SUPPORT_HTTPSERVERS_H
