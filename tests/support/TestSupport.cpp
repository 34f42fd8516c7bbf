#include "tests/support/TestSupport.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

extern char** environ;

namespace qntest {
namespace {

long NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

std::vector<std::string> BuildEnv(const RunOptions& options) {
  std::map<std::string, std::string> env;
  for (char** e = environ; *e; ++e) {
    const char* eq = strchr(*e, '=');
    if (!eq) continue;
    env[std::string(*e, eq - *e)] = eq + 1;
  }
  for (const auto& kv : options.env) env[kv.first] = kv.second;
  std::vector<std::string> out;
  for (const auto& kv : env) out.push_back(kv.first + "=" + kv.second);
  return out;
}

std::vector<char*> CStrings(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings) out.push_back(&s[0]);
  out.push_back(nullptr);
  return out;
}

// Starts `argv` in its own process group; the child's stdin/stdout/stderr
// are the given descriptors (-1 for /dev/null). -1 when it cannot start.
pid_t Spawn(const std::vector<std::string>& argv, const RunOptions& options, int in, int out,
            int err) {
  std::vector<std::string> args = argv, envs = BuildEnv(options);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const int fds[3] = {in, out, err};
  for (int i = 0; i < 3; ++i) {
    if (fds[i] >= 0)
      posix_spawn_file_actions_adddup2(&actions, fds[i], i);
    else
      posix_spawn_file_actions_addopen(&actions, i, "/dev/null", O_RDWR, 0);
  }
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0].c_str(), &actions, &attr, CStrings(args).data(),
                  CStrings(envs).data()) != 0)
    pid = -1;
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int DecodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/qntest.XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data())) path_ = buf.data();
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

RunResult Run(const std::vector<std::string>& argv, const RunOptions& options) {
  RunResult result;
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) return result;
  pid_t pid = Spawn(argv, options, in[0], out[1], err[1]);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  signal(SIGPIPE, SIG_IGN);
  fcntl(in[1], F_SETFL, O_NONBLOCK);
  // Standard output, standard error, then standard input while there is any left.
  struct pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  size_t written = 0;
  auto Close = [&](int i) {
    close(fds[i].fd);
    fds[i].fd = -1;
  };
  if (options.input.empty()) Close(2);
  long deadline = NowMs() + options.timeoutMs;
  while (pid > 0 && (fds[0].fd >= 0 || fds[1].fd >= 0)) {
    long left = deadline - NowMs();
    if (left <= 0) {
      result.timedOut = true;
      kill(-pid, SIGKILL);
      kill(pid, SIGKILL);
      break;
    }
    if (poll(fds, 3, left > 200 ? 200 : (int)left) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      char buf[4096];
      ssize_t r = fds[i].revents ? read(fds[i].fd, buf, sizeof(buf)) : -2;
      if (r > 0)
        sinks[i]->append(buf, (size_t)r);
      else if (r != -2)
        Close(i);
    }
    if (fds[2].revents) {
      ssize_t w = write(fds[2].fd, options.input.data() + written, options.input.size() - written);
      if (w > 0) written += (size_t)w;
      if (w < 0 || written >= options.input.size()) Close(2);
    }
  }
  for (int i = 0; i < 3; ++i)
    if (fds[i].fd >= 0) Close(i);
  int status = 0;
  while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.status = pid < 0 || result.timedOut ? -1 : DecodeStatus(status);
  return result;
}

std::string UpdaterPath() { return std::string(QN_BINARY_DIR) + "/Updater"; }

std::string ToolPath(const std::string& name) {
  return std::string(QN_BINARY_DIR) + "/tools/" + name;
}

RunResult RunUpdater(const std::string& home, const std::vector<std::string>& args,
                     RunOptions options) {
  std::vector<std::string> argv{UpdaterPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  options.env["QUILLNODE_HOME"] = home;
  return Run(argv, options);
}

RunResult RunTool(const std::string& name, const std::vector<std::string>& args,
                  RunOptions options) {
  std::vector<std::string> argv{ToolPath(name)};
  argv.insert(argv.end(), args.begin(), args.end());
  return Run(argv, options);
}

std::string StoreDir(const std::string& home) { return home + "/.vorlaine/updater"; }

std::string DeviceDir(const std::string& home, const std::string& serial) {
  return StoreDir(home) + "/" + serial;
}

RunResult RunOnUsbBus(const std::string& home, const std::vector<std::string>& bus,
                      const std::vector<std::string>& command, int timeoutMs) {
  std::vector<std::string> args = bus;
  args.push_back("--");
  args.insert(args.end(), command.begin(), command.end());
  RunOptions options;
  if (!home.empty()) options.env["QUILLNODE_HOME"] = home;
  options.timeoutMs = timeoutMs;
  return RunTool("qn-usbemu", args, options);
}

RunResult RunUpdaterOnUsbBus(const std::string& home, const std::vector<std::string>& bus,
                             std::vector<std::string> args, int timeoutMs) {
  args.insert(args.begin(), UpdaterPath());
  return RunOnUsbBus(home, bus, args, timeoutMs);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

void ExpectInOrder(const std::string& text, const std::vector<std::string>& parts) {
  size_t at = 0;
  for (const std::string& part : parts) {
    at = text.find(part, at);
    EXPECT_NE(at, std::string::npos) << "missing or out of order: [" << part << "] in\n" << text;
    if (at == std::string::npos) return;
    at += part.size();
  }
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  return out.good();
}

bool FileExists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::exists(path, ignored);
}

Background::Background(const std::vector<std::string>& argv, const RunOptions& options) {
  int outPipe[2];
  if (pipe2(outPipe, O_CLOEXEC)) return;
  pid_ = Spawn(argv, options, -1, outPipe[1], 2);
  close(outPipe[1]);
  outFd_ = outPipe[0];
  if (pid_ < 0) {
    close(outFd_);
    outFd_ = -1;
  }
}

Background::~Background() {
  Stop();
  if (outFd_ >= 0) close(outFd_);
}

void Background::Pump(int timeoutMs) {
  if (outFd_ < 0) return;
  struct pollfd fd = {outFd_, POLLIN, 0};
  if (poll(&fd, 1, timeoutMs) <= 0) return;
  char buf[4096];
  ssize_t r = read(outFd_, buf, sizeof(buf));
  if (r > 0) {
    buffer_.append(buf, (size_t)r);
  } else {
    close(outFd_);
    outFd_ = -1;
  }
}

std::string Background::WaitForLine(const std::string& needle, int timeoutMs) {
  long deadline = NowMs() + timeoutMs;
  for (;;) {
    size_t pos;
    while ((pos = buffer_.find('\n', consumed_)) != std::string::npos) {
      std::string line = buffer_.substr(consumed_, pos - consumed_);
      consumed_ = pos + 1;
      if (line.find(needle) != std::string::npos) return line;
    }
    long left = deadline - NowMs();
    if (left <= 0 || outFd_ < 0) return std::string();
    Pump((int)(left > 100 ? 100 : left));
  }
}

std::string Background::Output() {
  Pump(0);
  return buffer_;
}

int Background::Stop(int timeoutMs) {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  long deadline = NowMs() + timeoutMs;
  int status = 0;
  for (;;) {
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) break;
    if (r < 0) {
      status = -1;
      break;
    }
    if (NowMs() > deadline) {
      kill(-pid_, SIGKILL);
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      break;
    }
    Pump(20);
  }
  pid_ = -1;
  return status < 0 ? -1 : DecodeStatus(status);
}

bool Matches(const std::string& text, const std::string& pattern) {
  return std::regex_match(text, std::regex(pattern));
}

bool Search(const std::string& text, const std::string& pattern, std::vector<std::string>* groups) {
  std::smatch match;
  if (!std::regex_search(text, match, std::regex(pattern))) return false;
  if (groups) groups->assign(match.begin(), match.end());
  return true;
}

std::string ReplaceAll(const std::string& text, const std::string& pattern,
                       const std::string& with) {
  return std::regex_replace(text, std::regex(pattern), with);
}

std::vector<std::string> FindAll(const std::string& text, const std::string& pattern) {
  std::regex re(pattern);
  std::vector<std::string> found;
  for (std::sregex_iterator it(text.begin(), text.end(), re), end; it != end; ++it)
    found.push_back(it->str());
  return found;
}

}  // namespace qntest
