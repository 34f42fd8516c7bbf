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

TEST_F(ParametersTest, NoArgumentsGiveTheDefaults) {
  Parsed p = Parse({});
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.out, "");
  EXPECT_EQ(p.err, "");
  const Parameters& r = p.params;
  EXPECT_EQ(r.commands.mask, 0u);
  EXPECT_EQ(r.serialNumber, 0u);
  EXPECT_EQ(r.routerSerialNumber, 0u);
  EXPECT_EQ(r.linkType, 1u);
  EXPECT_FALSE(r.linkTypeGiven);
  EXPECT_EQ(r.serialPort, "");
  EXPECT_EQ(r.baudRate, 115200u);
  EXPECT_EQ(r.moduleNumber, 0u);
  EXPECT_EQ(r.birdFile, "");
  EXPECT_EQ(r.logMessage, "");
  EXPECT_EQ(r.build, "");
  EXPECT_FALSE(r.echo);
  EXPECT_EQ(r.serverUrl, "http://localhost:9890/cgi/u");
  EXPECT_EQ(r.appName, "Updater");
  EXPECT_EQ(r.logFileName, "Updater.log");
  EXPECT_FALSE(r.overrideModel);
  EXPECT_EQ(r.logMask, 0u);
  EXPECT_FALSE(r.logMaskGiven);
  EXPECT_FALSE(r.helpRequested);
}

TEST_F(ParametersTest, AppNameIsTheTextAfterTheLastSlashOrBackslash) {
  const char* cases[][2] = {{"Updater", "Updater"},
                            {"./bin/Updater", "Updater"},
                            {"C:\\tools\\Updater.exe", "Updater.exe"},
                            {"a/b\\c/", ""}};
  for (auto& c : cases) {
    std::string word = c[0];
    char* argv[] = {&word[0], nullptr};
    Parameters params;
    EXPECT_EQ(get_params(1, argv, &params), 0);
    EXPECT_EQ(params.appName, c[1]) << c[0];
  }
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
  Parsed z = Parse({"-Z", "1"});
  EXPECT_EQ(z.params.commands.mask, (uint32_t)COMMAND_Z);
  Parsed o = Parse({"-OVERRIDE"});
  EXPECT_TRUE(o.params.overrideModel);
  EXPECT_EQ(o.params.commands.mask, 0u);
}

TEST_F(ParametersTest, CommandsClassTestsGroupsOfBits) {
  CommandsClass c;
  EXPECT_FALSE(c.IsSet(0xFFFFFFFFu));
  c.Set(COMMAND_Z);
  EXPECT_TRUE(c.IsSet(COMMAND_GROUP_RUN));
  EXPECT_FALSE(c.IsSet(COMMAND_HELP));
  c.Set(COMMAND_HELP);
  EXPECT_TRUE(c.IsSet(COMMAND_HELP | COMMAND_DISCOVER));
  EXPECT_EQ(c.mask, 0x80000080u);
}

TEST_F(ParametersTest, EveryTableRowIsReachableByItsExactText) {
  int rows = 0;
  for (const OptionEntry* e = g_rgOptions; e->id != OPTION_END; ++e, ++rows) {
    ASSERT_NE(e->text, nullptr);
    EXPECT_EQ(e->text[0], '-');
    EXPECT_EQ(e->arg == OPTION_ARG_REQUIRED, e->id == OPTION_PARAMETER) << e->text;
    for (const OptionEntry* f = g_rgOptions; f != e; ++f)
      EXPECT_STRNE(e->text, f->text) << "duplicate row";
  }
  EXPECT_EQ(rows, 25);
}

// ---- scanner rules --------------------------------------------------------

TEST_F(ParametersTest, UniquePrefixesAfterTheHyphensSelectTheLongOptions) {
  for (const char* word : {"-O", "-OVER", "-OVERRID", "-OVERRIDE"}) {
    Parsed p = Parse({word});
    EXPECT_TRUE(p.params.overrideModel) << word;
  }
  for (const char* word : {"--h", "--he", "--hel", "--help"}) {
    Parsed p = Parse({word});
    EXPECT_TRUE(p.params.helpRequested) << word;
    EXPECT_TRUE(p.params.commands.IsSet(COMMAND_HELP)) << word;
  }
}

TEST_F(ParametersTest, WordsThatMatchNoRowAreSkippedSilently) {
  for (const char* word : {"--D", "-", "--", "---help", "-OVERRIDEX", "-DU", "-d40F5849A", "-Q",
                           "-help", "-o0", "-x"}) {
    Parsed p = Parse({word});
    EXPECT_EQ(p.result, 0) << word;
    EXPECT_EQ(p.params.commands.mask, 0u) << word;
    EXPECT_FALSE(p.params.overrideModel) << word;
    EXPECT_EQ(p.params.serialNumber, 0u) << word;
    EXPECT_EQ(p.params.baudRate, 115200u) << word;
    EXPECT_EQ(p.out, "") << word;
    EXPECT_EQ(p.err, "") << word;
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
  EXPECT_FALSE(over.params.overrideModel);
  EXPECT_EQ(over.params.commands.mask, 0u);
  EXPECT_FALSE(over.params.helpRequested);
  EXPECT_EQ(over.err, "");

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

  Parsed echo = Parse({"-e", "1"});
  EXPECT_TRUE(echo.params.echo);

  // A value that begins with "-" cannot be given as the next word, only with "=".
  Parsed dash = Parse({"-l", "-note"});
  EXPECT_EQ(dash.params.logMessage, "");
  Parsed eq = Parse({"-l=-note"});
  EXPECT_EQ(eq.params.logMessage, "-note");
}

TEST_F(ParametersTest, LooseWordsAreIgnoredAndMovedBehindTheOptions) {
  Parsed p = Parse({"foo", "-D", "bar", "-d", "12", "baz", "-Q", "-t", "TCP"});
  EXPECT_EQ(p.result, 0);
  EXPECT_TRUE(p.params.commands.IsSet(COMMAND_DISCOVER));
  EXPECT_EQ(p.params.serialNumber, 0x12u);
  EXPECT_EQ(p.params.linkType, 2u);
  std::vector<std::string> expected = {
      "/usr/local/bin/Updater", "-D", "-d", "12", "-Q", "-t", "TCP", "foo", "bar", "baz"};
  EXPECT_EQ(p.argv, expected);
}

TEST_F(ParametersTest, TheAppChannelEchoesTheReorderedCommandLine) {
  Parsed p = Parse({"-X", "0x10000", "foo", "-Z", "1"});
  EXPECT_EQ(p.out,
            "\nApplication parameters:[Updater]\n"
            "\t[/usr/local/bin/Updater]\n"
            "\t[-X]\n"
            "\t[0x10000]\n"
            "\t[-Z]\n"
            "\t[1]\n"
            "\t[foo]\n");
  EXPECT_TRUE(Log::IsActive(DEBUG_APP));
}

// ---- option values ------------------------------------------------------

TEST_F(ParametersTest, LogMaskIsDecimalOrHexAndAccumulates) {
  Parsed dec = Parse({"-X", "65536"});
  EXPECT_EQ(dec.params.logMask, 0x10000u);
  EXPECT_TRUE(dec.params.logMaskGiven);
  EXPECT_EQ(Log::package_bitmask, 0x10000u);

  Log::package_bitmask = 0;
  Parsed hex = Parse({"-X", "0X10000"});
  EXPECT_EQ(hex.params.logMask, 0x10000u);
  EXPECT_EQ(Log::package_bitmask, 0x10000u);

  Log::package_bitmask = 0;
  Parsed two = Parse({"-X", "1", "-X=0x4"});
  EXPECT_EQ(two.params.logMask, 4u);
  EXPECT_EQ(Log::package_bitmask, 5u);
}

TEST_F(ParametersTest, LogMaskWithTrailingCharactersIsReportedButNotAnError) {
  Parsed p = Parse({"-X", "12z"});
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.err, "ERROR: Invalid format for \"-X\" parameter, unprocessed characters [z]\n");
  EXPECT_EQ(Log::package_bitmask, 0u);
  EXPECT_TRUE(p.params.logMaskGiven);

  Parsed bare = Parse({"-X", "0x"});
  EXPECT_EQ(bare.err, "ERROR: Invalid format for \"-X\" parameter, unprocessed characters [x]\n");
  EXPECT_EQ(Log::package_bitmask, 0u);
}

TEST_F(ParametersTest, LogMaskFromAParameterErrorRunIsStillActive) {
  // Channels switch on while scanning, so a later error does not undo them.
  Parsed p = Parse({"-X", "0x20", "-Y"});
  EXPECT_EQ(p.result, 1);
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
  Parsed nine = Parse({"-d", "123456789"});
  EXPECT_EQ(nine.params.serialNumber, 0x23456789u);
}

TEST_F(ParametersTest, ThePrefixNoteNeedsTheUpdaterChannelActiveBeforehand) {
  Parsed p = Parse({"-X", "1", "-d", "0x40f5849a", "-r", "0xD272031D"});
  EXPECT_EQ(p.out,
            "Discarding '0x' serial number prefix\n"
            "Discarding '0x' router serial number prefix\n");
  EXPECT_EQ(p.params.routerSerialNumber, 0xD272031Du);

  Log::package_bitmask = 0;
  Parsed late = Parse({"-d", "0x40f5849a", "-X", "1"});
  EXPECT_EQ(late.out, "");
}

TEST_F(ParametersTest, InvalidSerialNumbersAreErrors) {
  struct {
    std::vector<std::string> args;
    const char* err;
  } cases[] = {
      {{"-d", "40F5849G"}, "ERROR: Invalid serial number obtained from argument [40F5849G]\n"},
      {{"-d", "0x"}, "ERROR: Invalid serial number obtained from argument []\n"},
      {{"-d", "0"}, "ERROR: Invalid serial number obtained from argument [0]\n"},
      {{"-d", "0x0x12"}, "ERROR: Invalid serial number obtained from argument [0x12]\n"},
      {{"-r", "R2D2"}, "ERROR: Invalid router serial number obtained from argument [R2D2]\n"},
      {{"-r", "0x00000000"},
       "ERROR: Invalid router serial number obtained from argument "
       "[00000000]\n"},
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
  } cases[] = {{"USB", 1},   {"USBX", 1},      {"TCP", 2},
               {"TCPIP", 2}, {"RECOVER", 255}, {"RECOVERY", 255}};
  for (auto& c : cases) {
    Parsed p = Parse({"-t", c.value});
    EXPECT_EQ(p.result, 0) << c.value;
    EXPECT_EQ(p.params.linkType, c.linkType) << c.value;
    EXPECT_TRUE(p.params.linkTypeGiven);
  }
  for (const char* bad : {"tcp", "US", "RECOVE", "IP"}) {
    Parsed p = Parse({"-t", bad});
    EXPECT_EQ(p.result, 1) << bad;
    EXPECT_EQ(p.params.linkType, 0u) << bad;
    EXPECT_TRUE(p.params.linkTypeGiven);
    EXPECT_EQ(p.err, std::string("ERROR: invalid transport type:[") + bad +
                         "]\nMust be one of the following: USB, TCPIP, RECOVER\n");
  }
}

TEST_F(ParametersTest, BuildAndBaudRateAreStrictDecimals) {
  EXPECT_EQ(Parse({"-b", "99528558"}).params.build, "99528558");
  EXPECT_EQ(Parse({"-b", "007"}).params.build, "7");
  EXPECT_EQ(Parse({"-b", "12a"}).params.build, "0");
  EXPECT_EQ(Parse({"-b", "4294967296"}).params.build, "0");
  EXPECT_EQ(Parse({"-o", "9600"}).params.baudRate, 9600u);
  EXPECT_EQ(Parse({"-o", "96k"}).params.baudRate, 0u);
  Parsed p = Parse({"-b", "12a", "-o", "x"});
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

TEST_F(ParametersTest, LogFileReceivesDiagnosticsButNotTheConsole) {
  qntest::TempDir dir;
  std::string file = dir / "run.log";
  Parsed p = Parse({"-k", file, "-X", "0x10000", "-Z", "1"});
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.params.logFileName, file);
  testing::internal::CaptureStdout();
  Log::FPrintf(stdout, 0, "console\n");
  Log::FPrintf(stdout, DEBUG_APP, "diagnostic\n");
  testing::internal::GetCapturedStdout();
  Log::SetLogFile(nullptr);
  std::string logged = qntest::ReadFile(file);
  EXPECT_NE(logged.find("\nApplication parameters:[Updater]\n"), std::string::npos) << logged;
  EXPECT_NE(logged.find("diagnostic\n"), std::string::npos);
  EXPECT_EQ(logged.find("console"), std::string::npos);
}

TEST_F(ParametersTest, AnUnopenableLogFileIsReportedButNotAnError) {
  qntest::TempDir dir;
  std::string file = dir / "missing/run.log";
  Parsed p = Parse({"-k", file});
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.err, "ERROR: Cannot open log file [" + file + "]\n");
}

// ---- number readers -------------------------------------------------------

TEST_F(ParametersTest, HexReaderAcceptsOnlyHexDigits) {
  const char* end = nullptr;
  const char* text = "fF";
  EXPECT_EQ(GetHexArg(text, &end), 0xFFu);
  EXPECT_EQ(end, text + 2);

  const char* empty = "";
  end = nullptr;
  EXPECT_EQ(GetHexArg(empty, &end), 0u);
  EXPECT_EQ(end, empty);

  const char* nine = "123456789";
  EXPECT_EQ(GetHexArg(nine, &end), 0x23456789u);
  EXPECT_EQ(end, nine + 9);

  const char* sentinel = "untouched";
  for (const char* bad : {"12g", "0x12", " 12", "12 ", "-1", "+1"}) {
    end = sentinel;
    EXPECT_EQ(GetHexArg(bad, &end), 0u) << bad;
    EXPECT_EQ(end, sentinel) << bad;
  }
  EXPECT_EQ(GetHexArg("ABC", nullptr), 0u);
}

TEST_F(ParametersTest, DecimalReaderAcceptsOnlyDigitsAndKeepsTheLow32Bits) {
  const char* end = nullptr;
  EXPECT_EQ(GetIntArg("115200", &end), 115200u);
  EXPECT_EQ(*end, '\0');
  EXPECT_EQ(GetIntArg("4294967295", &end), 4294967295u);
  EXPECT_EQ(GetIntArg("4294967297", &end), 1u);
  EXPECT_EQ(GetIntArg("", &end), 0u);
  const char* sentinel = "untouched";
  for (const char* bad : {"1a", "ff", "1.5", "-3"}) {
    end = sentinel;
    EXPECT_EQ(GetIntArg(bad, &end), 0u) << bad;
    EXPECT_EQ(end, sentinel) << bad;
  }
  EXPECT_EQ(GetIntArg("12", nullptr), 0u);
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
