// The Updater binary's command line as a user sees it: usage texts byte for
// byte, exit statuses, error messages and the run order.
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include <regex>
#include <string>
#include <vector>

#include "tests/support/Lab.h"
#include "tests/support/TestSupport.h"

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
  void SetUp() override {
    ASSERT_TRUE(FileExists(qntest::UpdaterPath())) << "Updater not built";
    ASSERT_FALSE(home_.path().empty());
  }
  RunResult Updater(const std::vector<std::string>& args) {
    RunResult r = qntest::RunUpdater(home_.path(), args);
    EXPECT_FALSE(r.timedOut);
    return r;
  }
  std::string StoreDir() const { return home_ / ".vorlaine/updater"; }

  TempDir home_;
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

TEST_F(CliTest, ParameterErrorsShowTheShortUsageAndFail) {
  RunResult r = Updater({"-Y", "-d", "40F5849G", "-t", "tcp", "-Z", "1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "ERROR: Unhandled command: [-Y]\n"
            "ERROR: Invalid serial number obtained from argument [40F5849G]\n"
            "ERROR: invalid transport type:[tcp]\n"
            "Must be one of the following: USB, TCPIP, RECOVER\n");
  EXPECT_EQ(AfterBanner(r.out), Expected("usage_short.txt"));
  EXPECT_FALSE(FileExists(home_ / ".vorlaine"));  // nothing runs after a parameter error
}

TEST_F(CliTest, AMalformedLogMaskIsReportedButTheRunGoesOn) {
  RunResult r = Updater({"-X", "12z", "-Z", "1"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "ERROR: Invalid format for \"-X\" parameter, unprocessed characters [z]\n");
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(FileExists(StoreDir()));
}

// ---- run order ------------------------------------------------------------

TEST_F(CliTest, ZAloneCreatesTheStoreAndSucceedsQuietly) {
  RunResult r = Updater({"-Z", "1"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(FileExists(StoreDir()));
  EXPECT_TRUE(FileExists(StoreDir() + "/.history"));
}

TEST_F(CliTest, AStoreThatCannotBePreparedEndsTheRunBeforeAnyCommand) {
  // The home directory is a regular file, so ".vorlaine" cannot be made in it.
  std::string home = home_ / "plain-file";
  ASSERT_TRUE(qntest::WriteFile(home, "x"));
  RunResult quiet = qntest::RunUpdater(home, {"-Z", "1", "-l", "lost", "-C"});
  EXPECT_EQ(quiet.status, 1);
  EXPECT_EQ(quiet.out, "");
  EXPECT_EQ(ReadFile(home), "x");

  RunResult noisy = qntest::RunUpdater(home, {"-X", "0x10000", "-Z", "1"});
  EXPECT_EQ(noisy.status, 1);
  EXPECT_NE(noisy.out.find("Updater: FailedaDirectory_Ensure(" + home + "/.vorlaine)==> "),
            std::string::npos)
      << noisy.out;
}

TEST_F(CliTest, HistoryMessageIsRecordedInTheStoreLog) {
  RunResult r = Updater({"-Z", "1", "-l", "bench check"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "LOGGING ==> bench check\n");
  std::string history = ReadFile(StoreDir() + "/.history");
  EXPECT_TRUE(std::regex_match(history, std::regex("\\d{4}(:\\d\\d){5} \\| bench check\n")))
      << history;

  // Printf conversions in the message are text, not formats.
  RunResult pct = Updater({"-Z", "1", "-l", "100%s %d"});
  EXPECT_EQ(pct.out, "LOGGING ==> 100%s %d\n");
  EXPECT_NE(ReadFile(StoreDir() + "/.history").find(" | 100%s %d\n"), std::string::npos);
}

TEST_F(CliTest, UpdateNeedsBothTheSerialPortAndTheRecoverType) {
  const char kMessage[] =
      "\nERROR ==> Must specify both the serial port and RECOVER link type.\n\n";
  for (auto args : std::vector<std::vector<std::string>>{
           {"-U", "-s", "/dev/ttyUSB0"}, {"-U", "-t", "RECOVER"}, {"-U", "-t", "TCP", "-s", "x"}}) {
    RunResult r = Updater(args);
    EXPECT_EQ(r.status, 1) << args[2];
    EXPECT_EQ(r.out, kMessage) << args[2];
  }
}

TEST_F(CliTest, CommandsRunInTheFixedOrderWhateverTheirPlaceOnTheLine) {
  std::string missing = home_ / "none.bird";
  RunResult r = Updater({"-C", "-f", missing, "-U", "-s", "x", "-l", "first", "-Z", "1"});
  EXPECT_EQ(r.status, 1);  // "-U" failed; the later "-C" still ran
  EXPECT_EQ(r.out,
            "LOGGING ==> first\n"
            "\nERROR ==> Must specify both the serial port and RECOVER link type.\n\n"
            "\t\t" +
                missing + ": *** invalid file format ***, SERIAL NUMBER NOT VERIFIED\n");
}

// ---- "-C" -----------------------------------------------------------------

// A file that is not BIRD, a truncated header (reading it must not crash)
// and no file at all are reported as invalid, and the run succeeds.
TEST_F(CliTest, CheckOfAFileThatIsNotBirdReportsItAndSucceeds) {
  std::string file = home_ / "file.bird";
  for (const char* content : {"this is not firmware\n", "bir", ""}) {
    ASSERT_TRUE(qntest::WriteFile(file, content));
    std::string name = *content ? file : "";
    RunResult r = *content ? Updater({"-C", "-f", file, "-d", "40F5849A"}) : Updater({"-C"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\t\t" + name + ": *** invalid file format ***, SERIAL NUMBER NOT VERIFIED\n");
  }
}

TEST_F(CliTest, CheckOfAnOfflineBirdFileListsItsBuildInformation) {
  // The image holds the serial number where the offsets block says.
  std::string image = home_ / "image.bin", file = home_ / "99528558.bird";
  ASSERT_TRUE(qntest::WriteFile(image, std::string("\x9A\x84\xF5\x40\x01\x02", 6)));
  ASSERT_TRUE(qntest::PackBird({"-o", file, "--firmware", "0:" + image, "--serial-offsets", "0,0",
                                "--info", "99528558,1.2.3,40F5849A,QN-Hub"}));
  const std::string details =
      "\n\t\t\tBuild:   99528558        \n\t\t\tVersion: 1.2.3           "
      "\n\t\t\tSerial#: 40F5849A        \n\t\t\tModel:   QN-Hub          \n\t\t\t\n";

  RunResult match = Updater({"-C", "-f", file, "-d", "40F5849A"});
  EXPECT_EQ(match.status, 0);
  EXPECT_EQ(match.out, "\t\t" + file +
                           ": verified, valid firmware blocks, offline compatible, serial number "
                           "verifed" +
                           details);

  RunResult other = Updater({"-C", "-f", file, "-d", "12345678"});
  EXPECT_EQ(other.status, 0);
  EXPECT_EQ(other.out, "\t\t" + file +
                           ": verified, valid firmware blocks, offline compatible, SERIAL NUMBER "
                           "NOT VERIFIED" +
                           details);
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
