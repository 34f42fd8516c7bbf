// The Updater binary's command line as a user sees it: usage texts byte for
// byte, exit statuses, error messages and the run order.
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/Lab.h"
#include "tests/support/TestSupport.h"
#include "tests/updater/UpdaterTestUtil.h"

namespace {

using qntest::FileExists;
using qntest::ReadFile;
using qntest::RunResult;
using qntest::TempDir;

const char kBannerPrefix[] = "Quillnode Updater ";

std::string Expected(const std::string& name) {
  std::string path = std::string(QN_SOURCE_DIR) + "/tests/integration/expected/" + name;
  std::string text = ReadFile(path);
  EXPECT_FALSE(text.empty()) << "missing expected file " << path;
  return text;
}

// Splits off the banner line; fails when the output does not start with it.
std::string AfterBanner(const std::string& out) {
  size_t nl = out.find('\n');
  EXPECT_EQ(out.compare(0, strlen(kBannerPrefix), kBannerPrefix), 0) << out;
  if (nl == std::string::npos) return std::string();
  return out.substr(nl + 1);
}

class CliTest : public testing::Test {
 protected:
  RunResult Updater(const std::vector<std::string>& args) {
    RunResult r = qntest::RunUpdater(home_.path(), args);
    EXPECT_FALSE(r.timedOut);
    return r;
  }
  std::string StoreDir() const { return qntest::StoreDir(home_.path()); }
  // An update server with build 12 (an image of `size` bytes) for 40F5849A.
  std::unique_ptr<qntest::UpdateServer> ServeBuild12(size_t size) {
    std::string image = home_ / "image.bin";
    EXPECT_TRUE(qntest::WriteFile(image, std::string(size, 'Q')));
    EXPECT_TRUE(
        qntest::PackBird({"-o", b12_, "--firmware", "0:" + image, "--info", "12,1.2,40F5849A,QN"}));
    std::unique_ptr<qntest::UpdateServer> server(new qntest::UpdateServer(
        home_ / "server", {{"40F5849A", "QN", "12", {{"12", {"1.2", b12_}}}}}));
    EXPECT_TRUE(server->ready());
    return server;
  }

  TempDir home_;
  std::string b12_ = home_ / "fw12.bird";
};

// ---- help and usage -------------------------------------------------------

// No arguments, or only values without a command: the short usage. Any help
// option: the full usage, and it wins over commands and unknown options; the
// extended usage needs the log mask before the help option. Nothing else runs.
TEST_F(CliTest, UsageTextsAndTheirOptions) {
  struct {
    std::vector<std::string> args;
    const char* expected;
  } cases[] = {
      {{}, "usage_short.txt"},
      {{"-d", "40F5849A", "-t", "TCP", "-OVERRIDE", "stray"}, "usage_short.txt"},
      {{"-h"}, "usage_full.txt"},
      {{"-H"}, "usage_full.txt"},
      {{"--help"}, "usage_full.txt"},
      {{"--he"}, "usage_full.txt"},
      {{"-Q", "-h", "-D"}, "usage_full.txt"},
      {{"-h", "-X", "0x10000"}, "usage_full.txt"},
      {{"-X", "1", "-h"}, "usage_extended.txt"},
      {{"-X", "0x10000", "-h"}, "usage_extended.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "no arguments" : c.args[0]);
    RunResult r = Updater(c.args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(AfterBanner(r.out), Expected(c.expected));
    EXPECT_EQ(r.err, "");
  }
  EXPECT_FALSE(FileExists(home_ / ".vorlaine"));
}

// Runs whose whole console output is fixed. A parameter error shows the
// short usage and runs nothing (no store yet); a malformed log mask is
// reported and the run goes on; "-l" text is logged as it is, not as a
// format; "-U" without a serial port and RECOVER fails; commands run in the
// fixed order whatever their place, a failed "-U" not stopping a later "-C";
// "-I" needs a known serial number.
TEST_F(CliTest, ConsoleTextsOfSimpleRuns) {
  const std::string missing = home_ / "none.bird";
  const std::string kRecoverNeeded =
      "\nERROR ==> Must specify both the serial port and RECOVER link type.\n\n";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out;  // "USAGE": the banner and the short usage
    std::string err;
  } cases[] = {
      {{"-Y", "-d", "40F5849G", "-t", "tcp", "-Z", "1"},
       1,
       "USAGE",
       "ERROR: Unhandled command: [-Y]\n"
       "ERROR: Invalid serial number obtained from argument [40F5849G]\n"
       "ERROR: invalid transport type:[tcp]\n"
       "Must be one of the following: USB, TCPIP, RECOVER\n"},
      {{"-X", "12z", "-Z", "1"},
       0,
       "",
       "ERROR: Invalid format for \"-X\" parameter, unprocessed characters [z]\n"},
      {{"-Z", "1", "-l", "100%s %d"}, 0, "LOGGING ==> 100%s %d\n", ""},
      {{"-U", "-s", "/dev/ttyUSB0"}, 1, kRecoverNeeded, ""},
      {{"-U", "-t", "RECOVER"}, 1, kRecoverNeeded, ""},
      {{"-U", "-t", "TCP", "-s", "x"}, 1, kRecoverNeeded, ""},
      {{"-I", "-d", "0BADBEEF"},
       0,
       "Error: Cannot locate information for specfic serial number [0BADBEEF]\n",
       ""},
      {{"-I"},
       1,
       "Error: Must supply a specfic serial number [\"-d\"] to list device information\n",
       ""},
      {{"-C", "-f", missing, "-U", "-s", "x", "-l", "first", "-Z", "1"},
       1,
       "LOGGING ==> first\n" + kRecoverNeeded + "\t\t" + missing +
           ": *** invalid file format ***, SERIAL NUMBER NOT VERIFIED\n",
       ""},
  };
  bool first = true;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args.back());
    RunResult r = Updater(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(c.out == "USAGE" ? AfterBanner(r.out) : r.out,
              c.out == "USAGE" ? Expected("usage_short.txt") : c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(FileExists(home_ / ".vorlaine"), !first);
    first = false;
  }
  EXPECT_EQ(qntest::FileMode(home_ / ".vorlaine") & 0700, 0700u);
  std::string history = ReadFile(StoreDir() + "/.history");
  const std::string stamp = "\\d{4}(:\\d\\d){5} \\| ";
  EXPECT_TRUE(qntest::Matches(history, stamp + "100%s %d\n" + stamp + "first\n")) << history;
}

// ---- run order ------------------------------------------------------------

TEST_F(CliTest, AStoreThatCannotBePreparedEndsTheRunBeforeAnyCommand) {
  // The home directory is a regular file, so ".vorlaine" cannot be made in it.
  std::string home = home_ / "plain-file";
  ASSERT_TRUE(qntest::WriteFile(home, "x"));
  RunResult quiet = qntest::RunUpdater(home, {"-Z", "1", "-l", "lost", "-C"});
  EXPECT_EQ(quiet.status, 1);
  EXPECT_EQ(quiet.out, "");
  EXPECT_EQ(ReadFile(home), "x");
}

// ---- store faults -----------------------------------------------------------

// A 256 KB tmpfs at `dir`, in a mount namespace of this test process only
// (the Updater runs inherit it). False, with the reason, when that cannot be
// had (not root, no namespaces: unshare fails with EPERM).
bool MountSmallDisk(const std::string& dir, std::string* why) {
  if (unshare(CLONE_NEWNS) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mkdir(dir.c_str(), 0755) != 0 || mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=256k") != 0) {
    *why = std::string("no private mount: ") + strerror(errno);
    return false;
  }
  return true;
}

// Takes every free block of the file system that holds `dir`.
void FillDisk(const std::string& dir) {
  FILE* f = fopen((dir + "/filler").c_str(), "wb");
  ASSERT_NE(f, nullptr);
  setvbuf(f, nullptr, _IONBF, 0);
  std::string block(4096, 'f');
  while (fwrite(block.data(), 1, block.size(), f) == block.size()) {
  }
  while (fwrite("f", 1, 1, f) == 1) {
  }
  fclose(f);
}

// What a user meets when the disk is full, a file-size limit applies, the
// store holds links or several runs overlap: every failure is reported with
// the path and the system's reason, exits 1, and leaves the files as they
// were (a history line is written whole or not at all).
TEST_F(CliTest, StoreFaults) {
  auto server = ServeBuild12(3000);
  const std::string oldBuild = "old build kept";
  std::string why;
  bool smallDisk = MountSmallDisk(home_ / "small", &why);
  // Runs are on the small disk or under a file-size limit when asked.
  enum Where { kHome, kSmallDisk, kSizeLimit };
  struct Case {
    const char* name;
    Where where;
    std::function<void(const std::string& store)> prepare;
    std::vector<std::string> args;
    int status;
    std::string expected;  // in the output, STORE standing for the store path
    std::function<void(const std::string& store)> check;
  } cases[] = {
      {"-l on a full disk takes back what it could write",
       kSmallDisk,
       [](const std::string& store) {
         ASSERT_TRUE(qntest::WriteFile(store + "/.history", std::string(3000, 'h') + "\n"));
         FillDisk(store + "/..");
       },
       {"-l", std::string(1500, 'm')},
       1,
       "ERROR ==> Could not add the message to [STORE/.history]: No space left on device.\n",
       [](const std::string& store) {
         EXPECT_EQ(ReadFile(store + "/.history"), std::string(3000, 'h') + "\n");
       }},
      {"-G on a full disk keeps the stored build",
       kSmallDisk,
       [&](const std::string& store) {
         ASSERT_EQ(mkdir((store + "/40F5849A").c_str(), 0755), 0);
         ASSERT_TRUE(qntest::WriteFile(store + "/40F5849A/12.bird", oldBuild));
         FillDisk(store + "/..");
       },
       {"-G", "-d", "40F5849A", "-u", server->url()},
       1,
       "ERROR ==> Could not write [STORE/40F5849A/12.bird]: No space left on device.\n",
       [&](const std::string& store) {
         EXPECT_EQ(ReadFile(store + "/40F5849A/12.bird"), oldBuild);
         EXPECT_EQ(qntest::ListNames(store + "/40F5849A"),
                   (std::set<std::string>{"12.bird", ".history"}));
       }},
      {"-l under a file-size limit reports it instead of dying",
       kSizeLimit,
       [](const std::string& store) {
         ASSERT_TRUE(qntest::WriteFile(store + "/.history", std::string(1000, 'h') + "\n"));
       },
       {"-l", "one more"},
       1,
       "ERROR ==> Could not add the message to [STORE/.history]: File too large.\n",
       nullptr},
      {"a .history that is a link is reported, not appended through",
       kHome,
       [&](const std::string& store) {
         ASSERT_TRUE(qntest::WriteFile(home_ / "victim", "v\n"));
         ASSERT_EQ(unlink((store + "/.history").c_str()), 0);
         ASSERT_EQ(symlink((home_ / "victim").c_str(), (store + "/.history").c_str()), 0);
       },
       {"-l", "x"},
       1,
       "ERROR ==> Could not add the message to [STORE/.history]: Too many levels of symbolic "
       "links.\n",
       [&](const std::string&) { EXPECT_EQ(ReadFile(home_ / "victim"), "v\n"); }},
  };
  int skipped = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.where == kSmallDisk && !smallDisk) {
      ++skipped;
      continue;
    }
    std::string home = c.where == kSmallDisk ? home_ / "small" : home_ / "home";
    ASSERT_EQ(system(("rm -rf " + home + "/* " + home + "/.vorlaine; mkdir -p " + home).c_str()),
              0);
    std::string store = qntest::StoreDir(home);
    ASSERT_EQ(qntest::RunUpdater(home, {"-Z", "1"}).status, 0);
    c.prepare(store);
    std::vector<std::string> argv = {qntest::UpdaterPath()};
    if (c.where == kSizeLimit) argv = {"/usr/bin/prlimit", "--fsize=1024", qntest::UpdaterPath()};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    argv.insert(argv.end(), {"-Z", "1"});
    qntest::RunOptions options;
    options.env["QUILLNODE_HOME"] = home;
    RunResult r = qntest::Run(argv, options);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    std::string expected = c.expected;
    size_t at = expected.find("STORE");
    if (at != std::string::npos) expected.replace(at, 5, store);
    EXPECT_NE(r.out.find(expected), std::string::npos) << r.out;
    if (c.check) c.check(store);
  }
  if (smallDisk) umount2((home_ / "small").c_str(), MNT_DETACH);
  if (skipped) GTEST_SKIP() << skipped << " full-disk cases skipped: " << why;
}

// Parallel downloads of one build each replace the file whole.
TEST_F(CliTest, ParallelDownloadsOfOneBuild) {
  auto server = ServeBuild12(20000);
  std::vector<std::future<RunResult>> runs;
  for (int i = 0; i < 4; ++i)
    runs.push_back(std::async(std::launch::async, [&] {
      return qntest::RunUpdater(home_.path(), {"-G", "-d", "40F5849A", "-u", server->url()});
    }));
  for (auto& run : runs) {
    RunResult r = run.get();
    EXPECT_EQ(r.status, 0) << r.out;
  }
  EXPECT_EQ(ReadFile(StoreDir() + "/40F5849A/12.bird"), ReadFile(b12_));
  for (const std::string& name : qntest::ListNames(StoreDir() + "/40F5849A"))
    EXPECT_EQ(name.find("qnpart"), std::string::npos) << name;
}

// ---- "-C" -----------------------------------------------------------------

TEST_F(CliTest, CheckOfAnOfflineBirdFileListsItsBuildInformation) {
  // The image holds the serial number where the offsets block says.
  std::string image = home_ / "image.bin", file = home_ / "99528558.bird";
  ASSERT_TRUE(qntest::WriteFile(image, std::string("\x9A\x84\xF5\x40\x01\x02", 6)));
  ASSERT_TRUE(qntest::PackBird({"-o", file, "--firmware", "0:" + image, "--serial-offsets", "0,0",
                                "--info", "99528558,1.2.3,40F5849A,QN-Hub"}));
  const std::string details =
      "\n\t\t\tBuild:   99528558        \n\t\t\tVersion: 1.2.3           "
      "\n\t\t\tSerial#: 40F5849A        \n\t\t\tModel:   QN-Hub          \n\t\t\t\n";

  for (const auto& c : {std::make_pair("40F5849A", "serial number verifed"),
                        std::make_pair("12345678", "SERIAL NUMBER NOT VERIFIED")}) {
    RunResult r = Updater({"-C", "-f", file, "-d", c.first});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\t\t" + file + ": verified, valid firmware blocks, offline compatible, " +
                         c.second + details);
  }
}

// ---- "-k" -----------------------------------------------------------------

TEST_F(CliTest, LogFileCollectsTheDiagnosticChannels) {
  std::string log = home_ / "diag.log";
  RunResult r = Updater({"-k", log, "-X", "0x10000"});
  EXPECT_EQ(r.status, 0);
  std::string echo = "\nApplication parameters:[Updater]\n\t[" + qntest::UpdaterPath() +
                     "]\n\t[-k]\n\t[" + log + "]\n\t[-X]\n\t[0x10000]\n";
  EXPECT_EQ(ReadFile(log), echo);
  EXPECT_EQ(r.out.compare(0, echo.size(), echo), 0) << r.out;  // still on the console too
  EXPECT_EQ(AfterBanner(r.out.substr(echo.size())), Expected("usage_short.txt"));

  // A second run appends.
  Updater({"-k", log, "-X", "0x10000"});
  EXPECT_EQ(ReadFile(log), echo + echo);

  // A log file that cannot be opened does not fail the run.
  std::string lost = home_ / "no/such/dir.log";
  r = Updater({"-k", lost, "-Z", "1"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "ERROR: Cannot open log file [" + lost + "]\n");
}

}  // namespace
