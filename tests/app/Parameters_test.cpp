#include "app/Parameters.h"

#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/Log.h"
#include "tests/support/TestSupport.h"

namespace {

// One get_params call on a command line, with what it printed and the words
// of argv as they were left afterwards.
struct Parsed {
  int result = -1;
  Parameters params;
  std::string out;
  std::string err;
  std::vector<std::string> argv;
};

Parsed Parse(std::vector<std::string> words) {
  words.insert(words.begin(), "/usr/local/bin/Updater");
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);
  Parsed p;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  p.result = get_params((int)words.size(), argv.data(), &p.params);
  fflush(stdout);
  fflush(stderr);
  p.out = testing::internal::GetCapturedStdout();
  p.err = testing::internal::GetCapturedStderr();
  for (size_t i = 0; i < words.size(); ++i) p.argv.push_back(argv[i]);
  return p;
}

class ParametersTest : public testing::Test {
 protected:
  void SetUp() override { Log::package_bitmask = 0; }
  void TearDown() override {
    Log::package_bitmask = 0;
    Log::SetLogFile(nullptr);
  }
};

TEST_F(ParametersTest, NoArgumentsGiveNoCommandAndNoOutput) {
  Parsed p = Parse({});
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.out + p.err, "");
  EXPECT_EQ(p.params.commands.mask, 0u);
  EXPECT_EQ(p.params.linkType, 1u);
  EXPECT_EQ(p.params.appName, "Updater");
  EXPECT_EQ(p.params.logFileName, "Updater.log");
}

TEST_F(ParametersTest, EachCommandOptionSetsItsOwnBit) {
  struct {
    const char* option;
    uint32_t bit;
  } cases[] = {{"-B", COMMAND_BUILDS},  {"-C", COMMAND_CHECK}, {"-D", COMMAND_DISCOVER},
               {"-G", COMMAND_GET},     {"-I", COMMAND_INFO},  {"-N", COMMAND_FINGERPRINT},
               {"-U", COMMAND_UPDATE},  {"-h", COMMAND_HELP},  {"-H", COMMAND_HELP},
               {"--help", COMMAND_HELP}};
  for (auto& c : cases) {
    Parsed p = Parse({c.option});
    EXPECT_EQ(p.result, 0) << c.option;
    EXPECT_EQ(p.params.commands.mask, c.bit) << c.option;
    EXPECT_EQ(p.err, "") << c.option;
  }
  EXPECT_EQ(Parse({"-Z", "1"}).params.commands.mask, (uint32_t)COMMAND_Z);
}

// ---- scanner rules --------------------------------------------------------

// Unique prefixes after the hyphens select the long options; words that match
// no row are skipped silently.
TEST_F(ParametersTest, PrefixesSelectLongOptionsAndOtherWordsAreSkipped) {
  for (const char* word : {"-O", "-OVER", "-OVERRIDE"}) {
    EXPECT_TRUE(Parse({word}).params.overrideModel) << word;
  }
  for (const char* word : {"--h", "--hel", "--help"}) {
    EXPECT_TRUE(Parse({word}).params.commands.IsSet(COMMAND_HELP)) << word;
  }
  for (const char* word : {"--D", "-", "--", "---help", "-OVERRIDEX", "-DU", "-d40F5849A", "-Q",
                           "-help", "-o0", "-x"}) {
    Parsed p = Parse({word});
    EXPECT_EQ(p.result, 0) << word;
    EXPECT_EQ(p.params.commands.mask, 0u) << word;
    EXPECT_FALSE(p.params.overrideModel || p.params.serialNumber || p.params.baudRate != 115200)
        << word;
    EXPECT_EQ(p.out + p.err, "") << word;
  }
}

TEST_F(ParametersTest, HelpStopsTheScanAndDiscardsEarlierErrors) {
  Parsed p = Parse({"-h", "-D"});
  EXPECT_EQ(p.result, 0);
  EXPECT_FALSE(p.params.commands.IsSet(COMMAND_DISCOVER));

  Parsed q = Parse({"-Q", "-h"});
  EXPECT_EQ(q.result, 0);
  EXPECT_TRUE(q.params.helpRequested);

  // The error is still reported, but the result is the help's.
  Parsed y = Parse({"-Y", "-d", "zz", "--help", "-t", "bad"});
  EXPECT_EQ(y.result, 0);
  EXPECT_TRUE(y.params.helpRequested);
  EXPECT_EQ(y.err,
            "ERROR: Unhandled command: [-Y]\n"
            "ERROR: Invalid serial number obtained from argument [zz]\n");
}

TEST_F(ParametersTest, EqualsGivesAValueToParametersOnly) {
  Parsed d = Parse({"-d=40F5849A"});
  EXPECT_EQ(d.params.serialNumber, 0x40F5849Au);

  Parsed l = Parse({"-l=a=b"});  // split at the first "="
  EXPECT_EQ(l.params.logMessage, "a=b");

  Parsed over = Parse({"-OVER=1", "-D=x", "-h=1"});
  EXPECT_EQ(over.result, 0);
  EXPECT_FALSE(over.params.overrideModel || over.params.helpRequested);
  EXPECT_EQ(over.params.commands.mask, 0u);

  // An empty value after "=" is a value, and an invalid serial number.
  Parsed empty = Parse({"-d="});
  EXPECT_EQ(empty.result, 1);
  EXPECT_EQ(empty.err, "ERROR: Invalid serial number obtained from argument []\n");
}

TEST_F(ParametersTest, AParameterBeforeAnOptionHasNoValueAndTheOptionStillCounts) {
  Parsed p = Parse({"-d", "-D"});
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.params.serialNumber, 0u);
  EXPECT_TRUE(p.params.commands.IsSet(COMMAND_DISCOVER));
  EXPECT_EQ(p.err, "");

  Parsed last = Parse({"-e"});
  EXPECT_FALSE(last.params.echo);
  EXPECT_EQ(last.out + last.err, "");
  EXPECT_TRUE(Parse({"-e", "1"}).params.echo);
  // A value that begins with "-" cannot be given as the next word, only with "=".
  EXPECT_EQ(Parse({"-l", "-note"}).params.logMessage, "");
  EXPECT_EQ(Parse({"-l=-note"}).params.logMessage, "-note");
}

// Loose words are ignored and moved behind the options; the application
// channel echoes the reordered command line.
TEST_F(ParametersTest, LooseWordsAreMovedBehindTheOptionsAndEchoed) {
  Parsed p = Parse({"foo", "-X", "0x10000", "bar", "-d", "12", "-Q", "-t", "TCP"});
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.params.serialNumber, 0x12u);
  EXPECT_EQ(p.params.linkType, 2u);
  std::vector<std::string> expected = {
      "/usr/local/bin/Updater", "-X", "0x10000", "-d", "12", "-Q", "-t", "TCP", "foo", "bar"};
  EXPECT_EQ(p.argv, expected);
  std::string echo = "\nApplication parameters:[Updater]\n";
  for (const std::string& word : expected) echo += "\t[" + word + "]\n";
  EXPECT_EQ(p.out, echo);
}

// ---- option values ------------------------------------------------------

TEST_F(ParametersTest, LogMaskIsDecimalOrHexAccumulatesAndReportsTrailingCharacters) {
  EXPECT_EQ(Parse({"-X", "65536"}).params.logMask, 0x10000u);
  EXPECT_EQ(Log::package_bitmask, 0x10000u);
  Log::package_bitmask = 0;
  Parsed two = Parse({"-X", "1", "-X=0X4"});
  EXPECT_EQ(two.params.logMask, 4u);
  EXPECT_EQ(Log::package_bitmask, 5u);
  Log::package_bitmask = 0;
  for (const char* bad : {"12z", "0x"}) {
    Parsed p = Parse({"-X", bad});
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.err, std::string("ERROR: Invalid format for \"-X\" parameter, unprocessed "
                                 "characters [") +
                         bad[strlen(bad) - 1] + "]\n");
    EXPECT_EQ(Log::package_bitmask, 0u);
  }
  // Channels switch on while scanning, so a later error does not undo them.
  EXPECT_EQ(Parse({"-X", "0x20", "-Y"}).result, 1);
  EXPECT_EQ(Log::package_bitmask, 0x20u);
}

TEST_F(ParametersTest, SerialNumbersAreHexWithAnOptionalPrefix) {
  for (auto args : std::vector<std::vector<std::string>>{
           {"-d", "0x40f5849a"}, {"-d", "40F5849A"}, {"-d=40F5849A"}, {"-d", "0X40F5849A"}}) {
    Parsed p = Parse(args);
    EXPECT_EQ(p.result, 0) << args[0];
    EXPECT_EQ(p.params.serialNumber, 0x40F5849Au) << args[0];
    EXPECT_EQ(p.out, "");  // the prefix note is on a channel that is off
  }
  EXPECT_EQ(Parse({"-d", "123456789"}).params.serialNumber, 0x23456789u);
  // The prefix note needs the updater channel active beforehand.
  Parsed p = Parse({"-X", "1", "-d", "0x40f5849a", "-r", "0xD272031D"});
  EXPECT_EQ(p.out,
            "Discarding '0x' serial number prefix\n"
            "Discarding '0x' router serial number prefix\n");
  EXPECT_EQ(p.params.routerSerialNumber, 0xD272031Du);
  Log::package_bitmask = 0;
  EXPECT_EQ(Parse({"-d", "0x40f5849a", "-X", "1"}).out, "");
}

TEST_F(ParametersTest, InvalidSerialNumbersAreErrors) {
  struct {
    std::vector<std::string> args;
    const char* err;
  } cases[] = {
      {{"-d", "40F5849G"}, "ERROR: Invalid serial number obtained from argument [40F5849G]\n"},
      {{"-d", "0x"}, "ERROR: Invalid serial number obtained from argument []\n"},
      {{"-d", "0"}, "ERROR: Invalid serial number obtained from argument [0]\n"},
      {{"-r", "R2D2"}, "ERROR: Invalid router serial number obtained from argument [R2D2]\n"},
  };
  for (auto& c : cases) {
    Parsed p = Parse(c.args);
    EXPECT_EQ(p.result, 1) << c.args[1];
    EXPECT_EQ(p.err, c.err);
    EXPECT_EQ(p.params.serialNumber, 0u);
    EXPECT_EQ(p.params.routerSerialNumber, 0u);
  }
}

TEST_F(ParametersTest, TransportLooksOnlyAtTheLeadingCharacters) {
  struct {
    const char* value;
    uint32_t linkType;
  } cases[] = {{"USBX", 1}, {"TCP", 2}, {"TCPIP", 2}, {"RECOVERY", 255}};
  for (auto& c : cases) {
    Parsed p = Parse({"-t", c.value});
    EXPECT_EQ(p.result, 0) << c.value;
    EXPECT_EQ(p.params.linkType, c.linkType) << c.value;
  }
  for (const char* bad : {"tcp", "RECOVE"}) {
    Parsed p = Parse({"-t", bad});
    EXPECT_EQ(p.result, 1) << bad;
    EXPECT_EQ(p.params.linkType, 0u) << bad;
    EXPECT_EQ(p.err, std::string("ERROR: invalid transport type:[") + bad +
                         "]\nMust be one of the following: USB, TCPIP, RECOVER\n");
  }
}

TEST_F(ParametersTest, BuildAndBaudRateAreStrictDecimals) {
  EXPECT_EQ(Parse({"-b", "99528558"}).params.build, "99528558");
  EXPECT_EQ(Parse({"-b", "007"}).params.build, "7");
  EXPECT_EQ(Parse({"-b", "4294967296"}).params.build, "0");
  EXPECT_EQ(Parse({"-o", "96k"}).params.baudRate, 0u);
  Parsed p = Parse({"-b", "12a", "-o", "x"});
  EXPECT_EQ(p.params.build, "0");
  EXPECT_EQ(p.result, 0);  // not checked here
  EXPECT_EQ(p.err, "");
}

TEST_F(ParametersTest, SeveralErrorsAreAllReportedInOneRun) {
  Parsed p = Parse({"-Y", "-d", "xyz", "-t", "bad", "-D"});
  EXPECT_EQ(p.result, 1);
  EXPECT_EQ(p.err,
            "ERROR: Unhandled command: [-Y]\n"
            "ERROR: Invalid serial number obtained from argument [xyz]\n"
            "ERROR: invalid transport type:[bad]\n"
            "Must be one of the following: USB, TCPIP, RECOVER\n");
  EXPECT_TRUE(p.params.commands.IsSet(COMMAND_DISCOVER));
}

// The -k file receives the diagnostics of the rest of the scan.
TEST_F(ParametersTest, LogFileOptionOpensTheDiagnosticFile) {
  qntest::TempDir dir;
  std::string file = dir / "run.log";
  Parsed p = Parse({"-k", file, "-X", "0x10000", "-Z", "1"});
  EXPECT_EQ(p.result, 0);
  Log::SetLogFile(nullptr);
  EXPECT_NE(qntest::ReadFile(file).find("\nApplication parameters:[Updater]\n"), std::string::npos);
  // An unopenable log file is reported but is not an error.
  Parsed bad = Parse({"-k", dir / "missing/run.log"});
  EXPECT_EQ(bad.result, 0);
  EXPECT_EQ(bad.err, "ERROR: Cannot open log file [" + (dir / "missing/run.log") + "]\n");
}

TEST_F(ParametersTest, ArbitraryCommandLinesKeepEveryWordAndNeverCrash) {
  const char* pool[] = {"-",  "--", "-d", "-d=",  "=",   "-=",    "-X",  "0x",  "-OVER", "--help=",
                        "",   "x",  "-t", "USB",  "-Y",  "-k",    "-e",  "-Z",  "-b",    "-0",
                        "-U", "-s", "-l", "%s%n", "-O=", "-X=0x", "12z", "--h", "-h=",   "-o"};
  uint32_t seed = 12345;
  for (int run = 0; run < 300; ++run) {
    std::vector<std::string> words;
    int count = (int)(seed % 7);
    for (int i = 0; i < count; ++i) {
      seed = seed * 1103515245u + 12345u;
      const char* w = pool[(seed >> 8) % (sizeof(pool) / sizeof(pool[0]))];
      if (strcmp(w, "-k") == 0 || strcmp(w, "-h") == 0) continue;  // no files, no help
      words.push_back(w);
    }
    seed = seed * 1103515245u + 12345u;
    Parsed p = Parse(words);
    EXPECT_TRUE(p.result == 0 || p.result == 1);
    // The scanner only reorders argv: the same words are still there.
    std::vector<std::string> before = words, after(p.argv.begin() + 1, p.argv.end());
    std::sort(before.begin(), before.end());
    std::sort(after.begin(), after.end());
    if (!p.params.helpRequested) {
      EXPECT_EQ(before, after);
    }
    Log::package_bitmask = 0;
  }
}

}  // namespace
