// History logs: the line format, levels, and reading back while appending.
#include "updater/History.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace {

using qntest::ReadFile;
using qntest::TempDir;
using qntest::WriteFile;

const std::string kStamp = "[0-9]{4}:[0-9]{2}:[0-9]{2}:[0-9]{2}:[0-9]{2}:[0-9]{2}";

std::vector<std::string> ReadAll(DeviceHistory& h, size_t size) {
  std::vector<std::string> lines;
  std::vector<char> buf(size);
  for (char* l = h.ReadFirstLine(buf.data(), size); l; l = h.ReadNextLine(buf.data(), size)) {
    lines.push_back(l);
  }
  return lines;
}

TEST(HistoryWrite, EntryIsUtcTimestampSeparatorMessageNewlineAtItsLevel) {
  TempDir tmp;
  std::string path = tmp / ".history";
  // A zone far from UTC shows whether the stamp is really UTC.
  const char* oldTz = getenv("TZ");
  std::string savedTz = oldTz ? oldTz : "";
  setenv("TZ", "QNT-9", 1);
  tzset();
  time_t before = time(nullptr);
  DeviceHistory(path.c_str(), 0).Log("Created device entry");
  time_t after = time(nullptr);
  oldTz ? setenv("TZ", savedTz.c_str(), 1) : unsetenv("TZ");
  tzset();
  std::string text = ReadFile(path);
  ASSERT_TRUE(qntest::Matches(text, kStamp + " \\| Created device entry\n")) << text;
  struct tm t = {};
  strptime(text.c_str(), DeviceHistory::TIMESTAMP_FORMAT, &t);
  EXPECT_GE(timegm(&t), before);
  EXPECT_LE(timegm(&t), after);

  // Newlines, levels and long messages.
  ASSERT_TRUE(WriteFile(path, "old line\n"));
  DeviceHistory h(path.c_str(), 0);
  h.Log("abc\n");
  h.Log(0, "\tSerial#:[%08X, %d]\n", 0x12ABu, 0x12AB);
  h.Log(1u, "x1");  // above the threshold
  h.Init(path.c_str(), 2);
  h.Log(3u, "three");
  h.Init(path.c_str(), -1);  // keeps 2
  h.Log(2u, "two\nlines");
  // Unbuffered: everything is in the file while the object is still open.
  EXPECT_TRUE(qntest::Matches(ReadFile(path), "old line\n" + kStamp + " \\| abc\n" + kStamp +
                                                  " \\| \tSerial#:\\[000012AB, 4779\\]\n" + kStamp +
                                                  " \\| two\nlines\n"))
      << ReadFile(path);
  ASSERT_TRUE(WriteFile(path, ""));
  h.Log("%s", std::string(5000, 'm').c_str());
  EXPECT_EQ(ReadFile(path).size(), 19u + 3u + 2047u + 1u) << "messages are cut at 2047";
}

TEST(HistoryRead, LinesInOrderWithAppendsBetweenReadsAndLongLinesInPieces) {
  TempDir tmp;
  DeviceHistory h((tmp / ".history").c_str(), 0);
  char buf[256];
  EXPECT_EQ(h.ReadFirstLine(buf, sizeof(buf)), nullptr);  // empty file
  h.Log("first");
  h.Log("second");
  std::vector<std::string> lines = ReadAll(h, sizeof(buf));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].substr(19), " | first\n");
  EXPECT_EQ(lines[1].substr(19), " | second\n");
  EXPECT_EQ(h.ReadNextLine(buf, sizeof(buf)), nullptr);
  ASSERT_NE(h.ReadFirstLine(buf, sizeof(buf)), nullptr);
  h.Log("third");  // appended between reads: read as well
  ASSERT_EQ(h.ReadNextLine(buf, sizeof(buf)), buf);
  ASSERT_EQ(h.ReadNextLine(buf, sizeof(buf)), buf);
  EXPECT_EQ(std::string(buf).substr(19), " | third\n");
  EXPECT_EQ(h.ReadNextLine(buf, sizeof(buf)), nullptr);
  // Lines longer than the buffer come back in pieces.
  ASSERT_TRUE(WriteFile(tmp / "long", "abcdefghij\nxy\n"));
  DeviceHistory longLines((tmp / "long").c_str(), 0);
  EXPECT_EQ(ReadAll(longLines, 5), (std::vector<std::string>{"abcd", "efgh", "ij\n", "xy\n"}));
  char tiny[1];
  EXPECT_EQ(longLines.ReadFirstLine(tiny, sizeof(tiny)), nullptr);
}

// A missing directory and a named pipe (which would block reads) both leave
// an inert object.
TEST(HistoryOpen, FailureLeavesAnInertObject) {
  TempDir tmp;
  std::string missing = tmp / "no/dir/.history", fifo = tmp / ".history";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  for (const std::string& path : {missing, fifo}) {
    DeviceHistory h(path.c_str(), 0);
    EXPECT_FALSE(h.IsOpen()) << path;
    EXPECT_FALSE(h.Log("lost"));
    char buf[32];
    EXPECT_EQ(h.ReadFirstLine(buf, sizeof(buf)), nullptr);
  }
  EXPECT_FALSE(qntest::FileExists(missing));
}

}  // namespace
