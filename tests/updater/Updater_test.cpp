// The store tree: opening, listing, finding, creating, writing BIRD files.
#include "updater/Updater.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

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
  EXPECT_TRUE(UpdaterClass((tmp / "deep/root").c_str(), "updater").items.empty());
  std::string top = tmp / "deep/root/updater";
  EXPECT_TRUE(FileExists(top + "/.history"));
  EXPECT_EQ(ReadFile(top + "/.history"), "");
  EXPECT_FALSE(FileExists(top + "/.settings"));  // written only when saved
  // A path that cannot be made leaves an empty store.
  ASSERT_TRUE(WriteFile(tmp / "plain", "x"));
  UpdaterClass cannot((tmp / "plain").c_str(), "updater");
  EXPECT_TRUE(cannot.items.empty());
  EXPECT_FALSE(cannot.history.IsOpen());
}

// Faults a store meets in the field. Each case prepares the store directory
// (and `outside`, a tree that is not part of it), opens the store and checks
// what must hold: nothing outside is touched, nothing is opened twice.
TEST(UpdaterStore, FaultsNeverReachOutsideTheStore) {
  using Path = const std::string&;
  struct Case {
    const char* name;
    std::function<void(Path top, Path outside)> prepare;
    std::function<void(UpdaterClass& store, Path top, Path outside)> check;
  } cases[] = {
      {"a device directory linked to another tree is listed, never entered",
       [](Path top, Path outside) {
         ASSERT_EQ(aDirectory_Ensure((outside + "/a/b").c_str(), 0755), aErrNone);
         ASSERT_EQ(symlink(outside.c_str(), (top + "/0012ABCD").c_str()), 0);
         ASSERT_EQ(symlink("..", (top + "/up").c_str()), 0);
       },
       [](UpdaterClass& store, Path, Path outside) {
         for (const char* name : {"0012ABCD", "up"}) {
           UpdaterItemClass* item = store.Find(name);
           ASSERT_NE(item, nullptr) << name;
           EXPECT_FALSE(item->isDirectory || item->updater) << name;
         }
         EXPECT_EQ(ListNames(outside), (std::set<std::string>{"a"}));
         EXPECT_EQ(ListNames(outside + "/a"), (std::set<std::string>{"b"}));
       }},
      {"a directory reached twice (bind mount, hard link) is opened once",
       [](Path top, Path) {
         ASSERT_EQ(aDirectory_Ensure((top + "/0012ABCD").c_str(), 0755), aErrNone);
       },
       [](UpdaterClass& store, Path top, Path) {
         // Opening the same directory again under another name in this tree.
         UpdaterItemClass* again = store.Create("0012ABCD");
         ASSERT_NE(again, nullptr);
         EXPECT_TRUE(!again->updater || !again->updater->history.IsOpen()) << top;
       }},
      {".settings and .history that are links are neither read nor written through",
       [](Path top, Path outside) {
         ASSERT_TRUE(WriteFile(outside + "/victim", "KEY=outside\n"));
         ASSERT_EQ(symlink((outside + "/victim").c_str(), (top + "/.settings").c_str()), 0);
         ASSERT_EQ(symlink((outside + "/victim").c_str(), (top + "/.history").c_str()), 0);
       },
       [](UpdaterClass& store, Path top, Path outside) {
         EXPECT_EQ(store.settings["KEY"], nullptr);
         EXPECT_FALSE(store.history.Log("appended"));
         store.settings.Add("KEY", "mine");
         EXPECT_FALSE(store.settings.Save((top + "/.settings").c_str()));
         EXPECT_EQ(store.settings.SaveError(), ELOOP);
         EXPECT_EQ(ReadFile(outside + "/victim"), "KEY=outside\n");
       }},
      {"only this program's temporary files older than an hour are removed",
       [](Path top, Path) {
         for (const char* name : {".12.bird.qnpart-a1B2c3", ".12.bird.qnpart-fresh1",
                                  ".other.tmpabcdef", "12.bird.qnpart-x"})
           ASSERT_TRUE(WriteFile(top + "/" + name, "x"));
         struct timeval old[2] = {{time(nullptr) - 7200, 0}, {time(nullptr) - 7200, 0}};
         for (const char* name : {".12.bird.qnpart-a1B2c3", ".other.tmpabcdef", "12.bird.qnpart-x"})
           ASSERT_EQ(utimes((top + "/" + name).c_str(), old), 0);
       },
       [](UpdaterClass&, Path top, Path) {
         EXPECT_EQ(ListNames(top), (std::set<std::string>{".history", ".12.bird.qnpart-fresh1",
                                                          ".other.tmpabcdef", "12.bird.qnpart-x"}));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir tmp;
    std::string top = tmp / "updater", outside = tmp / "outside";
    ASSERT_EQ(aDirectory_Ensure(top.c_str(), 0755), aErrNone);
    ASSERT_EQ(aDirectory_Ensure(outside.c_str(), 0755), aErrNone);
    c.prepare(top, outside);
    UpdaterClass store(tmp.path().c_str(), "updater");
    c.check(store, top, outside);
  }
}

// Creating twice appends two items, and Find returns the first. A BIRD file
// is replaced only with a checked whole file inside the device directory.
TEST(UpdaterItem, CreateTwiceAndWriteBirdfile) {
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

  UpdaterItemClass* device = store.Create("40F5849A");
  ASSERT_TRUE(device && device->updater);
  const unsigned char data[] = {0x00, 0x01, 'B', 'I', 'R', 'D', 0xFF, 0x0A};
  EXPECT_EQ(device->Write_Birdfile("b100.bird", data, sizeof(data)), aErrNone);
  EXPECT_EQ(device->Write_Birdfile("b100.bird", data, 2), aErrNone);  // replaced whole
  EXPECT_EQ(ReadFile(tmp / "updater/40F5849A/b100.bird"), std::string("\0\1", 2));
  // A check that refuses the new content keeps the old file.
  int error = 0;
  EXPECT_EQ(device->Write_Birdfile(
                "b100.bird", data, 8, [](const char*) { return false; }, &error),
            aErrParse);
  EXPECT_EQ(ReadFile(tmp / "updater/40F5849A/b100.bird"), std::string("\0\1", 2));
  // Not an item until the directory is listed again.
  UpdaterClass& sub = *device->updater;
  EXPECT_EQ(sub.Find("b100.bird"), nullptr);
  EXPECT_EQ(sub.Refresh(), aErrNone);
  EXPECT_EQ(sub.Refresh(), aErrNone);
  EXPECT_EQ(ItemNames(sub), (std::vector<std::string>{"b100.bird"})) << "no duplicates";
  EXPECT_EQ(sub.items[0]->size, 2u);

  EXPECT_EQ(device->Write_Birdfile("b2.bird", nullptr, 0), aErrNotFound);
  for (const char* bad : {"", ".", "..", "../escape.bird", "sub/x.bird", "/etc/passwd"})
    EXPECT_EQ(device->Write_Birdfile(bad, data, sizeof(data)), aErrParam) << bad;
  EXPECT_EQ(device->Write_Birdfile(nullptr, data, sizeof(data)), aErrParam);
  EXPECT_FALSE(FileExists(tmp / "updater/escape.bird"));
  EXPECT_EQ(ListNames(tmp / "updater/40F5849A"), (std::set<std::string>{".history", "b100.bird"}));
}

}  // namespace
