#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "tests/support/TestSupport.h"
#include "tools/birdtool/BirdPack.h"

namespace {

using Bytes = std::vector<uint8_t>;

class BirdtoolTest : public testing::Test {
 protected:
  qntest::RunResult Tool(const std::vector<std::string>& args) {
    return qntest::RunTool("birdtool", args);
  }
  std::string Put(const std::string& name, const Bytes& content) {
    std::string path = dir_ / name;
    EXPECT_TRUE(qntest::WriteFile(path, std::string(content.begin(), content.end())));
    return path;
  }
  qntest::TempDir dir_;
};

// --- show ---------------------------------------------------------------

TEST_F(BirdtoolTest, ShowDescribesAPackedFile) {
  std::string out = dir_ / "s.bird";
  ASSERT_EQ(
      Tool({"pack", "-o", out, "--loader", "0x10000000:" + Put("l", Bytes(16, 1)), "--flags", "2",
            "--firmware", "0:" + Put("f", Bytes(64, 2)), "--info", "B1,1.0.0,0012ABCD,Hub",
            "--serial-offsets", "8,16", "--loader-entry", "0x20000400", "--stamp", "1.2.3,456"})
          .status,
      0);
  auto r = Tool({"show", out});
  ASSERT_EQ(r.status, 0) << r.err;
  const char* lines[] = {
      "Header: bird, version 1.1 (valid)\n",
      "structure consistent\n",
      "equals the byte sum of the body)\n",
      "     0  LOADER (0)              0          20  0x10000000\n",
      "     1  FIRMWARE (1)            2          68  0x00000000\n",
      "     2  INFO (4)                0          64\n",
      "  Serial:  [0012ABCD        ]\n",
      "Serial offsets: serial number 8 (0x8), descriptor 16 (0x10); offline compatible\n",
      "Loader entry: 0x20000400\n",
      "Stamp: version 1.2.3, build 456\n",
  };
  for (const char* line : lines) EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;
}

TEST_F(BirdtoolTest, ShowFailsOnFilesThatAreNotBird) {
  auto r = Tool({"show", Put("junk", {'n', 'o', 'p', 'e', 1, 1, 2, 3})});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Header: INVALID: not a BIRD file\n"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("the body cannot be loaded"), std::string::npos) << r.err;

  // A header version byte of 0 is invalid (which versions the loader takes is
  // checked in the BIRD file tests).
  std::string v10 = dir_ / "v10.bird";
  ASSERT_EQ(Tool({"pack", "-o", v10, "--format-version", "1,0"}).status, 0);
  r = Tool({"show", v10});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Header: bird, version 1.0 (INVALID: a version byte is 0)\n"),
            std::string::npos)
      << r.out;

  r = Tool({"show", dir_ / "absent.bird"});
  EXPECT_EQ(r.status, 1);
  r = Tool({"show"});
  EXPECT_EQ(r.status, 2);
}

// --- Command line -------------------------------------------------------

TEST_F(BirdtoolTest, HelpAndBadUsage) {
  auto r = Tool({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("Usage: birdtool <command> [options]\n", 0), 0u) << r.out;
  for (const char* word : {"pack -o OUT.bird", "show FILE", "gen-image --size N --seed S -o FILE",
                           "--scramble W0,W1,W2,W3", "--stamp VERSION,BUILD"}) {
    EXPECT_NE(r.out.find(word), std::string::npos) << word;
  }
  EXPECT_EQ(Tool({}).status, 2);
  EXPECT_EQ(Tool({"frobnicate"}).status, 2);

  std::string out = dir_ / "never.bird";
  std::string f = Put("f", Bytes(40, 1));
  struct {
    std::vector<std::string> args;
    int status;
    const char* message;
  } cases[] = {
      {{"pack", "-o", out, "--firmware", "0:" + f, "--flags", "1"}, 2, "--flags must be followed"},
      {{"pack", "-o", out, "--info", "a,b,c,12345678901234567"}, 2, "at most 16"},
      {{"pack", "-o", out, "--firmware", "0:" + dir_ / "missing"}, 1, "cannot open"},
      {{"pack", "-o", out, "--stamp", "1.0.0,1"}, 2, "needs a firmware image"},
      {{"pack", "-o", out, "--stamp", "1.0.0,1", "--firmware", "0:" + Put("s", Bytes(15, 0))},
       2,
       "shorter than 16"},
      {{"pack", "-o", out, "--bogus"}, 2, "unknown option"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    auto result = Tool(c.args);
    EXPECT_EQ(result.status, c.status) << result.err;
    EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    EXPECT_FALSE(qntest::FileExists(out));
  }
}

// --- Producer functions -------------------------------------------------

TEST(BirdPackTest, CompressedBodyNeverExceedsTheReadersEightfoldLimit) {
  for (size_t size : {0, 1, 100, 100000, 3000000}) {
    Bytes body(size, 0);
    Bytes stream;
    std::string error;
    ASSERT_TRUE(birdpack::CompressBody(body, &stream, &error)) << error;
    EXPECT_GE(stream.size() * 8, body.size()) << size;
    Bytes back(size + 1);
    uLongf n = back.size();
    ASSERT_EQ(uncompress(back.data(), &n, stream.data(), stream.size()), Z_OK);
    EXPECT_EQ(n, size);
  }
}

TEST(BirdPackTest, NumberParsing) {
  // Good numbers and versions reach the Updater through every packed file.
  uint32_t v = 0;
  EXPECT_TRUE(birdpack::ParseU32("4294967295", &v));
  EXPECT_EQ(v, 0xFFFFFFFFu);
  for (const char* bad : {"", "0x", "-1", "+1", " 1", "1 ", "12a", "4294967296", "0x100000000"}) {
    EXPECT_FALSE(birdpack::ParseU32(bad, &v)) << "'" << bad << "'";
  }
  for (const char* bad : {"2.8", "2.8.7.1", "16.0.0", "0.16.0", "0.0.16777216", "2..7"}) {
    EXPECT_FALSE(birdpack::ParseVersion(bad, &v)) << bad;
  }
}

}  // namespace
