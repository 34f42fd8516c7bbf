// History logs: the line format, levels, and reading back while appending.
#include "updater/History.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

#include <regex>
#include <string>
#include <vector>

#include "app/Log.h"
#include "tests/support/TestSupport.h"
#include "tests/updater/UpdaterTestUtil.h"

namespace {

using qntest::ReadFile;
using qntest::TempDir;
using qntest::WriteFile;

const char* kStamp = "[0-9]{4}:[0-9]{2}:[0-9]{2}:[0-9]{2}:[0-9]{2}:[0-9]{2}";

std::vector<std::string> ReadAll(DeviceHistory& h, size_t size) {
  std::vector<std::string> lines;
  std::vector<char> buf(size);
  for (char* l = h.ReadFirstLine(buf.data(), size); l; l = h.ReadNextLine(buf.data(), size)) {
    lines.push_back(l);
  }
  return lines;
}

// Parses "YYYY:MM:DD:hh:mm:ss" as UTC.
time_t ParseUtc(const std::string& stamp) {
  struct tm t = {};
  if (sscanf(stamp.c_str(), "%d:%d:%d:%d:%d:%d", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour,
             &t.tm_min, &t.tm_sec) != 6) {
    return 0;
  }
  t.tm_year -= 1900;
  t.tm_mon -= 1;
  return timegm(&t);
}

TEST(HistoryWrite, EntryIsUtcTimestampSeparatorMessageNewline) {
  TempDir tmp;
  std::string path = tmp / ".history";
  // A zone far from UTC shows whether the stamp is really UTC.
  const char* oldTz = getenv("TZ");
  std::string savedTz = oldTz ? oldTz : "";
  setenv("TZ", "QNT-9", 1);
  tzset();
  time_t before = time(nullptr);
  {
    DeviceHistory h(path.c_str(), 0);
    h.Log("Created device entry");
  }
  time_t after = time(nullptr);
  if (oldTz) {
    setenv("TZ", savedTz.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();

  std::string text = ReadFile(path);
  ASSERT_TRUE(
      std::regex_match(text, std::regex(std::string(kStamp) + " \\| Created device entry\n")))
      << text;
  time_t stamped = ParseUtc(text.substr(0, 19));
  EXPECT_GE(stamped, before);
  EXPECT_LE(stamped, after);
  EXPECT_STREQ(DeviceHistory::TIMESTAMP_FORMAT, "%Y:%m:%d:%H:%M:%S");
  EXPECT_STREQ(DeviceHistory::SEPARATOR, " | ");
  EXPECT_STREQ(DeviceHistory::DEFAULT_FILENAME, ".history");
}

TEST(HistoryWrite, NewlinesFormattingAndAppending) {
  TempDir tmp;
  std::string path = tmp / ".history";
  ASSERT_TRUE(WriteFile(path, "old line\n"));
  DeviceHistory h(path.c_str(), 0);
  h.Log("abc\n");
  h.Log(0, "\tSerial#:[%08X, %d]\n", 0x12ABu, 0x12AB);
  h.WriteLog("");  // no newline of its own: the next entry continues the line
  h.Log("two\nlines");
  h.WriteLog(nullptr);
  // Unbuffered: everything is in the file while the object is still open.
  std::string text = ReadFile(path);
  std::string s = kStamp;
  EXPECT_TRUE(std::regex_match(text, std::regex("old line\n" + s + " \\| abc\n" + s +
                                                " \\| \tSerial#:\\[000012AB, 4779\\]\n" + s +
                                                " \\| " + s + " \\| two\nlines\n")))
      << text;
}

TEST(HistoryWrite, LongMessagesAreCutAt2047Characters) {
  TempDir tmp;
  std::string path = tmp / ".history";
  DeviceHistory h(path.c_str(), 0);
  std::string big(5000, 'm');
  h.Log("%s", big.c_str());
  std::string text = ReadFile(path);
  EXPECT_EQ(text.size(), 19u + 3u + 2047u + 1u);
}

TEST(HistoryWrite, LevelsFilterAndSurviveInit) {
  TempDir tmp;
  std::string path = tmp / ".history";
  DeviceHistory h(path.c_str(), 0);
  h.Log(1u, "x1");
  EXPECT_EQ(ReadFile(path), "");
  h.Log(0, "x0");
  EXPECT_NE(ReadFile(path).find(" | x0\n"), std::string::npos);

  h.Init(path.c_str(), 2);
  h.Log(2u, "two");
  h.Log(3u, "three");
  h.Init(path.c_str(), -1);  // keeps 2
  h.Log(2u, "again");
  std::string text = ReadFile(path);
  EXPECT_NE(text.find(" | two\n"), std::string::npos);
  EXPECT_EQ(text.find("three"), std::string::npos);
  EXPECT_NE(text.find(" | again\n"), std::string::npos);
  EXPECT_EQ(text.find("x1"), std::string::npos);
}

TEST(HistoryRead, LinesInOrderWithAppendsBetweenReads) {
  TempDir tmp;
  std::string path = tmp / ".history";
  DeviceHistory h(path.c_str(), 0);
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
  EXPECT_EQ(std::string(buf).substr(19), " | second\n");
  ASSERT_EQ(h.ReadNextLine(buf, sizeof(buf)), buf);
  EXPECT_EQ(std::string(buf).substr(19), " | third\n");
  EXPECT_EQ(h.ReadNextLine(buf, sizeof(buf)), nullptr);
}

TEST(HistoryRead, LongLinesComeBackInPieces) {
  TempDir tmp;
  std::string path = tmp / ".history";
  ASSERT_TRUE(WriteFile(path, "abcdefghij\nxy\n"));
  DeviceHistory h(path.c_str(), 0);
  std::vector<std::string> pieces = ReadAll(h, 5);
  EXPECT_EQ(pieces, (std::vector<std::string>{"abcd", "efgh", "ij\n", "xy\n"}));
  char tiny[1];
  EXPECT_EQ(h.ReadFirstLine(tiny, sizeof(tiny)), nullptr);
  EXPECT_EQ(h.ReadFirstLine(nullptr, 10), nullptr);
}

TEST(HistoryOpen, FailureIsLoggedAndLeavesAnInertObject) {
  TempDir tmp;
  std::string path = tmp / "no/dir/.history";
  std::string err;
  {
    err = qntest::CaptureStderrWithMask(DEBUG_History, [&] {
      DeviceHistory h(path.c_str(), 0);
      EXPECT_FALSE(h.IsOpen());
      EXPECT_EQ(h.filename, path);
      h.Log("lost");
      char buf[32];
      EXPECT_EQ(h.ReadFirstLine(buf, sizeof(buf)), nullptr);
      EXPECT_EQ(h.ReadNextLine(buf, sizeof(buf)), nullptr);
    });
  }
  EXPECT_EQ(err, "History: Error opening file [" + path + "] ==> 2\n");
  EXPECT_FALSE(qntest::FileExists(path));

  DeviceHistory none;
  EXPECT_FALSE(none.IsOpen());
  EXPECT_TRUE(none.filename.empty());
  none.Log("nothing");
  none.Close();

  // Init opens the file (created when missing) and Close lets it go.
  DeviceHistory later;
  later.Init((tmp / "later").c_str(), 0);
  EXPECT_TRUE(later.IsOpen());
  EXPECT_TRUE(qntest::FileExists(tmp / "later"));
  later.Close();
  EXPECT_FALSE(later.IsOpen());
  later.Log("after close");
  EXPECT_EQ(ReadFile(tmp / "later"), "");
}

TEST(HistoryOpen, ANamedPipeIsRefusedRatherThanBlockingReads) {
  TempDir tmp;
  std::string path = tmp / ".history";
  ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
  std::string err = qntest::CaptureStderrWithMask(DEBUG_History, [&] {
    DeviceHistory h(path.c_str(), 0);
    EXPECT_FALSE(h.IsOpen());
    char buf[32];
    EXPECT_EQ(h.ReadFirstLine(buf, sizeof(buf)), nullptr);
  });
  EXPECT_EQ(err, "History: Error opening file [" + path + "] ==> " + std::to_string(EINVAL) + "\n");
}

}  // namespace
