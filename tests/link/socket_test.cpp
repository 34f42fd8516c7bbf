// The TCP socket stream against a loopback server.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "link/aStreamsocket.h"
#include "tests/link/FakeModule.h"

using qntest::Bytes;
using qntest::FakeModule;
using qntest::WaitUntil;

namespace {

// Reads whatever the stream has, up to `count` bytes, for at most 5 s.
Bytes ReadBytes(aStreamRef stream, size_t count) {
  Bytes got;
  WaitUntil([&] {
    uint8_t byte;
    while (got.size() < count && aStream_Read(stream, &byte, 1) == aErrNone) got.push_back(byte);
    return got.size() >= count;
  });
  return got;
}

class SocketStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(server_.port(), 0);
    ASSERT_EQ(aStream_CreateSocket(FakeModule::LoopbackAddress(), server_.port(), &stream_),
              aErrNone);
    ASSERT_NE(stream_, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return server_.Connections() == 1; }));
  }
  void TearDown() override {
    if (stream_) {
      EXPECT_EQ(aStream_Destroy(&stream_), aErrNone);
    }
  }
  FakeModule server_;
  aStreamRef stream_ = nullptr;
};

TEST_F(SocketStreamTest, APeerThatClosesReadsAsNotReady) {
  server_.CloseGracefully();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  uint8_t byte;
  EXPECT_EQ(aStream_Read(stream_, &byte, 1), aErrNotReady);
  EXPECT_EQ(aStream_Read(stream_, &byte, 1), aErrNotReady);
}

TEST_F(SocketStreamTest, AResetConnectionIsReopenedInPlace) {
  int fd = aStream_GetWaitHandle(stream_);
  server_.ResetConnection();
  ASSERT_TRUE(WaitUntil([&] {
    uint8_t byte;
    aStream_Read(stream_, &byte, 1);
    return server_.Connections() == 2;
  }));
  EXPECT_EQ(aStream_GetWaitHandle(stream_), fd) << "the descriptor number is kept";
  server_.Send({0x0C, 0x00});
  EXPECT_EQ(ReadBytes(stream_, 2), (Bytes{0x0C, 0x00}));
  const uint8_t bytes[] = {0x0E, 0x01, 0x07};
  EXPECT_EQ(aStream_Write(stream_, bytes, 3), aErrNone);
  EXPECT_GE(server_.WaitForPacket({0x0E, 0x01, 0x07}), 0);
}

TEST_F(SocketStreamTest, AVanishedPeerGivesConnectionErrorsFromThenOn) {
  server_.Vanish();
  uint8_t byte;
  aErr result = aErrNotReady;
  ASSERT_TRUE(WaitUntil([&] {
    result = aStream_Read(stream_, &byte, 1);
    return result != aErrNotReady;
  }));
  EXPECT_EQ(result, aErrConnection);
  EXPECT_EQ(aStream_Read(stream_, &byte, 1), aErrConnection);
  const uint8_t bytes[] = {0x04, 0x00};
  EXPECT_EQ(aStream_Write(stream_, bytes, 2), aErrConnection);
  // The descriptor still names a socket, so a waiting reader wakes at once.
  EXPECT_EQ(aStream_WaitReadable(stream_, 5000), aErrNone);
}

TEST_F(SocketStreamTest, AWriteThatCannotGoOutGivesUpAfterItsRetries) {
  // The server never reads; with small buffers the write meets EAGAIN until
  // its retries run out.
  int fd = aStream_GetWaitHandle(stream_);
  int small = 4096;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
  server_.StopReading();
  Bytes big(8 * 1024 * 1024, 0x5A);
  EXPECT_EQ(aStream_Write(stream_, big.data(), big.size()), aErrWrite);
}

TEST(SocketStreamCreateTest, NoListenerGivesResourceAndANullHandle) {
  FakeModule gone;
  gone.Vanish();  // nobody listens on its port any more
  aStreamRef stream = (aStreamRef)0x1;
  EXPECT_EQ(aStream_CreateSocket(FakeModule::LoopbackAddress(), gone.port(), &stream),
            aErrResource);
  EXPECT_EQ(stream, nullptr);
}

}  // namespace
