// qn-update-server: a reference update server for labs and tests.
#include <httplib.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <sys/socket.h>

#include <string>
#include <thread>
#include <vector>

#include "tools/qn-update-server/UpdateServer.h"

namespace {

const char* const kPath = "/cgi/u";

std::string sFirstLine(const std::string& body) { return body.substr(0, body.find('\n')); }

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  qnserver::ServerOptions options;
  bool help = false;
  std::string error;
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!qnserver::ParseArguments(args, options, help, error)) {
    fprintf(stderr, "qn-update-server: %s\n%s", error.c_str(), qnserver::USAGE_TEXT);
    return 1;
  }
  if (help) {
    fputs(qnserver::USAGE_TEXT, stdout);
    return 0;
  }

  // SIGINT and SIGTERM are taken by one thread that stops the server, so the
  // server threads finish their requests and main returns normally.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  qnserver::UpdateServer updateServer(options);
  httplib::Server http;
  http.set_keep_alive_timeout(2);
  // SO_REUSEADDR only: with the library's default SO_REUSEPORT a second
  // server on the same port would start and silently share the requests.
  http.set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
  });
  http.Get(kPath, [&](const httplib::Request& req, httplib::Response& res) {
    std::map<std::string, std::string> params;
    for (const auto& p : req.params) params.emplace(p.first, p.second);
    std::string body = updateServer.Handle(params);
    if (options.log) printf("GET %s -> %s\n", req.target.c_str(), sFirstLine(body).c_str());
    res.set_content(body, "text/plain");
  });
  http.set_error_handler([&](const httplib::Request& req, httplib::Response& res) {
    if (res.status == 404) res.set_content("error unknown path\n", "text/plain");
    if (options.log) printf("%s %s -> %d\n", req.method.c_str(), req.target.c_str(), res.status);
  });

  int port = options.port;
  if (port == 0) {
    port = http.bind_to_any_port(options.host);
    if (port <= 0) {
      fprintf(stderr, "qn-update-server: cannot listen on %s:0\n", options.host.c_str());
      return 1;
    }
  } else if (!http.bind_to_port(options.host, port)) {
    fprintf(stderr, "qn-update-server: cannot listen on %s:%d\n", options.host.c_str(), port);
    return 1;
  }

  std::thread stopper([&] {
    int signal = 0;
    sigwait(&stopSignals, &signal);
    http.stop();
  });

  printf("qn-update-server: listening on %s:%d\n", options.host.c_str(), port);
  bool ok = http.listen_after_bind();
  // Wakes the stopper when the server ended by itself; harmless otherwise.
  pthread_kill(stopper.native_handle(), SIGTERM);
  stopper.join();
  return ok ? 0 : 1;
}
