// Platform utilities: paths, directories, files, time, mutexes, versions.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "link/aDirectory.h"
#include "link/aFile.h"
#include "link/aMutex.h"
#include "link/aTime.h"
#include "link/aTimeInternal.h"
#include "link/aVersion.h"
#include "tests/support/TestSupport.h"

namespace {

using qntest::TempDir;
#define END (const char*)nullptr

TEST(BuildPath, JoinsWithOneSeparatorAndChecksRoom) {
  char out[64];
  for (auto parts :
       {std::make_pair("/a/", "b"), std::make_pair("/a", "/b"), std::make_pair("/a", "b")}) {
    EXPECT_EQ(aDirectory_JoinPath(out, sizeof(out), parts.first, parts.second), aErrNone);
    EXPECT_STREQ(out, "/a/b");
  }
  // After "abc" and the separator only one byte is left in six.
  EXPECT_EQ(aDirectory_BuildPath(out, 6, "abc", "de", END), aErrOverrun);
  EXPECT_EQ(aDirectory_BuildPath(out, 8, "abc", "de", END), aErrNone);
  EXPECT_STREQ(out, "abc/de");
  EXPECT_EQ(aDirectory_BuildPath(out, 6, "abcde", END), aErrOverrun);
#define NINE "1", "2", "3", "4", "5", "6", "7", "8", "9"
  EXPECT_EQ(aDirectory_BuildPath(out, sizeof(out), NINE, "10", "11", END), aErrParam);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(aDirectory_BuildPath(out, sizeof(out), NINE, "10", END), aErrNone);
  EXPECT_STREQ(out, "1/2/3/4/5/6/7/8/9/10");
  // A destination that is also a component is refused, not clobbered.
  strcpy(out, "self");
  EXPECT_EQ(aDirectory_BuildPath(out, sizeof(out), out, "b", END), aErrParam);
  EXPECT_STREQ(out, "self");
}

TEST(Directory, EnsureCreatesEveryMissingParent) {
  TempDir tmp;
  EXPECT_EQ(aDirectory_Ensure((tmp / "x/y/z").c_str(), 0755), aErrNone);
  EXPECT_TRUE(aDirectory_Exists((tmp / "x/y/z").c_str()));
  EXPECT_EQ(aDirectory_Ensure((tmp / "x/y/z").c_str(), 0755), aErrNone);
  std::string doubled = "/" + tmp.path() + "//p//q/";
  EXPECT_EQ(aDirectory_Ensure(doubled.c_str(), 0755), aErrNone);
  EXPECT_TRUE(aDirectory_Exists((tmp / "p/q").c_str()));
  ASSERT_TRUE(qntest::WriteFile(tmp / "file", "x"));
  EXPECT_EQ(aDirectory_Ensure((tmp / "file/sub").c_str(), 0755), aErrPermission);
  EXPECT_FALSE(aDirectory_Exists((tmp / "file").c_str()));
}

// Collects "name/" for directories and "name size" for files, relative to
// `dir` (so a path that does not start with it shows up as garbage).
struct Listing {
  std::string dir;
  size_t stopAfter;
  std::set<std::string> seen;
};

bool CollectEntry(const aDirectoryListData* entry, void* reference) {
  Listing* listing = (Listing*)reference;
  std::string name = std::string(entry->path).substr(listing->dir.size() + 1);
  listing->seen.insert(entry->isDirectory ? name + "/" : name + " " + std::to_string(entry->size));
  return listing->stopAfter == 0 || listing->seen.size() < listing->stopAfter;
}

TEST(Directory, ListGivesFullPathsSizesAndFlagsAndStopsOnFalse) {
  TempDir tmp;
  ASSERT_TRUE(qntest::WriteFile(tmp / "five", "12345"));
  ASSERT_EQ(mkdir((tmp / "sub").c_str(), 0755), 0);
  ASSERT_EQ(symlink((tmp / "nowhere").c_str(), (tmp / "dangling").c_str()), 0);  // skipped
  Listing all{tmp.path(), 0, {}};
  EXPECT_EQ(aDirectory_List(tmp.path().c_str(), CollectEntry, &all), aErrNone);
  EXPECT_EQ(all.seen, (std::set<std::string>{"./", "../", "five 5", "sub/"}));
  Listing one{tmp.path(), 1, {}};
  EXPECT_EQ(aDirectory_List(tmp.path().c_str(), CollectEntry, &one), aErrNone);
  EXPECT_EQ(one.seen.size(), 1u);
  EXPECT_EQ(aDirectory_List((tmp / "missing").c_str(), CollectEntry, &all), aErrNotFound);

  // DeleteTree removes links but not their targets.
  std::string root = tmp / "tree", outside = tmp / "outside";
  ASSERT_EQ(aDirectory_Ensure((root + "/a/b").c_str(), 0755), aErrNone);
  ASSERT_TRUE(qntest::WriteFile(root + "/a/b/deep.txt", "d"));
  ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
  ASSERT_TRUE(qntest::WriteFile(outside + "/keep.txt", "k"));
  ASSERT_EQ(symlink(outside.c_str(), (root + "/link").c_str()), 0);
  EXPECT_EQ(aDirectory_Delete(root.c_str()), aErrUnexpected);  // not empty
  EXPECT_EQ(aDirectory_DeleteTree(root.c_str()), aErrNone);
  EXPECT_FALSE(aDirectory_Exists(root.c_str()));
  EXPECT_TRUE(qntest::FileExists(outside + "/keep.txt"));
  EXPECT_EQ(aDirectory_DeleteTree(root.c_str()), aErrNotFound);
}

TEST(Directory, HomeDirectoryOverrideIsCutToTheBuffer) {
  char buffer[4096], small[5];
  const char* old = getenv("QUILLNODE_HOME");
  std::string saved = old ? old : "";
  setenv("QUILLNODE_HOME", "/tmp/qn-home", 1);
  EXPECT_EQ(aDirectory_GetHomeDirectory(buffer, sizeof(buffer)), aErrNone);
  EXPECT_STREQ(buffer, "/tmp/qn-home");
  EXPECT_EQ(aDirectory_GetHomeDirectory(small, sizeof(small)), aErrNone);
  EXPECT_STREQ(small, "/tmp");
  setenv("QUILLNODE_HOME", "", 1);  // an empty override is ignored
  EXPECT_EQ(aDirectory_GetHomeDirectory(buffer, sizeof(buffer)), aErrNone);
  EXPECT_STRNE(buffer, "");
  old ? setenv("QUILLNODE_HOME", saved.c_str(), 1) : unsetenv("QUILLNODE_HOME");
}

TEST(File, OpenRefusesBadArgumentsAndCloseNullsTheHandle) {
  TempDir tmp;
  EXPECT_EQ(aFile_Open((tmp / "missing").c_str(), aFileModeRead), nullptr);
  std::string longPath(aFILE_MAX_PATH + 1, 'a');
  EXPECT_EQ(aFile_Open(longPath.c_str(), aFileModeWrite), nullptr);
  EXPECT_EQ(aFile_Delete(longPath.c_str()), aErrFileNameLength);
  aUnixFile forged = {nullptr, aFileModeRead, 0x1234};
  aFileRef bad = &forged;
  EXPECT_EQ(aFile_Close(&bad), aErrParam);
  EXPECT_EQ(bad, nullptr);
  EXPECT_FALSE(aFile_Exists(tmp.path().c_str())) << "a directory is not a file";

  // Modes and end of file.
  std::string path = tmp / "data";
  aFileRef w = aFile_Open(path.c_str(), aFileModeWrite);
  ASSERT_NE(w, nullptr);
  size_t n = 99;
  unsigned char buf[16];
  EXPECT_EQ(aFile_Read(w, buf, 4, &n), aErrMode);
  EXPECT_EQ(n, 99u);  // untouched on errors
  EXPECT_EQ(aFile_Write(w, (const unsigned char*)"hello", 5, &n), aErrNone);
  EXPECT_EQ(aFile_Printf(w, "-%d", 42), aErrNone);
  EXPECT_EQ(aFile_Close(&w), aErrNone);
  EXPECT_EQ(w, nullptr);
  EXPECT_EQ(aFile_Close(&w), aErrParam);
  EXPECT_EQ(qntest::ReadFile(path), "hello-42");
  aFileRef r = aFile_Open(path.c_str(), aFileModeRead);
  EXPECT_EQ(aFile_Write(r, (const unsigned char*)"x", 1, nullptr), aErrMode);
  EXPECT_EQ(aFile_Read(r, buf, 6, &n), aErrNone);
  EXPECT_EQ(aFile_Read(r, buf, 10, &n), aErrNone);  // a short read succeeds
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(aFile_Read(r, buf, 4, &n), aErrEOF);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(aFile_Close(&r), aErrNone);
  // Append starts at the end, unbuffered writes are on disk at once.
  aFileRef a = aFile_Open(path.c_str(), aFileModeAppend);
  size_t pos = 0;
  EXPECT_EQ(aFile_GetPosition(a, &pos), aErrNone);
  EXPECT_EQ(pos, 8u);
  EXPECT_EQ(aFile_SetUnbuffered(a), aErrNone);
  EXPECT_EQ(aFile_Write(a, (const unsigned char*)"!", 1, nullptr), aErrNone);
  EXPECT_EQ(qntest::ReadFile(path), "hello-42!");
  EXPECT_EQ(aFile_Close(&a), aErrNone);
  EXPECT_EQ(aFile_Delete(path.c_str()), aErrNone);
  EXPECT_EQ(aFile_Delete(path.c_str()), aErrNotFound);
}

TEST(File, SeekStaysInsideTheFileAndReadLineSplitsLongLines) {
  TempDir tmp;
  ASSERT_TRUE(qntest::WriteFile(tmp / "ten", "0123456789"));
  aFileRef f = aFile_Open((tmp / "ten").c_str(), aFileModeRead);
  ASSERT_NE(f, nullptr);
  size_t pos = 0;
  EXPECT_EQ(aFile_Seek(f, 0, aSeekEnd), aErrNone);
  EXPECT_EQ(aFile_GetPosition(f, &pos), aErrNone);
  EXPECT_EQ(pos, 10u);
  EXPECT_EQ(aFile_Seek(f, -4, aSeekCurrent), aErrNone);
  const std::pair<long, int> outside[] = {
      {1, aSeekEnd},    {LONG_MAX, aSeekEnd}, {LONG_MIN, aSeekEnd},    {-1, aSeekStart},
      {11, aSeekStart}, {-7, aSeekCurrent},   {LONG_MIN, aSeekCurrent}};
  for (auto o : outside) EXPECT_EQ(aFile_Seek(f, o.first, o.second), aErrRange) << o.first;
  EXPECT_EQ(aFile_GetPosition(f, &pos), aErrNone);
  EXPECT_EQ(pos, 6u);  // failed seeks do not move
  EXPECT_EQ(aFile_Close(&f), aErrNone);

  // ReadLine splits long lines and reports the end.
  ASSERT_TRUE(qntest::WriteFile(tmp / "lines", "abcd\nabcdefg\nlast"));
  f = aFile_Open((tmp / "lines").c_str(), aFileModeRead);
  ASSERT_NE(f, nullptr);
  const struct {
    aErr err;
    const char* text;
  } expected[] = {{aErrNone, "abcd\n"},
                  {aErrOverrun, "abcde"},
                  {aErrNone, "fg\n"},
                  {aErrNone, "last"},
                  {aErrEOF, ""}};
  for (const auto& line : expected) {
    char buf[6];
    size_t len = 99;
    EXPECT_EQ(aFile_ReadLine(f, buf, sizeof(buf), &len), line.err);
    EXPECT_STREQ(buf, line.text);
    EXPECT_EQ(len, strlen(line.text));
  }
  char one[1];
  size_t len = 0;
  EXPECT_EQ(aFile_ReadLine(f, one, 1, &len), aErrParam) << "no room for a character";
  EXPECT_EQ(aFile_Close(&f), aErrNone);
}

std::vector<unsigned long> gChunks;
int RecordChunk(unsigned long microseconds) {
  gChunks.push_back(microseconds);
  return 0;
}

TEST(Time, SleepIsSplitIntoChunksBelowOneSecond) {
  EXPECT_EQ(aTime_MSSleepWith(2500, RecordChunk), aErrNone);
  EXPECT_EQ(gChunks, (std::vector<unsigned long>{999999, 999999, 500002}));
  gChunks.clear();
  EXPECT_EQ(aTime_MSSleepWith(0, RecordChunk), aErrNone);
  EXPECT_TRUE(gChunks.empty());
  EXPECT_GT(aTime_GetMSTicks(), 1600000000000UL);  // milliseconds since 1970, not seconds
}

TEST(Mutex, NamesTryLockAndHeldMutexes) {
  std::string name255(255, 'n');
  aMutexRef m = aMutex_Create(name255.c_str());
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(aMutex_Identifier(m), name255);
  EXPECT_EQ(aMutex_Create(std::string(256, 'n').c_str()), nullptr);
  EXPECT_EQ(aMutex_TryLock(m), aErrNone);
  EXPECT_EQ(aMutex_TryLock(m), aErrBusy);
  std::thread other([m] { EXPECT_EQ(aMutex_TryLock(m), aErrBusy); });
  other.join();
  EXPECT_EQ(aMutex_Unlock(m), aErrNone);
  EXPECT_EQ(aMutex_Destroy(&m), aErrNone);
  EXPECT_EQ(m, nullptr);
}

TEST(Version, PackedFieldsAndComparison) {
  // Major in bits 31-28, minor in 27-24, patch in 23-0.
  char text[32];
  for (auto c : {std::make_pair(0x28000007u, "2.8.7"), std::make_pair(0x20800007u, "2.0.8388615"),
                 std::make_pair(0xFFFFFFFFu, "15.15.16777215")}) {
    EXPECT_EQ(aVersion_ParseString(c.first, text, sizeof(text)), (int)strlen(c.second));
    EXPECT_STREQ(text, c.second);
  }
  EXPECT_EQ(aVersion_ParseString(0xFFFFFFFF, text, 4), 14);  // cut like snprintf
  EXPECT_STREQ(text, "15.");
  EXPECT_TRUE(aVersion_IsAtLeast(2, 8, 7));
  EXPECT_TRUE(aVersion_IsAtLeast(1, 200, 200));
  EXPECT_FALSE(aVersion_IsAtLeast(2, 8, 8));
  EXPECT_FALSE(aVersion_IsAtLeast(3, 0, 0));
}

}  // namespace
