// Settings files: parsing rules, typed access, saving, and saving safely.
#include "updater/KeyValueStore.h"

#include <dirent.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>

#include "app/Log.h"
#include "tests/support/TestSupport.h"
#include "tests/updater/UpdaterTestUtil.h"

namespace {

using qntest::ListNames;
using qntest::ReadFile;
using qntest::TempDir;
using qntest::WriteFile;
typedef std::map<std::string, std::string> Entries;

KeyValueStore LoadText(const TempDir& tmp, const std::string& text) {
  std::string path = tmp / "in.settings";
  EXPECT_TRUE(WriteFile(path, text));
  return KeyValueStore(path.c_str());
}

TEST(KeyValueStoreLoad, LineRules) {
  TempDir tmp;
  KeyValueStore kv = LoadText(tmp,
                              "  MODEL_NUMBER =  7  \n"
                              "#A=1\n"
                              " #B=1\n"
                              "K=a=b\n"
                              "a=\n"
                              "x\n"
                              "no equals sign\n"
                              "D=1\n"
                              "D=2\n"
                              "tab\t=\tv w\t\r\n"
                              "   =orphan\n"
                              "last=noeol");
  EXPECT_EQ(kv.Entries(), (Entries{{"MODEL_NUMBER", "7"},
                                   {"#B", "1"},
                                   {"K", "a=b"},
                                   {"a", ""},
                                   {"D", "2"},
                                   {"tab", "v w"},
                                   {"last", "noeol"}}));
  EXPECT_EQ(kv.filename, tmp / "in.settings");
  EXPECT_EQ(kv.GetInt("a", 5), 5);
}

TEST(KeyValueStoreLoad, AnOverlongLineEndsTheFile) {
  TempDir tmp;
  std::string longLine(2047, 'v');  // 2047 bytes without its newline: fills the buffer
  KeyValueStore kv = LoadText(tmp, "first=1\nL=" + longLine + "\nafter=2\n");
  EXPECT_EQ(kv.Entries(), (Entries{{"first", "1"}}));

  // 2046 bytes plus the newline still fit.
  std::string fits = "F=" + std::string(2044, 'w');
  KeyValueStore ok = LoadText(tmp, fits + "\nafter=2\n");
  EXPECT_EQ(ok.GetString("F").size(), 2044u);
  EXPECT_EQ(ok.GetString("after"), "2");
}

TEST(KeyValueStoreLoad, SecondFileMergesAndMissingFileIsReported) {
  TempDir tmp;
  ASSERT_TRUE(WriteFile(tmp / "one", "A=1\nB=1\n"));
  ASSERT_TRUE(WriteFile(tmp / "two", "B=2\nC=2\n"));
  KeyValueStore kv((tmp / "one").c_str());
  kv.Load((tmp / "two").c_str());
  EXPECT_EQ(kv.Entries(), (Entries{{"A", "1"}, {"B", "2"}, {"C", "2"}}));
  EXPECT_EQ(kv.filename, tmp / "two");

  std::string missing = tmp / "missing";
  std::string err =
      qntest::CaptureStderrWithMask(DEBUG_Attributes, [&] { kv.Load(missing.c_str()); });
  EXPECT_EQ(err, "Attibutes: Error - cannot open attributes file: '" + missing + "' (2)\n");
  EXPECT_EQ(kv.filename, tmp / "two");
  EXPECT_EQ(kv.Entries().size(), 3u);
  // Silent without the channel.
  EXPECT_EQ(qntest::CaptureStderrWithMask(0, [&] { kv.Load(missing.c_str()); }), "");

  KeyValueStore fresh(missing.c_str());
  EXPECT_TRUE(fresh.filename.empty());
  EXPECT_TRUE(fresh.Entries().empty());
}

TEST(KeyValueStoreLoad, ANamedPipeIsRefusedRatherThanWaitedOn) {
  TempDir tmp;
  std::string path = tmp / ".settings";
  ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
  KeyValueStore kv;
  std::string err = qntest::CaptureStderrWithMask(DEBUG_Attributes, [&] { kv.Load(path.c_str()); });
  EXPECT_EQ(err, "Attibutes: Error - cannot open attributes file: '" + path + "' (" +
                     std::to_string(EINVAL) + ")\n");
  EXPECT_TRUE(kv.filename.empty());
}

TEST(KeyValueStoreAccess, TypedGettersAndTheirDefaults) {
  KeyValueStore kv;
  kv.Add("hex", "0x000012AB");
  kv.Add("hexlower", "12ab");
  kv.Add("neg", "-3");
  kv.Add("word", "true");
  kv.Add("two", "2");
  kv.Add("zero", "0");
  kv.Add("num", "  42abc");
  kv.Add("dbl", "2.5e1");
  kv.Add("empty", "");
  kv.Add("allbits", "FFFFFFFF");

  EXPECT_EQ(kv.GetHex("hex", 0), 0x12ABu);
  EXPECT_EQ(kv.GetHex("hexlower", 0), 0x12ABu);
  EXPECT_EQ(kv.GetHex("allbits", 0), 0xFFFFFFFFu);
  EXPECT_EQ(kv.GetHex("neg", 0), 0xFFFFFFFDu);  // -3, truncated to 32 bits
  EXPECT_FALSE(kv.GetBOOL("word", true));
  EXPECT_TRUE(kv.GetBOOL("neg", false));
  EXPECT_TRUE(kv.GetBOOL("two", false));
  EXPECT_FALSE(kv.GetBOOL("zero", true));
  EXPECT_EQ(kv.GetInt("num", -1), 42);
  EXPECT_EQ(kv.GetInt("neg", 0), -3);
  EXPECT_DOUBLE_EQ(kv.GetDouble("dbl", 0), 25.0);
  // Empty values give the default for every typed getter.
  EXPECT_EQ(kv.GetInt("empty", 9), 9);
  EXPECT_EQ(kv.GetHex("empty", 0xAB), 0xABu);
  EXPECT_TRUE(kv.GetBOOL("empty", true));
  EXPECT_DOUBLE_EQ(kv.GetDouble("empty", 1.5), 1.5);

  EXPECT_EQ(kv.GetString("hex"), "0x000012AB");
  EXPECT_EQ(kv.GetString("nope", "dflt"), "dflt");
  EXPECT_EQ(kv.GetString("nope"), "");
  EXPECT_EQ(kv["nope"], nullptr);
  EXPECT_STREQ(kv["two"], "2");
  EXPECT_EQ(kv.Entries().count("nope"), 0u);  // GetString and [] never add
}

TEST(KeyValueStoreAccess, MissingKeysReadByTypedGettersAreSavedEmpty) {
  TempDir tmp;
  KeyValueStore kv;
  EXPECT_EQ(kv.GetInt("Z", 11), 11);
  EXPECT_EQ(kv.GetHex("H", 0x10), 0x10u);
  EXPECT_TRUE(kv.GetBOOL("B", true));
  EXPECT_DOUBLE_EQ(kv.GetDouble("D", 0.25), 0.25);
  EXPECT_TRUE(kv.Save((tmp / "s").c_str()));
  EXPECT_EQ(ReadFile(tmp / "s"), "B=\nD=\nH=\nZ=\n");
}

TEST(KeyValueStoreSave, FormatsAndOrdersEntries) {
  TempDir tmp;
  KeyValueStore kv;
  kv.Add("b", 1);
  kv.Add("B", 2);
  kv.AddHex("SERIAL_NUMBER", 0x12AB);
  EXPECT_TRUE(kv.Add("PI", 3.14159265));
  std::string s = "text value";
  kv.Add("S", s);
  kv.Add("b", 3);  // replaces
  EXPECT_TRUE(kv.Save((tmp / "out").c_str()));
  EXPECT_EQ(ReadFile(tmp / "out"),
            "B=2\nPI=3.141593\nS=text value\nSERIAL_NUMBER=0x000012AB\nb=3\n");
  EXPECT_EQ(kv.filename, tmp / "out");

  KeyValueStore back((tmp / "out").c_str());
  EXPECT_EQ(back.Entries(), kv.Entries());
  EXPECT_EQ(back.GetHex("SERIAL_NUMBER", 0), 0x12ABu);

  KeyValueStore other;
  other.Add("b", "from other");
  other.Add("new", "n");
  EXPECT_TRUE(kv.Add(other));
  EXPECT_STREQ(kv["b"], "from other");
  EXPECT_STREQ(kv["new"], "n");
  EXPECT_STREQ(kv["B"], "2");
  EXPECT_TRUE(kv.Add(kv));
  EXPECT_TRUE(kv.Clear());
  EXPECT_TRUE(kv.Entries().empty());
}

TEST(KeyValueStoreSave, RemembersTheFileAndFallsBackToTheDefaultName) {
  TempDir tmp;
  KeyValueStore kv;
  kv.filename = tmp / "assigned";
  kv.Add("A", "1");
  EXPECT_TRUE(kv.Save());
  EXPECT_EQ(ReadFile(tmp / "assigned"), "A=1\n");

  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
  ASSERT_EQ(chdir(tmp.path().c_str()), 0);
  KeyValueStore unnamed;
  unnamed.Add("X", "y");
  std::string err = qntest::CaptureStderrWithMask(DEBUG_Attributes, [&] { unnamed.Save(); });
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_EQ(err, "Attibutes: no filename given for attributes, using default:[.settings]\n");
  EXPECT_EQ(unnamed.filename, ".settings");
  EXPECT_EQ(ReadFile(tmp / ".settings"), "X=y\n");
}

TEST(KeyValueStoreSave, LineBreaksInValuesCannotInjectEntries) {
  TempDir tmp;
  KeyValueStore kv;
  kv.Add("MODEL_NAME", "hub\nLAST_TRANSFER_VERSION=/evil.bird\r");
  EXPECT_TRUE(kv.Save((tmp / "s").c_str()));
  KeyValueStore back((tmp / "s").c_str());
  EXPECT_EQ(back.Entries().size(), 1u);
  EXPECT_EQ(back["LAST_TRANSFER_VERSION"], nullptr);
}

TEST(KeyValueStoreSave, ReplacingKeepsPermissionsAndLeavesNoTemporaryFile) {
  TempDir tmp;
  std::string path = tmp / ".settings";
  ASSERT_TRUE(WriteFile(path, "OLD=1\n"));
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  KeyValueStore kv(path.c_str());
  kv.Add("NEW", "2");
  EXPECT_TRUE(kv.Save());
  EXPECT_EQ(ReadFile(path), "NEW=2\nOLD=1\n");
  EXPECT_EQ(qntest::FileMode(path), 0640u);
  EXPECT_EQ(ListNames(tmp.path()), (std::set<std::string>{".settings"}));

  // A new file gets what fopen would give it.
  KeyValueStore fresh;
  fresh.Add("A", "1");
  EXPECT_TRUE(fresh.Save((tmp / "fresh").c_str()));
  mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(qntest::FileMode(tmp / "fresh"), 0666u & ~mask);
}

TEST(KeyValueStoreSave, AnUnwritableDirectoryKeepsTheOldFile) {
  TempDir tmp;
  std::string dir = tmp / "ro";
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  std::string path = dir + "/.settings";
  ASSERT_TRUE(WriteFile(path, "KEEP=1\n"));
  ASSERT_EQ(chmod(path.c_str(), 0666), 0);
  ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
  ASSERT_EQ(chmod(tmp.path().c_str(), 0755), 0);

  int status = qntest::RunUnprivileged([&] {
    KeyValueStore kv(path.c_str());
    kv.Add("NEW", "2");
    Log::package_bitmask = DEBUG_Attributes;
    testing::internal::CaptureStderr();
    bool saved = kv.Save();
    std::string err = testing::internal::GetCapturedStderr();
    std::string expected = "Attibutes: Error - cannot open attributes file for writting: '" + path +
                           "' (" + std::to_string(EACCES) + ")\n";
    if (saved) return 1;
    if (err != expected) return 2;
    return 0;
  });
  chmod(dir.c_str(), 0755);
  EXPECT_EQ(status, 0) << "1: Save reported success, 2: wrong message";
  EXPECT_EQ(ReadFile(path), "KEEP=1\n");
  EXPECT_EQ(ListNames(dir), (std::set<std::string>{".settings"}));
}

// A file size limit makes writes fail part-way, as a full disk would.
TEST(KeyValueStoreSave, AWriteThatFailsHalfWayKeepsTheOldFile) {
  TempDir tmp;
  std::string path = tmp / ".settings";
  ASSERT_TRUE(WriteFile(path, "KEEP=1\n"));
  KeyValueStore kv(path.c_str());
  for (int i = 0; i < 40; ++i) kv.Add(("BIG" + std::to_string(i)).c_str(), std::string(500, 'x'));

  struct rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  struct rlimit small = old;
  small.rlim_cur = 4096;
  void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  std::string err =
      qntest::CaptureStderrWithMask(DEBUG_Attributes, [&] { EXPECT_FALSE(kv.Save()); });
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, oldHandler);

  EXPECT_EQ(err, "Attibutes: Error - cannot open attributes file for writting: '" + path + "' (" +
                     std::to_string(EFBIG) + ")\n");
  EXPECT_EQ(ReadFile(path), "KEEP=1\n");
  EXPECT_EQ(ListNames(tmp.path()), (std::set<std::string>{".settings"}));
  // Still usable afterwards.
  EXPECT_TRUE(kv.Save());
  KeyValueStore back(path.c_str());
  EXPECT_EQ(back.Entries().size(), 41u);
  EXPECT_EQ(back.GetString("BIG39").size(), 500u);
}

TEST(KeyValueStoreSave, AMissingDirectoryIsReported) {
  TempDir tmp;
  KeyValueStore kv;
  kv.Add("A", "1");
  std::string path = tmp / "no/such/.settings";
  std::string err =
      qntest::CaptureStderrWithMask(DEBUG_Attributes, [&] { EXPECT_FALSE(kv.Save(path.c_str())); });
  EXPECT_EQ(err,
            "Attibutes: Error - cannot open attributes file for writting: '" + path + "' (2)\n");
  EXPECT_EQ(kv.filename, path);
  EXPECT_STREQ(kv["A"], "1");
}

}  // namespace
