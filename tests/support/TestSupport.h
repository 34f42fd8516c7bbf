// Helpers shared by the tests: temporary directories, running a program with
// a time limit while capturing its output, reading and writing whole files.
#ifndef QN_TESTS_SUPPORT_TESTSUPPORT_H
#define QN_TESTS_SUPPORT_TESTSUPPORT_H

#include <map>
#include <string>
#include <vector>

namespace qntest {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents when
// the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& leaf) const { return path_ + "/" + leaf; }

 private:
  std::string path_;
};

struct RunResult {
  int status = -1;        // exit status, or 128 + signal, or -1 when it could not run
  bool timedOut = false;  // killed after the time limit
  std::string out;        // standard output
  std::string err;        // standard error
};

struct RunOptions {
  std::map<std::string, std::string> env;  // added to (or replacing) the environment
  std::string input;                       // written to standard input, then closed
  int timeoutMs = 60000;
};

// Runs `argv` (argv[0] is the program path) and waits for it.
RunResult Run(const std::vector<std::string>& argv, const RunOptions& options = RunOptions());

// The Updater binary of this build tree.
std::string UpdaterPath();
// A tool built in this tree (<build>/tools/<name>), for example ToolPath("birdtool").
std::string ToolPath(const std::string& name);

// Runs Updater with `args`, with QUILLNODE_HOME pointing at `home`.
RunResult RunUpdater(const std::string& home, const std::vector<std::string>& args,
                     RunOptions options = RunOptions());

// A tool of this tree (ToolPath) with `args`.
RunResult RunTool(const std::string& name, const std::vector<std::string>& args,
                  RunOptions options = RunOptions());

// The store under a home folder ("<home>/.vorlaine/updater") and a device's
// entry in it.
std::string StoreDir(const std::string& home);
std::string DeviceDir(const std::string& home, const std::string& serial);

// Runs `command` (argv) on an emulated USB bus: qn-usbemu with the `bus`
// options, and QUILLNODE_HOME = `home` unless it is empty.
RunResult RunOnUsbBus(const std::string& home, const std::vector<std::string>& bus,
                      const std::vector<std::string>& command, int timeoutMs = 60000);
// Runs Updater with `args` on such a bus.
RunResult RunUpdaterOnUsbBus(const std::string& home, const std::vector<std::string>& bus,
                             std::vector<std::string> args, int timeoutMs = 60000);

// The lines of `text`, without their "\n".
std::vector<std::string> Lines(const std::string& text);
// Checks that `text` holds `parts` in this order.
void ExpectInOrder(const std::string& text, const std::vector<std::string>& parts);

// Regular expressions (ECMAScript), kept here so that only this file pays for
// compiling <regex>. Matches: the whole text; Search: a part of it, with the
// submatches in `groups` ([0] the whole match); ReplaceAll: every match.
bool Matches(const std::string& text, const std::string& pattern);
bool Search(const std::string& text, const std::string& pattern,
            std::vector<std::string>* groups = nullptr);
std::string ReplaceAll(const std::string& text, const std::string& pattern,
                       const std::string& with);
std::vector<std::string> FindAll(const std::string& text, const std::string& pattern);

std::string ReadFile(const std::string& path);
bool WriteFile(const std::string& path, const std::string& content);
bool FileExists(const std::string& path);

// A background process that is killed (SIGTERM, then SIGKILL) when the object
// goes away. Its standard output is captured line by line so a test can wait
// for the line a simulator prints when it is ready.
class Background {
 public:
  Background(const std::vector<std::string>& argv, const RunOptions& options = RunOptions());
  ~Background();
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  // Waits up to timeoutMs for a line of standard output that contains
  // `needle`; returns that line, or an empty string on time-out or exit.
  std::string WaitForLine(const std::string& needle, int timeoutMs = 10000);
  // Everything read from standard output so far.
  std::string Output();
  // Sends SIGTERM and waits; returns the exit status.
  int Stop(int timeoutMs = 5000);

 private:
  void Pump(int timeoutMs);
  int pid_ = -1;
  int outFd_ = -1;
  std::string buffer_;
  size_t consumed_ = 0;
};

}  // namespace qntest

#endif  // QN_TESTS_SUPPORT_TESTSUPPORT_H
