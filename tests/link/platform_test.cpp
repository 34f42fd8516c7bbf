// Platform utilities: paths, directories, files, time, mutexes, versions.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

// ---------------------------------------------------------------- paths

TEST(BuildPath, JoinsWithExactlyOneSeparator) {
  char out[64];
  EXPECT_EQ(aDirectory_JoinPath(out, sizeof(out), "/a/", "b"), aErrNone);
  EXPECT_STREQ(out, "/a/b");
  EXPECT_EQ(aDirectory_JoinPath(out, sizeof(out), "/a", "/b"), aErrNone);
  EXPECT_STREQ(out, "/a/b");
  EXPECT_EQ(aDirectory_JoinPath(out, sizeof(out), "/a", "b"), aErrNone);
  EXPECT_STREQ(out, "/a/b");
  EXPECT_EQ(aDirectory_BuildPath(out, sizeof(out), "x", "y", "z", (const char*)nullptr), aErrNone);
  EXPECT_STREQ(out, "x/y/z");
  EXPECT_EQ(aDirectory_BuildPath(out, sizeof(out), "only", (const char*)nullptr), aErrNone);
  EXPECT_STREQ(out, "only");
}

TEST(BuildPath, OverrunCountsTheSeparatorAndTheTerminator) {
  char out[8];
  EXPECT_EQ(aDirectory_BuildPath(out, 6, "abc", "de", (const char*)nullptr), aErrOverrun);
  EXPECT_EQ(aDirectory_BuildPath(out, 8, "abc", "de", (const char*)nullptr), aErrNone);
  EXPECT_STREQ(out, "abc/de");
  // `first` must be shorter than size - 1.
  EXPECT_EQ(aDirectory_BuildPath(out, 6, "abcde", (const char*)nullptr), aErrOverrun);
  EXPECT_EQ(aDirectory_BuildPath(out, 6, "abcd", (const char*)nullptr), aErrNone);
  EXPECT_STREQ(out, "abcd");
}

TEST(BuildPath, RefusesTooManyComponentsAndAliasedDestination) {
  char out[128];
  strcpy(out, "junk");
  EXPECT_EQ(aDirectory_BuildPath(out, sizeof(out), "1", "2", "3", "4", "5", "6", "7", "8", "9",
                                 "10", "11", (const char*)nullptr),
            aErrParam);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(aDirectory_BuildPath(out, sizeof(out), "1", "2", "3", "4", "5", "6", "7", "8", "9",
                                 "10", (const char*)nullptr),
            aErrNone);
  EXPECT_STREQ(out, "1/2/3/4/5/6/7/8/9/10");

  strcpy(out, "self");
  EXPECT_EQ(aDirectory_BuildPath(out, sizeof(out), out, "b", (const char*)nullptr), aErrParam);
  EXPECT_STREQ(out, "self");  // the component is not clobbered
  char other[16] = "x";
  EXPECT_EQ(aDirectory_BuildPath(other, sizeof(other), "a", other, (const char*)nullptr),
            aErrParam);
  EXPECT_EQ(aDirectory_BuildPath(nullptr, 10, "a", (const char*)nullptr), aErrParam);
  EXPECT_EQ(aDirectory_BuildPath(out, 0, "a", (const char*)nullptr), aErrParam);
  EXPECT_EQ(aDirectory_BuildPath(out, sizeof(out), nullptr), aErrParam);
}

// ---------------------------------------------------------------- directories

TEST(Directory, EnsureCreatesEveryMissingParent) {
  TempDir tmp;
  std::string deep = tmp / "x/y/z";
  EXPECT_FALSE(aDirectory_Exists(deep.c_str()));
  EXPECT_EQ(aDirectory_Ensure(deep.c_str(), 0755), aErrNone);
  EXPECT_TRUE(aDirectory_Exists((tmp / "x").c_str()));
  EXPECT_TRUE(aDirectory_Exists((tmp / "x/y").c_str()));
  EXPECT_TRUE(aDirectory_Exists(deep.c_str()));
  struct stat st;
  ASSERT_EQ(stat(deep.c_str(), &st), 0);
  mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0755u & ~mask);
  // Existing: nothing to do. Doubled and trailing separators are harmless.
  EXPECT_EQ(aDirectory_Ensure(deep.c_str(), 0755), aErrNone);
  std::string doubled = "/" + tmp.path() + "//p//q/";
  EXPECT_EQ(aDirectory_Ensure(doubled.c_str(), 0755), aErrNone);
  EXPECT_TRUE(aDirectory_Exists((tmp / "p/q").c_str()));
}

TEST(Directory, EnsureReportsPermissionWhenAParentIsAFile) {
  TempDir tmp;
  ASSERT_TRUE(qntest::WriteFile(tmp / "file", "x"));
  EXPECT_EQ(aDirectory_Ensure((tmp / "file/sub").c_str(), 0755), aErrPermission);
  EXPECT_EQ(aDirectory_Ensure((tmp / "file").c_str(), 0755), aErrPermission);
  EXPECT_EQ(aDirectory_Ensure(nullptr, 0755), aErrParam);
  EXPECT_FALSE(aDirectory_Exists(nullptr));
  EXPECT_FALSE(aDirectory_Exists((tmp / "file").c_str()));
}

struct Listing {
  std::set<std::string> names;
  std::vector<aDirectoryListData> copies;
  std::string dirPath;
  int stopAfter = -1;
};

bool CollectEntry(const aDirectoryListData* entry, void* reference) {
  Listing* listing = static_cast<Listing*>(reference);
  std::string path = entry->path;
  EXPECT_EQ(path.compare(0, listing->dirPath.size() + 1, listing->dirPath + "/"), 0) << path;
  listing->names.insert(path.substr(listing->dirPath.size() + 1));
  aDirectoryListData copy = *entry;
  copy.path = nullptr;
  listing->copies.push_back(copy);
  if (listing->stopAfter >= 0 && (int)listing->names.size() >= listing->stopAfter) return false;
  return true;
}

TEST(Directory, ListGivesFullPathsSizesAndFlagsAndStopsOnFalse) {
  TempDir tmp;
  ASSERT_TRUE(qntest::WriteFile(tmp / "five", "12345"));
  ASSERT_EQ(mkdir((tmp / "sub").c_str(), 0755), 0);
  // A dangling link cannot be stat'ed and is skipped.
  ASSERT_EQ(symlink((tmp / "nowhere").c_str(), (tmp / "dangling").c_str()), 0);

  Listing listing;
  listing.dirPath = tmp.path();
  EXPECT_EQ(aDirectory_List(tmp.path().c_str(), CollectEntry, &listing), aErrNone);
  EXPECT_EQ(listing.names, (std::set<std::string>{".", "..", "five", "sub"}));
  for (const auto& c : listing.copies) {
    if (c.isDirectory == 0) {
      EXPECT_EQ(c.size, 5u);
    }
  }
  int directories = 0;
  for (const auto& c : listing.copies) directories += c.isDirectory;
  EXPECT_EQ(directories, 3);

  Listing one;
  one.dirPath = tmp.path();
  one.stopAfter = 1;
  EXPECT_EQ(aDirectory_List(tmp.path().c_str(), CollectEntry, &one), aErrNone);
  EXPECT_EQ(one.names.size(), 1u);

  EXPECT_EQ(aDirectory_List((tmp / "missing").c_str(), CollectEntry, &listing), aErrNotFound);
}

TEST(Directory, DeleteAndDeleteTree) {
  TempDir tmp;
  std::string root = tmp / "tree";
  ASSERT_EQ(aDirectory_Ensure((root + "/a/b").c_str(), 0755), aErrNone);
  ASSERT_TRUE(qntest::WriteFile(root + "/top.txt", "t"));
  ASSERT_TRUE(qntest::WriteFile(root + "/a/b/deep.txt", "d"));
  // A link to a directory outside the tree: removed as a link, its target kept.
  std::string outside = tmp / "outside";
  ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
  ASSERT_TRUE(qntest::WriteFile(outside + "/keep.txt", "k"));
  ASSERT_EQ(symlink(outside.c_str(), (root + "/link").c_str()), 0);

  EXPECT_EQ(aDirectory_Delete(root.c_str()), aErrUnexpected);  // not empty
  EXPECT_EQ(aDirectory_DeleteTree(root.c_str()), aErrNone);
  EXPECT_FALSE(aDirectory_Exists(root.c_str()));
  EXPECT_TRUE(qntest::FileExists(outside + "/keep.txt"));
  EXPECT_EQ(aDirectory_DeleteTree(root.c_str()), aErrNotFound);
  EXPECT_EQ(aDirectory_Delete(outside.c_str()), aErrUnexpected);
}

// An unlink that fails is reported on the console and ends the walk. As root
// the walk runs in a child that has switched to the user "nobody".
TEST(Directory, DeleteTreeReportsAFileItCannotUnlink) {
  TempDir tmp;
  std::string root = tmp / "locked";
  ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
  ASSERT_TRUE(qntest::WriteFile(root + "/stuck", "s"));
  ASSERT_EQ(chmod(root.c_str(), 0555), 0);
  ASSERT_EQ(chmod(tmp.path().c_str(), 0755), 0);
  fflush(nullptr);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(99);
    testing::internal::CaptureStdout();
    aErr err = aDirectory_DeleteTree(root.c_str());
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    if (err != aErrUnexpected) _exit(1);
    if (out != "---error unlink-ing file [" + root + "/stuck]\n") _exit(2);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  chmod(root.c_str(), 0755);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: wrong result, 2: wrong console text, 99: no setuid";
  EXPECT_TRUE(qntest::FileExists(root + "/stuck"));
}

TEST(Directory, ExecutablePathIsCutToTheBuffer) {
  char buffer[4096];
  EXPECT_EQ(aDirectory_ExecutableFilePath(buffer, sizeof(buffer)), aErrNone);
  std::string exe = buffer;
  EXPECT_NE(exe.find("link_tests"), std::string::npos) << exe;
  char small[5];
  EXPECT_EQ(aDirectory_ExecutableFilePath(small, sizeof(small)), aErrNone);
  EXPECT_EQ(std::string(small), exe.substr(0, 4));
}

TEST(Directory, HomeDirectoryOverrideAndBounds) {
  const char* old = getenv("QUILLNODE_HOME");
  std::string saved = old ? old : "";
  char buffer[256];
  setenv("QUILLNODE_HOME", "/tmp/qn-home", 1);
  EXPECT_EQ(aDirectory_GetHomeDirectory(buffer, sizeof(buffer)), aErrNone);
  EXPECT_STREQ(buffer, "/tmp/qn-home");
  char small[5];  // cut to the buffer and still terminated
  EXPECT_EQ(aDirectory_GetHomeDirectory(small, sizeof(small)), aErrNone);
  EXPECT_STREQ(small, "/tmp");
  setenv("QUILLNODE_HOME", "", 1);  // an empty override is ignored
  EXPECT_EQ(aDirectory_GetHomeDirectory(buffer, sizeof(buffer)), aErrNone);
  EXPECT_STRNE(buffer, "");
  EXPECT_EQ(aDirectory_GetHomeDirectory(nullptr, 10), aErrParam);
  if (old) {
    setenv("QUILLNODE_HOME", saved.c_str(), 1);
  } else {
    unsetenv("QUILLNODE_HOME");
  }
}

// ---------------------------------------------------------------- files

TEST(File, OpenRejectsBadArgumentsAndCloseNullsTheHandle) {
  TempDir tmp;
  EXPECT_EQ(aFile_Open(nullptr, aFileModeRead), nullptr);
  EXPECT_EQ(aFile_Open("", aFileModeRead), nullptr);
  EXPECT_EQ(aFile_Open((tmp / "f").c_str(), aFileModeUnknown), nullptr);
  EXPECT_EQ(aFile_Open((tmp / "missing").c_str(), aFileModeRead), nullptr);
  std::string longPath(aFILE_MAX_PATH + 1, 'a');
  EXPECT_EQ(aFile_Open(longPath.c_str(), aFileModeWrite), nullptr);

  aFileRef f = aFile_Open((tmp / "f").c_str(), aFileModeWrite);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(aFile_Close(&f), aErrNone);
  EXPECT_EQ(f, nullptr);
  EXPECT_EQ(aFile_Close(&f), aErrParam);
  EXPECT_EQ(aFile_Close(nullptr), aErrParam);
  aUnixFile forged = {nullptr, aFileModeRead, 0x1234};
  aFileRef bad = &forged;
  EXPECT_EQ(aFile_Close(&bad), aErrParam);
  EXPECT_EQ(bad, nullptr);
}

TEST(File, ExistsOnlyForNonDirectories) {
  TempDir tmp;
  ASSERT_TRUE(qntest::WriteFile(tmp / "f", "x"));
  EXPECT_TRUE(aFile_Exists((tmp / "f").c_str()));
  EXPECT_FALSE(aFile_Exists(tmp.path().c_str()));
  EXPECT_FALSE(aFile_Exists((tmp / "g").c_str()));
  EXPECT_FALSE(aFile_Exists(nullptr));
}

TEST(File, ReadWriteModesAndEndOfFile) {
  TempDir tmp;
  std::string path = tmp / "data";
  aFileRef w = aFile_Open(path.c_str(), aFileModeWrite);
  ASSERT_NE(w, nullptr);
  size_t n = 99;
  unsigned char buf[16];
  EXPECT_EQ(aFile_Read(w, buf, 4, &n), aErrMode);
  EXPECT_EQ(n, 99u);  // untouched on errors
  EXPECT_EQ(aFile_Write(w, (const unsigned char*)"hello", 5, &n), aErrNone);
  EXPECT_EQ(n, 5u);
  EXPECT_EQ(aFile_Printf(w, "-%d", 42), aErrNone);
  EXPECT_EQ(aFile_Close(&w), aErrNone);
  EXPECT_EQ(qntest::ReadFile(path), "hello-42");

  aFileRef r = aFile_Open(path.c_str(), aFileModeRead);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(aFile_Write(r, (const unsigned char*)"x", 1, nullptr), aErrMode);
  EXPECT_EQ(aFile_Printf(r, "x"), aErrMode);
  EXPECT_EQ(aFile_SetUnbuffered(r), aErrMode);
  EXPECT_EQ(aFile_Read(r, buf, 6, &n), aErrNone);
  EXPECT_EQ(n, 6u);
  EXPECT_EQ(aFile_Read(r, buf, 10, &n), aErrNone);  // a short read succeeds
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(aFile_Read(r, buf, 4, &n), aErrEOF);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(aFile_Read(r, nullptr, 4, &n), aErrParam);
  EXPECT_EQ(aFile_Read(nullptr, buf, 4, &n), aErrParam);
  EXPECT_EQ(aFile_Close(&r), aErrNone);
}

TEST(File, AppendStartsAtTheEndAndAllowsReading) {
  TempDir tmp;
  std::string path = tmp / "log";
  ASSERT_TRUE(qntest::WriteFile(path, "abc"));
  aFileRef a = aFile_Open(path.c_str(), aFileModeAppend);
  ASSERT_NE(a, nullptr);
  size_t pos = 0;
  EXPECT_EQ(aFile_GetPosition(a, &pos), aErrNone);
  EXPECT_EQ(pos, 3u);
  EXPECT_EQ(aFile_SetUnbuffered(a), aErrNone);
  EXPECT_EQ(aFile_Write(a, (const unsigned char*)"de", 2, nullptr), aErrNone);
  EXPECT_EQ(qntest::ReadFile(path), "abcde");  // unbuffered: already on disk
  EXPECT_EQ(aFile_Seek(a, 0, aSeekStart), aErrNone);
  unsigned char buf[8] = {0};
  size_t n = 0;
  EXPECT_EQ(aFile_Read(a, buf, sizeof(buf), &n), aErrNone);
  EXPECT_EQ(std::string((char*)buf, n), "abcde");
  EXPECT_EQ(aFile_Close(&a), aErrNone);
}

TEST(File, SeekStaysInsideTheFile) {
  TempDir tmp;
  std::string path = tmp / "ten";
  ASSERT_TRUE(qntest::WriteFile(path, "0123456789"));
  aFileRef f = aFile_Open(path.c_str(), aFileModeRead);
  ASSERT_NE(f, nullptr);
  size_t size = 0, pos = 0;
  EXPECT_EQ(aFile_GetSize(f, &size), aErrNone);
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(aFile_Seek(f, 1, aSeekEnd), aErrRange);
  EXPECT_EQ(aFile_Seek(f, 0, aSeekEnd), aErrNone);
  EXPECT_EQ(aFile_GetPosition(f, &pos), aErrNone);
  EXPECT_EQ(pos, 10u);
  EXPECT_EQ(aFile_Seek(f, -4, aSeekCurrent), aErrNone);
  EXPECT_EQ(aFile_GetPosition(f, &pos), aErrNone);
  EXPECT_EQ(pos, 6u);
  EXPECT_EQ(aFile_Seek(f, -7, aSeekCurrent), aErrRange);
  EXPECT_EQ(aFile_Seek(f, -1, aSeekStart), aErrRange);
  EXPECT_EQ(aFile_Seek(f, 11, aSeekStart), aErrRange);
  EXPECT_EQ(aFile_Seek(f, LONG_MAX, aSeekEnd), aErrRange);
  EXPECT_EQ(aFile_Seek(f, LONG_MIN, aSeekEnd), aErrRange);
  EXPECT_EQ(aFile_Seek(f, 3, 7), aErrParam);
  EXPECT_EQ(aFile_GetPosition(f, &pos), aErrNone);
  EXPECT_EQ(pos, 6u);  // failed seeks do not move
  EXPECT_EQ(aFile_GetSize(nullptr, &size), aErrParam);
  EXPECT_EQ(aFile_Close(&f), aErrNone);
}

TEST(File, ReadLineSplitsLongLinesAndReportsEnd) {
  TempDir tmp;
  std::string path = tmp / "lines";
  ASSERT_TRUE(qntest::WriteFile(path, "abcd\nabcdefg\nlast"));
  aFileRef f = aFile_Open(path.c_str(), aFileModeRead);
  ASSERT_NE(f, nullptr);
  char buf[6];
  size_t len = 99;
  EXPECT_EQ(aFile_ReadLine(f, buf, sizeof(buf), &len), aErrNone);
  EXPECT_STREQ(buf, "abcd\n");
  EXPECT_EQ(len, 5u);
  EXPECT_EQ(aFile_ReadLine(f, buf, sizeof(buf), &len), aErrOverrun);
  EXPECT_STREQ(buf, "abcde");
  EXPECT_EQ(len, 5u);
  EXPECT_EQ(aFile_ReadLine(f, buf, sizeof(buf), &len), aErrNone);
  EXPECT_STREQ(buf, "fg\n");
  EXPECT_EQ(len, 3u);
  EXPECT_EQ(aFile_ReadLine(f, buf, sizeof(buf), &len), aErrNone);
  EXPECT_STREQ(buf, "last");
  EXPECT_EQ(aFile_ReadLine(f, buf, sizeof(buf), &len), aErrEOF);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(len, 0u);
  // A one-byte buffer can hold no character: refused rather than looping.
  EXPECT_EQ(aFile_ReadLine(f, buf, 1, &len), aErrParam);
  EXPECT_EQ(aFile_Close(&f), aErrNone);

  aFileRef w = aFile_Open(path.c_str(), aFileModeWrite);
  ASSERT_NE(w, nullptr);
  strcpy(buf, "zz");
  EXPECT_EQ(aFile_ReadLine(w, buf, sizeof(buf), &len), aErrMode);
  EXPECT_STREQ(buf, "");  // emptied first
  EXPECT_EQ(aFile_Close(&w), aErrNone);
}

TEST(File, DeleteMapsErrors) {
  TempDir tmp;
  ASSERT_TRUE(qntest::WriteFile(tmp / "f", "x"));
  EXPECT_EQ(aFile_Delete((tmp / "f").c_str()), aErrNone);
  EXPECT_FALSE(qntest::FileExists(tmp / "f"));
  EXPECT_EQ(aFile_Delete((tmp / "f").c_str()), aErrNotFound);
  EXPECT_EQ(aFile_Delete(nullptr), aErrParam);
  std::string longPath(aFILE_MAX_PATH + 1, 'a');
  EXPECT_EQ(aFile_Delete(longPath.c_str()), aErrFileNameLength);
  EXPECT_EQ(aFile_Delete(tmp.path().c_str()), aErrIO);  // a directory: EISDIR
}

// ---------------------------------------------------------------- time

std::vector<unsigned long>* gChunks = nullptr;
int RecordChunk(unsigned long microseconds) {
  gChunks->push_back(microseconds);
  return 0;
}

TEST(Time, SleepIsSplitIntoChunksBelowOneSecond) {
  std::vector<unsigned long> chunks;
  gChunks = &chunks;
  EXPECT_EQ(aTime_MSSleepWith(2500, RecordChunk), aErrNone);
  EXPECT_EQ(chunks, (std::vector<unsigned long>{999999, 999999, 500002}));
  chunks.clear();
  EXPECT_EQ(aTime_MSSleepWith(0, RecordChunk), aErrNone);
  EXPECT_TRUE(chunks.empty());
  EXPECT_EQ(aTime_MSSleepWith(7, RecordChunk), aErrNone);
  EXPECT_EQ(chunks, (std::vector<unsigned long>{7000}));
  gChunks = nullptr;
  EXPECT_GT(aTime_GetMSTicks(), 1600000000000UL);  // milliseconds since 1970, not seconds
}

// ---------------------------------------------------------------- mutexes

TEST(Mutex, NamesAndNullHandles) {
  std::string name255(255, 'n');
  aMutexRef m = aMutex_Create(name255.c_str());
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(aMutex_Identifier(m), name255);
  EXPECT_EQ(aMutex_Destroy(&m), aErrNone);
  EXPECT_EQ(m, nullptr);
  std::string name256(256, 'n');
  EXPECT_EQ(aMutex_Create(name256.c_str()), nullptr);

  aMutexRef unnamed = aMutex_Create(nullptr);
  ASSERT_NE(unnamed, nullptr);
  EXPECT_STREQ(aMutex_Identifier(unnamed), "");
  EXPECT_EQ(aMutex_Destroy(&unnamed), aErrNone);

  EXPECT_EQ(aMutex_Lock(nullptr), aErrParam);
  EXPECT_EQ(aMutex_TryLock(nullptr), aErrParam);
  EXPECT_EQ(aMutex_Unlock(nullptr), aErrParam);
  EXPECT_EQ(aMutex_Destroy(nullptr), aErrParam);
  aMutexRef none = nullptr;
  EXPECT_EQ(aMutex_Destroy(&none), aErrParam);
}

TEST(Mutex, TryLockAndDestroyOfAHeldMutexAreBusy) {
  aMutexRef m = aMutex_Create("held");
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(aMutex_TryLock(m), aErrNone);
  EXPECT_EQ(aMutex_TryLock(m), aErrBusy);
  EXPECT_EQ(aMutex_Unlock(m), aErrNone);
  EXPECT_EQ(aMutex_Lock(m), aErrNone);
  std::thread other([m] { EXPECT_EQ(aMutex_TryLock(m), aErrBusy); });
  other.join();
  EXPECT_EQ(aMutex_Unlock(m), aErrNone);
  EXPECT_EQ(aMutex_Destroy(&m), aErrNone);
  EXPECT_EQ(m, nullptr);
}

TEST(Mutex, SerialisesThreads) {
  aMutexRef m = aMutex_Create("counter");
  ASSERT_NE(m, nullptr);
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([m, &counter] {
      for (int i = 0; i < 10000; ++i) {
        ASSERT_EQ(aMutex_Lock(m), aErrNone);
        ++counter;
        ASSERT_EQ(aMutex_Unlock(m), aErrNone);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 40000);
  EXPECT_EQ(aMutex_Destroy(&m), aErrNone);
}

// ---------------------------------------------------------------- versions

TEST(Version, PackedFields) {
  // Major in bits 31-28, minor in 27-24, patch in 23-0.
  EXPECT_EQ(aVersion_ParseMajor(0x28000007), 2);
  EXPECT_EQ(aVersion_ParseMinor(0x28000007), 8);
  EXPECT_EQ(aVersion_ParsePatch(0x28000007), 7u);
  char text[32];
  EXPECT_EQ(aVersion_ParseString(0x28000007, text, sizeof(text)), 5);
  EXPECT_STREQ(text, "2.8.7");
  EXPECT_EQ(aVersion_ParseString(0x20800007, text, sizeof(text)), 11);
  EXPECT_STREQ(text, "2.0.8388615");
  EXPECT_EQ(aVersion_ParseString(0x21000000, text, sizeof(text)), 5);
  EXPECT_STREQ(text, "2.1.0");
  EXPECT_EQ(aVersion_ParseMajor(0xFFFFFFFF), 15);
  EXPECT_EQ(aVersion_ParseMinor(0xFFFFFFFF), 15);
  EXPECT_EQ(aVersion_ParsePatch(0xFFFFFFFF), 16777215u);
  EXPECT_EQ(aVersion_ParseString(0xFFFFFFFF, text, sizeof(text)), 14);
  EXPECT_STREQ(text, "15.15.16777215");
  // Truncated like snprintf, result still the full length.
  EXPECT_EQ(aVersion_ParseString(0xFFFFFFFF, text, 4), 14);
  EXPECT_STREQ(text, "15.");
  EXPECT_EQ(aVersion_ParseString(0x28000007, nullptr, 0), 5);
}

TEST(Version, LibraryVersionAndFeatures) {
  EXPECT_EQ(aVersion_GetMajor(), 2);
  EXPECT_EQ(aVersion_GetMinor(), 8);
  EXPECT_EQ(aVersion_GetPatch(), 7u);
  EXPECT_STREQ(aVersion_GetString(), "2.8.7");
  EXPECT_TRUE(aVersion_IsAtLeast(2, 8, 7));
  EXPECT_TRUE(aVersion_IsAtLeast(1, 200, 200));
  EXPECT_TRUE(aVersion_IsAtLeast(2, 7, 255));
  EXPECT_FALSE(aVersion_IsAtLeast(2, 8, 8));
  EXPECT_FALSE(aVersion_IsAtLeast(3, 0, 0));
  EXPECT_TRUE(aVersion_HasFeature("VERSION"));
  EXPECT_FALSE(aVersion_HasFeature("version"));
  EXPECT_FALSE(aVersion_HasFeature(nullptr));
  char* list = aVersion_GetFeatureList();
  ASSERT_NE(list, nullptr);
  EXPECT_STREQ(list, "VERSION - Version Query API");
  aVersion_DestroyFeatureList(&list);
  EXPECT_EQ(list, nullptr);
  aVersion_DestroyFeatureList(&list);
}

}  // namespace
