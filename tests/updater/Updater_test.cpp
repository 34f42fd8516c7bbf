// The store tree: opening, listing, finding, creating, writing BIRD files.
#include "updater/Updater.h"

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

TEST(UpdaterStore, LoadsDeviceDirectoriesAndIgnoresHiddenEntries) {
  EXPECT_EQ(BuildPath("/a/", "b", nullptr), "/a//b");
  TempDir tmp;
  std::string top = tmp / "updater";
  ASSERT_EQ(aDirectory_Ensure((top + "/0012ABCD").c_str(), 0755), aErrNone);
  ASSERT_EQ(aDirectory_Ensure((top + "/.cache").c_str(), 0755), aErrNone);
  ASSERT_EQ(aDirectory_Ensure((top + "/0034abcd").c_str(), 0755), aErrNone);
  ASSERT_TRUE(WriteFile(top + "/0012ABCD/.settings", "SERIAL_NUMBER=0x0012ABCD\n"));
  ASSERT_TRUE(WriteFile(top + "/0012ABCD/.history", ""));
  ASSERT_TRUE(WriteFile(top + "/0012ABCD/b100.bird", std::string(1234, 'b')));
  UpdaterClass store(tmp.path().c_str(), "updater");
  std::vector<std::string> names = ItemNames(store);
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()),
            (std::set<std::string>{"0012ABCD", "0034abcd"}));
  UpdaterItemClass* device = store.Find(0x12ABCDu);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->name, "0012ABCD");
  ASSERT_NE(device->updater, nullptr);
  UpdaterClass& sub = *device->updater;
  EXPECT_EQ(sub.settings.GetHex("SERIAL_NUMBER", 0), 0x12ABCDu);
  ASSERT_EQ(ItemNames(sub), (std::vector<std::string>{"b100.bird"}));
  EXPECT_EQ(sub.items[0]->size, 1234u);
  EXPECT_EQ(sub.items[0]->updater, nullptr);
  EXPECT_EQ(store.Find(".cache"), nullptr);
  EXPECT_EQ(store.Find(0x34ABCDu), nullptr) << "a lower-case directory is not found by serial";
  EXPECT_NE(store.Find("0034abcd"), nullptr);
}

TEST(UpdaterStore, AFreshStoreIsCreatedWithAnEmptyHistoryAndAnUnusablePathLeavesItEmpty) {
  TempDir tmp;
  std::string log = qntest::CaptureWithMask(
      DEBUG_Updater,
      [&] { EXPECT_TRUE(UpdaterClass((tmp / "deep/root").c_str(), "updater").items.empty()); },
      true);
  std::string top = tmp / "deep/root/updater";
  EXPECT_EQ(ReadFile(top + "/.history"), "");
  EXPECT_TRUE(FileExists(top + "/.history"));
  EXPECT_FALSE(FileExists(top + "/.settings"));  // written only when saved
  EXPECT_NE(log.find("UpdaterClass: creating updater for [" + top + "]\n"), std::string::npos)
      << log;
  // A path that cannot be made leaves an empty store.
  ASSERT_TRUE(WriteFile(tmp / "plain", "x"));
  log = qntest::CaptureWithMask(
      DEBUG_Updater,
      [&] {
        UpdaterClass cannot((tmp / "plain").c_str(), "updater");
        EXPECT_TRUE(cannot.items.empty());
        EXPECT_FALSE(cannot.history.IsOpen());
      },
      true);
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
  ASSERT_TRUE(device && device->updater);
  UpdaterItemClass* up = device->updater->Find("up");
  ASSERT_TRUE(up && up->updater);
  EXPECT_TRUE(up->updater->items.empty());  // the loop is cut here
  UpdaterItemClass* self = store.Find("self");
  ASSERT_TRUE(self && self->updater);
  EXPECT_TRUE(self->updater->items.empty());
}

TEST(UpdaterCreate, TwiceAppendsTwoItemsAndFindReturnsTheFirst) {
  TempDir tmp;
  UpdaterClass store(tmp.path().c_str(), "updater");
  UpdaterItemClass* first = store.Create("RECOVER");
  ASSERT_NE(store.Create("RECOVER"), first);
  EXPECT_EQ(ItemNames(store), (std::vector<std::string>{"RECOVER", "RECOVER"}));
  EXPECT_EQ(store.Find("RECOVER"), first);
  ASSERT_NE(first->updater, nullptr);
  first->updater->history.Log("Recovering device");
  EXPECT_NE(ReadFile(tmp / "updater/RECOVER/.history").find(" | Recovering device\n"),
            std::string::npos);
}

TEST(UpdaterItem, WriteBirdfileWritesIntoTheItemsDirectory) {
  TempDir tmp;
  UpdaterClass store(tmp.path().c_str(), "updater");
  UpdaterItemClass* device = store.Create("40F5849A");
  ASSERT_TRUE(device && device->updater);
  const unsigned char data[] = {0x00, 0x01, 'B', 'I', 'R', 'D', 0xFF, 0x0A};
  EXPECT_EQ(device->Write_Birdfile("b100.bird", data, sizeof(data)), aErrNone);
  EXPECT_EQ(device->Write_Birdfile("b100.bird", data, 2), aErrNone);  // replaced whole
  EXPECT_EQ(ReadFile(tmp / "updater/40F5849A/b100.bird"), std::string("\0\1", 2));
  // Not an item until the directory is listed again.
  UpdaterClass& sub = *device->updater;
  EXPECT_EQ(sub.Find("b100.bird"), nullptr);
  EXPECT_EQ(sub.Refresh(), aErrNone);
  EXPECT_EQ(sub.Refresh(), aErrNone);
  EXPECT_EQ(ItemNames(sub), (std::vector<std::string>{"b100.bird"})) << "no duplicates";
  EXPECT_EQ(sub.items[0]->size, 2u);
}

TEST(UpdaterItem, WriteBirdfileRefusesNullDataAndUnsafeNames) {
  TempDir tmp;
  UpdaterClass store(tmp.path().c_str(), "updater");
  UpdaterItemClass* device = store.Create("RECOVER");
  ASSERT_NE(device, nullptr);
  const unsigned char data[] = {1, 2, 3};
  EXPECT_EQ(device->Write_Birdfile("b2.bird", nullptr, 0), aErrNotFound);
  for (const char* bad : {"", ".", "..", "../escape.bird", "sub/x.bird", "/etc/passwd"}) {
    EXPECT_EQ(device->Write_Birdfile(bad, data, sizeof(data)), aErrParam) << bad;
  }
  EXPECT_EQ(device->Write_Birdfile(nullptr, data, sizeof(data)), aErrParam);
  EXPECT_EQ(device->Write_Birdfile("..b.bird", data, sizeof(data)), aErrNone);
  EXPECT_FALSE(FileExists(tmp / "updater/escape.bird"));
  EXPECT_EQ(ListNames(tmp / "updater/RECOVER"), (std::set<std::string>{".history", "..b.bird"}));
}

// Runs OpenUpdaterStore with QUILLNODE_HOME set to `home`.
UpdaterClass* OpenWithHome(const std::string& home) {
  const char* old = getenv("QUILLNODE_HOME");
  std::string saved = old ? old : "";
  setenv("QUILLNODE_HOME", home.c_str(), 1);
  UpdaterClass* store = OpenUpdaterStore();
  old ? setenv("QUILLNODE_HOME", saved.c_str(), 1) : unsetenv("QUILLNODE_HOME");
  return store;
}

TEST(OpenUpdaterStore, MakesTheStoreUnderTheHomeDirectory) {
  TempDir tmp;
  UpdaterClass* store = OpenWithHome(tmp.path());
  ASSERT_NE(store, nullptr);
  EXPECT_EQ(store->path, tmp / ".vorlaine/updater");
  EXPECT_EQ(qntest::FileMode(tmp / ".vorlaine") & 0700, 0700u);
  delete store;
  std::string home = tmp / "file-home";
  ASSERT_TRUE(WriteFile(home, "not a directory"));
  std::string log = qntest::CaptureWithMask(
      DEBUG_APP, [&] { store = OpenWithHome(home); }, true);
  EXPECT_EQ(store, nullptr);
  EXPECT_EQ(log, "Updater: FailedaDirectory_Ensure(" + home + "/.vorlaine)==> 12\n");
}

}  // namespace
