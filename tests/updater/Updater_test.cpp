// The store tree: opening, listing, finding, creating, writing BIRD files.
#include "updater/Updater.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "app/Log.h"
#include "tests/support/TestSupport.h"
#include "tests/updater/UpdaterTestUtil.h"

namespace {

using qntest::FileExists;
using qntest::ListNames;
using qntest::ReadFile;
using qntest::TempDir;
using qntest::WriteFile;

std::vector<std::string> ItemNames(const UpdaterClass& store) {
  std::vector<std::string> names;
  for (const UpdaterItemClass* item : store.items) names.push_back(item->name);
  return names;
}

TEST(BuildPath, JoinsWithoutNormalising) {
  EXPECT_EQ(BuildPath("/a/", "b", nullptr), "/a//b");
  EXPECT_EQ(BuildPath("root", "0012ABCD", "b100.bird", nullptr), "root/0012ABCD/b100.bird");
  EXPECT_EQ(BuildPath("only", nullptr), "only");
  EXPECT_EQ(BuildPath(nullptr, nullptr), "");
}

TEST(UpdaterStore, LoadsDeviceDirectoriesAndIgnoresHiddenEntries) {
  TempDir tmp;
  std::string top = tmp / "updater";
  ASSERT_EQ(aDirectory_Ensure((top + "/0012ABCD").c_str(), 0755), aErrNone);
  ASSERT_EQ(aDirectory_Ensure((top + "/.cache").c_str(), 0755), aErrNone);
  ASSERT_TRUE(WriteFile(top + "/0012ABCD/.settings", "SERIAL_NUMBER=0x0012ABCD\n"));
  ASSERT_TRUE(WriteFile(top + "/0012ABCD/.history", ""));
  ASSERT_TRUE(WriteFile(top + "/0012ABCD/b100.bird", std::string(1234, 'b')));
  ASSERT_TRUE(WriteFile(top + "/.settings", "TOP=1\n"));

  UpdaterClass store(tmp.path().c_str(), "updater");
  EXPECT_EQ(store.path, top);
  EXPECT_STREQ(store.settings["TOP"], "1");
  ASSERT_EQ(ItemNames(store), (std::vector<std::string>{"0012ABCD"}));
  UpdaterItemClass* device = store.items[0];
  EXPECT_TRUE(device->isDirectory);
  EXPECT_EQ(device->path, top);
  ASSERT_NE(device->updater, nullptr);

  UpdaterClass& sub = *device->updater;
  EXPECT_EQ(sub.path, top + "/0012ABCD");
  EXPECT_EQ(sub.settings.GetHex("SERIAL_NUMBER", 0), 0x12ABCDu);
  EXPECT_EQ(sub.settings.filename, top + "/0012ABCD/.settings");
  ASSERT_EQ(ItemNames(sub), (std::vector<std::string>{"b100.bird"}));
  EXPECT_FALSE(sub.items[0]->isDirectory);
  EXPECT_EQ(sub.items[0]->size, 1234u);
  EXPECT_EQ(sub.items[0]->updater, nullptr);
  EXPECT_EQ(sub.items[0]->path, top + "/0012ABCD");
  EXPECT_TRUE(sub.history.IsOpen());

  EXPECT_EQ(store.Find(0x12ABCDu), device);
  EXPECT_EQ(store.Find("0012ABCD"), device);
  EXPECT_EQ(store.Find(".cache"), nullptr);
  EXPECT_EQ(store.Find("0012abcd"), nullptr);
  EXPECT_EQ(store.Find(static_cast<const char*>(nullptr)), nullptr);
}

TEST(UpdaterStore, SerialLookupIsUpperCaseHex) {
  TempDir tmp;
  ASSERT_EQ(aDirectory_Ensure((tmp / "updater/0012abcd").c_str(), 0755), aErrNone);
  UpdaterClass store(tmp.path().c_str(), "updater");
  EXPECT_EQ(store.Find(0x12ABCDu), nullptr);
  EXPECT_NE(store.Find("0012abcd"), nullptr);
}

TEST(UpdaterStore, AFreshStoreIsCreatedWithAnEmptyHistory) {
  TempDir tmp;
  std::string log = qntest::CaptureStdoutWithMask(DEBUG_Updater, [&] {
    UpdaterClass store((tmp / "deep/root").c_str(), "updater");
    EXPECT_TRUE(store.items.empty());
  });
  std::string top = tmp / "deep/root/updater";
  EXPECT_TRUE(aDirectory_Exists(top.c_str()));
  EXPECT_TRUE(FileExists(top + "/.history"));
  EXPECT_EQ(ReadFile(top + "/.history"), "");
  EXPECT_FALSE(FileExists(top + "/.settings"));  // written only when saved
  EXPECT_EQ(qntest::FileMode(top) & 0755, 0755u & ~0022u & 0755);
  EXPECT_NE(log.find("UpdaterClass: creating updater for [" + top + "]\n"), std::string::npos)
      << log;
}

TEST(UpdaterStore, ListingMessagesOnTheUpdaterChannel) {
  TempDir tmp;
  std::string top = tmp / "updater";
  ASSERT_EQ(aDirectory_Ensure(top.c_str(), 0755), aErrNone);
  ASSERT_TRUE(WriteFile(top + "/b7.bird", "1234567"));
  std::string log = qntest::CaptureStdoutWithMask(
      DEBUG_Updater, [&] { UpdaterClass store(tmp.path().c_str(), "updater"); });
  EXPECT_NE(log.find("Callback UpdaterFileEnum([" + top + "/b7.bird], 7, "), std::string::npos)
      << log;
  EXPECT_NE(log.find("UpdaterClass: creating updater item for [b7.bird]\n"), std::string::npos);
  EXPECT_EQ(
      qntest::CaptureStdoutWithMask(0, [&] { UpdaterClass quiet(tmp.path().c_str(), "updater"); }),
      "");
}

TEST(UpdaterStore, UnusablePathsLeaveAnEmptyStore) {
  TempDir tmp;
  ASSERT_TRUE(WriteFile(tmp / "plain", "x"));
  std::string log = qntest::CaptureStdoutWithMask(DEBUG_Updater, [&] {
    UpdaterClass notDir(tmp.path().c_str(), "plain");
    EXPECT_TRUE(notDir.items.empty());
    EXPECT_FALSE(notDir.history.IsOpen());
    EXPECT_EQ(notDir.Refresh(), aErrNotFound);
  });
  EXPECT_EQ(log, "UpdaterClass: [" + (tmp / "plain") + "] is not a directory\n");

  log = qntest::CaptureStdoutWithMask(DEBUG_Updater, [&] {
    UpdaterClass cannot((tmp / "plain").c_str(), "updater");
    EXPECT_TRUE(cannot.items.empty());
    EXPECT_FALSE(cannot.history.IsOpen());
  });
  EXPECT_EQ(log, "UpdaterClass: could not make directory [" + (tmp / "plain/updater") + "]\n");
}

TEST(UpdaterStore, SymbolicLinkLoopsAreNotFollowedForever) {
  TempDir tmp;
  std::string top = tmp / "updater";
  ASSERT_EQ(aDirectory_Ensure((top + "/0012ABCD").c_str(), 0755), aErrNone);
  ASSERT_EQ(symlink("..", (top + "/0012ABCD/up").c_str()), 0);
  ASSERT_EQ(symlink(".", (top + "/self").c_str()), 0);
  UpdaterClass store(tmp.path().c_str(), "updater");
  UpdaterItemClass* device = store.Find(0x12ABCDu);
  ASSERT_NE(device, nullptr);
  ASSERT_NE(device->updater, nullptr);
  UpdaterItemClass* up = device->updater->Find("up");
  ASSERT_NE(up, nullptr);
  ASSERT_NE(up->updater, nullptr);
  EXPECT_TRUE(up->updater->items.empty());  // the loop is cut here
  UpdaterItemClass* self = store.Find("self");
  ASSERT_NE(self, nullptr);
  ASSERT_NE(self->updater, nullptr);
  EXPECT_TRUE(self->updater->items.empty());
}

TEST(UpdaterCreate, TwiceAppendsTwoItemsAndFindReturnsTheFirst) {
  TempDir tmp;
  UpdaterClass store(tmp.path().c_str(), "updater");
  UpdaterItemClass* first = store.Create("RECOVER");
  UpdaterItemClass* second = store.Create("RECOVER");
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  EXPECT_EQ(ItemNames(store), (std::vector<std::string>{"RECOVER", "RECOVER"}));
  EXPECT_EQ(store.Find("RECOVER"), first);
  EXPECT_TRUE(first->isDirectory);
  EXPECT_EQ(first->size, 0u);
  ASSERT_NE(first->updater, nullptr);
  EXPECT_EQ(first->updater->path, tmp / "updater/RECOVER");
  EXPECT_TRUE(FileExists(tmp / "updater/RECOVER/.history"));
  first->updater->history.Log("Recovering device");
  EXPECT_NE(ReadFile(tmp / "updater/RECOVER/.history").find(" | Recovering device\n"),
            std::string::npos);
  EXPECT_EQ(store.Create(nullptr), nullptr);
}

TEST(UpdaterCreate, FailureLeavesTheItemWithoutASubStore) {
  TempDir tmp;
  UpdaterClass store(tmp.path().c_str(), "updater");
  ASSERT_TRUE(WriteFile(tmp / "updater/0000BEEF", "a file in the way"));
  UpdaterItemClass* item = store.Create("0000BEEF");
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->updater, nullptr);
  EXPECT_EQ(store.Find(0xBEEFu), item);
}

TEST(UpdaterItem, WriteBirdfileWritesIntoTheItemsDirectory) {
  TempDir tmp;
  UpdaterClass store(tmp.path().c_str(), "updater");
  UpdaterItemClass* device = store.Create("40F5849A");
  ASSERT_NE(device, nullptr);
  ASSERT_NE(device->updater, nullptr);

  const unsigned char data[] = {0x00, 0x01, 'B', 'I', 'R', 'D', 0xFF, 0x0A};
  EXPECT_EQ(device->Write_Birdfile("b100.bird", data, sizeof(data)), aErrNone);
  std::string path = tmp / "updater/40F5849A/b100.bird";
  EXPECT_EQ(ReadFile(path), std::string(reinterpret_cast<const char*>(data), sizeof(data)));
  // Replaced whole.
  EXPECT_EQ(device->Write_Birdfile("b100.bird", data, 2), aErrNone);
  EXPECT_EQ(ReadFile(path), std::string("\0\1", 2));
  EXPECT_EQ(device->Write_Birdfile("empty.bird", data, 0), aErrNone);
  EXPECT_EQ(ReadFile(tmp / "updater/40F5849A/empty.bird"), "");

  // Not an item until the directory is listed again; Refresh never opens sub-stores.
  UpdaterClass& sub = *device->updater;
  EXPECT_EQ(sub.Find("b100.bird"), nullptr);
  EXPECT_EQ(sub.Refresh(), aErrNone);
  ASSERT_NE(sub.Find("b100.bird"), nullptr);
  EXPECT_EQ(sub.Find("b100.bird")->size, 2u);
  EXPECT_EQ(sub.items.size(), 2u);
  EXPECT_EQ(sub.Refresh(), aErrNone);
  EXPECT_EQ(sub.items.size(), 2u);  // no duplicates
  ASSERT_EQ(aDirectory_Ensure((sub.path + "/later").c_str(), 0755), aErrNone);
  EXPECT_EQ(sub.Refresh(), aErrNone);
  ASSERT_NE(sub.Find("later"), nullptr);
  EXPECT_TRUE(sub.Find("later")->isDirectory);
  EXPECT_EQ(sub.Find("later")->updater, nullptr);
  ASSERT_EQ(unlink(path.c_str()), 0);
  EXPECT_EQ(sub.Refresh(), aErrNone);
  EXPECT_NE(sub.Find("b100.bird"), nullptr);  // gone entries remain
}

TEST(UpdaterItem, WriteBirdfileRefusesNullDataAndUnsafeNames) {
  TempDir tmp;
  UpdaterClass store(tmp.path().c_str(), "updater");
  UpdaterItemClass* device = store.Create("RECOVER");
  ASSERT_NE(device, nullptr);
  const unsigned char data[] = {1, 2, 3};
  EXPECT_EQ(device->Write_Birdfile("b2.bird", nullptr, 0), aErrNotFound);
  EXPECT_FALSE(FileExists(tmp / "updater/RECOVER/b2.bird"));

  for (const char* bad : {"", ".", "..", "../escape.bird", "sub/x.bird", "/etc/passwd"}) {
    EXPECT_EQ(device->Write_Birdfile(bad, data, sizeof(data)), aErrParam) << bad;
  }
  EXPECT_EQ(device->Write_Birdfile(nullptr, data, sizeof(data)), aErrParam);
  EXPECT_FALSE(FileExists(tmp / "updater/escape.bird"));
  // Names that merely contain dots are fine.
  EXPECT_EQ(device->Write_Birdfile("..b.bird", data, sizeof(data)), aErrNone);

  // A directory that cannot hold files.
  UpdaterItemClass ghost((tmp / "nowhere").c_str(), "missing", 1, 0);
  EXPECT_EQ(ghost.Write_Birdfile("b.bird", data, sizeof(data)), aErrNotFound);
  EXPECT_EQ(ListNames(tmp / "updater/RECOVER"), (std::set<std::string>{".history", "..b.bird"}));
}

// Runs OpenUpdaterStore with QUILLNODE_HOME set to `home`.
UpdaterClass* OpenWithHome(const std::string& home) {
  const char* old = getenv("QUILLNODE_HOME");
  std::string saved = old ? old : "";
  setenv("QUILLNODE_HOME", home.c_str(), 1);
  UpdaterClass* store = OpenUpdaterStore();
  if (old) {
    setenv("QUILLNODE_HOME", saved.c_str(), 1);
  } else {
    unsetenv("QUILLNODE_HOME");
  }
  return store;
}

TEST(OpenUpdaterStore, MakesTheStoreUnderTheHomeDirectory) {
  TempDir tmp;
  UpdaterClass* store = OpenWithHome(tmp.path());
  ASSERT_NE(store, nullptr);
  EXPECT_EQ(store->path, tmp / ".vorlaine/updater");
  EXPECT_TRUE(FileExists(tmp / ".vorlaine/updater/.history"));
  EXPECT_EQ(qntest::FileMode(tmp / ".vorlaine") & 0700, 0700u);
  store->history.Log(0, "%s", "bench check");
  delete store;
  EXPECT_NE(ReadFile(tmp / ".vorlaine/updater/.history").find(" | bench check\n"),
            std::string::npos);
}

TEST(OpenUpdaterStore, UnpreparableDirectoryGivesNullAndADebugNote) {
  TempDir tmp;
  std::string home = tmp / "file-home";
  ASSERT_TRUE(WriteFile(home, "not a directory"));
  UpdaterClass* store = nullptr;
  std::string log = qntest::CaptureStdoutWithMask(DEBUG_APP, [&] { store = OpenWithHome(home); });
  EXPECT_EQ(store, nullptr);
  EXPECT_EQ(log, "Updater: FailedaDirectory_Ensure(" + home + "/.vorlaine)==> 12\n");
  EXPECT_EQ(qntest::CaptureStdoutWithMask(0, [&] { store = OpenWithHome(home); }), "");
  EXPECT_EQ(store, nullptr);

  std::string longHome = "/" + std::string(2040, 'h');
  log = qntest::CaptureStdoutWithMask(DEBUG_APP, [&] { store = OpenWithHome(longHome); });
  EXPECT_EQ(store, nullptr);
  // The home fits the 2048-byte path buffer, the joined path does not. The
  // note itself is cut to the 2047 characters of a log message.
  std::string expected = "Updater: FailedaDirectory_BuildPath(" + longHome + "/.vorlaine)==> 15\n";
  EXPECT_EQ(log, expected.substr(0, 2047));
}

}  // namespace
