// Processes that share one store: saves merge instead of erasing each
// other's keys, and history entries stay whole.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"
#include "updater/History.h"
#include "updater/KeyValueStore.h"

namespace {

using qntest::ReadFile;
using qntest::TempDir;

// Runs `body` in `count` child processes at once; true when all exited 0.
bool InChildren(int count, const std::function<void(int)>& body) {
  std::vector<pid_t> children;
  for (int i = 0; i < count; ++i) {
    pid_t pid = fork();
    if (pid == 0) {
      body(i);
      _exit(0);
    }
    children.push_back(pid);
  }
  bool ok = true;
  for (pid_t pid : children) {
    int status = 0;
    ok = waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0 && ok;
  }
  return ok;
}

// "-D" loads the settings, "-U" records its transfer, then "-D" saves what it
// learned: the transfer record stays, and so does a key both loaded.
TEST(StoreOverlap, ASaveKeepsWhatAnotherProcessSavedMeanwhile) {
  TempDir tmp;
  std::string path = tmp / ".settings";
  ASSERT_TRUE(qntest::WriteFile(path, "LINK_TYPE=USB\nMODEL_NUMBER=4\n"));
  KeyValueStore discover(path.c_str());
  KeyValueStore update(path.c_str());
  update.Add("LAST_TRANSFER_VERSION", "/store/12.bird");
  update.Add("LAST_TRANSFER_DATE", "Sun Dec  6 17:25:41 2026");
  ASSERT_TRUE(update.Save());
  discover.GetInt("LAST_TRANSFER_DATE", 0);  // adds the key empty: must not erase it
  discover.Add("LINK_TYPE", "TCPIP");
  discover.Add("VERSIONx", "  2.1.3");
  ASSERT_TRUE(discover.Save());
  EXPECT_EQ(ReadFile(path),
            "LAST_TRANSFER_DATE=Sun Dec  6 17:25:41 2026\nLAST_TRANSFER_VERSION=/store/12.bird\n"
            "LINK_TYPE=TCPIP\nMODEL_NUMBER=4\nVERSIONx=  2.1.3\n");
  EXPECT_EQ(discover.GetString("LAST_TRANSFER_VERSION"), "/store/12.bird");

  // Eight processes each saving their own key a few times: none is lost.
  ASSERT_TRUE(InChildren(8, [&](int i) {
    for (int round = 0; round < 10; ++round) {
      KeyValueStore mine(path.c_str());
      mine.Add(("K" + std::to_string(i)).c_str(), round);
      if (!mine.Save()) _exit(1);
    }
  }));
  KeyValueStore all(path.c_str());
  for (int i = 0; i < 8; ++i) EXPECT_EQ(all.GetInt(("K" + std::to_string(i)).c_str(), -1), 9) << i;
  EXPECT_EQ(all.GetString("MODEL_NUMBER"), "4");
}

TEST(StoreOverlap, EightProcessesAppendingHundredEntriesEachLeaveWholeLines) {
  TempDir tmp;
  std::string path = tmp / ".history";
  ASSERT_TRUE(InChildren(8, [&](int i) {
    DeviceHistory history(path.c_str(), 0);
    for (int n = 0; n < 100; ++n)
      if (!history.Log("writer %d entry %03d %s", i, n, std::string(200, 'a' + i).c_str()))
        _exit(1);
  }));
  std::istringstream in(ReadFile(path));
  int lines = 0;
  for (std::string line; std::getline(in, line); ++lines)
    ASSERT_TRUE(
        qntest::Matches(line, "\\d{4}(:\\d\\d){5} \\| writer (\\d) entry \\d{3} ([a-h])\\3{199}"))
        << line;
  EXPECT_EQ(lines, 800);
}

}  // namespace
