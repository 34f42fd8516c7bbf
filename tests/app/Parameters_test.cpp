#include "app/Parameters.h"

#include <gtest/gtest.h>

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
  void TearDown() override { Log::package_bitmask = 0; }
};

// What a command line set, as words for the fields that differ from an empty
// command line: "cmd=" mask, "d=" and "r=" serial numbers, "t=" link type,
// "o=" baud rate, "l=" message, "b=" build, "X=" log mask, and "e", "O", "h"
// for echo, override and help.
std::string Summary(const Parameters& p) {
  const Parameters d;
  auto hex = [](uint32_t v) {
    char buf[16];
    snprintf(buf, sizeof buf, "%X", v);
    return std::string(buf);
  };
  std::string s;
  auto add = [&s](bool differs, const std::string& word) {
    if (differs) s += (s.empty() ? "" : " ") + word;
  };
  add(p.commands.mask != d.commands.mask, "cmd=" + hex(p.commands.mask));
  add(p.serialNumber != d.serialNumber, "d=" + hex(p.serialNumber));
  add(p.routerSerialNumber != d.routerSerialNumber, "r=" + hex(p.routerSerialNumber));
  add(p.linkType != d.linkType, "t=" + std::to_string(p.linkType));
  add(p.baudRate != d.baudRate, "o=" + std::to_string(p.baudRate));
  add(p.logMessage != d.logMessage, "l=" + p.logMessage);
  add(p.build != d.build, "b=" + p.build);
  add(p.logMask != d.logMask, "X=" + hex(p.logMask));
  add(p.echo, "e");
  add(p.overrideModel, "O");
  add(p.helpRequested, "h");
  return s;
}

// One command line per row: its result, the fields it set and its error
// output; nothing goes to standard output.
TEST_F(ParametersTest, CommandLines) {
  const char* kBadSerial = "ERROR: Invalid serial number obtained from argument [";
  const char* kTransports = "]\nMust be one of the following: USB, TCPIP, RECOVER\n";
  struct Case {
    std::vector<std::string> args;
    int result;
    std::string fields;
    std::string err;
  };
  std::vector<Case> cases = {
      {{}, 0, "", ""},
      // Each command option sets its own bit.
      {{"-B"}, 0, "cmd=4", ""},
      {{"-C"}, 0, "cmd=20", ""},
      {{"-D"}, 0, "cmd=1", ""},
      {{"-G"}, 0, "cmd=8", ""},
      {{"-I"}, 0, "cmd=10", ""},
      {{"-N"}, 0, "cmd=40", ""},
      {{"-U"}, 0, "cmd=2", ""},
      {{"-Z", "1"}, 0, "cmd=80", ""},
      {{"-H"}, 0, "cmd=80000000 h", ""},
      // Unique prefixes after the hyphens select the long options.
      {{"--h"}, 0, "cmd=80000000 h", ""},
      {{"--hel"}, 0, "cmd=80000000 h", ""},
      {{"-O"}, 0, "O", ""},
      {{"-OVER"}, 0, "O", ""},
      // Help stops the scan; its result wins over earlier errors, which are
      // still reported.
      {{"-h", "-D"}, 0, "cmd=80000000 h", ""},
      {{"-Q", "-h"}, 0, "cmd=80000000 h", ""},
      {{"-Y", "-d", "zz", "--help", "-t", "bad"},
       0,
       "cmd=80000000 h",
       std::string("ERROR: Unhandled command: [-Y]\n") + kBadSerial + "zz]\n"},
      // "=" gives a value to parameters only, split at the first "=".
      {{"-d=40F5849A"}, 0, "d=40F5849A", ""},
      {{"-l=a=b"}, 0, "l=a=b", ""},
      {{"-OVER=1", "-D=x", "-h=1"}, 0, "", ""},
      {{"-d="}, 1, "", std::string(kBadSerial) + "]\n"},
      // A parameter before an option has no value; the option still counts.
      // A value that begins with "-" can be given only with "=".
      {{"-d", "-D"}, 0, "cmd=1", ""},
      {{"-e"}, 0, "", ""},
      {{"-e", "1"}, 0, "e", ""},
      {{"-l", "-note"}, 0, "", ""},
      {{"-l=-note"}, 0, "l=-note", ""},
      // Serial numbers are hexadecimal with an optional prefix, cut to 32 bits.
      {{"-d", "0x40f5849a"}, 0, "d=40F5849A", ""},
      {{"-d", "0X40F5849A"}, 0, "d=40F5849A", ""},
      {{"-d", "123456789"}, 0, "d=23456789", ""},
      {{"-d", "40F5849G"}, 1, "", std::string(kBadSerial) + "40F5849G]\n"},
      {{"-d", "0x"}, 1, "", std::string(kBadSerial) + "]\n"},
      {{"-d", "0"}, 1, "", std::string(kBadSerial) + "0]\n"},
      {{"-r", "0xD272031D"}, 0, "r=D272031D", ""},
      {{"-r", "R2D2"},
       1,
       "",
       "ERROR: Invalid router serial number obtained from argument [R2D2]\n"},
      // The transport looks only at the leading characters.
      {{"-t", "USBX"}, 0, "", ""},
      {{"-t", "TCP"}, 0, "t=2", ""},
      {{"-t", "TCPIP"}, 0, "t=2", ""},
      {{"-t", "RECOVERY"}, 0, "t=255", ""},
      {{"-t", "tcp"}, 1, "t=0", std::string("ERROR: invalid transport type:[tcp") + kTransports},
      {{"-t", "RECOVE"},
       1,
       "t=0",
       std::string("ERROR: invalid transport type:[RECOVE") + kTransports},
      // Build and baud rate are strict decimals; a bad one is 0, not an error.
      {{"-b", "99528558"}, 0, "b=99528558", ""},
      {{"-b", "007"}, 0, "b=7", ""},
      {{"-b", "4294967296"}, 0, "b=0", ""},
      {{"-o", "96k"}, 0, "o=0", ""},
      {{"-b", "12a", "-o", "x"}, 0, "o=0 b=0", ""},
      // A malformed log mask is kept as read and reported, but neither
      // activated nor an error.
      {{"-X", "12z"},
       0,
       "X=C",
       "ERROR: Invalid format for \"-X\" parameter, unprocessed characters [z]\n"},
      {{"-X", "0x"},
       0,
       "",
       "ERROR: Invalid format for \"-X\" parameter, unprocessed characters [x]\n"},
  };
  // Words that match no option are skipped silently.
  for (const char* word :
       {"--D", "-", "--", "---help", "-OVERRIDEX", "-DU", "-d40F5849A", "-Q", "-help", "-o0", "-x"})
    cases.push_back({{word}, 0, "", ""});
  for (const auto& c : cases) {
    std::string line;
    for (const std::string& a : c.args) line += a + " ";
    Parsed p = Parse(c.args);
    EXPECT_EQ(p.result, c.result) << line;
    EXPECT_EQ(Summary(p.params), c.fields) << line;
    EXPECT_EQ(p.err, c.err) << line;
    EXPECT_EQ(p.out, "") << line;
    EXPECT_EQ(Log::package_bitmask, 0u) << line;
  }
}

// Loose words are ignored and moved behind the options; the application
// channel echoes the reordered command line.
TEST_F(ParametersTest, LooseWordsAreMovedBehindTheOptionsAndEchoed) {
  Parsed p = Parse({"foo", "-X", "0x10000", "bar", "-d", "12", "-Q", "-t", "TCP"});
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.params.serialNumber, 0x12u);
  EXPECT_EQ(p.params.linkType, 2u);
  EXPECT_EQ(Parse({}).params.linkType, 1u) << "USB by default";
  EXPECT_EQ(p.params.logFileName, "Updater.log");
  std::vector<std::string> expected = {
      "/usr/local/bin/Updater", "-X", "0x10000", "-d", "12", "-Q", "-t", "TCP", "foo", "bar"};
  EXPECT_EQ(p.argv, expected);
  std::string echo = "\nApplication parameters:[Updater]\n";
  for (const std::string& word : expected) echo += "\t[" + word + "]\n";
  EXPECT_EQ(p.out, echo);
}

// Channels switch on while scanning: the last value is kept, the mask
// accumulates, and a later error does not undo it.
TEST_F(ParametersTest, LogMaskAccumulatesWhileScanning) {
  Parsed two = Parse({"-X", "1", "-X=0X4"});
  EXPECT_EQ(two.params.logMask, 4u);
  EXPECT_EQ(Log::package_bitmask, 5u);
  Log::package_bitmask = 0;
  EXPECT_EQ(Parse({"-X", "65536"}).params.logMask, 0x10000u);
  EXPECT_EQ(Log::package_bitmask, 0x10000u);
  Log::package_bitmask = 0;
  EXPECT_EQ(Parse({"-X", "0x20", "-Y"}).result, 1);
  EXPECT_EQ(Log::package_bitmask, 0x20u);
}

TEST_F(ParametersTest, ArbitraryCommandLinesKeepEveryWordAndNeverCrash) {
  const char* pool[] = {"-",  "--", "-d",   "-d=", "=",     "-=",  "-X",  "0x",  "-OVER", "--help=",
                        "",   "x",  "-t",   "USB", "-Y",    "-e",  "-Z",  "-b",  "-0",    "-U",
                        "-s", "-l", "%s%n", "-O=", "-X=0x", "12z", "--h", "-h=", "-o"};
  uint32_t seed = 12345;
  for (int run = 0; run < 300; ++run) {
    std::vector<std::string> words;
    int count = (int)(seed % 7);
    for (int i = 0; i < count; ++i) {
      seed = seed * 1103515245u + 12345u;
      const char* w = pool[(seed >> 8) % (sizeof(pool) / sizeof(pool[0]))];
      words.push_back(w);
    }
    seed = seed * 1103515245u + 12345u;
    Parsed p = Parse(words);
    EXPECT_TRUE(p.result == 0 || p.result == 1);
    // The scanner only reorders argv: the same words are still there.
    std::vector<std::string> before = words, after(p.argv.begin() + 1, p.argv.end());
    std::sort(before.begin(), before.end());
    std::sort(after.begin(), after.end());
    EXPECT_TRUE(p.params.helpRequested || before == after);
    Log::package_bitmask = 0;
  }
}

}  // namespace
