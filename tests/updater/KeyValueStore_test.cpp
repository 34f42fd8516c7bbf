// Settings files: parsing rules, typed access, saving, and saving safely.
#include "updater/KeyValueStore.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <map>
#include <set>
#include <string>

#include "tests/support/TestSupport.h"
#include "tests/updater/UpdaterTestUtil.h"

namespace {

using qntest::ListNames;
using qntest::ReadFile;
using qntest::TempDir;
using qntest::WriteFile;
typedef std::map<std::string, std::string> Entries;

TEST(KeyValueStoreLoad, LineRulesMergingAndFilesThatAreNotRead) {
  TempDir tmp;
  ASSERT_TRUE(WriteFile(tmp / "in",
                        "  MODEL_NUMBER =  7  \n#A=1\n #B=1\nK=a=b\na=\nx\n"
                        "no equals sign\nD=1\nD=2\ntab\t=\tv w\t\r\n   =orphan\n"
                        "last=noeol"));
  KeyValueStore kv((tmp / "in").c_str());
  EXPECT_EQ(kv.Entries(), (Entries{{"MODEL_NUMBER", "7"},
                                   {"#B", "1"},
                                   {"K", "a=b"},
                                   {"a", ""},
                                   {"D", "2"},
                                   {"tab", "v w"},
                                   {"last", "noeol"}}));
  EXPECT_EQ(kv.GetInt("a", 5), 5);
  // A line that does not fit the 2048-byte buffer ends the file.
  ASSERT_TRUE(WriteFile(tmp / "long", "first=1\nL=" + std::string(2047, 'v') + "\nafter=2\n"));
  EXPECT_EQ(KeyValueStore((tmp / "long").c_str()).Entries(), (Entries{{"first", "1"}}));

  // A second file merges; a missing one is reported and a pipe refused.
  ASSERT_TRUE(WriteFile(tmp / "one", "A=1\nB=1\n"));
  ASSERT_TRUE(WriteFile(tmp / "two", "B=2\nC=2\n"));
  KeyValueStore merged((tmp / "one").c_str());
  merged.Load((tmp / "two").c_str());
  EXPECT_EQ(merged.Entries(), (Entries{{"A", "1"}, {"B", "2"}, {"C", "2"}}));
  merged.Load((tmp / "missing").c_str());
  EXPECT_EQ(merged.filename, tmp / "two");
  EXPECT_EQ(merged.Entries().size(), 3u);
  // A named pipe is refused rather than waited on.
  std::string fifo = tmp / ".settings";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  KeyValueStore other;
  other.Load(fifo.c_str());
  EXPECT_TRUE(other.filename.empty());
}

TEST(KeyValueStoreAccess, TypedGettersAndMissingKeys) {
  TempDir tmp;
  KeyValueStore kv;
  kv.Add("hexlower", "12ab");
  kv.Add("neg", "-3");
  kv.Add("word", "true");
  kv.Add("num", "  42abc");
  kv.Add("empty", "");
  EXPECT_EQ(kv.GetHex("hexlower", 0), 0x12ABu);
  EXPECT_EQ(kv.GetHex("neg", 0), 0xFFFFFFFDu);  // -3, truncated to 32 bits
  EXPECT_FALSE(kv.GetBOOL("word", true));
  EXPECT_TRUE(kv.GetBOOL("neg", false));
  EXPECT_EQ(kv.GetInt("num", -1), 42);
  EXPECT_EQ(kv.GetHex("empty", 0xAB), 0xABu);
  EXPECT_TRUE(kv.GetBOOL("empty", true));
  EXPECT_EQ(kv.GetString("nope", "dflt"), "dflt");
  EXPECT_EQ(kv["nope"], nullptr);  // GetString and [] never add
  // Typed getters add missing keys, which are then saved empty.
  EXPECT_EQ(kv.GetInt("Z", 11), 11);
  EXPECT_DOUBLE_EQ(kv.GetDouble("D", 0.25), 0.25);
  EXPECT_TRUE(kv.Save((tmp / "s").c_str()));
  EXPECT_EQ(ReadFile(tmp / "s"), "D=\nZ=\nempty=\nhexlower=12ab\nneg=-3\nnum=  42abc\nword=true\n");
}

TEST(KeyValueStoreSave, FormatsAndOrdersEntriesAndKeepsLineBreaksOut) {
  TempDir tmp;
  KeyValueStore kv;
  kv.Add("b", 1);
  kv.Add("B", 2);
  kv.AddHex("SERIAL_NUMBER", 0x12AB);
  EXPECT_TRUE(kv.Add("PI", 3.14159265));
  kv.Add("S", std::string("text value"));
  kv.Add("b", 3);  // replaces
  EXPECT_TRUE(kv.Save((tmp / "out").c_str()));
  EXPECT_EQ(ReadFile(tmp / "out"),
            "B=2\nPI=3.141593\nS=text value\nSERIAL_NUMBER=0x000012AB\nb=3\n");
  // Line breaks in a value cannot inject entries.
  kv.Add("MODEL_NAME", "hub\nLAST_TRANSFER_VERSION=/evil.bird\r");
  EXPECT_TRUE(kv.Save((tmp / "out").c_str()));
  EXPECT_EQ(KeyValueStore((tmp / "out").c_str())["LAST_TRANSFER_VERSION"], nullptr);
}

// Saving replaces the file whole, keeping its permissions; a write that
// fails half-way (a file size limit, as a full disk would) keeps the old
// file. Neither leaves a temporary file.
TEST(KeyValueStoreSave, AWriteThatFailsHalfWayKeepsTheOldFile) {
  TempDir tmp;
  std::string path = tmp / ".settings";
  ASSERT_TRUE(WriteFile(path, "KEEP=1\n"));
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  KeyValueStore kv(path.c_str());
  for (int i = 0; i < 40; ++i) kv.Add(("BIG" + std::to_string(i)).c_str(), std::string(500, 'x'));
  struct rlimit old, small;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  small = old;
  small.rlim_cur = 4096;
  void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  EXPECT_FALSE(kv.Save());
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(kv.SaveError(), EFBIG);
  EXPECT_EQ(ReadFile(path), "KEEP=1\n");
  EXPECT_EQ(ListNames(tmp.path()), (std::set<std::string>{".settings"}));
  EXPECT_TRUE(kv.Save());  // still usable afterwards
  EXPECT_EQ(KeyValueStore(path.c_str()).Entries().size(), 41u);
  EXPECT_EQ(qntest::FileMode(path), 0640u);
  EXPECT_EQ(ListNames(tmp.path()), (std::set<std::string>{".settings"}));
}

}  // namespace
