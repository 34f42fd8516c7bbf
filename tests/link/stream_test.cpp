// Byte streams: all-or-nothing reads, the push-back ring, records, C strings,
// writes, copying, destruction, file streams and the serial stream on a
// pseudo-terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <deque>
#include <string>
#include <vector>

#include "link/aSerialInternal.h"
#include "link/aStream.h"
#include "tests/support/TestSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;

// An in-memory transport: get hands out queued bytes, then aErrNotReady, or
// the end / error status the test chose; put and write record what was sent.
struct Script {
  std::deque<uint8_t> input;
  aErr whenEmpty = aErrNotReady;
  // Fail the get after this many bytes (with failStatus); -1 never.
  int failAfter = -1;
  aErr failStatus = aErrIO;
  Bytes sent;
  int putCalls = 0;
  int writeCalls = 0;
  int putFailAfter = -1;  // put fails once this many bytes went out
  aErr deleteStatus = aErrNone;
  int deleteCalls = 0;

  void Add(const std::string& text) { input.insert(input.end(), text.begin(), text.end()); }

  static aErr Get(uint8_t* byte, void* ref) {
    Script* s = static_cast<Script*>(ref);
    if (s->failAfter == 0) return s->failStatus;
    if (s->input.empty()) return s->whenEmpty;
    if (s->failAfter > 0) s->failAfter--;
    *byte = s->input.front();
    s->input.pop_front();
    return aErrNone;
  }
  static aErr Put(uint8_t byte, void* ref) {
    Script* s = static_cast<Script*>(ref);
    s->putCalls++;
    if (s->putFailAfter >= 0 && static_cast<int>(s->sent.size()) >= s->putFailAfter) {
      return aErrIO;
    }
    s->sent.push_back(byte);
    return aErrNone;
  }
  static aErr Write(const uint8_t* data, size_t length, void* ref) {
    Script* s = static_cast<Script*>(ref);
    s->writeCalls++;
    s->sent.insert(s->sent.end(), data, data + length);
    return aErrNone;
  }
  static aErr Delete(void* ref) {
    Script* s = static_cast<Script*>(ref);
    s->deleteCalls++;
    return s->deleteStatus;
  }
};

// A stream over a Script, destroyed with the object.
class ScriptStream {
 public:
  explicit ScriptStream(Script* s, bool withGet = true, bool withPut = true, bool withWrite = true)
      : stream_(aStream_Create(withGet ? Script::Get : nullptr, withPut ? Script::Put : nullptr,
                               withWrite ? Script::Write : nullptr, Script::Delete, s)) {}
  ~ScriptStream() {
    if (stream_ != nullptr) aStream_Destroy(&stream_);
  }
  aStreamRef get() const { return stream_; }

 private:
  aStreamRef stream_;
};

std::string Text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// Reads one byte at a time until the stream has nothing more.
std::string ReadRest(aStreamRef stream) {
  std::string out;
  uint8_t byte;
  while (aStream_Read(stream, &byte, 1) == aErrNone) out.push_back(static_cast<char>(byte));
  return out;
}

// ---- reads and the push-back ring ------------------------------------------

TEST(StreamReadTest, NotReadyIsAllOrNothing) {
  Script s;
  ScriptStream st(&s);
  s.Add("abc");
  uint8_t buffer[5] = {'x', 'x', 'x', 'x', 'x'};
  EXPECT_EQ(aStream_Read(st.get(), buffer, 5), aErrNotReady);
  EXPECT_EQ(std::string(buffer, buffer + 5), "xxxxx");
  EXPECT_EQ(aStream_Read(st.get(), buffer, 5), aErrNotReady);  // still only three
  s.Add("de");
  EXPECT_EQ(aStream_Read(st.get(), buffer, 5), aErrNone);
  EXPECT_EQ(std::string(buffer, buffer + 5), "abcde");
  EXPECT_EQ(aStream_Read(st.get(), buffer, 1), aErrNotReady);
}

TEST(StreamReadTest, EndOfStreamDeliversWhatCameBefore) {
  Script s;
  s.whenEmpty = aErrEOF;
  ScriptStream st(&s);
  s.Add("xyz");
  uint8_t buffer[5] = {0, 0, 0, 0, 0};
  EXPECT_EQ(aStream_Read(st.get(), buffer, 5), aErrEOF);
  EXPECT_EQ(std::string(buffer, buffer + 3), "xyz");
  EXPECT_EQ(buffer[3], 0);
  EXPECT_EQ(aStream_Read(st.get(), buffer, 1), aErrEOF);
}

TEST(StreamReadTest, HardErrorCopiesNothingAndLosesTheBytesRead) {
  Script s;
  ScriptStream st(&s);
  s.Add("abcdef");
  s.failAfter = 2;
  s.failStatus = aErrConnection;
  uint8_t buffer[4] = {'-', '-', '-', '-'};
  EXPECT_EQ(aStream_Read(st.get(), buffer, 4), aErrConnection);
  EXPECT_EQ(std::string(buffer, buffer + 4), "----");
  s.failAfter = -1;
  EXPECT_EQ(ReadRest(st.get()), "cdef");
}

TEST(StreamReadTest, ArgumentAndModeErrors) {
  Script s;
  ScriptStream st(&s);
  ScriptStream writeOnly(&s, false);
  uint8_t b;
  EXPECT_EQ(aStream_Read(nullptr, &b, 1), aErrParam);
  EXPECT_EQ(aStream_Read(st.get(), nullptr, 1), aErrParam);
  EXPECT_EQ(aStream_Read(writeOnly.get(), &b, 1), aErrMode);
  aStream dead = {};
  EXPECT_EQ(aStream_Read(&dead, &b, 1), aErrParam);
  EXPECT_EQ(aStreamBufferChar(&dead, 1), aErrParam);
  EXPECT_EQ(aStreamBufferChar(nullptr, 1), aErrParam);
  EXPECT_EQ(aStream_Read(st.get(), &b, 0), aErrNone);
}

TEST(StreamRingTest, GrowsBy512AcrossTheWrapPointKeepingOrder) {
  Script s;
  ScriptStream st(&s);
  // Move head and tail into the middle so the live bytes wrap.
  for (int i = 0; i < 300; i++) ASSERT_EQ(aStreamBufferChar(st.get(), 0xEE), aErrNone);
  std::vector<uint8_t> skip(300);
  ASSERT_EQ(aStream_Read(st.get(), skip.data(), skip.size()), aErrNone);
  for (int i = 0; i < 511; i++) {
    ASSERT_EQ(aStreamBufferChar(st.get(), static_cast<uint8_t>(i)), aErrNone);
  }
  EXPECT_EQ(st.get()->capacity, 512u);
  EXPECT_EQ(st.get()->buffered, 511u);
  ASSERT_EQ(aStreamBufferChar(st.get(), static_cast<uint8_t>(511)), aErrNone);
  EXPECT_EQ(st.get()->capacity, 1024u);
  EXPECT_EQ(st.get()->buffered, 512u);
  std::vector<uint8_t> out(512);
  ASSERT_EQ(aStream_Read(st.get(), out.data(), out.size()), aErrNone);
  for (int i = 0; i < 512; i++) ASSERT_EQ(out[i], static_cast<uint8_t>(i)) << i;
}

TEST(StreamRingTest, LargeNotReadyReadSurvivesGrowth) {
  Script s;
  ScriptStream st(&s);
  std::string big;
  for (int i = 0; i < 3000; i++) big.push_back(static_cast<char>('a' + i % 26));
  s.Add(big);
  std::vector<uint8_t> buffer(4000);
  EXPECT_EQ(aStream_Read(st.get(), buffer.data(), buffer.size()), aErrNotReady);
  EXPECT_GE(st.get()->capacity, 3001u);
  ASSERT_EQ(aStream_Read(st.get(), buffer.data(), 3000), aErrNone);
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 3000), big);
}

// ---- records and C strings --------------------------------------------------

struct RecordResult {
  aErr err;
  std::string record;
};

RecordResult ReadRecord(aStreamRef stream, size_t maxLength, const std::string& terminator) {
  std::vector<uint8_t> buffer(maxLength + 8, '#');
  size_t length = 12345;
  aErr err = aStream_ReadRecord(stream, buffer.data(), &length, maxLength,
                                reinterpret_cast<const uint8_t*>(terminator.data()),
                                terminator.size());
  if (err != aErrNone && err != aErrEOF) return {err, std::string(buffer.begin(), buffer.begin() + 2)};
  return {err, std::string(buffer.begin(), buffer.begin() + length)};
}

struct RecordCase {
  const char* name;
  std::string input;
  aErr whenEmpty;
  size_t maxLength;
  std::string terminator;
  aErr err;
  std::string record;  // "##" when nothing may be copied
  std::string rest;    // what a later read still sees
};

TEST(StreamRecordTest, Cases) {
  const RecordCase cases[] = {
      {"terminator", "ab\r\ncd", aErrNotReady, 16, "\r\n", aErrNone, "ab", "cd"},
      {"split terminator", "a\rb\nz", aErrNotReady, 16, "\r\n", aErrNone, "ab", "z"},
      {"max length", "abcdef\n", aErrNotReady, 4, "\n", aErrNone, "abcd", "ef\n"},
      {"not ready", "OK", aErrNotReady, 16, "\r\n", aErrNotReady, "##", "OK"},
      // Bytes go back in arrival order, a terminator byte already matched too.
      {"not ready after CR", "O\rK", aErrNotReady, 16, "\r\n", aErrNotReady, "##", "O\rK"},
      {"end completes", "tail", aErrEOF, 16, "\n", aErrNone, "tail", ""},
      {"end with nothing", "", aErrEOF, 16, "\n", aErrEOF, "", ""},
      {"hard error", "abc", aErrIO, 16, "\n", aErrIO, "##", ""},
  };
  for (const RecordCase& c : cases) {
    SCOPED_TRACE(c.name);
    Script s;
    s.whenEmpty = c.whenEmpty;
    ScriptStream st(&s);
    s.Add(c.input);
    RecordResult r = ReadRecord(st.get(), c.maxLength, c.terminator);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.record, c.record);
    s.whenEmpty = aErrNotReady;
    EXPECT_EQ(ReadRest(st.get()), c.rest);
  }
}

// Lines that arrive in two chunks, split at every position, read as the same
// lines as when they arrive at once.
TEST(StreamRecordTest, ChunkedArrivalGivesTheSameRecords) {
  const std::string text = "Synchronized\r\nOK\r\n12000\r\n";
  const std::vector<std::string> lines = {"Synchronized", "OK", "12000"};
  for (size_t split = 0; split <= text.size(); split++) {
    SCOPED_TRACE(split);
    Script s;
    ScriptStream st(&s);
    s.Add(text.substr(0, split));
    std::vector<std::string> got;
    char buffer[32];
    bool secondChunkSent = false;
    while (got.size() < lines.size()) {
      aErr err = aStream_ReadCStringRecord(st.get(), buffer, sizeof(buffer), "\r\n");
      if (err == aErrNotReady) {
        ASSERT_FALSE(secondChunkSent) << "stalled with all bytes delivered";
        s.Add(text.substr(split));
        secondChunkSent = true;
        continue;
      }
      ASSERT_EQ(err, aErrNone);
      got.push_back(buffer);
    }
    EXPECT_EQ(got, lines);
  }
}

TEST(StreamRecordTest, ArgumentErrors) {
  Script s;
  ScriptStream st(&s);
  s.Add("x\n");
  uint8_t buffer[4];
  const uint8_t lf = '\n';
  EXPECT_EQ(aStream_ReadRecord(nullptr, buffer, nullptr, 4, &lf, 1), aErrParam);
  EXPECT_EQ(aStream_ReadRecord(st.get(), nullptr, nullptr, 4, &lf, 1), aErrParam);
  EXPECT_EQ(aStream_ReadRecord(st.get(), buffer, nullptr, 4, nullptr, 1), aErrParam);
  EXPECT_EQ(aStream_ReadRecord(st.get(), buffer, nullptr, 4, &lf, 0), aErrParam);
  EXPECT_EQ(aStream_ReadRecord(st.get(), buffer, nullptr, 0, &lf, 1), aErrParam);
  // A null length pointer is allowed.
  EXPECT_EQ(aStream_ReadRecord(st.get(), buffer, nullptr, 4, &lf, 1), aErrNone);
  EXPECT_EQ(buffer[0], 'x');
}

TEST(StreamCStringTest, ReadCStringStopsAtNulAndTerminates) {
  Script s;
  ScriptStream st(&s);
  s.input = {'h', 'i', 0, 'x'};
  char buffer[8];
  memset(buffer, '#', sizeof(buffer));
  EXPECT_EQ(aStream_ReadCString(st.get(), buffer, sizeof(buffer)), aErrNone);
  EXPECT_EQ(std::string(buffer, 3), std::string("hi\0", 3));
  EXPECT_EQ(ReadRest(st.get()), "x");
}

TEST(StreamCStringTest, ReadCStringRecordUsesTheTerminatorText) {
  Script s;
  ScriptStream st(&s);
  s.Add("Synchronized\r\nOK\r\n");
  char buffer[32];
  ASSERT_EQ(aStream_ReadCStringRecord(st.get(), buffer, sizeof(buffer), "\r\n"), aErrNone);
  EXPECT_STREQ(buffer, "Synchronized");
  ASSERT_EQ(aStream_ReadCStringRecord(st.get(), buffer, sizeof(buffer), "\r\n"), aErrNone);
  EXPECT_STREQ(buffer, "OK");
  EXPECT_EQ(aStream_ReadCStringRecord(st.get(), buffer, sizeof(buffer), ""), aErrParam);
}

TEST(StreamCStringTest, WritesCarryTheirNul) {
  Script s;
  ScriptStream st(&s);
  ASSERT_EQ(aStream_WriteCStringRecord(st.get(), "abc", "\n"), aErrNone);
  EXPECT_EQ(s.sent, (Bytes{'a', 'b', 'c', '\n', 0}));
  s.sent.clear();
  ASSERT_EQ(aStream_WriteCString(st.get(), "hi"), aErrNone);
  EXPECT_EQ(s.sent, (Bytes{'h', 'i', 0}));
  s.sent.clear();
  ASSERT_EQ(aStream_WriteCString(st.get(), ""), aErrNone);
  EXPECT_EQ(s.sent, (Bytes{0}));
}

// ---- writes -----------------------------------------------------------------

TEST(StreamWriteTest, OneBytePutsLongerRunsWriteOnceAndPutErrorsStop) {
  Script s;
  ScriptStream st(&s);
  const uint8_t data[] = {1, 2, 3, 4};
  ASSERT_EQ(aStream_Write(st.get(), data, 1), aErrNone);
  EXPECT_EQ(s.putCalls, 1);
  EXPECT_EQ(s.writeCalls, 0);
  ASSERT_EQ(aStream_Write(st.get(), data, 2), aErrNone);
  EXPECT_EQ(s.putCalls, 1);
  EXPECT_EQ(s.writeCalls, 1);
  EXPECT_EQ(s.sent, (Bytes{1, 1, 2}));

  Script p;
  p.putFailAfter = 2;
  ScriptStream putOnly(&p, true, true, false);
  EXPECT_EQ(aStream_Write(putOnly.get(), data, 4), aErrIO);
  EXPECT_EQ(p.sent, (Bytes{1, 2}));
  EXPECT_EQ(p.putCalls, 3);

  Script w;
  ScriptStream writeOnly(&w, true, false, true);
  ASSERT_EQ(aStream_Write(writeOnly.get(), data, 1), aErrNone);
  EXPECT_EQ(w.sent, (Bytes{1}));
}

TEST(StreamWriteTest, WriteRecordSendsTheTerminatorOnlyAfterTheData) {
  Script s;
  ScriptStream st(&s, true, true, false);
  const uint8_t crlf[] = {'\r', '\n'};
  ASSERT_EQ(aStream_WriteRecord(st.get(), reinterpret_cast<const uint8_t*>("GO"), 2, crlf, 2),
            aErrNone);
  EXPECT_EQ(Text(s.sent), "GO\r\n");
  s.sent.clear();
  s.putFailAfter = 1;
  EXPECT_EQ(aStream_WriteRecord(st.get(), reinterpret_cast<const uint8_t*>("GO"), 2, crlf, 2),
            aErrIO);
  EXPECT_EQ(Text(s.sent), "G");
}

// ---- flush and destroy --------------------------------------------------------

TEST(StreamFlushTest, CopiesFromGetToPutUntilTheEndOrAnError) {
  Script in;
  Script out;
  ScriptStream source(&in);
  ScriptStream destination(&out);
  in.Add("ab");
  EXPECT_EQ(aStream_Flush(source.get(), destination.get()), aErrNotReady);
  in.Add("cd");
  out.putFailAfter = 3;
  EXPECT_EQ(aStream_Flush(source.get(), destination.get()), aErrIO);
  EXPECT_EQ(Text(out.sent), "abc");
  // The push-back ring is not consulted.
  out.putFailAfter = -1;
  in.whenEmpty = aErrEOF;
  in.Add("ef");
  ASSERT_EQ(aStreamBufferChar(source.get(), '!'), aErrNone);
  EXPECT_EQ(aStream_Flush(source.get(), destination.get()), aErrNone);
  EXPECT_EQ(Text(out.sent), "abcef");
  EXPECT_EQ(ReadRest(source.get()), "!");
}

TEST(StreamDestroyTest, ReturnsTheDeleteStatusAndAlwaysNullsTheHandle) {
  Script s;
  s.deleteStatus = aErrIO;
  aStreamRef stream = aStream_Create(Script::Get, nullptr, nullptr, Script::Delete, &s);
  ASSERT_TRUE(aVALIDSTREAM(stream));
  ASSERT_EQ(aStreamBufferChar(stream, 1), aErrNone);  // the ring is freed too
  EXPECT_EQ(aStream_Destroy(&stream), aErrIO);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(s.deleteCalls, 1);

  aStream dead = {};  // a record whose tag is cleared
  dead.destroy = Script::Delete;
  dead.procRef = &s;
  aStreamRef handle = &dead;
  EXPECT_EQ(aStream_Destroy(&handle), aErrParam);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(s.deleteCalls, 1);
}

// ---- wait handle ---------------------------------------------------------------

TEST(StreamWaitTest, WaitReadableFollowsTheRingAndTheDescriptor) {
  Script s;
  ScriptStream st(&s);
  EXPECT_EQ(aStream_GetWaitHandle(st.get()), -1);
  EXPECT_EQ(aStream_WaitReadable(st.get(), 10), aErrUnimplemented);
  ASSERT_EQ(aStreamBufferChar(st.get(), 'q'), aErrNone);
  EXPECT_EQ(aStream_WaitReadable(st.get(), 10), aErrNone);  // ring first
  ReadRest(st.get());

  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(aStream_SetWaitHandle(st.get(), fds[0]), aErrNone);
  EXPECT_EQ(aStream_GetWaitHandle(st.get()), fds[0]);
  EXPECT_EQ(aStream_WaitReadable(st.get(), 10), aErrTimeout);
  ASSERT_EQ(write(fds[1], "x", 1), 1);
  EXPECT_EQ(aStream_WaitReadable(st.get(), 10000), aErrNone);
  close(fds[1]);
  char c;
  ASSERT_EQ(read(fds[0], &c, 1), 1);
  EXPECT_EQ(aStream_WaitReadable(st.get(), 10000), aErrNone);  // hang-up wakes too
  close(fds[0]);
  ASSERT_EQ(aStream_SetWaitHandle(st.get(), -5), aErrNone);
  EXPECT_EQ(aStream_GetWaitHandle(st.get()), -1);
}

// ---- file streams --------------------------------------------------------------

TEST(FileStreamTest, ShortFileReadEndsWithEof) {
  qntest::TempDir dir;
  ASSERT_TRUE(qntest::WriteFile(dir / "in", "abc"));
  aStreamRef stream = nullptr;
  ASSERT_EQ(aStream_CreateFileInput((dir / "in").c_str(), &stream), aErrNone);
  ASSERT_TRUE(aVALIDSTREAM(stream));
  uint8_t buffer[5] = {0, 0, 0, 0, 0};
  EXPECT_EQ(aStream_Read(stream, buffer, 5), aErrEOF);
  EXPECT_EQ(std::string(buffer, buffer + 3), "abc");
  EXPECT_EQ(aStream_Write(stream, buffer, 1), aErrMode);
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
}

TEST(FileStreamTest, InputFailuresGiveResourceAndLeaveTheHandle) {
  qntest::TempDir dir;
  aStreamRef stream = reinterpret_cast<aStreamRef>(0x1);
  EXPECT_EQ(aStream_CreateFileInput((dir / "missing").c_str(), &stream), aErrResource);
  EXPECT_EQ(stream, reinterpret_cast<aStreamRef>(0x1));
  EXPECT_EQ(aStream_CreateFileInput(nullptr, &stream), aErrResource);
  EXPECT_EQ(aStream_CreateFileInput((dir / "missing").c_str(), nullptr), aErrResource);
}

TEST(FileStreamTest, OutputTruncatesAndWritesRecords) {
  qntest::TempDir dir;
  ASSERT_TRUE(qntest::WriteFile(dir / "out", "old contents that must go"));
  aStreamRef stream = nullptr;
  ASSERT_EQ(aStream_CreateFileOutput((dir / "out").c_str(), &stream), aErrNone);
  ASSERT_TRUE(aVALIDSTREAM(stream));
  const uint8_t data[] = {'x', 'y'};
  EXPECT_EQ(aStream_Write(stream, data, 1), aErrNone);
  EXPECT_EQ(aStream_Write(stream, data, 2), aErrNone);
  EXPECT_EQ(aStream_WriteCStringRecord(stream, "line", "\n"), aErrNone);
  uint8_t b;
  EXPECT_EQ(aStream_Read(stream, &b, 1), aErrMode);
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
  EXPECT_EQ(qntest::ReadFile(dir / "out"), std::string("xxyline\n\0", 9));
}

TEST(FileStreamTest, OutputThatCannotBeOpenedStoresNull) {
  qntest::TempDir dir;
  aStreamRef stream = reinterpret_cast<aStreamRef>(0x1);
  EXPECT_EQ(aStream_CreateFileOutput((dir / "no/such/dir/out").c_str(), &stream), aErrNone);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(aStream_CreateFileOutput(nullptr, &stream), aErrResource);
  EXPECT_EQ(aStream_CreateFileOutput((dir / "x").c_str(), nullptr), aErrResource);
}

// ---- serial stream ---------------------------------------------------------------

// A pseudo-terminal pair; the test plays the device on the master side.
class Pty {
 public:
  Pty() {
    char name[256];
    if (openpty(&master_, &slave_, name, nullptr, nullptr) == 0) path_ = name;
  }
  ~Pty() {
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
  }
  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  int master() const { return master_; }
  int slave() const { return slave_; }
  void CloseMaster() {
    close(master_);
    master_ = -1;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

// Reads what the device side received, waiting up to a bounded time.
std::string MasterRead(int fd, size_t want) {
  std::string out;
  for (int tries = 0; tries < 200 && out.size() < want; tries++) {
    char buffer[64];
    ssize_t got = read(fd, buffer, sizeof(buffer));
    if (got > 0) {
      out.append(buffer, static_cast<size_t>(got));
    } else {
      usleep(10000);
    }
  }
  return out;
}

TEST(SerialStreamTest, ExchangesBytesAndNeverBlocks) {
  Pty pty;
  if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal available (openpty failed)";
  fcntl(pty.master(), F_SETFL, O_NONBLOCK);
  aStreamRef stream = nullptr;
  ASSERT_EQ(aStream_CreateSerial(pty.path().c_str(), aBaud115200, false, aSerialBits8,
                                 aSerialStopBits1, &stream),
            aErrNone);
  ASSERT_TRUE(aVALIDSTREAM(stream));
  EXPECT_GE(aStream_GetWaitHandle(stream), 0);

  uint8_t b = 0;
  EXPECT_EQ(aStream_Read(stream, &b, 1), aErrNotReady);
  EXPECT_EQ(aStream_WaitReadable(stream, 10), aErrTimeout);

  ASSERT_EQ(write(pty.master(), "?\x01\xff", 3), 3);
  ASSERT_EQ(aStream_WaitReadable(stream, 10000), aErrNone);
  uint8_t got[3];
  aErr err = aErrNotReady;
  for (int tries = 0; tries < 500 && err == aErrNotReady; tries++) {
    err = aStream_Read(stream, got, 3);
    if (err == aErrNotReady) usleep(2000);
  }
  ASSERT_EQ(err, aErrNone);
  EXPECT_EQ(std::string(got, got + 3), "?\x01\xff");  // raw: no translation

  ASSERT_EQ(aStream_WriteCStringRecord(stream, "Synchronized", "\r\n"), aErrNone);
  EXPECT_EQ(MasterRead(pty.master(), 15), std::string("Synchronized\r\n\0", 15));
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
}

TEST(SerialStreamTest, AppliesLineSettingsAndRestoresThePortsOwn) {
  Pty pty;
  if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal available (openpty failed)";
  struct termios before;
  ASSERT_EQ(tcgetattr(pty.slave(), &before), 0);
  before.c_lflag |= ECHO | ICANON;
  cfsetispeed(&before, B9600);
  cfsetospeed(&before, B9600);
  ASSERT_EQ(tcsetattr(pty.slave(), TCSANOW, &before), 0);
  ASSERT_EQ(tcgetattr(pty.slave(), &before), 0);

  aStreamRef stream = nullptr;
  ASSERT_EQ(aStream_CreateSerial(pty.path().c_str(), aBaud57600, true, aSerialBits7,
                                 aSerialStopBits2, &stream),
            aErrNone);
  struct termios t;
  ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);
  EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  // A pseudo-terminal forces CS8 without parity; the line format itself is
  // checked in LineFormatBits below.
  EXPECT_NE(t.c_cflag & CSTOPB, 0u);
  EXPECT_NE(t.c_iflag & IGNPAR, 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL), 0u);
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 0);
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B57600));
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B57600));
  ASSERT_EQ(aStream_Destroy(&stream), aErrNone);

  struct termios after;
  ASSERT_EQ(tcgetattr(pty.slave(), &after), 0);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B9600));
}

TEST(SerialStreamTest, LineFormatBits) {
  struct termios saved;
  memset(&saved, 0xA5, sizeof(saved));  // whatever the port had
  struct termios t;
  ASSERT_EQ(aSerial_MakeSettings(&saved, aBaud57600, true, aSerialBits7, aSerialStopBits2, &t),
            aErrNone);
  EXPECT_EQ(t.c_cflag, static_cast<tcflag_t>(CLOCAL | CREAD | CS7 | PARENB | CSTOPB) |
                           (t.c_cflag & CBAUD));
  EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNBRK | IGNPAR));
  EXPECT_EQ(t.c_oflag, 0u);
  EXPECT_EQ(t.c_lflag, 0u);
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 0);
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B57600));
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B57600));

  ASSERT_EQ(aSerial_MakeSettings(&saved, aBaud230400, false, aSerialBits8, aSerialStopBits1, &t),
            aErrNone);
  EXPECT_EQ(t.c_cflag, static_cast<tcflag_t>(CLOCAL | CREAD | CS8) | (t.c_cflag & CBAUD));
  EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNBRK));
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B230400));

  const speed_t speeds[aSERIAL_BAUD_COUNT] = {B2400,  B4800,  B9600,   B19200,
                                              B38400, B57600, B115200, B230400};
  for (unsigned i = 0; i < aSERIAL_BAUD_COUNT; i++) {
    ASSERT_EQ(aSerial_MakeSettings(&saved, static_cast<aSerial_Baud>(i), false, aSerialBits8,
                                   aSerialStopBits1, &t),
              aErrNone);
    EXPECT_EQ(cfgetispeed(&t), speeds[i]) << i;
  }
  EXPECT_EQ(aSerial_MakeSettings(&saved, static_cast<aSerial_Baud>(8), false, aSerialBits8,
                                 aSerialStopBits1, &t),
            aErrParam);
}

TEST(SerialStreamTest, FailingReadIsAHardError) {
  Pty pty;
  if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal available (openpty failed)";
  aStreamRef stream = nullptr;
  ASSERT_EQ(aStream_CreateSerial(pty.path().c_str(), aBaud9600, false, aSerialBits8,
                                 aSerialStopBits1, &stream),
            aErrNone);
  // Pull the descriptor from under the stream: read fails with EBADF.
  close(aStream_GetWaitHandle(stream));
  uint8_t b;
  EXPECT_EQ(aStream_Read(stream, &b, 1), aErrIO);
  EXPECT_EQ(aStream_Write(stream, &b, 1), aErrIO);
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
}

TEST(SerialStreamTest, ArgumentErrorsGiveResource) {
  Pty pty;
  if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal available (openpty failed)";
  const char* path = pty.path().c_str();
  aStreamRef stream = reinterpret_cast<aStreamRef>(0x1);
  EXPECT_EQ(aStream_CreateSerial(path, aBaud9600, false, static_cast<aSerial_Bits>(2),
                                 aSerialStopBits1, &stream),
            aErrResource);
  EXPECT_EQ(aStream_CreateSerial(path, aBaud9600, false, static_cast<aSerial_Bits>(-1),
                                 aSerialStopBits1, &stream),
            aErrResource);
  EXPECT_EQ(aStream_CreateSerial(path, aBaud9600, false, aSerialBits8,
                                 static_cast<aSerial_Stop_bits>(2), &stream),
            aErrResource);
  EXPECT_EQ(aStream_CreateSerial(path, static_cast<aSerial_Baud>(8), false, aSerialBits8,
                                 aSerialStopBits1, &stream),
            aErrResource);
  EXPECT_EQ(aStream_CreateSerial(nullptr, aBaud9600, false, aSerialBits8, aSerialStopBits1,
                                 &stream),
            aErrResource);
  EXPECT_EQ(stream, reinterpret_cast<aStreamRef>(0x1));
  EXPECT_EQ(aStream_CreateSerial(path, aBaud9600, false, aSerialBits8, aSerialStopBits1, nullptr),
            aErrResource);
  std::string longPath(5000, 'a');
  EXPECT_EQ(aStream_CreateSerial(longPath.c_str(), aBaud9600, false, aSerialBits8,
                                 aSerialStopBits1, &stream),
            aErrFileNameLength);
}

TEST(SerialStreamTest, OpenFailuresMapToErrorCodes) {
  qntest::TempDir dir;
  aStreamRef stream = reinterpret_cast<aStreamRef>(0x1);
  EXPECT_EQ(aStream_CreateSerial((dir / "ttyMissing").c_str(), aBaud9600, false, aSerialBits8,
                                 aSerialStopBits1, &stream),
            aErrNotFound);
  EXPECT_EQ(stream, nullptr);  // nulled before the port is opened

  // Not a terminal: opens, but its settings cannot be read.
  ASSERT_TRUE(qntest::WriteFile(dir / "plain", "x"));
  stream = reinterpret_cast<aStreamRef>(0x1);
  EXPECT_EQ(aStream_CreateSerial((dir / "plain").c_str(), aBaud9600, false, aSerialBits8,
                                 aSerialStopBits1, &stream),
            aErrIO);
  EXPECT_EQ(stream, nullptr);
}

// A node the user may not open. As root the permission bits do not apply, so
// the check runs in a child that drops to an unprivileged user.
TEST(SerialStreamTest, NodeTheUserMayNotOpenGivesPermission) {
  Pty pty;
  if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal available (openpty failed)";
  ASSERT_EQ(chmod(pty.path().c_str(), 0600), 0);
  if (getuid() == 0) {
    ASSERT_EQ(chown(pty.path().c_str(), 0, 0), 0);
  }
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
    aStreamRef stream = nullptr;
    aErr err = aStream_CreateSerial(pty.path().c_str(), aBaud9600, false, aSerialBits8,
                                    aSerialStopBits1, &stream);
    _exit(err == aErrPermission ? 0 : 10 + static_cast<int>(err));
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_NE(WEXITSTATUS(status), 2) << "could not drop privileges for the check";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "aStream_CreateSerial gave " << WEXITSTATUS(status) - 10;
}

}  // namespace
