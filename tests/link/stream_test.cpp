// Byte streams: all-or-nothing reads, the push-back ring, records, C strings,
// writes, copying, destruction, file streams and the serial stream on a
// pseudo-terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <deque>
#include <string>
#include <vector>

#include "link/aStream.h"
#include "tests/support/TestSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;

// An in-memory transport: get hands out queued bytes, then `whenEmpty`; put
// and write record what was sent.
struct Script {
  std::deque<uint8_t> input;
  aErr whenEmpty = aErrNotReady;
  int failAfter = -1;  // the get fails with aErrConnection after this many bytes
  Bytes sent;
  int putCalls = 0, writeCalls = 0, deleteCalls = 0;
  int putFailAfter = -1;  // put fails once this many bytes went out
  aErr deleteStatus = aErrNone;

  void Add(const std::string& text) { input.insert(input.end(), text.begin(), text.end()); }

  static aErr Get(uint8_t* byte, void* ref) {
    Script* s = (Script*)ref;
    if (s->failAfter == 0) return aErrConnection;
    if (s->input.empty()) return s->whenEmpty;
    if (s->failAfter > 0) s->failAfter--;
    *byte = s->input.front();
    s->input.pop_front();
    return aErrNone;
  }
  static aErr Put(uint8_t byte, void* ref) {
    Script* s = (Script*)ref;
    s->putCalls++;
    if (s->putFailAfter >= 0 && (int)s->sent.size() >= s->putFailAfter) return aErrIO;
    s->sent.push_back(byte);
    return aErrNone;
  }
  static aErr Write(const uint8_t* data, size_t length, void* ref) {
    Script* s = (Script*)ref;
    s->writeCalls++;
    s->sent.insert(s->sent.end(), data, data + length);
    return aErrNone;
  }
  static aErr Delete(void* ref) {
    ((Script*)ref)->deleteCalls++;
    return ((Script*)ref)->deleteStatus;
  }
};

// A stream over a Script, destroyed with the object.
struct ScriptStream {
  explicit ScriptStream(Script* s, bool withWrite = true)
      : stream(aStream_Create(Script::Get, Script::Put, withWrite ? Script::Write : nullptr,
                              Script::Delete, s)) {}
  ~ScriptStream() { aStream_Destroy(&stream); }
  aStreamRef stream;
};

// A test with a scripted stream ready.
class StreamTest : public ::testing::Test {
 protected:
  Script s;
  ScriptStream st{&s};
};

// Reads one byte at a time until the stream has nothing more.
std::string ReadRest(aStreamRef stream) {
  std::string out;
  uint8_t byte;
  while (aStream_Read(stream, &byte, 1) == aErrNone) out.push_back((char)byte);
  return out;
}

TEST_F(StreamTest, ReadNotReadyIsAllOrNothingAndKeepsArrivalOrder) {
  s.Add("abc");
  uint8_t buffer[5] = {'x', 'x', 'x', 'x', 'x'};
  EXPECT_EQ(aStream_Read(st.stream, buffer, 5), aErrNotReady);
  EXPECT_EQ(std::string(buffer, buffer + 5), "xxxxx");
  s.Add("de");
  EXPECT_EQ(aStream_Read(st.stream, buffer, 5), aErrNone);
  EXPECT_EQ(std::string(buffer, buffer + 5), "abcde");
  // A hard error copies nothing; the bytes read before it are lost.
  s.Add("fghijk");
  s.failAfter = 2;
  EXPECT_EQ(aStream_Read(st.stream, buffer, 4), aErrConnection);
  EXPECT_EQ(std::string(buffer, buffer + 5), "abcde");
  s.failAfter = -1;
  EXPECT_EQ(ReadRest(st.stream), "hijk");
}

TEST(StreamReadTest, EndOfStreamDeliversWhatCameBeforeAndDestroyAlwaysNullsTheHandle) {
  qntest::TempDir dir;
  ASSERT_TRUE(qntest::WriteFile(dir / "in", "abc"));
  aStreamRef file = nullptr;
  ASSERT_EQ(aStream_CreateFileInput((dir / "in").c_str(), &file), aErrNone);
  uint8_t buffer[5] = {0, 0, 0, 0, 0};
  EXPECT_EQ(aStream_Read(file, buffer, 5), aErrEOF);
  EXPECT_EQ(std::string(buffer, buffer + 3), "abc");
  EXPECT_EQ(aStream_Write(file, buffer, 1), aErrMode);
  EXPECT_EQ(aStream_Destroy(&file), aErrNone);
  file = (aStreamRef)0x1;
  EXPECT_EQ(aStream_CreateFileInput((dir / "missing").c_str(), &file), aErrResource);
  EXPECT_EQ(file, (aStreamRef)0x1);

  // Destroy returns the delete status and always nulls the handle.
  Script s;
  s.deleteStatus = aErrIO;
  aStreamRef stream = aStream_Create(Script::Get, nullptr, nullptr, Script::Delete, &s);
  ASSERT_EQ(aStreamBufferChar(stream, 1), aErrNone);  // the ring is freed too
  EXPECT_EQ(aStream_Destroy(&stream), aErrIO);
  EXPECT_EQ(stream, nullptr);
  aStream dead = {};  // a record whose tag is cleared
  dead.destroy = Script::Delete;
  dead.procRef = &s;
  aStreamRef handle = &dead;
  EXPECT_EQ(aStream_Destroy(&handle), aErrParam);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(s.deleteCalls, 1);
}

TEST_F(StreamTest, RingGrowsAcrossTheWrapPointKeepingOrder) {
  // Move head and tail into the middle so the live bytes wrap.
  for (int i = 0; i < 300; i++) ASSERT_EQ(aStreamBufferChar(st.stream, 0xEE), aErrNone);
  Bytes out(512);
  ASSERT_EQ(aStream_Read(st.stream, out.data(), 300), aErrNone);
  for (int i = 0; i < 511; i++) ASSERT_EQ(aStreamBufferChar(st.stream, (uint8_t)i), aErrNone);
  EXPECT_EQ(st.stream->capacity, 512u);
  ASSERT_EQ(aStreamBufferChar(st.stream, (uint8_t)511), aErrNone);
  EXPECT_EQ(st.stream->capacity, 1024u);
  ASSERT_EQ(aStream_Read(st.stream, out.data(), out.size()), aErrNone);
  for (int i = 0; i < 512; i++) ASSERT_EQ(out[i], (uint8_t)i) << i;
  // A large read that is not ready yet grows the ring as far as it needs.
  std::string big(3000, 'q');
  s.Add(big);
  Bytes buffer(4000);
  EXPECT_EQ(aStream_Read(st.stream, buffer.data(), buffer.size()), aErrNotReady);
  ASSERT_EQ(aStream_Read(st.stream, buffer.data(), 3000), aErrNone);
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 3000), big);
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
    Bytes buffer(c.maxLength + 8, '#');
    size_t length = 12345;
    aErr err = aStream_ReadRecord(st.stream, buffer.data(), &length, c.maxLength,
                                  (const uint8_t*)c.terminator.data(), c.terminator.size());
    EXPECT_EQ(err, c.err);
    bool copied = err == aErrNone || err == aErrEOF;
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + (copied ? length : 2)), c.record);
    s.whenEmpty = aErrNotReady;
    EXPECT_EQ(ReadRest(st.stream), c.rest);
  }
}

TEST_F(StreamTest, CStringReadStopsAtNulAndWritesCarryTheirNul) {
  s.input = {'h', 'i', 0, 'x'};
  char buffer[8] = "#######";
  EXPECT_EQ(aStream_ReadCString(st.stream, buffer, sizeof(buffer)), aErrNone);
  EXPECT_EQ(std::string(buffer, 3), std::string("hi\0", 3));
  EXPECT_EQ(ReadRest(st.stream), "x");
  ASSERT_EQ(aStream_WriteCStringRecord(st.stream, "abc", "\n"), aErrNone);
  ASSERT_EQ(aStream_WriteCString(st.stream, "hi"), aErrNone);
  EXPECT_EQ(s.sent, (Bytes{'a', 'b', 'c', '\n', 0, 'h', 'i', 0}));
}

TEST_F(StreamTest, WriteOneBytePutsLongerRunsWriteOnceAndPutErrorsStop) {
  const uint8_t data[] = {1, 2, 3, 4};
  ASSERT_EQ(aStream_Write(st.stream, data, 1), aErrNone);
  ASSERT_EQ(aStream_Write(st.stream, data, 2), aErrNone);
  EXPECT_EQ(s.putCalls, 1);
  EXPECT_EQ(s.writeCalls, 1);
  EXPECT_EQ(s.sent, (Bytes{1, 1, 2}));

  Script p;
  p.putFailAfter = 2;
  ScriptStream putOnly(&p, false);
  EXPECT_EQ(aStream_Write(putOnly.stream, data, 4), aErrIO);
  EXPECT_EQ(p.sent, (Bytes{1, 2}));
  const uint8_t crlf[] = {'\r', '\n'};
  p.sent.clear();
  p.putFailAfter = 1;  // the terminator goes out only after all the data
  EXPECT_EQ(aStream_WriteRecord(putOnly.stream, (const uint8_t*)"GO", 2, crlf, 2), aErrIO);
  EXPECT_EQ(p.sent, Bytes{'G'});
}

TEST_F(StreamTest, WaitReadableFollowsTheRingAndTheDescriptor) {
  EXPECT_EQ(aStream_WaitReadable(st.stream, 10), aErrUnimplemented);
  ASSERT_EQ(aStreamBufferChar(st.stream, 'q'), aErrNone);
  EXPECT_EQ(aStream_WaitReadable(st.stream, 10), aErrNone);  // ring first
  ReadRest(st.stream);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(aStream_SetWaitHandle(st.stream, fds[0]), aErrNone);
  EXPECT_EQ(aStream_WaitReadable(st.stream, 10), aErrTimeout);
  int wake[2];  // a reader asked to stop wakes through its wake-up descriptor
  ASSERT_EQ(pipe(wake), 0);
  ASSERT_EQ(write(wake[1], "!", 1), 1);
  EXPECT_EQ(aStream_AwaitInput(st.stream, wake[0], aSTREAM_WAIT_FOREVER), aErrCancel);
  close(wake[0]);
  close(wake[1]);
  close(fds[1]);
  EXPECT_EQ(aStream_WaitReadable(st.stream, 10000), aErrNone);  // hang-up wakes too
  close(fds[0]);
}

// ---- serial stream on a pseudo-terminal; the test plays the device ------------

class SerialStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[256];
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
      GTEST_SKIP() << "no pseudo-terminal available (openpty failed)";
    }
    path_ = name;
  }
  ~SerialStreamTest() override {
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
  }
  aErr Open(const std::string& path, aStreamRef* stream, aSerial_Baud baud = aBaud9600,
            aSerial_Bits bits = aSerialBits8) {
    return aStream_CreateSerial(path.c_str(), baud, false, bits, aSerialStopBits1, stream);
  }
  int master_ = -1, slave_ = -1;
  std::string path_;
};

TEST_F(SerialStreamTest, AppliesLineSettingsAndRestoresThePortsOwn) {
  struct termios before, t, after;
  ASSERT_EQ(tcgetattr(slave_, &before), 0);
  before.c_lflag |= ECHO | ICANON;
  cfsetospeed(&before, B9600);
  ASSERT_EQ(tcsetattr(slave_, TCSANOW, &before), 0);
  ASSERT_EQ(tcgetattr(slave_, &before), 0);
  aStreamRef stream = nullptr;
  ASSERT_EQ(aStream_CreateSerial(path_.c_str(), aBaud57600, true, aSerialBits7, aSerialStopBits2,
                                 &stream),
            aErrNone);
  ASSERT_EQ(tcgetattr(slave_, &t), 0);
  EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG), 0u);
  EXPECT_NE(t.c_cflag & CSTOPB, 0u);  // a pty forces CS8 without parity
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(cfgetospeed(&t), (speed_t)B57600);
  uint8_t byte;
  EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady) << "reads never wait";
  ASSERT_EQ(aStream_Destroy(&stream), aErrNone);
  ASSERT_EQ(tcgetattr(slave_, &after), 0);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(cfgetospeed(&after), (speed_t)B9600);
}

TEST_F(SerialStreamTest, ReadAndOpenFailuresMapToErrorCodes) {
  aStreamRef stream = nullptr;
  ASSERT_EQ(Open(path_, &stream), aErrNone);
  close(aStream_GetWaitHandle(stream));  // pulled from under the stream
  uint8_t byte;
  EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrIO) << "a failing read is a hard error";
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
  stream = (aStreamRef)0x1;
  EXPECT_EQ(Open(path_, &stream, aBaud9600, (aSerial_Bits)2), aErrResource);
  EXPECT_EQ(Open(path_, &stream, (aSerial_Baud)8), aErrResource);
  EXPECT_EQ(stream, (aStreamRef)0x1);
  qntest::TempDir dir;
  ASSERT_TRUE(qntest::WriteFile(dir / "plain", "x"));  // not a terminal
  for (auto refused :
       {std::make_pair(std::string(5000, 'a'), aErrFileNameLength),
        std::make_pair(dir / "ttyMissing", aErrNotFound), std::make_pair(dir / "plain", aErrIO)}) {
    EXPECT_EQ(Open(refused.first, &stream), refused.second) << refused.first;
  }
  EXPECT_EQ(stream, nullptr);

  // A node the user may not open. As root the permission bits do not apply,
  // so the check runs in a child that drops to an unprivileged user.
  ASSERT_EQ(chmod(path_.c_str(), 0600), 0);
  ASSERT_TRUE(getuid() != 0 || chown(path_.c_str(), 0, 0) == 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
    aErr err = Open(path_, &stream);
    _exit(err == aErrPermission ? 0 : 10 + (int)err);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_NE(WEXITSTATUS(status), 2) << "could not drop privileges for the check";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "aStream_CreateSerial gave " << WEXITSTATUS(status) - 10;
}

}  // namespace
